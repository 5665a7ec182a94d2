#include "container/HgBlocksOfOffset.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <utility>
#include <vector>

namespace clw {
namespace {

constexpr int64_t kBlock = int64_t(1) << 17; // block size at the MP4 reader's granularity

class BlocksOfOffset : public ::testing::Test {
protected:
  THgBlocksOfOffset Blocks{65536};

  std::vector<uint32_t> ValuesOf(uint32_t block) const {
    std::vector<uint32_t> out;
    for (uint32_t i = 0; i < Blocks.BlockValueCount(block); ++i)
      out.push_back(Blocks.Value(Blocks.BlockStart(block) + i));
    return out;
  }

  // Files a pseudo-random interleaving of values over 40 blocks, with values appended
  // outside any block in between, and checks every block and appended value against a
  // plain model, and that no two blocks share a slot.
  void CheckAgainstModel(uint32_t seed) {
    std::mt19937 random(seed);
    std::map<uint32_t, std::vector<uint32_t>> model;
    std::vector<std::pair<uint32_t, uint32_t>> appended;
    for (uint32_t n = 0; n < 3000; ++n) {
      const uint32_t block = random() % 40;
      if (random() % 16 == 0) appended.emplace_back(Blocks.Append(~n), ~n);
      Blocks.Add(n, block * kBlock + int64_t(random() % kBlock));
      model[block].push_back(n);
    }
    std::vector<bool> used(Blocks.ValueCount());
    for (const auto& [block, values] : model) {
      ASSERT_EQ(ValuesOf(block), values) << "block " << block;
      for (uint32_t i = 0; i < values.size(); ++i) {
        ASSERT_FALSE(used[Blocks.BlockStart(block) + i]);
        used[Blocks.BlockStart(block) + i] = true;
      }
    }
    for (const auto& [index, value] : appended)
      ASSERT_EQ(Blocks.Value(index), value);
    EXPECT_EQ(Blocks.BlockCount, model.rbegin()->first + 1);
  }
};

TEST(BlocksOfOffsetShift, BlockSpansTheBitWidthOfTheGranularity) {
  const std::pair<int32_t, int32_t> cases[] = {{65536, 17}, {65535, 16}, {65537, 17},    {1, 1},
                                               {0, 1},      {-8, 1},     {INT32_MAX, 31}};
  for (const auto& [granularity, shift] : cases)
    EXPECT_EQ(THgBlocksOfOffset(granularity).Shift, shift) << granularity;
}

TEST_F(BlocksOfOffset, FullRunsMoveAndFreedRunsAreReusedByCapacity) {
  for (uint32_t v = 0; v < 4; ++v) {
    Blocks.Add(v, 0);
    Blocks.Add(100 + v, kBlock);
  }
  EXPECT_EQ(Blocks.ValueCount(), 8u);
  Blocks.Add(4, kBlock - 1); // the fifth value moves block 0 from a run of 4 to one of 8
  Blocks.Add(104, kBlock + 5);
  EXPECT_EQ(Blocks.BlockStart(0), 8u);
  EXPECT_EQ(Blocks.BlockStart(1), 16u);
  EXPECT_EQ(Blocks.ValueCount(), 24u);
  EXPECT_EQ(Blocks.FreeLists[1], 5u); // the run at 4, linked to the run at 0

  // New blocks take the freed runs of 4, last freed first, without growing the store.
  Blocks.Add(200, 2 * kBlock);
  Blocks.Add(300, 3 * kBlock);
  EXPECT_EQ(Blocks.BlockStart(2), 4u);
  EXPECT_EQ(Blocks.BlockStart(3), 0u);
  EXPECT_EQ(Blocks.FreeLists[1], 0u);
  EXPECT_EQ(Blocks.ValueCount(), 24u);

  for (uint32_t v = 5; v < 9; ++v) // block 0 outgrows its run of 8 ...
    Blocks.Add(v, 0);
  for (uint32_t v = 201; v < 205; ++v) // ... which block 2 then needs exactly
    Blocks.Add(v, 2 * kBlock);
  EXPECT_EQ(Blocks.BlockStart(0), 24u);
  EXPECT_EQ(Blocks.BlockStart(2), 8u);
  EXPECT_EQ(Blocks.ValueCount(), 36u);
  EXPECT_EQ(ValuesOf(0), (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(ValuesOf(1), (std::vector<uint32_t>{100, 101, 102, 103, 104}));
  EXPECT_EQ(ValuesOf(2), (std::vector<uint32_t>{200, 201, 202, 203, 204}));
  EXPECT_EQ(ValuesOf(3), (std::vector<uint32_t>{300}));
}

TEST_F(BlocksOfOffset, LookupsPastTheEndAnswerZero) {
  Blocks.Add(7, 3 * kBlock);
  EXPECT_EQ(Blocks.BlockCount, 4u);
  EXPECT_EQ(Blocks.BlockOf(4 * kBlock - 1), 3u);
  EXPECT_EQ(Blocks.BlockOf(4 * kBlock), 0u);
  EXPECT_EQ(Blocks.BlockOf(-1), 0u);
  EXPECT_EQ(Blocks.BlockValueCount(4), 0u);
  EXPECT_EQ(Blocks.BlockStart(UINT32_MAX), 0u);
  EXPECT_EQ(Blocks.Value(Blocks.ValueCount()), 0u);
}

// Offsets read from a damaged table can be anything; none may allocate or corrupt.
TEST_F(BlocksOfOffset, ImpossibleOffsetsAreIgnored) {
  Blocks.Add(1, -1);
  Blocks.Add(2, int64_t(THgBlocksOfOffset::kMaxBlocks) * kBlock);
  Blocks.Add(3, INT64_MAX);
  EXPECT_EQ(Blocks.BlockCount, 0u);
  EXPECT_EQ(Blocks.ValueCount(), 0u);
  EXPECT_TRUE(Blocks.BlockTable.empty());
}

TEST_F(BlocksOfOffset, ManyBlocksReadBackThroughRunMovesAndClear) {
  CheckAgainstModel(1);
  const uint32_t grown = Blocks.ValueCount();
  Blocks.Clear();
  EXPECT_EQ(Blocks.ValueCount(), 0u);
  EXPECT_EQ(Blocks.BlockCount, 0u);
  EXPECT_EQ(Blocks.FreeListCount, 0u);
  EXPECT_EQ(Blocks.BlockValueCount(0), 0u);
  // Stale free-list heads or run starts from before Clear would surface here.
  CheckAgainstModel(2);
  EXPECT_LT(Blocks.ValueCount(), 2 * grown);
}

} // namespace
} // namespace clw
