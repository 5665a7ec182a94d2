#include "container/LargeBlocks.h"

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
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

// Huge-page ranges given back, kept mapped for the next request instead of going back to
// the system: on a virtual machine a page the process touches for the first time costs it
// 1 to 3 ms per MiB, and one it touched before a twentieth of that. The scan's window
// goes just before slice detection's lists come, and lists that grow free their old room
// as they take more. Neighbouring ranges are merged; the one taken is the smallest that
// fits, and what it holds beyond the request stays.
class TLargeCache {
public:
  uint8_t* Take(size_t Bytes) {
    std::lock_guard lock(Mutex);
    auto best = Free.end();
    for (auto it = Free.begin(); it != Free.end(); ++it)
      if (it->second >= Bytes && (best == Free.end() || it->second < best->second)) best = it;
    if (best == Free.end()) return nullptr;
    const auto [address, size] = *best;
    Free.erase(best);
    if (size > Bytes) Free.emplace(address + Bytes, size - Bytes);
    Held -= Bytes;
    return reinterpret_cast<uint8_t*>(address);
  }
  // False when the cache is full: the caller unmaps the range.
  bool Keep(uint8_t* P, size_t Bytes) {
    std::lock_guard lock(Mutex);
    if (Held + Bytes > kCachedAtMost) return false;
    uintptr_t address = reinterpret_cast<uintptr_t>(P);
    size_t size = Bytes;
    auto next = Free.lower_bound(address);
    if (next != Free.end() && next->first == address + size) {
      size += next->second;
      next = Free.erase(next);
    }
    if (next != Free.begin()) {
      const auto before = std::prev(next);
      if (before->first + before->second == address) {
        address = before->first;
        size += before->second;
        Free.erase(before);
      }
    }
    Free.emplace(address, size);
    Held += Bytes;
    return true;
  }
  void Release() {
    std::lock_guard lock(Mutex);
    for (const auto& [address, size] : Free)
      munmap(reinterpret_cast<void*>(address), size);
    Free.clear();
    Held = 0;
  }

private:
  static constexpr size_t kCachedAtMost = size_t(256) << 20;
  std::mutex Mutex;
  std::map<uintptr_t, size_t> Free; // by address
  size_t Held = 0;
};

TLargeCache& Cache() {
  static TLargeCache cache;
  return cache;
}

} // namespace

uint8_t* MapLarge(size_t Bytes) {
  // Mapped with a huge page's worth to spare, then trimmed to a huge page's alignment.
  const size_t rounded = WholeHugePages(Bytes);
  if (rounded < Bytes || rounded + kLargeBlockSize < rounded) throw std::bad_alloc();
  if (uint8_t* const kept = Cache().Take(rounded)) {
    std::memset(kept, 0, rounded); // as fresh as a new mapping
    return kept;
  }
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
  if (!Cache().Keep(P, WholeHugePages(Bytes))) munmap(P, WholeHugePages(Bytes));
}

void ReleaseCachedLarge() {
  Cache().Release();
}

} // namespace clw
