#include "container/LargeBlocks.h"

#include <cstdlib>
#include <new>

#include <sys/mman.h>

namespace clw {

void TLargeBlockFree::operator()(uint8_t* P) const {
  if (Mapped != 0)
    UnmapLarge(P, Mapped);
  else
    std::free(P);
}

TLargeBlock AllocateLarge(size_t Bytes) {
  if (Bytes < kLargeBlockSize) {
    void* memory = std::malloc(Bytes == 0 ? 1 : Bytes);
    if (!memory) throw std::bad_alloc();
    return TLargeBlock(static_cast<uint8_t*>(memory));
  }
  uint8_t* const block = MapLarge(Bytes);
  return TLargeBlock(block, TLargeBlockFree{Bytes});
}

namespace {
// Bytes rounded up to whole huge pages (0 when that overflows).
constexpr size_t WholeHugePages(size_t Bytes) {
  return (Bytes + kLargeBlockSize - 1) & ~(kLargeBlockSize - 1);
}
} // namespace

uint8_t* MapLarge(size_t Bytes) {
  // Mapped with a huge page's worth to spare, then trimmed to a huge page's alignment.
  const size_t rounded = WholeHugePages(Bytes);
  if (rounded < Bytes || rounded + kLargeBlockSize < rounded) throw std::bad_alloc();
  void* mapped = mmap(nullptr, rounded + kLargeBlockSize, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  uint8_t* const start = static_cast<uint8_t*>(mapped);
  const uintptr_t address = reinterpret_cast<uintptr_t>(start);
  const size_t lead = ((address + kLargeBlockSize - 1) & ~uintptr_t(kLargeBlockSize - 1)) - address;
  uint8_t* const block = start + lead;
  if (lead > 0) munmap(start, lead);
  if (kLargeBlockSize - lead > 0) munmap(block + rounded, kLargeBlockSize - lead);
#if defined(MADV_HUGEPAGE)
  madvise(block, rounded, MADV_HUGEPAGE);
#endif
  return block;
}

void UnmapLarge(uint8_t* P, size_t Bytes) {
  munmap(P, WholeHugePages(Bytes));
}

} // namespace clw
