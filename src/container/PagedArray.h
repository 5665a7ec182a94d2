#pragma once
// Large record lists (chunk-tree nodes, offset-block values, NAL candidates, zero runs)
// live in fixed pages of 512 records: record i is slot i % 512 of page i / 512, so growth
// never moves a stored record and references into a page stay valid.
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

namespace clw {

template <typename T> class TPagedArray {
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
  // value-initialised (pages are allocated zeroed), kept pages keep their contents.
  void Resize(uint32_t NewCount) {
    Reserve(NewCount);
    FCount = NewCount;
  }

  // Forgets the records but keeps the pages allocated for reuse.
  void Reset() { FCount = 0; }

  // Releases the pages past the last record, after a list has been compacted.
  void ReleaseUnused() { FPages.resize((size_t(FCount) + kPageSize - 1) >> kPageShift); }

  // Forgets the records and releases every page.
  void Clear() {
    FCount = 0;
    FPages.clear();
    FPages.shrink_to_fit();
  }

private:
  void Reserve(uint64_t Needed) {
    while (uint64_t(FPages.size()) << kPageShift < Needed) {
      if (FPages.size() == FPages.capacity()) {
        size_t next = FPages.capacity() == 0 ? FInitialDirectory
                      : FDirectoryStep != 0  ? FPages.capacity() + FDirectoryStep
                                             : FPages.capacity() * 2;
        FPages.reserve(next);
      }
      FPages.push_back(std::make_unique<T[]>(kPageSize));
    }
  }

  std::vector<std::unique_ptr<T[]>> FPages;
  uint32_t FCount = 0;
  uint32_t FInitialDirectory;
  uint32_t FDirectoryStep;
};

} // namespace clw
