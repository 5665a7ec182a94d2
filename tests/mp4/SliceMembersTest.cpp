// A slice's member list holds a few members in place and more on the heap: every operation
// must behave as a vector's across that border, and copies and moves must carry either kind.
#include "mp4/SliceMembers.h"

#include <gtest/gtest.h>

#include <random>
#include <utility>
#include <vector>

namespace clw {
namespace {

TEST(SliceMembers, BehaveAsAVectorAcrossTheInlineBorder) {
  std::mt19937 random(5);
  std::vector<TSliceMembers> lists(4);
  std::vector<std::vector<int32_t>> model(4);
  for (int step = 0; step < 20000; ++step) {
    const size_t a = random() % 4;
    const size_t b = random() % 4;
    TSliceMembers& l = lists[a];
    std::vector<int32_t>& m = model[a];
    switch (random() % 7) {
    case 0:
    case 1:
      l.push_back(int32_t(step));
      m.push_back(step);
      break;
    case 2: { // resize, mostly across the border
      const size_t n = random() % 10;
      l.resize(n);
      m.resize(n);
      break;
    }
    case 3: { // drop a head, as a slice that loses its first members
      const size_t k = m.empty() ? 0 : random() % (m.size() + 1);
      l.erase(l.begin(), l.begin() + std::ptrdiff_t(k));
      m.erase(m.begin(), m.begin() + std::ptrdiff_t(k));
      break;
    }
    case 4: { // assign from a chain
      std::vector<int32_t> chain(random() % 9, step);
      l.assign(chain.begin(), chain.end());
      m = chain;
      break;
    }
    case 5:
      lists[b] = lists[a];
      model[b] = model[a];
      break;
    default: {
      TSliceMembers moved(std::move(lists[a]));
      lists[a] = TSliceMembers();
      lists[b] = std::move(moved);
      model[b] = std::exchange(model[a], {});
      break;
    }
    }
    for (size_t k = 0; k < 4; ++k) {
      ASSERT_EQ(std::vector<int32_t>(lists[k].begin(), lists[k].end()), model[k])
          << "step " << step;
      ASSERT_EQ(lists[k].empty(), model[k].empty());
      if (!model[k].empty()) {
        ASSERT_EQ(lists[k].back(), model[k].back());
      }
    }
  }
}

} // namespace
} // namespace clw
