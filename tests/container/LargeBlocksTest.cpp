#include "container/LargeBlocks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace clw {
namespace {

bool AllZero(const uint8_t* P, size_t Bytes) {
  return std::all_of(P, P + Bytes, [](uint8_t b) { return b == 0; });
}

// Room given back is handed out again zeroed, as a new mapping is, and neighbouring
// pieces given back join into room for a larger request.
TEST(LargeBlocks, RoomGivenBackComesBackZeroedAndWhole) {
  constexpr size_t kMiB = size_t(1) << 20;
  ReleaseCachedLarge();
  uint8_t* const whole = MapLarge(4 * kMiB);
  std::memset(whole, 0xA5, 4 * kMiB);
  UnmapLarge(whole, 4 * kMiB);

  uint8_t* const first = MapLarge(2 * kMiB);
  uint8_t* const second = MapLarge(kMiB + 1); // a whole huge page all the same
  EXPECT_TRUE(AllZero(first, 2 * kMiB));
  EXPECT_TRUE(AllZero(second, 2 * kMiB));
  EXPECT_EQ(std::min(first, second), whole);
  EXPECT_EQ(std::max(first, second), whole + 2 * kMiB);

  std::memset(first, 0x5A, 2 * kMiB);
  UnmapLarge(second, kMiB + 1);
  UnmapLarge(first, 2 * kMiB);
  uint8_t* const again = MapLarge(4 * kMiB);
  EXPECT_EQ(again, whole);
  EXPECT_TRUE(AllZero(again, 4 * kMiB));
  UnmapLarge(again, 4 * kMiB);
  ReleaseCachedLarge();
}

} // namespace
} // namespace clw
