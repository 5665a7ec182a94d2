#include "mp4/Mp4MediaData.h"

#include "streams/Endian.h"

#include <algorithm>
#include <numeric>

namespace clw {

size_t FirstNonZeroByte(const uint8_t* P, size_t N) {
  size_t i = 0;
  for (; i + 64 <= N; i += 64) {
    uint64_t any = 0;
    for (size_t k = 0; k < 64; k += 8)
      any |= ReadLE64(P + i + k);
    if (any != 0) break;
  }
  while (i + 8 <= N && ReadLE64(P + i) == 0)
    i += 8;
  while (i < N && P[i] == 0)
    ++i;
  return i;
}

uint64_t TMp4ScanResults::CandidateFingerprint() const {
  const uint32_t n = MDATChunks.Count();
  uint64_t f = 0x9E3779B97F4A7C15ull * (uint64_t(n) + 1);
  if (n > 0) {
    f ^= MDATChunks[0].Position * 0xC2B2AE3D27D4EB4Full;
    f ^= (MDATChunks[n - 1].Position + MDATChunks[n - 1].Length) * 0x165667B19E3779F9ull;
  }
  return f;
}

void TDroppedCandidates::MakeCounts() {
  Counts.assign(kKinds * kMarkers * kLengthBins, 0);
}

void TDroppedCandidates::AddMarkers(std::vector<int32_t>& H) const {
  if (Counts.empty()) return;
  for (size_t kind = 0; kind < kKinds; ++kind)
    for (size_t m = 0; m < kMarkers; ++m) {
      const uint32_t* bins = &Counts[(kind * kMarkers + m) * kLengthBins];
      H[m] += int32_t(std::accumulate(bins, bins + kLengthBins, uint64_t(0)));
    }
}

void TDroppedCandidates::RemoveOversized(const uint32_t (&Typical)[5]) {
  if (Counts.empty()) return;
  for (size_t kind = 1; kind < kKinds; ++kind) {
    const size_t from = std::min<size_t>(Typical[kind - 1] >> 13, kLengthBins);
    for (size_t m = 0; m < kMarkers; ++m) {
      uint32_t* bins = &Counts[(kind * kMarkers + m) * kLengthBins];
      std::fill(bins + from, bins + kLengthBins, 0);
    }
  }
}

void TDroppedCandidates::Clear() {
  Counts.clear();
  Total = 0;
}

TLargeVector<TMDATChunk> TAloneCandidates::Take(uint8_t Marker, TDroppedCandidates& Dropped) {
  TLargeVector<TMDATChunk> kept;
  if (Marker >= kMarkers || ByMarker[Marker] == 0) {
    Clear();
    return kept;
  }
  kept.reserve(ByMarker[Marker]);
  uint64_t position = 0;
  // The blocks read go back at once: the store and the list it feeds never both peak.
  for (size_t i = 0; i < Records.Size(); ++i) {
    if (i % Records.kPerBlock == 0) Records.ReleaseBefore(i);
    const uint64_t r = Records[i];
    if (((r >> kHeaderShift) & 0x7F) == 0) { // kPositionFollows
      if (++i == Records.Size()) break;
      position = Records[i];
      continue;
    }
    position += r & kStepMask;
    if ((r >> kMarkerShift) != Marker) continue;
    TMDATChunk c;
    c.Position = position;
    c.Length = uint32_t((r >> kLengthShift) & kLongest);
    c.Header = uint8_t((r >> kHeaderShift) & 0x7F);
    c.SliceType = uint8_t((r >> kSliceShift) & 15);
    c.Flags = ((r >> kSliceShift) & 0x10) ? TMDATChunk::kPictureStart : 0;
    c.Neighbour = uint8_t(Marker << 1 | TMDATChunk::kAudioEndsBefore);
    kept.push_back(c);
    Dropped.Remove(c);
  }
  Clear();
  // One scan adds them in position order; the scans of several ranges may interleave.
  const auto before = [](const TMDATChunk& a, const TMDATChunk& b) {
    return a.Position < b.Position;
  };
  if (!std::is_sorted(kept.begin(), kept.end(), before))
    std::sort(kept.begin(), kept.end(), before);
  return kept;
}
void TAloneCandidates::Clear() {
  Records.Clear();
  Last = 0;
  std::fill(std::begin(ByMarker), std::end(ByMarker), 0);
  Total = 0;
}

void TMp4ScanResults::Clear() {
  Dropped.Clear();
  Alone.Clear();
  ListedAlone = 0;
  MDATChunks.Reset();
  NullBlocks.Reset();
  BlocksOfOffset->Clear();
  ChunkSuccessors.clear();
  SuccessorsFingerprint = 0;
  MediaDataStart = 0;
  MediaDataNode = -1;
}

} // namespace clw
