#include "container/HgBlocksOfOffset.h"

#include <algorithm>
#include <bit>
#include <new>

namespace clw {

namespace {
constexpr uint32_t kRunStep = 4; // a block's run grows by this many values per move
} // namespace

// The shift is the bit width of the granularity, which always exceeds it: 65 536 gives
// 17, so each block spans 131 072 bytes, between one and two granularities.
THgBlocksOfOffset::THgBlocksOfOffset(int32_t Granularity)
    : Shift(int32_t(std::bit_width(uint32_t(std::max<int32_t>(Granularity, 1))))), Values(32, 0) {}

void THgBlocksOfOffset::Add(uint32_t Value, int64_t Offset) {
  if (Offset < 0) return;
  const uint64_t wide = uint64_t(Offset) >> Shift;
  if (wide >= kMaxBlocks) return;
  const uint32_t b = uint32_t(wide);
  if (BlockTable.size() <= b) BlockTable.resize(size_t(1) << std::bit_width(b));
  BlockCount = std::max(BlockCount, b + 1);

  TBoOBlock& block = BlockTable[b];
  if (block.Count % kRunStep == 0) {
    // The run is full (or the block has none yet): move to one of the next capacity.
    const uint32_t k = block.Count / kRunStep;
    uint32_t start;
    if (k + 1 < FreeListCount && FreeLists[k + 1] != 0) {
      start = FreeLists[k + 1] - 1;
      FreeLists[k + 1] = Values[start];
    } else {
      start = Values.Count();
      if (uint64_t(start) + block.Count + kRunStep > UINT32_MAX) throw std::bad_alloc();
      Values.Resize(start + block.Count + kRunStep);
    }
    for (uint32_t i = 0; i < block.Count; ++i)
      Values[start + i] = Values[block.Start + i];
    if (block.Count != 0) {
      if (FreeLists.size() <= k) FreeLists.resize(size_t(2) * k);
      Values[block.Start] = FreeLists[k];
      FreeLists[k] = block.Start + 1;
      FreeListCount = std::max(FreeListCount, k + 1);
    }
    block.Start = start;
  }
  Values[block.Start + block.Count] = Value;
  ++block.Count;
}

uint32_t THgBlocksOfOffset::Append(uint32_t Value) {
  return Values.Add(Value);
}

uint32_t THgBlocksOfOffset::BlockOf(int64_t Offset) const {
  if (Offset < 0) return 0;
  const uint64_t b = uint64_t(Offset) >> Shift;
  return b < BlockCount ? uint32_t(b) : 0;
}

uint32_t THgBlocksOfOffset::BlockStart(uint32_t Block) const {
  return Block < BlockCount ? BlockTable[Block].Start : 0;
}

uint32_t THgBlocksOfOffset::BlockValueCount(uint32_t Block) const {
  return Block < BlockCount ? BlockTable[Block].Count : 0;
}

uint32_t THgBlocksOfOffset::Value(uint32_t Index) const {
  return Index < Values.Count() ? Values[Index] : 0;
}

void THgBlocksOfOffset::Clear() {
  Values.Reset();
  std::fill_n(FreeLists.begin(), FreeListCount, 0u);
  FreeListCount = 0;
  for (uint32_t i = 0; i < BlockCount; ++i)
    BlockTable[i].Count = 0;
  BlockCount = 0;
}

} // namespace clw
