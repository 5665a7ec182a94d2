// The chunk and sample lists of the repaired tracks, from three sources in order of trust:
// the damaged file's own tables where they hold together, the video slices the check found
// (split into pictures), and the audio gaps between them. Then what cannot be in the copy
// goes: chunks past the end of the file, and samples the recorder never wrote.
#include "mp4/Mp4BoxTypes.h"
#include "mp4repair/HgMP4FileWriter.h"
#include "mp4repair/TrackDescriptions.h"
#include "streams/Endian.h"

#include <algorithm>

namespace clw {

namespace {

// NAL unit types that open a new access unit when they follow a coded slice: SEI,
// sequence and picture parameter sets, the access unit delimiter, and the types reserved
// for that place.
bool OpensAccessUnit(uint8_t NalType) {
  return (NalType >= 6 && NalType <= 9) || (NalType >= 14 && NalType <= 18);
}

// Whether the H.264 sample at Offset holds an IDR picture: its units are walked up to the
// first coded slice.
bool StartsWithIdr(TStream64& Stream, uint64_t Offset, uint32_t Size, uint32_t LengthSize) {
  uint64_t at = 0;
  for (int unit = 0; unit < 32 && at + LengthSize + 1 <= Size; ++unit) {
    uint8_t head[5];
    if (Stream.Seek(int64_t(Offset + at), soBeginning) != int64_t(Offset + at) ||
        Stream.Read(head, LengthSize + 1) != int64_t(LengthSize + 1))
      return false;
    uint32_t length = 0;
    for (uint32_t i = 0; i < LengthSize; ++i)
      length = length << 8 | head[i];
    const uint8_t type = head[LengthSize] & 0x1F;
    if (type == 5) return true;
    if (type >= 1 && type <= 4) return false;
    at += uint64_t(LengthSize) + length;
  }
  return false;
}

} // namespace

void CompactSamples(TSlice& Chunk) {
  std::erase_if(Chunk.Samples, [](const TNewChunk& s) { return (s.Flags & TNewChunk::kDeleted); });
  Chunk.SampleCount = int32_t(Chunk.Samples.size());
}

void CompactChunks(TSlices& Chunks) {
  std::erase_if(Chunks, [](const TSlice& c) { return (c.Flags & TSlice::kDeleted) != 0; });
}

// A chunk's extent after samples were removed: from its first sample to its last.
void FitToSamples(TSlice& Chunk) {
  if (Chunk.Samples.empty()) return;
  Chunk.Offset = Chunk.Samples.front().Offset;
  uint64_t size = 0;
  for (const TNewChunk& s : Chunk.Samples)
    size += s.Size;
  Chunk.Size = size;
}

void THgMP4FileWriter::BuildChunkLists() {
  bool walked = false;
  for (TRebuiltTrack& t : Tracks) {
    t.Chunks.clear();
    t.UniformSampleSize = 0;
    t.SamplesAsInSource = false;
  }
  if (RebuildMode == rmFromScan && VideoTrack >= 0) {
    const uint16_t own = ValidateTables(VideoTrack);
    const uint16_t all = tfChunkOffsets | tfSampleSizes | tfSyncSamples | tfSampleToChunk;
    if ((own & all) != all) {
      walked = ChunksFromWalk();
      if (!walked) ChunksFromSlices(Tracks[size_t(VideoTrack)]);
    }
  }
  for (TRebuiltTrack& t : Tracks)
    if (t.Chunks.empty() && t.Source >= 0) ChunksFromTables(t);
  if (RebuildMode == rmFromScan && !walked && SoundTrack >= 0 &&
      Tracks[size_t(SoundTrack)].Chunks.empty())
    ChunksFromGaps(Tracks[size_t(SoundTrack)]);
  SizeChunksFromNeighbours();
  DropBeyondFile();
}

// Each slice is one chunk; its units are grouped into pictures. A picture runs up to and
// including its last coded slice; the next one opens at a delimiter, SEI or parameter set
// after a coded slice, or at a coded slice that starts at macroblock 0.
void THgMP4FileWriter::ChunksFromSlices(TRebuiltTrack& Track) {
  const TMDATChunks& units = Input.Scan.MDATChunks;
  for (const TMDATSlice& s : Input.MDATSlices) {
    if ((s.Flags & TMDATSlice::kDeleted) || s.Count <= 0) continue;
    TSlice chunk;
    TNewChunk sample;
    bool open = false;
    bool coded = false;
    const auto close = [&] {
      if (open) chunk.Samples.push_back(sample);
      open = coded = false;
    };
    for (int32_t k = 0; k < s.Count && size_t(k) < s.Members.size(); ++k) {
      const TMDATChunk& u = units[uint32_t(s.Members[size_t(k)])];
      const uint8_t type = u.NalType();
      const bool newPicture = u.IsVCL() && (u.Flags & TMDATChunk::kPictureStart);
      if (coded && (OpensAccessUnit(type) || newPicture)) close();
      if (!open) {
        sample = TNewChunk{u.Position, 0, 0, 0};
        open = true;
      }
      sample.Size += u.Length + 4;
      if (u.IsVCL() && !coded) {
        // An IDR picture of I slices: a decoder can start here. (SI pictures are left out.)
        if (type == 5 && (u.SliceType == 2 || u.SliceType == 7)) sample.Flags |= TNewChunk::kSync;
        coded = true;
      }
    }
    close();
    if (chunk.Samples.empty()) continue;
    chunk.SampleCount = int32_t(chunk.Samples.size());
    FitToSamples(chunk);
    Track.Chunks.push_back(std::move(chunk));
  }
}

void THgMP4FileWriter::ChunksFromTables(TRebuiltTrack& Track) {
  const TMp4Trak& source = Input.Traks[size_t(Track.Source)];
  const uint16_t flags = ValidateTables(int32_t(&Track - Tracks.data()));
  if (!(flags & tfChunkOffsets)) return;
  for (uint64_t offset : source.stco.Table) {
    TSlice chunk;
    chunk.Offset = ShiftedOffset(offset);
    Track.Chunks.push_back(std::move(chunk));
  }
  if ((flags & (tfSampleSizes | tfSampleToChunk)) != (tfSampleSizes | tfSampleToChunk)) return;

  const TMp4_stsz& stsz = source.stsz;
  const bool uniform = stsz.SampleSize > 0;
  // QuickTime counts uncompressed sound in frames but gives "stsz" the size of one
  // channel's sample (ffmpeg writes 2 for 16-bit stereo): the bytes are the description's.
  uint32_t frame = stsz.SampleSize;
  if (uniform && !source.stsd.Entries.empty() && IsPcmSampleEntry(source.stsd.Entries[0].Type) &&
      PcmFrameSize(source.stsd.Entries[0]) > 0)
    frame = PcmFrameSize(source.stsd.Entries[0]);
  if (uniform) Track.UniformSampleSize = frame;
  size_t next = 0; // next listed sample size
  const TMp4_stsc_table& stsc = source.stsc.Table;
  size_t entry = 0;
  for (size_t c = 0; c < Track.Chunks.size(); ++c) {
    while (entry + 1 < stsc.size() && stsc[entry + 1].FirstChunk <= c + 1)
      ++entry;
    TSlice& chunk = Track.Chunks[c];
    const uint32_t count = stsc[entry].SamplesPerChunk;
    if (uniform) {
      chunk.SampleCount = int32_t(count);
      chunk.Size = uint64_t(count) * frame;
      continue;
    }
    uint64_t at = chunk.Offset;
    chunk.Samples.reserve(count);
    for (uint32_t i = 0; i < count && next < stsz.Table.size(); ++i, ++next) {
      chunk.Samples.push_back(TNewChunk{at, stsz.Table[next], 0, 0});
      at += stsz.Table[next];
    }
    chunk.SampleCount = int32_t(chunk.Samples.size());
    chunk.Size = at - chunk.Offset;
  }
  Track.SamplesAsInSource = true;

  // Durations, when "stts" covers exactly these samples.
  uint64_t total = 0;
  for (const TMp4_stts_entry& e : source.stts.Table)
    total += e.SampleCount;
  const uint64_t samples = uniform ? stsz.SampleCount : stsz.Table.size();
  if (source.stts.Version != kNotRead && total == samples && samples > 0) {
    Track.stts = source.stts;
    if (!uniform) {
      size_t e = 0;
      uint32_t used = 0;
      for (TSlice& chunk : Track.Chunks)
        for (TNewChunk& s : chunk.Samples) {
          while (e < source.stts.Table.size() && used >= source.stts.Table[e].SampleCount) {
            ++e;
            used = 0;
          }
          if (e < source.stts.Table.size()) s.Duration = source.stts.Table[e].SampleDelta;
          ++used;
        }
    }
  }

  if (Track.MediaKind != mkVideo || uniform) return;
  // Sync samples: from "stss"; a track without one has nothing but sync samples, except
  // that a damaged file may simply have lost its "stss", so H.264 is asked itself.
  if (flags & tfSyncSamples) {
    size_t k = 0;
    uint32_t number = 0;
    for (TSlice& chunk : Track.Chunks)
      for (TNewChunk& s : chunk.Samples) {
        ++number;
        while (k < source.stss.Table.size() && source.stss.Table[k] < number)
          ++k;
        if (k < source.stss.Table.size() && source.stss.Table[k] == number)
          s.Flags |= TNewChunk::kSync;
      }
  } else {
    const bool h264 =
        !source.stsd.Entries.empty() && IsH264SampleEntry(source.stsd.Entries[0].Type);
    TStream64* stream = Input.Source();
    const uint32_t lengthSize =
        NalLengthSize(FirstSampleEntry(ReadNodePayload(Input, source.StsdNode, kPlainBoxLimit)));
    for (TSlice& chunk : Track.Chunks)
      for (TNewChunk& s : chunk.Samples)
        if (!h264 || (stream && StartsWithIdr(*stream, s.Offset, s.Size, lengthSize)))
          s.Flags |= TNewChunk::kSync;
  }
}

void THgMP4FileWriter::ChunksFromGaps(TRebuiltTrack& Track) {
  for (const TAudioGap& g : AudioGaps) {
    if (g.Length <= 4) continue;
    TSlice chunk;
    chunk.Offset = g.Start;
    chunk.Size = g.Length;
    Track.Chunks.push_back(std::move(chunk));
  }
}

// A chunk known only by its offset reaches to the next chunk of any track, or to the end
// of the media data it lies in.
void THgMP4FileWriter::SizeChunksFromNeighbours() {
  struct TExtent {
    uint64_t Start, End;
  };
  std::vector<uint64_t> starts;
  std::vector<TExtent> sized;
  for (const TRebuiltTrack& t : Tracks)
    for (const TSlice& c : t.Chunks) {
      starts.push_back(c.Offset);
      if (c.Size > 0) sized.push_back({c.Offset, c.Offset + c.Size});
    }
  for (int32_t n = Input.FindChild(-1, kmdat); n >= 0; n = Input.FindNext(n, kmdat))
    starts.push_back(
        std::min<uint64_t>(uint64_t(std::max<int64_t>(Input.NodeEnd(n), 0)), Input.FileSize));
  starts.push_back(Input.FileSize);
  std::sort(starts.begin(), starts.end());
  starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
  std::sort(sized.begin(), sized.end(),
            [](const TExtent& a, const TExtent& b) { return a.Start < b.Start; });
  // The furthest end of the sized chunks up to each one.
  std::vector<uint64_t> reach(sized.size());
  for (size_t k = 0; k < sized.size(); ++k)
    reach[k] = std::max(sized[k].End, k > 0 ? reach[k - 1] : 0);

  for (TRebuiltTrack& t : Tracks) {
    bool deleted = false;
    for (TSlice& c : t.Chunks) {
      if (c.Size > 0) continue;
      // Inside a chunk whose extent is known it cannot be a chunk of its own.
      const auto it = std::upper_bound(sized.begin(), sized.end(), c.Offset,
                                       [](uint64_t o, const TExtent& e) { return o < e.Start; });
      const bool inside = it != sized.begin() && reach[size_t(it - sized.begin()) - 1] > c.Offset;
      const auto next = std::upper_bound(starts.begin(), starts.end(), c.Offset);
      if (inside || next == starts.end()) {
        c.Flags |= TSlice::kDeleted;
        deleted = true;
        continue;
      }
      c.Size = *next - c.Offset;
    }
    if (deleted) CompactChunks(t.Chunks);
  }
}

void THgMP4FileWriter::DropBeyondFile() {
  const uint64_t fileSize = Input.FileSize;
  for (TRebuiltTrack& t : Tracks) {
    bool changed = false;
    for (TSlice& c : t.Chunks) {
      if (c.Offset >= fileSize) {
        c.Flags |= TSlice::kDeleted;
        changed = true;
        continue;
      }
      if (c.Size <= fileSize - c.Offset) continue;
      changed = true;
      if (t.UniformSampleSize > 0) {
        c.SampleCount = int32_t((fileSize - c.Offset) / t.UniformSampleSize);
        c.Size = uint64_t(c.SampleCount) * t.UniformSampleSize;
      } else if (!c.Samples.empty()) {
        for (TNewChunk& s : c.Samples)
          if (s.Offset >= fileSize || s.Size > fileSize - s.Offset) s.Flags |= TNewChunk::kDeleted;
        CompactSamples(c);
        FitToSamples(c);
        if (c.Samples.empty()) c.Size = 0;
      } else {
        c.Size = fileSize - c.Offset;
      }
      if (c.Size == 0) c.Flags |= TSlice::kDeleted;
    }
    if (changed) {
      CompactChunks(t.Chunks);
      t.SamplesAsInSource = false;
    }
  }
}

// Samples that touch a run of zero bytes hold data the recorder never wrote. Uncompressed
// sound is spared: silence is zeros, and taking it out would shift all sound after it.
void THgMP4FileWriter::DropZeroRuns() {
  const TNullBlocks& runs = Input.Scan.NullBlocks;
  if (runs.Count() == 0) return;
  // Silence or an unwritten stretch can run on into the leading zero bytes of the next
  // unit's length field; those bytes belong to the unit.
  uint32_t lengthSize = 4;
  if (VideoTrack >= 0) {
    const TRebuiltTrack& video = Tracks[size_t(VideoTrack)];
    const THgMP4FileReader* from = nullptr;
    int32_t node = -1;
    if (FindTrackBox(video, kstsd, from, node))
      lengthSize = NalLengthSize(FirstSampleEntry(ReadNodePayload(*from, node, kPlainBoxLimit)));
  }
  const uint64_t spare = lengthSize - 1;
  const auto touchesRun = [&](uint64_t start, uint64_t end) {
    // The last run that starts before End is the only one that can reach into the range.
    uint32_t lo = 0, hi = runs.Count();
    while (lo < hi) {
      const uint32_t mid = lo + (hi - lo) / 2;
      if (runs[mid].Start < end)
        lo = mid + 1;
      else
        hi = mid;
    }
    if (lo == 0) return false;
    const TNullBlock& r = runs[lo - 1];
    const uint64_t runEnd = r.Start + (r.Length > spare ? r.Length - spare : 0);
    return runEnd > start;
  };
  for (TRebuiltTrack& t : Tracks) {
    // Samples judged one by one have had their lost sectors dealt with.
    if (t.UniformSampleSize > 0 || t.SamplesJudged) continue;
    bool changed = false;
    for (TSlice& c : t.Chunks) {
      bool any = false;
      for (TNewChunk& s : c.Samples)
        if (touchesRun(s.Offset, s.Offset + s.Size)) {
          s.Flags |= TNewChunk::kDeleted;
          any = true;
        }
      if (!any) continue;
      changed = true;
      CompactSamples(c);
      FitToSamples(c);
      if (c.Samples.empty()) c.Flags |= TSlice::kDeleted;
    }
    if (changed) {
      CompactChunks(t.Chunks);
      t.SamplesAsInSource = false;
    }
  }
}

} // namespace clw
