#pragma once
// Small operations on candidates and slices that the steps of slice detection share. A
// slice's Count is authoritative: members past it are never read. Deletions only mark
// (kRejected, kDeleted); one compaction pass then removes what was marked.
#include "mp4/Mp4MediaData.h"

#include <cstdint>
#include <vector>

namespace clw {
class TSliceDetector;
}

namespace clw::slices {

// Removes the candidates marked rejected, keeping the order; NewIndex gets the new index
// of every old candidate, -1 for the removed.
void CompactChunks(TMDATChunks& Chunks, TLargeVector<int32_t>& NewIndex);
// Removes the slices marked deleted, keeping the order.
void CompactSlices(TMDATSlices& Slices);

// Index of the candidate at exactly Position among indices [From, To), or -1.
int32_t FindChunkAt(const TMDATChunks& Chunks, uint64_t Position, uint32_t From, uint32_t To);

// Asks ahead of a loop over Slices, at slice R, for the member lists further on and for
// the first members of the slices nearer: both lie all over memory.
inline void PrefetchSlices(const TMDATSlices& Slices, size_t R, const TMDATChunks& Chunks) {
  if (R + 16 < Slices.size()) __builtin_prefetch(Slices[R + 16].Members.data());
  if (R + 8 >= Slices.size()) return;
  const TMDATSlice& s = Slices[R + 8];
  for (size_t k = 0; k < 2 && k < s.Members.size(); ++k)
    if (s.Members[k] >= 0 && uint32_t(s.Members[k]) < Chunks.Count())
      __builtin_prefetch(&Chunks[uint32_t(s.Members[k])]);
}

// Releases the members of a slice from their run.
void Dissolve(const TMDATSlice& Slice, TMDATChunks& Chunks);
void RecountVCL(TMDATSlice& Slice, const TMDATChunks& Chunks);
// Start and size from the first and last member; false (and nothing changed) when the
// slice has no member.
bool UpdateExtent(TMDATSlice& Slice, const TMDATChunks& Chunks);
// End of the last member, from the stored start and size.
inline uint64_t SliceEnd(const TMDATSlice& Slice) {
  return Slice.Start + Slice.Size;
}
// Keeps the first Count members.
void KeepHead(TMDATSlice& Slice, int32_t Count);
// Drops the first Count members.
void DropHead(TMDATSlice& Slice, int32_t Count);
// Dissolves and deletes every slice without a coded slice among its members, then compacts.
void RemoveSlicesWithoutVCL(TMDATSlices& Slices, TMDATChunks& Chunks);

// A candidate between two audio frames: an AAC frame ends before it and the byte after it
// is the file's usual first byte of an audio frame.
inline bool IsFramedByAudio(const TMDATChunk& C, uint8_t AudioMarker) {
  return (C.Flags & TMDATChunk::kRejected) == 0 &&
         (C.Neighbour & TMDATChunk::kAudioEndsBefore) != 0 && (C.Neighbour >> 1) == AudioMarker;
}
// One that stands alone there: it belongs to no run.
inline bool IsLone(const TMDATChunk& C, uint8_t AudioMarker) {
  return C.Run == 0 && IsFramedByAudio(C, AudioMarker);
}

// The steps of slice arbitration (SliceArbitration.cpp), run by FindSlices in this order.
// Deletes every slice that overlaps at least two later slices holding together more than
// five times its own coded slices.
void DeleteSwallowed(TSliceDetector& Detector);
// Resolves every overlap between two slices, pass after pass while a pass still deletes.
void ArbitrateOverlaps(TSliceDetector& Detector);
// Deletes slices that start before a slice listed ahead of them.
void DeleteOutOfOrder(TMDATSlices& Slices);

} // namespace clw::slices
