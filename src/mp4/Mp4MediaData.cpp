#include "mp4/Mp4MediaData.h"

namespace clw {

uint64_t TMp4ScanResults::CandidateFingerprint() const {
  const uint32_t n = MDATChunks.Count();
  uint64_t f = 0x9E3779B97F4A7C15ull * (uint64_t(n) + 1);
  if (n > 0) {
    f ^= MDATChunks[0].Position * 0xC2B2AE3D27D4EB4Full;
    f ^= (MDATChunks[n - 1].Position + MDATChunks[n - 1].Length) * 0x165667B19E3779F9ull;
  }
  return f;
}

void TMp4ScanResults::Clear() {
  MDATChunks.Reset();
  NullBlocks.Reset();
  BlocksOfOffset->Clear();
  ChunkSuccessors.clear();
  SuccessorsFingerprint = 0;
  MediaDataStart = 0;
  MediaDataNode = -1;
}

} // namespace clw
