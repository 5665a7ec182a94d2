// How much of the movie is rebuilt: which tracks the copy has, whether its video comes
// from the scan of the media data or from the damaged file's own tables, which tables of
// the damaged file can still be trusted, and what a reference clip has to supply.
#include "mp4/Mp4BoxTypes.h"
#include "mp4repair/HgMP4FileWriter.h"
#include "mp4repair/TrackDescriptions.h"

#include <algorithm>

namespace clw {

namespace {

// Tables are trusted only when they are in order: a garbled table is far more likely to
// break that than to keep it.
template <typename TValues> bool NonDecreasing(const TValues& Values) {
  return std::is_sorted(Values.begin(), Values.end());
}

bool HasEntries(uint8_t Version, size_t Count) {
  return Version != kNotRead && Count > 0;
}

bool IsLiveSlice(const TMDATSlice& Slice) {
  return (Slice.Flags & TMDATSlice::kDeleted) == 0 && Slice.Count > 0;
}

} // namespace

void THgMP4FileWriter::CopyInputTracks() {
  Tracks.clear();
  // The part of a movie box the walk recovered after searching past its header is no
  // movie: kept, its tracks would pass for all the recording had. The copy is rebuilt
  // from the scan, as for a lost movie box.
  if (Input.MovieIncomplete) return;
  for (size_t i = 0; i < Input.Traks.size(); ++i) {
    const TMp4Trak& source = Input.Traks[i];
    TRebuiltTrack t;
    t.Source = int32_t(i);
    t.MediaKind = source.MediaKind;
    t.TrakNode = source.TrakNode;
    t.VmhdNode = source.VmhdNode;
    t.SmhdNode = source.SmhdNode;
    t.StsdNode = source.StsdNode;
    t.tkhd = source.tkhd;
    t.mdhd = source.mdhd;
    t.hdlr = source.hdlr;
    t.stsd = source.stsd;
    Tracks.push_back(std::move(t));
  }
}

int32_t THgMP4FileWriter::AddTrack(uint8_t MediaKind) {
  TRebuiltTrack t;
  t.MediaKind = MediaKind;
  Tracks.push_back(std::move(t));
  return int32_t(Tracks.size()) - 1;
}

void THgMP4FileWriter::FindAudioGaps() {
  AudioGaps.clear();
  const int32_t media = Input.Scan.MediaDataNode;
  if (!Input.IsNode(media)) return;
  const uint64_t start = uint64_t(std::max<int64_t>(Input.DataPosition(media), 0));
  const uint64_t end =
      std::min<uint64_t>(uint64_t(std::max<int64_t>(Input.NodeEnd(media), 0)), Input.FileSize);
  // Everything between the slices is audio, up to the end of the media data: the audio
  // after the last video chunk belongs to the recording as much as any other.
  uint64_t at = start;
  for (const TMDATSlice& s : Input.MDATSlices) {
    if (!IsLiveSlice(s) || s.Start >= end) continue;
    if (s.Start > at) AudioGaps.push_back({at, s.Start - at});
    at = std::max(at, std::min(s.Start + s.Size, end));
  }
  if (end > at) AudioGaps.push_back({at, end - at});
}

bool THgMP4FileWriter::HasAudioGaps() const {
  size_t slices = 0;
  for (const TMDATSlice& s : Input.MDATSlices)
    slices += IsLiveSlice(s) ? 1 : 0;
  const auto gaps = size_t(std::count_if(AudioGaps.begin(), AudioGaps.end(),
                                         [](const TAudioGap& g) { return g.Length >= 5; }));
  return slices > 0 && gaps > 0 && gaps > slices / 10;
}

int32_t THgMP4FileWriter::ChooseRebuildMode() {
  VideoTrack = SoundTrack = -1;
  FindAudioGaps();
  bool anySlice = false;
  for (const TMDATSlice& s : Input.MDATSlices)
    anySlice |= IsLiveSlice(s);
  // With a reference clip the walk proves chunks where slice detection found none (sound
  // frame by frame between short pictures leaves it no pattern to find).
  const bool walkable = Reference() != nullptr && Input.IsNode(Input.Scan.MediaDataNode);
  if (Tracks.empty() && !anySlice && !walkable) return rmNothing;

  int32_t mode = rmKeepTables;
  for (size_t i = 0; i < Tracks.size() && VideoTrack < 0; ++i)
    if (Tracks[i].MediaKind == mkVideo) VideoTrack = int32_t(i);
  if (VideoTrack < 0) {
    VideoTrack = AddTrack(mkVideo);
    mode = rmFromScan;
  }
  for (size_t i = 0; i < Tracks.size() && SoundTrack < 0; ++i)
    if (Tracks[i].MediaKind == mkSound) SoundTrack = int32_t(i);
  if (SoundTrack < 0 && HasAudioGaps()) SoundTrack = AddTrack(mkSound);

  const TRebuiltTrack& video = Tracks[size_t(VideoTrack)];
  if (video.Source >= 0 && HasAvcConfiguration(Input.Traks[size_t(video.Source)]))
    mode = rmFromScan;

  int64_t codedSlices = 0;
  for (const TMDATSlice& s : Input.MDATSlices) {
    if (!IsLiveSlice(s)) continue;
    for (int32_t k = 0; k < s.Count && size_t(k) < s.Members.size(); ++k)
      codedSlices += Input.Scan.MDATChunks[uint32_t(s.Members[size_t(k)])].IsVCL() ? 1 : 0;
  }
  // So can the file's own description of its video when the offsets it lists are wrong.
  const bool ownWalk = video.Source >= 0 && Input.TableCheck.WrongOffsets(size_t(video.Source));
  if (mode == rmFromScan)
    return codedSlices == 0 && !walkable && !ownWalk ? rmKeepTables : rmFromScan;
  return codedSlices >= 11 ? rmFromScan : rmKeepTables;
}

uint16_t THgMP4FileWriter::ValidateTables(int32_t Track) const {
  if (Track < 0 || size_t(Track) >= Tracks.size()) return 0;
  const int32_t source = Tracks[size_t(Track)].Source;
  if (source < 0 || size_t(source) >= Input.Traks.size()) return 0;
  const TMp4Trak& t = Input.Traks[size_t(source)];
  uint16_t flags = 0;

  // Chunk offsets must point into media data of this file: garbled offsets would fill the
  // copy with whatever lies there. Nor are offsets trusted whose chunks the check found
  // holding something else than the track's description says.
  if (HasEntries(t.stco.Version, t.stco.Table.size()) && t.stco.Table.front() != 0 &&
      NonDecreasing(t.stco.Table) && !Input.TableCheck.WrongOffsets(size_t(source))) {
    struct TRegion {
      uint64_t Start, Length;
    };
    std::vector<TRegion> media; // the media data of the file
    for (int32_t n = Input.FindChild(-1, kmdat); n >= 0; n = Input.FindNext(n, kmdat)) {
      const uint64_t start = uint64_t(std::max<int64_t>(Input.DataPosition(n), 0));
      const uint64_t end =
          std::min<uint64_t>(uint64_t(std::max<int64_t>(Input.NodeEnd(n), 0)), Input.FileSize);
      if (end > start) media.push_back({start, end - start});
    }
    const bool inside = std::all_of(t.stco.Table.begin(), t.stco.Table.end(), [&](uint64_t o) {
      return std::any_of(media.begin(), media.end(), [&](const TRegion& m) {
        const uint64_t at = ShiftedOffset(o);
        return at >= m.Start && at - m.Start < m.Length;
      });
    });
    if (inside) flags |= tfChunkOffsets;
  }
  const bool listed = t.stsz.SampleSize == 0 && HasEntries(t.stsz.Version, t.stsz.Table.size()) &&
                      std::find(t.stsz.Table.begin(), t.stsz.Table.end(), 0u) == t.stsz.Table.end();
  const bool uniform =
      t.stsz.Version != kNotRead && t.stsz.SampleSize > 0 && t.stsz.SampleCount > 0;
  if (listed || uniform) flags |= tfSampleSizes;
  if (HasEntries(t.stss.Version, t.stss.Table.size()) && t.stss.Table.front() != 0 &&
      NonDecreasing(t.stss.Table))
    flags |= tfSyncSamples;
  if (HasEntries(t.stsc.Version, t.stsc.Table.size()) && t.stsc.Table.front().FirstChunk == 1) {
    bool good = true;
    for (size_t i = 0; i < t.stsc.Table.size() && good; ++i) {
      const TMp4_stsc_entry& e = t.stsc.Table[i];
      good = e.SamplesPerChunk != 0 && (i == 0 || e.FirstChunk >= t.stsc.Table[i - 1].FirstChunk);
    }
    if (good) flags |= tfSampleToChunk;
  }

  // Offsets, sample-to-chunk and sizes must tell the same number of samples; otherwise one
  // of them is damaged and none says which.
  if ((flags & (tfChunkOffsets | tfSampleSizes | tfSampleToChunk)) ==
      (tfChunkOffsets | tfSampleSizes | tfSampleToChunk)) {
    const uint64_t chunks = t.stco.Table.size();
    uint64_t samples = 0;
    for (size_t i = 0; i < t.stsc.Table.size(); ++i) {
      const uint64_t first = std::min<uint64_t>(t.stsc.Table[i].FirstChunk, chunks + 1);
      const uint64_t next = i + 1 < t.stsc.Table.size()
                                ? std::min<uint64_t>(t.stsc.Table[i + 1].FirstChunk, chunks + 1)
                                : chunks + 1;
      if (next > first) samples += (next - first) * t.stsc.Table[i].SamplesPerChunk;
    }
    const uint64_t sized = listed ? t.stsz.Table.size() : t.stsz.SampleCount;
    if (samples != sized) flags &= uint16_t(~(tfSampleSizes | tfSampleToChunk));
  }
  return flags;
}

uint64_t THgMP4FileWriter::ShiftedOffset(uint64_t Offset) const {
  const int64_t shift = Input.TableCheck.Shift;
  // A shift that would take an offset below the start of the file leaves it outside.
  if (shift < 0 && Offset < uint64_t(-shift)) return UINT64_MAX;
  return Offset + uint64_t(shift);
}

void THgMP4FileWriter::CheckCompleteness() {
  // A file whose start was cut away has lost nothing else: its tables are whole once
  // shifted, and a fresh "ftyp" is written. A movie box that could not be walked whole has
  // lost tracks nobody can describe without the reference.
  ReferenceNeeded =
      (Input.FindChild(-1, kftyp) < 0 && Input.TableCheck.Shift == 0) || Input.MovieIncomplete;
  for (const TRebuiltTrack& t : Tracks) {
    if (ReferenceNeeded) break;
    ReferenceNeeded = t.tkhd.Version == kNotRead || t.mdhd.Version == kNotRead ||
                      t.stsd.Version == kNotRead || t.StsdNode < 0 ||
                      (t.MediaKind == mkVideo && t.VmhdNode < 0) ||
                      (t.MediaKind == mkSound && t.SmhdNode < 0);
  }
}

void THgMP4FileWriter::MatchReferenceTracks() {
  const THgMP4FileReader* reference = Reference();
  if (!reference) return;
  // Video and sound match by kind; a track of another kind (time code, telemetry) only a
  // track of the same description.
  const auto entryType = [](const TMp4_stsd& Stsd) -> TFourCC {
    return Stsd.Version != kNotRead && !Stsd.Entries.empty() ? Stsd.Entries[0].Type : 0;
  };
  for (TRebuiltTrack& t : Tracks) {
    for (size_t r = 0; r < reference->Traks.size() && r <= size_t(INT16_MAX); ++r) {
      const TMp4Trak& candidate = reference->Traks[r];
      if (candidate.MediaKind != t.MediaKind) continue;
      if (t.MediaKind != mkVideo && t.MediaKind != mkSound &&
          (entryType(t.stsd) == 0 || entryType(t.stsd) != entryType(candidate.stsd)))
        continue;
      t.ReferenceTrackIndex = int16_t(r);
      break;
    }
  }
}

} // namespace clw
