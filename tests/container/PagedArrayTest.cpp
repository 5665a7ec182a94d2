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

// A list grown through slabs of every size up to a huge page, cut back into the middle of
// a slab and grown again: kept records stay where they were, and every page cut again
// starts as new records do.
TEST(PagedArray, PagesCutAgainStartAsNew) {
  struct TRecord {
    uint64_t Value = 7;
    uint32_t Mark = 0xE0;
  };
  constexpr uint32_t kPage = 512;
  constexpr uint32_t kCount = 700 * kPage + 5; // past two huge slabs of 256 pages
  constexpr uint32_t kKept = 300 * kPage + 7;
  TPagedArray<TRecord> records;
  for (uint32_t i = 0; i < kCount; ++i)
    records.Add(TRecord{i, i});
  const TRecord* const early = &records[1000];
  const TRecord* const late = &records[kKept - 1];
  records.Resize(kKept);
  records.ReleaseUnused();
  records.Resize(kCount);
  EXPECT_EQ(&records[1000], early);
  EXPECT_EQ(&records[kKept - 1], late);
  for (const uint32_t i : {0u, 1000u, 256 * kPage, kKept - 1})
    EXPECT_EQ(records[i].Value, i) << i;
  for (uint32_t i = 301 * kPage; i < kCount; i += 97) {
    EXPECT_EQ(records[i].Value, 7u) << i;
    EXPECT_EQ(records[i].Mark, 0xE0u) << i;
  }
}

} // namespace
} // namespace clw
