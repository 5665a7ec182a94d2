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

void TMp4ScanResults::Clear() {
  Dropped.Clear();
  ListedAlone = 0;
  AloneLetGo = 0;
  ScanAgainFor = 255;
  PrunedBy = 255;
  MDATChunks.Reset();
  NullBlocks.Reset();
  BlocksOfOffset->Clear();
  ChunkSuccessors.clear();
  SuccessorsFingerprint = 0;
  MediaDataStart = 0;
  MediaDataNode = -1;
}

} // namespace clw
