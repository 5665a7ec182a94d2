#pragma once
// Memory for large buffers read at random: on huge pages where the system offers them, so
// that a read anywhere in them does not cost a walk of the page tables, nor filling them a
// page fault per 4 KiB.
#include <cstddef>
#include <cstdint>
#include <memory>

namespace clw {

struct TLargeBlockFree {
  void operator()(uint8_t* P) const;
};
using TLargeBlock = std::unique_ptr<uint8_t[], TLargeBlockFree>;

inline constexpr size_t kLargeBlockSize = size_t(2) << 20;

// Bytes bytes, on huge pages when they fill at least one; throws std::bad_alloc.
TLargeBlock AllocateLarge(size_t Bytes);

} // namespace clw
