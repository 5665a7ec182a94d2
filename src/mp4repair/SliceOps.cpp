#include "mp4repair/SliceOps.h"

#include <algorithm>

namespace clw::slices {

void CompactChunks(TMDATChunks& Chunks, TLargeVector<int32_t>& NewIndex) {
  const uint32_t n = Chunks.Count();
  NewIndex.assign(n, -1);
  uint32_t kept = 0;
  for (uint32_t i = 0; i < n; ++i) {
    if (Chunks[i].Flags & TMDATChunk::kRejected) continue;
    NewIndex[i] = int32_t(kept);
    if (kept != i) Chunks[kept] = Chunks[i];
    ++kept;
  }
  Chunks.Resize(kept);
  Chunks.ReleaseUnused();
}

void CompactSlices(TMDATSlices& Slices) {
  std::erase_if(Slices, [](const TMDATSlice& s) { return (s.Flags & TMDATSlice::kDeleted) != 0; });
}

int32_t FindChunkAt(const TMDATChunks& Chunks, uint64_t Position, uint32_t From, uint32_t To) {
  To = std::min(To, Chunks.Count());
  uint32_t lo = From;
  uint32_t hi = To;
  while (lo < hi) {
    const uint32_t mid = lo + (hi - lo) / 2;
    if (Chunks[mid].Position < Position)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo < To && Chunks[lo].Position == Position ? int32_t(lo) : -1;
}

namespace {
// Members in use, clipped to what the array holds.
int32_t UsedCount(const TMDATSlice& Slice) {
  return std::clamp<int32_t>(Slice.Count, 0, int32_t(Slice.Members.size()));
}
bool IsChunk(const TMDATChunks& Chunks, int32_t Index) {
  return Index >= 0 && uint32_t(Index) < Chunks.Count();
}
} // namespace

void Dissolve(const TMDATSlice& Slice, TMDATChunks& Chunks) {
  for (int32_t k = 0; k < UsedCount(Slice); ++k)
    if (IsChunk(Chunks, Slice.Members[k])) Chunks[uint32_t(Slice.Members[k])].Run = 0;
}

void RecountVCL(TMDATSlice& Slice, const TMDATChunks& Chunks) {
  int32_t vcl = 0;
  for (int32_t k = 0; k < UsedCount(Slice); ++k)
    if (IsChunk(Chunks, Slice.Members[k]) && Chunks[uint32_t(Slice.Members[k])].IsVCL()) ++vcl;
  Slice.VCLCount = vcl;
}

bool UpdateExtent(TMDATSlice& Slice, const TMDATChunks& Chunks) {
  const int32_t n = UsedCount(Slice);
  if (n == 0 || !IsChunk(Chunks, Slice.Members[0]) || !IsChunk(Chunks, Slice.Members[n - 1]))
    return false;
  Slice.Start = Chunks[uint32_t(Slice.Members[0])].Position;
  Slice.Size = Chunks[uint32_t(Slice.Members[n - 1])].End() - Slice.Start;
  return true;
}

void KeepHead(TMDATSlice& Slice, int32_t Count) {
  Slice.Count = std::clamp(Count, 0, UsedCount(Slice));
  Slice.Members.resize(size_t(Slice.Count));
}

void DropHead(TMDATSlice& Slice, int32_t Count) {
  const int32_t n = UsedCount(Slice);
  const int32_t drop = std::clamp(Count, 0, n);
  Slice.Members.erase(Slice.Members.begin(), Slice.Members.begin() + drop);
  Slice.Members.resize(size_t(n - drop));
  Slice.Count = n - drop;
}

void RemoveSlicesWithoutVCL(TMDATSlices& Slices, TMDATChunks& Chunks) {
  bool any = false;
  for (TMDATSlice& s : Slices) {
    RecountVCL(s, Chunks);
    if (s.VCLCount > 0) continue;
    Dissolve(s, Chunks);
    s.Flags |= TMDATSlice::kDeleted;
    any = true;
  }
  if (any) CompactSlices(Slices);
}

} // namespace clw::slices
