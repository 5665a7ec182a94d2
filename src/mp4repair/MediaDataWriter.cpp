// The media data of the repaired copy and the sample tables that point into it. The chunks
// of all tracks are copied in the order of their offsets in the damaged file, so the copy
// keeps the camera's interleaving and a player reads it front to back as before; every
// chunk's offset then names its place in the copy.
#include "mp4/Mp4BoxTypes.h"
#include "mp4repair/HgMP4FileWriter.h"

#include <algorithm>

namespace clw {

namespace {

// The copy takes the progress from where delimiting the sound left it to the end.
constexpr int64_t kCopyFrom = 10;
constexpr int64_t kCopyTo = 99;

uint64_t ChunkBytes(const TRebuiltTrack& Track, const TSlice& Chunk) {
  if (Track.UniformSampleSize > 0 || Chunk.Samples.empty()) return Chunk.Size;
  uint64_t bytes = 0;
  for (const TNewChunk& s : Chunk.Samples)
    bytes += s.Size;
  return bytes;
}

} // namespace

bool THgMP4FileWriter::WriteMediaData() {
  std::vector<size_t> written;
  uint64_t total = 0;
  for (size_t i = 0; i < Tracks.size(); ++i) {
    if (!IsWritten(Tracks[i])) continue;
    written.push_back(i);
    for (const TSlice& c : Tracks[i].Chunks)
      total += ChunkBytes(Tracks[i], c);
  }
  const bool large = total > UINT32_MAX - 8;
  MediaDataNewOffset = Output->BeginAtom(kmdat, large);
  if (MediaDataNewOffset < 0) return false;
  TStream64* source = Input.Source();
  if (!source) return false;

  std::vector<size_t> cursor(Tracks.size(), 0);
  uint64_t copied = 0;
  for (;;) {
    if (Cancelled) return true;
    // The chunk that comes first in the damaged file; on equal offsets the earlier track.
    size_t pick = SIZE_MAX;
    uint64_t lowest = UINT64_MAX;
    for (size_t i : written) {
      if (cursor[i] >= Tracks[i].Chunks.size()) continue;
      const uint64_t offset = Tracks[i].Chunks[cursor[i]].Offset;
      if (pick == SIZE_MAX || offset < lowest) {
        pick = i;
        lowest = offset;
      }
    }
    if (pick == SIZE_MAX) break;
    TRebuiltTrack& t = Tracks[pick];
    TSlice& chunk = t.Chunks[cursor[pick]++];
    const int64_t at = Output->Stream->Position();
    if (t.UniformSampleSize > 0 || chunk.Samples.empty()) {
      if (!CopyRange(*source, int64_t(chunk.Offset), int64_t(chunk.Size))) return false;
    } else {
      // Samples that follow each other in the damaged file are copied in one piece.
      const std::vector<TNewChunk>& s = chunk.Samples;
      for (size_t k = 0; k < s.size();) {
        size_t e = k + 1;
        uint64_t bytes = s[k].Size;
        while (e < s.size() && s[e].Offset == s[e - 1].Offset + s[e - 1].Size)
          bytes += s[e++].Size;
        if (!CopyRange(*source, int64_t(s[k].Offset), int64_t(bytes))) return false;
        k = e;
      }
    }
    chunk.Offset = uint64_t(at);
    copied += ChunkBytes(t, chunk);
    if (total > 0)
      ReportProgress(kCopyFrom + int64_t(copied * uint64_t(kCopyTo - kCopyFrom) / total));
  }
  return Output->EndAtom(large) >= 0;
}

void THgMP4FileWriter::BuildTrackTables(int32_t Track) {
  TRebuiltTrack& t = Tracks[size_t(Track)];
  t.stco = TMp4_stco{};
  t.stsz = TMp4_stsz{};
  t.stsc = TMp4_stsc{};
  t.stss = TMp4_stss{};
  t.stco.Version = t.stsz.Version = t.stsc.Version = t.stss.Version = 0;

  uint64_t samples = 0;
  for (size_t c = 0; c < t.Chunks.size(); ++c) {
    const TSlice& chunk = t.Chunks[c];
    t.stco.Table.push_back(chunk.Offset);
    const uint32_t count = t.UniformSampleSize > 0 ? uint32_t(std::max(chunk.SampleCount, 0))
                                                   : uint32_t(chunk.Samples.size());
    if (t.stsc.Table.empty() || t.stsc.Table.back().SamplesPerChunk != count)
      t.stsc.Table.push_back({uint32_t(c + 1), count, 1});
    if (t.UniformSampleSize == 0)
      for (const TNewChunk& s : chunk.Samples) {
        t.stsz.Table.push_back(uint32_t(s.Size));
        if (s.Flags & TNewChunk::kSync) t.stss.Table.push_back(uint32_t(samples + 1));
        ++samples;
      }
    else
      samples += count;
  }
  t.stco.EntryCount = uint32_t(t.stco.Table.size());
  t.stsc.EntryCount = uint32_t(t.stsc.Table.size());
  t.stss.EntryCount = uint32_t(t.stss.Table.size());
  t.stsz.SampleSize = t.UniformSampleSize;
  t.stsz.SampleCount = uint32_t(std::min<uint64_t>(samples, UINT32_MAX));

  if (t.UniformSampleSize > 0) return; // "stts" was settled with the durations
  t.stts = TMp4_stts{};
  t.stts.Version = 0;
  for (const TSlice& chunk : t.Chunks)
    for (const TNewChunk& s : chunk.Samples) {
      const uint32_t delta = s.Duration > 0 ? s.Duration : t.DefaultSampleDuration;
      if (!t.stts.Table.empty() && t.stts.Table.back().SampleDelta == delta)
        ++t.stts.Table.back().SampleCount;
      else
        t.stts.Table.push_back({1, delta});
    }
  t.stts.EntryCount = uint32_t(t.stts.Table.size());
}

} // namespace clw
