#pragma once
// Memory for large buffers read at random: on huge pages where the system offers them, so
// that a read anywhere in them does not cost a walk of the page tables, nor filling them a
// page fault per 4 KiB. Blocks of 2 MiB and more are mapped on their own and go back to
// the system once the work that freed them is done: the heap would keep what a store of
// millions of candidates leaves behind for the rest of the process.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

namespace clw {

struct TLargeBlockFree {
  size_t Mapped = 0; // bytes mapped for the block, or 0 when it came from the heap
  void operator()(uint8_t* P) const;
};
using TLargeBlock = std::unique_ptr<uint8_t[], TLargeBlockFree>;

inline constexpr size_t kLargeBlockSize = size_t(2) << 20;
// Lists that grow past this go on in huge pages of their own. On a virtual machine a page
// fault costs microseconds: a list of megabytes filled 4 KiB at a time spends more in faults
// than in its own work, and a huge page fills in one.
inline constexpr size_t kHugePagesFrom = size_t(256) << 10;

// Bytes bytes, on huge pages when they fill at least one; throws std::bad_alloc.
TLargeBlock AllocateLarge(size_t Bytes);

// Maps Bytes on their own in whole huge pages, aligned to and advised for them and
// zeroed; throws std::bad_alloc. UnmapLarge takes the same byte count back. Up to 256 MiB
// given back stay mapped for the next requests, until ReleaseCachedLarge hands them to
// the system: a check calls it when it is done.
uint8_t* MapLarge(size_t Bytes);
void UnmapLarge(uint8_t* P, size_t Bytes);
void ReleaseCachedLarge();

// An allocator for vectors that grow to megabytes: those of kHugePagesFrom and more are
// mapped on their own. What is freed goes back as MapLarge says.
template <typename T> struct TLargeAllocator {
  using value_type = T;

  TLargeAllocator() = default;
  template <typename U> TLargeAllocator(const TLargeAllocator<U>&) noexcept {}

  T* allocate(size_t N) {
    if (N > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    const size_t bytes = N * sizeof(T);
    if (bytes >= kHugePagesFrom) return reinterpret_cast<T*>(MapLarge(bytes));
    return static_cast<T*>(::operator new(bytes));
  }
  void deallocate(T* P, size_t N) noexcept {
    const size_t bytes = N * sizeof(T);
    if (bytes >= kHugePagesFrom)
      UnmapLarge(reinterpret_cast<uint8_t*>(P), bytes);
    else
      ::operator delete(P);
  }
  template <typename U> bool operator==(const TLargeAllocator<U>&) const noexcept { return true; }
};

template <typename T> using TLargeVector = std::vector<T, TLargeAllocator<T>>;

} // namespace clw
