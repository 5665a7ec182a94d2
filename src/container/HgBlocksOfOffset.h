#pragma once
// An index from byte regions of a file to lists of 32-bit values: the file is cut into
// blocks of 2^Shift bytes and each block collects the values filed under offsets inside
// it. Values share one paged store; a block's values form one run that grows by 4 and
// moves when full, leaving the old run on a free list of its capacity for reuse.
#include "container/PagedArray.h"

#include <cstdint>
#include <vector>

namespace clw {

struct TBoOBlock {
  uint32_t Start = 0;
  uint32_t Count = 0;
};

class THgBlocksOfOffset {
public:
  // A garbage 64-bit chunk offset must not make Add allocate a block table of gigabytes;
  // 2^24 blocks of 128 KiB (the MP4 reader's block size) still cover 2 TiB.
  static constexpr uint32_t kMaxBlocks = 1u << 24;

  explicit THgBlocksOfOffset(int32_t Granularity);

  // Files Value under the block of Offset. A negative Offset, or one whose block lies at
  // or past kMaxBlocks, cannot come from a real file position and is ignored.
  void Add(uint32_t Value, int64_t Offset);
  // Stores Value outside any block and returns its index.
  uint32_t Append(uint32_t Value);
  // Each answers 0 for an offset, block or index past what is stored.
  uint32_t BlockOf(int64_t Offset) const;
  uint32_t BlockStart(uint32_t Block) const;
  uint32_t BlockValueCount(uint32_t Block) const;
  uint32_t Value(uint32_t Index) const;
  // Forgets every value but keeps the storage for the next file.
  void Clear();

  int32_t Shift = 0;
  uint32_t ValueCount() const { return Values.Count(); }
  uint32_t FreeListCount = 0;
  uint32_t BlockCount = 0;
  std::vector<uint32_t> FreeLists; // FreeLists[k]: 1 + start of the first free run of capacity 4k
  std::vector<TBoOBlock> BlockTable;

private:
  TPagedArray<uint32_t> Values;
};

} // namespace clw
