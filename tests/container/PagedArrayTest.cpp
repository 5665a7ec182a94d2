#include "container/PagedArray.h"

#include <gtest/gtest.h>

namespace clw {
namespace {

struct TRecord {
  uint32_t A = 7;
  uint64_t B = 0;
};

// Readers hold references to records while they go on appending, so a record must never
// move; and a record handed out after Reset must not show the previous file's data.
TEST(PagedArray, RecordsStayInPlaceAndReusedPagesStartClean) {
  TPagedArray<TRecord> records(2, 0);
  const TRecord* first = &records[records.Add({1, 1})];
  for (uint32_t i = 1; i < 5 * 512 + 1; ++i)
    records.Add({i, uint64_t(i) << 33});
  EXPECT_EQ(&records[0], first);
  EXPECT_EQ(records.PageCount(), 6u);
  EXPECT_EQ(&records[1023], &records[512] + 511);
  EXPECT_EQ(records[2560].B, uint64_t(2560) << 33);

  records.Reset();
  EXPECT_EQ(records.PageCount(), 6u);
  EXPECT_EQ(records.Add(), 0u);
  EXPECT_EQ(records[0].A, 7u);
  EXPECT_EQ(records[0].B, 0u);
  EXPECT_EQ(&records[0], first);
}

} // namespace
} // namespace clw
