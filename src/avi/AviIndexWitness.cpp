// The legacy index as a witness for chunk sizes. Damage that hits a chunk's size field
// leaves the chunk's bytes whole, but the walk can only call the chunk damaged and find the
// next header by scanning. An intact "idx1" still knows the size: where the entries around
// the chunk's own lead to the chunks the walk found, the chunk takes the index's size, and
// the restore pass then keeps it if a header starts exactly where it now ends.
#include "avi/HgAVIFile.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace clw {

namespace {

// More entries than this are not read: a damaged "idx1" size must not become an allocation.
constexpr int64_t kMaxEntries = 1 << 24;

} // namespace

void THgAVIFileReader::TakeSizesFromIndex() {
  TStream64* source = Source();
  int32_t index = -1, movi = -1;
  for (int32_t i = 0; i < int32_t(Count()) && (index < 0 || movi < 0); ++i) {
    if (Id(i) == kidx1 && index < 0) index = i;
    if (Id(i) == kLIST && ListType(i) == kmovi && movi < 0) movi = i;
  }
  if (!source || index < 0 || movi < 0 || DataPosition(index) >= FileSize) return;

  // Data chunk headers by position, to look up where an entry points.
  std::vector<std::pair<int64_t, int32_t>> headers;
  bool anyDamaged = false;
  for (int32_t i = 0; i < int32_t(Count()); ++i)
    if (IsStreamDataId(Id(i))) {
      headers.emplace_back(GetChunkStart(i), i);
      anyDamaged = anyDamaged || (Flags(i) & cfDamaged) != 0;
    }
  if (!anyDamaged) return;
  std::sort(headers.begin(), headers.end());
  const auto nodeAt = [&](int64_t position, TFourCC id) {
    const auto it =
        std::lower_bound(headers.begin(), headers.end(), std::pair<int64_t, int32_t>{position, -1});
    return it != headers.end() && it->first == position && Id(it->second) == id ? it->second : -1;
  };

  const int64_t entries =
      std::min<int64_t>({std::max<int64_t>(Size(index), 0), FileSize - DataPosition(index),
                         kMaxEntries * TAviIndexEntry::kSize}) /
      TAviIndexEntry::kSize;
  if (entries < 3) return;
  std::vector<uint8_t> bytes(size_t(entries * TAviIndexEntry::kSize));
  const int64_t back = source->Position();
  const bool read =
      ReadChunkPrefix(index, bytes.data(), int64_t(bytes.size())) == int64_t(bytes.size());
  source->SetPosition(back);
  if (!read) return;
  const auto entry = [&](int64_t k) {
    return TAviIndexEntry::Parse(bytes.data() + size_t(k) * TAviIndexEntry::kSize);
  };

  // Offsets count from the movie list's type field, or (some muxers) from the file's start.
  const TAviIndexEntry first = entry(0);
  int64_t base = DataPosition(movi) - 4;
  if (nodeAt(base + first.Offset, first.ChunkId) < 0) {
    base = 0;
    if (nodeAt(first.Offset, first.ChunkId) < 0) return;
  }
  const auto found = [&](int64_t k) {
    const TAviIndexEntry e = entry(k);
    return nodeAt(base + e.Offset, e.ChunkId);
  };
  for (int64_t k = 1; k + 1 < entries && PollStep(); ++k) {
    const int32_t node = found(k);
    if (node < 0 || (Flags(node) & cfDamaged) == 0) continue;
    const TAviIndexEntry e = entry(k);
    if (int64_t(e.Length) == Size(node) || int64_t(e.Length) > FileSize - DataPosition(node))
      continue;
    if (found(k - 1) >= 0 && found(k + 1) >= 0) Node(node).Size = e.Length;
  }
}

} // namespace clw
