#include "container/HgBlocksOfOffset.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <utility>
#include <vector>

namespace clw {
namespace {

constexpr int64_t kBlock = int64_t(1) << 17; // what a granularity of 65536 gives

// Thousands of values over 40 blocks, with values appended outside any block and offsets
// no file can have (which must allocate nothing) in between, against a map of value lists;
// no two blocks may share a slot. The second round follows Clear, which must leave no
// stale run or free list behind, so the same layout comes out again.
TEST(BlocksOfOffset, MatchesAModelThroughRunMovesAndClear) {
  THgBlocksOfOffset blocks(65536);
  std::mt19937 random(1);
  for (int round = 0; round < 2; ++round, blocks.Clear()) {
    // The fifth value moves block 0 from its run of 4 to one of 8; the next block's first
    // value takes the freed run of 4 without growing the store.
    std::map<uint32_t, std::vector<uint32_t>> model{{0, {0, 1, 2, 3, 4}}, {1, {5}}};
    for (uint32_t v = 0; v < 5; ++v)
      blocks.Add(v, kBlock - 1 - v);
    EXPECT_EQ(blocks.BlockStart(0), 4u);
    blocks.Add(5, kBlock);
    EXPECT_EQ(blocks.BlockStart(1), 0u);
    EXPECT_EQ(blocks.ValueCount(), 12u);
    EXPECT_EQ(blocks.BlockOf(2 * kBlock - 1), 1u);
    EXPECT_EQ(blocks.BlockOf(2 * kBlock), 0u) << "past the last block";

    std::vector<std::pair<uint32_t, uint32_t>> appended;
    for (uint32_t n = 6; n < 3000; ++n) {
      const uint32_t block = random() % 40;
      if (random() % 16 == 0) appended.emplace_back(blocks.Append(~n), ~n);
      if (random() % 32 == 0) blocks.Add(n, int64_t(THgBlocksOfOffset::kMaxBlocks) * kBlock + n);
      if (random() % 32 == 0) blocks.Add(n, -1 - int64_t(n) * kBlock);
      blocks.Add(n, block * kBlock + int64_t(random() % kBlock));
      model[block].push_back(n);
    }
    std::vector<char> used(blocks.ValueCount());
    for (const auto& [block, values] : model) {
      ASSERT_EQ(blocks.BlockValueCount(block), values.size()) << "block " << block;
      for (uint32_t i = 0; i < values.size(); ++i) {
        const uint32_t slot = blocks.BlockStart(block) + i;
        ASSERT_EQ(blocks.Value(slot), values[i]) << "block " << block;
        ASSERT_FALSE(std::exchange(used.at(slot), 1)) << "block " << block << " overlaps";
      }
    }
    for (const auto& [index, value] : appended)
      ASSERT_EQ(blocks.Value(index), value);
    EXPECT_EQ(blocks.BlockCount, model.rbegin()->first + 1);
    EXPECT_LE(blocks.BlockTable.size(), 64u);
  }
}

} // namespace
} // namespace clw
