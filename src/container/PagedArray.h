#pragma once
// Large record lists (chunk-tree nodes, offset-block values, NAL candidates, zero runs)
// live in fixed pages of 512 records: record i is slot i % 512 of page i / 512, so growth
// never moves a stored record and references into a page stay valid. Pages are cut from
// slabs that double with the list; once it passes kHugePagesFrom each slab is a huge page,
// so a list of millions of records fills without a page fault every 4 KiB.
#include "container/LargeBlocks.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

namespace clw {

template <typename T> class TPagedArray {
  static_assert(std::is_trivially_destructible_v<T> && alignof(T) <= 16);

public:
  static constexpr uint32_t kPageShift = 9;
  static constexpr uint32_t kPageSize = 1u << kPageShift;

  // DirectoryStep 0 doubles the page directory when it is full (starting at
  // InitialDirectory entries); a positive step grows it by that many entries.
  explicit TPagedArray(uint32_t InitialDirectory = 32, uint32_t DirectoryStep = 0)
      : FInitialDirectory(InitialDirectory), FDirectoryStep(DirectoryStep) {}

  uint32_t Count() const { return FCount; }
  size_t PageCount() const { return FPages.size(); }
  size_t DirectoryLength() const { return FPages.capacity(); }

  T& operator[](uint32_t i) { return FPages[i >> kPageShift][i & (kPageSize - 1)]; }
  const T& operator[](uint32_t i) const { return FPages[i >> kPageShift][i & (kPageSize - 1)]; }

  // Appends a value-initialised record and returns its index.
  uint32_t Add() {
    if (FCount == UINT32_MAX) throw std::bad_alloc();
    Reserve(uint64_t(FCount) + 1);
    (*this)[FCount] = T{}; // a page kept by Reset may hold an old record here
    return FCount++;
  }
  uint32_t Add(const T& Value) {
    const uint32_t i = Add();
    (*this)[i] = Value;
    return i;
  }

  // Makes room for NewCount records and sets Count to it; new records are
  // value-initialised (pages are when they are cut), kept pages keep their contents.
  void Resize(uint32_t NewCount) {
    Reserve(NewCount);
    FCount = NewCount;
  }

  // Forgets the records but keeps the pages allocated for reuse.
  void Reset() { FCount = 0; }

  // Releases the pages past the last record, after a list has been compacted: the slabs
  // that hold only such pages go back.
  void ReleaseUnused() {
    const size_t used = (size_t(FCount) + kPageSize - 1) >> kPageShift;
    FPages.resize(std::min(FPages.size(), used));
    while (!FSlabs.empty() && FSlabs.back().FirstPage >= FPages.size())
      FSlabs.pop_back();
  }

  // Forgets the records and releases every page.
  void Clear() {
    FCount = 0;
    FPages.clear();
    FPages.shrink_to_fit();
    FSlabs.clear();
    FSlabs.shrink_to_fit();
  }

private:
  static constexpr size_t kPageBytes = sizeof(T) * kPageSize;
  static constexpr size_t kHugeSlabPages = std::max<size_t>(1, kLargeBlockSize / kPageBytes);

  // Pages [FirstPage, FirstPage + Pages) of the list.
  struct TSlab {
    TLargeBlock Memory;
    size_t FirstPage = 0;
    size_t Pages = 0;
  };

  void Reserve(uint64_t Needed) {
    while (uint64_t(FPages.size()) << kPageShift < Needed) {
      if (FPages.size() == FPages.capacity()) {
        size_t next = FPages.capacity() == 0 ? FInitialDirectory
                      : FDirectoryStep != 0  ? FPages.capacity() + FDirectoryStep
                                             : FPages.capacity() * 2;
        FPages.reserve(next);
      }
      FPages.push_back(NewPage());
    }
  }

  // The next page, value-initialised, from the last slab or a new one: as large as the
  // pages before it, or a huge page once they hold kHugePagesFrom.
  T* NewPage() {
    const size_t page = FPages.size();
    if (FSlabs.empty() || page >= FSlabs.back().FirstPage + FSlabs.back().Pages) {
      const size_t pages = page * kPageBytes >= kHugePagesFrom
                               ? kHugeSlabPages
                               : std::clamp<size_t>(page, 1, kHugeSlabPages);
      const size_t bytes = pages == kHugeSlabPages ? std::max(kLargeBlockSize, pages * kPageBytes)
                                                   : pages * kPageBytes;
      FSlabs.push_back(TSlab{AllocateLarge(bytes), page, pages});
    }
    const TSlab& slab = FSlabs.back();
    T* const records =
        reinterpret_cast<T*>(slab.Memory.get() + (page - slab.FirstPage) * kPageBytes);
    std::uninitialized_value_construct_n(records, kPageSize);
    return records;
  }

  std::vector<T*> FPages;
  std::vector<TSlab> FSlabs;
  uint32_t FCount = 0;
  uint32_t FInitialDirectory;
  uint32_t FDirectoryStep;
};

} // namespace clw
