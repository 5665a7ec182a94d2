#include "container/PagedArray.h"

#include <gtest/gtest.h>

namespace clw {
namespace {

// Records must not move while the page directory grows, and a record handed out after
// Reset sits in a kept page but must not show the previous file's data.
TEST(PagedArray, RecordsStayInPlaceAndReusedPagesStartClean) {
  TPagedArray<uint64_t> records(2, 0);
  const uint64_t* first = &records[records.Add(1)];
  for (uint64_t i = 1; i <= 5 * 512; ++i)
    records.Add(i << 33);
  EXPECT_EQ(records[2560], uint64_t(2560) << 33);
  records.Reset();
  EXPECT_EQ(records.Add(), 0u);
  EXPECT_EQ(&records[0], first);
  EXPECT_EQ(records[0], 0u);
}

} // namespace
} // namespace clw
