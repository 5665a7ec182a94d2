#pragma once
// Memory for large buffers read at random: on huge pages where the system offers them, so
// that a read anywhere in them does not cost a walk of the page tables, nor filling them a
// page fault per 4 KiB. Blocks of 2 MiB and more are mapped on their own and go back to
// the system when freed: the heap would keep what a store of millions of candidates
// leaves behind for the rest of the process.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace clw {

struct TLargeBlockFree {
  size_t Mapped = 0; // bytes mapped for the block, or 0 when it came from the heap
  void operator()(uint8_t* P) const;
};
using TLargeBlock = std::unique_ptr<uint8_t[], TLargeBlockFree>;

inline constexpr size_t kLargeBlockSize = size_t(2) << 20;

// Bytes bytes, on huge pages when they fill at least one; throws std::bad_alloc.
TLargeBlock AllocateLarge(size_t Bytes);

// Records of T appended in blocks of 2 MiB; records never move.
template <typename T> class TBlockList {
public:
  static constexpr size_t kPerBlock = kLargeBlockSize / sizeof(T);

  void Add(const T& Value) { AddWhen(true, Value); }
  // Writes Value behind the last record and keeps it when Take.
  void AddWhen(bool Take, const T& Value) {
    if (Count == Blocks.size() * kPerBlock) Blocks.push_back(AllocateLarge(kLargeBlockSize));
    reinterpret_cast<T*>(Blocks[Count / kPerBlock].get())[Count % kPerBlock] = Value;
    Count += Take;
  }
  const T& operator[](size_t I) const {
    return reinterpret_cast<const T*>(Blocks[I / kPerBlock].get())[I % kPerBlock];
  }
  size_t Size() const { return Count; }
  // Gives back the blocks that hold only records before I; those records are gone.
  void ReleaseBefore(size_t I) {
    for (size_t b = 0; b < I / kPerBlock && b < Blocks.size(); ++b)
      Blocks[b].reset();
  }
  void Clear() {
    Blocks.clear();
    Blocks.shrink_to_fit();
    Count = 0;
  }

private:
  std::vector<TLargeBlock> Blocks;
  size_t Count = 0;
};

} // namespace clw
