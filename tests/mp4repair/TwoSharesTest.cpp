#include "mp4repair/TwoShares.h"

#include "container/HgFileBase.h"

#include <gtest/gtest.h>

#include <atomic>

namespace clw {
namespace {

struct TIdleReader : THgFileReader {
  int32_t Analyze(uint8_t) override { return kDone; }
  void DumpInfo(const std::string&) override {}
};

// Both shares run. A cancel reaches only this thread's polls; the other share, which
// polls nothing itself, must stop as well (or the check hangs), and the work says that it
// did not finish.
TEST(InTwoShares, BothRunAndACancelStopsBoth) {
  TIdleReader reader;
  TPollEvery<THgFileReader> going(reader);
  std::atomic<int> ran[2] = {0, 0};
  EXPECT_TRUE(InTwoShares(going, [&](int share, auto& go) {
    ran[share] = 1;
    return go();
  }));
  EXPECT_EQ(ran[0] + ran[1], 2);

  reader.OnProgress = [&](const void*, int64_t) { reader.Cancel(true); };
  std::atomic<bool> stopped = false;
  EXPECT_FALSE(InTwoShares(going, [&](int share, auto& go) {
    if (share == 0) {
      while (go()) {
      }
      stopped = true;
      return false;
    }
    for (int i = 0; i < (1 << 24); ++i)
      if (!go()) return false;
    return true;
  }));
  EXPECT_TRUE(stopped);
  EXPECT_TRUE(reader.Cancelled);
}

} // namespace
} // namespace clw
