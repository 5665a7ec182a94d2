#include "container/LargeBlocks.h"

#include <cstdlib>
#include <new>

#include <sys/mman.h>

namespace clw {

void TLargeBlockFree::operator()(uint8_t* P) const {
  std::free(P);
}

TLargeBlock AllocateLarge(size_t Bytes) {
  const bool huge = Bytes >= kLargeBlockSize;
  const size_t rounded = huge ? (Bytes + kLargeBlockSize - 1) & ~(kLargeBlockSize - 1) : Bytes;
  void* memory = huge ? std::aligned_alloc(kLargeBlockSize, rounded) : std::malloc(rounded);
  if (!memory) throw std::bad_alloc();
#if defined(MADV_HUGEPAGE)
  if (huge) madvise(memory, rounded, MADV_HUGEPAGE);
#endif
  return TLargeBlock(static_cast<uint8_t*>(memory));
}

} // namespace clw
