// Time scales, sample durations, track and movie durations and edit lists of the repaired
// movie, worked out once every sample is known. What the damaged file lost comes from the
// reference clip of the same camera; what neither holds gets a value that plays.
#include "mp4repair/CompositionTimes.h"
#include "mp4repair/HgMP4FileWriter.h"
#include "mp4repair/SampleDamage.h"
#include "mp4repair/TrackDescriptions.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace clw {

namespace {

constexpr uint32_t kDefaultMovieTimeScale = 1000;
constexpr uint32_t kDefaultTrackTimeScale = 24000;
// Without anything better a video track plays at 24 pictures a second.
constexpr uint32_t kFallbackFrameRate = 24;
// The identity transformation of "mvhd" and "tkhd": 1.0 and 1.0 in 16.16, w 1.0 in 2.30.
constexpr uint32_t kIdentity[9] = {0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000};

// Durations times time scales overflow 64 bits for long recordings at fine scales.
__extension__ typedef unsigned __int128 TWide;

uint64_t Rescale(uint64_t Value, uint32_t From, uint32_t To, bool RoundUp) {
  if (From == 0) return 0;
  const TWide v = TWide(Value) * To + (RoundUp ? From - 1 : 0);
  const TWide r = v / From;
  return r > UINT64_MAX ? UINT64_MAX : uint64_t(r);
}

// The rounded average delta of a table, recomputed over the entries near it when the table
// holds outliers (a long first or last frame), so one odd sample does not set the pace.
uint32_t AverageDelta(const TMp4_stts& Stts) {
  const auto average = [&](uint32_t Around, uint32_t Tolerance) -> uint32_t {
    TWide sum = 0;
    uint64_t count = 0;
    for (const TMp4_stts_entry& e : Stts.Table) {
      if (Tolerance > 0 &&
          (e.SampleDelta > Around ? e.SampleDelta - Around : Around - e.SampleDelta) >= Tolerance)
        continue;
      sum += TWide(e.SampleCount) * e.SampleDelta;
      count += e.SampleCount;
    }
    if (count == 0) return 0;
    const TWide a = (sum + count / 2) / count;
    return a > UINT32_MAX ? UINT32_MAX : uint32_t(a);
  };
  const uint32_t a = average(0, 0);
  if (a / 16 == 0) return a;
  const uint32_t trimmed = average(a, a / 16);
  return trimmed > 0 ? trimmed : a;
}

TMp4_mvhd DefaultMovieHeader() {
  TMp4_mvhd m;
  m.Version = 0;
  m.TimeScale = kDefaultMovieTimeScale;
  m.Rate = 0x10000;
  m.Volume = 0x100;
  std::memcpy(m.Matrix, kIdentity, sizeof kIdentity); // packed: no aligned stores
  return m;
}

TMp4_tkhd DefaultTrackHeader(const TRebuiltTrack& Track, const TMp4_SampleEntry* Entry) {
  TMp4_tkhd t;
  t.Version = 0;
  t.Flags[2] = 3; // enabled, in the movie
  std::memcpy(t.Matrix, kIdentity, sizeof kIdentity);
  if (Track.MediaKind == mkSound) t.Volume = 0x100;
  if (Track.MediaKind == mkVideo && Entry) {
    const TMp4_VisualEntry v = VisualEntry(*Entry);
    t.Width = uint32_t(v.Width) << 16;
    t.Height = uint32_t(v.Height) << 16;
  }
  return t;
}

// When the first presented picture of a track of reordered pictures starts and the last
// one ends: the decoding time plus the composition offset (plus the duration), the
// earliest and latest over all samples. Offsets holds one per sample (empty: pictures are
// shown in decoding order, from 0 to Total).
struct TPresentation {
  uint64_t Start = 0;
  uint64_t End = 0;
};
TPresentation PresentationSpan(const TRebuiltTrack& Track, const std::vector<int32_t>& Offsets,
                               uint8_t Version, uint64_t Total) {
  if (Offsets.empty()) return {0, Total};
  uint64_t decode = 0;
  TPresentation span{UINT64_MAX, 0};
  size_t k = 0;
  for (const TSlice& c : Track.Chunks)
    for (const TNewChunk& s : c.Samples) {
      const int64_t offset =
          k < Offsets.size() ? (Version == 1 ? int64_t(Offsets[k]) : int64_t(uint32_t(Offsets[k])))
                             : 0;
      const int64_t shown = int64_t(decode) + offset;
      const uint64_t duration = s.Duration > 0 ? s.Duration : Track.DefaultSampleDuration;
      if (shown >= 0) {
        span.Start = std::min(span.Start, uint64_t(shown));
        span.End = std::max(span.End, uint64_t(shown) + duration);
      }
      decode += duration;
      ++k;
    }
  span.Start = std::min(span.Start, span.End);
  return span;
}

uint64_t PresentationEnd(const TRebuiltTrack& Track, const std::vector<int32_t>& Offsets,
                         uint8_t Version, uint64_t Total) {
  return PresentationSpan(Track, Offsets, Version, Total).End;
}

// Where the media a track's edit shows ends. Video whose samples are the damaged file's own
// (all of them, or those left once damaged ones were taken out) keeps its composition
// offsets, and with reordered pictures the last one shown ends after the decoding times do.
uint64_t ShownMediaEnd(const THgMP4FileReader& Input, const TRebuiltTrack& Track, uint64_t Total) {
  if (Track.SamplesTrimmed)
    return PresentationEnd(Track, Track.CompositionOffsets, Track.CompositionVersion, Total);
  if (Track.MediaKind != mkVideo || !Track.SamplesAsInSource) return Total;
  uint64_t samples = 0;
  for (const TSlice& c : Track.Chunks)
    samples += c.Samples.size();
  uint8_t version = 0;
  const std::vector<int32_t> offsets =
      SourceCompositionOffsets(Input, Track.TrakNode, samples, version);
  return PresentationEnd(Track, offsets, version, Total);
}

// The edits of a track whose damaged samples were taken out. The one segment that shows
// media lasts up to the end of the last picture presented, which the removed time now lies
// before; samples taken out at the start leave their time to an empty edit before it, so
// that the kept ones play when they did.
void FitTrimmedEdits(TRebuiltTrack& Track, uint64_t Total, uint32_t Scale, uint32_t MovieScale) {
  TMp4_elst& elst = Track.elst;
  if ((!Track.SamplesTrimmed && Track.LeadingDuration == 0) ||
      (elst.Table.empty() && Track.LeadingDuration == 0))
    return;
  if (elst.Table.empty()) {
    elst.Version = 0;
    elst.Table.push_back({0, 0, 1, 0});
  }
  const auto shown = std::find_if(elst.Table.begin(), elst.Table.end(),
                                  [](const TMp4_elst_entry& e) { return e.MediaTime >= 0; });
  if (shown == elst.Table.end()) return;
  const uint64_t end =
      PresentationEnd(Track, Track.CompositionOffsets, Track.CompositionVersion, Total);
  shown->SegmentDuration =
      Rescale(end - std::min(end, uint64_t(shown->MediaTime)), Scale, MovieScale, false);
  if (Track.LeadingDuration > 0)
    elst.Table.insert(shown, {Rescale(Track.LeadingDuration, Scale, MovieScale, false), -1, 1, 0});
  elst.EntryCount = uint32_t(elst.Table.size());
  uint64_t segments = 0;
  for (const TMp4_elst_entry& e : elst.Table)
    segments += e.SegmentDuration;
  Track.tkhd.Duration = segments;
}

// The edit of video rebuilt from the media data with composition offsets: the offsets
// are all shifted up so that none is negative, and the one segment starts the
// presentation at the earliest picture, as a camera's own edit does.
void FitRebuiltVideoEdit(TRebuiltTrack& Track, uint64_t Total, uint32_t Scale,
                         uint32_t MovieScale) {
  const TPresentation span =
      PresentationSpan(Track, Track.CompositionOffsets, Track.CompositionVersion, Total);
  TMp4_elst& elst = Track.elst;
  elst.Version = span.Start > uint64_t(INT32_MAX) ? 1 : 0;
  elst.Table = {
      {Rescale(span.End - span.Start, Scale, MovieScale, false), int64_t(span.Start), 1, 0}};
  elst.EntryCount = 1;
  Track.tkhd.Duration = elst.Table[0].SegmentDuration;
}

// Video rebuilt from the media data: pictures cut from the scan's slices, whose order only
// the slice headers tell.
bool RebuiltFromScan(const TRebuiltTrack& Track, int32_t Mode) {
  return Mode == THgMP4FileWriter::rmFromScan && Track.MediaKind == mkVideo &&
         !Track.SamplesAsInSource && !Track.SamplesTrimmed && Track.UniformSampleSize == 0;
}

} // namespace

void THgMP4FileWriter::ComputeTimings() {
  const THgMP4FileReader* reference = Reference();
  if (Mvhd.Version == kNotRead)
    Mvhd =
        reference && reference->Mvhd.Version != kNotRead ? reference->Mvhd : DefaultMovieHeader();
  if (Mvhd.TimeScale == 0) Mvhd.TimeScale = kDefaultMovieTimeScale;
  const uint32_t movieScale = Mvhd.TimeScale;

  uint64_t movieDuration = 0;
  std::vector<bool> unpaced(Tracks.size()); // no duration known for the track's samples
  for (TRebuiltTrack& t : Tracks) {
    const TMp4Trak* match = reference && t.ReferenceTrackIndex >= 0
                                ? &reference->Traks[size_t(t.ReferenceTrackIndex)]
                                : nullptr;
    TMp4_SampleEntry entry;
    const bool described = TrackSampleEntry(t, entry);

    // Headers: the damaged file's, else the reference's (as a header of a new recording:
    // no duration yet, the movie's times), else made up.
    bool ownTiming = t.mdhd.Version != kNotRead;
    if (!ownTiming && match && match->mdhd.Version != kNotRead) {
      t.mdhd = match->mdhd;
      t.mdhd.CreationTime = Mvhd.CreationTime;
      t.mdhd.ModificationTime = Mvhd.ModificationTime;
    }
    if (t.mdhd.Version == kNotRead) {
      t.mdhd = TMp4_mdhd{};
      t.mdhd.Version = 0;
      t.mdhd.Language = 0x55C4; // "und"
    }
    t.mdhd.Duration = 0;
    if (t.tkhd.Version == kNotRead && match && match->tkhd.Version != kNotRead) {
      t.tkhd = match->tkhd;
      t.tkhd.CreationTime = Mvhd.CreationTime;
      t.tkhd.ModificationTime = Mvhd.ModificationTime;
    }
    if (t.tkhd.Version == kNotRead) t.tkhd = DefaultTrackHeader(t, described ? &entry : nullptr);
    if (t.hdlr.Version == kNotRead && match && match->hdlr.Version != kNotRead)
      t.hdlr = match->hdlr;
    if (t.hdlr.Version == kNotRead && (t.MediaKind == mkVideo || t.MediaKind == mkSound)) {
      t.hdlr = TMp4_hdlr{};
      t.hdlr.Version = 0;
      t.hdlr.HandlerType = MakeFourCC(t.MediaKind == mkVideo ? "vide" : "soun");
    }
    if (t.mdhd.TimeScale == 0)
      t.mdhd.TimeScale = t.MediaKind == mkSound && t.AudioSampleRate > 0 ? t.AudioSampleRate
                                                                         : kDefaultTrackTimeScale;
    const uint32_t scale = t.mdhd.TimeScale;

    // The duration of a sample that has none of its own: the damaged file's own pace, else
    // the reference's, else what the description says.
    const TMp4_stts* pace = nullptr;
    if (t.Source >= 0 && ownTiming && !Input.Traks[size_t(t.Source)].stts.Table.empty())
      pace = &Input.Traks[size_t(t.Source)].stts;
    else if (match && !match->stts.Table.empty())
      pace = &match->stts;
    uint32_t duration = 0;
    if (t.MediaKind == mkSound && t.SamplesPerFrame > 0) {
      duration = pace ? MostCommonDelta(*pace) : 0;
      if (duration == 0 && t.AudioSampleRate > 0)
        duration = uint32_t(
            std::max<uint64_t>(Rescale(t.SamplesPerFrame, t.AudioSampleRate, scale, false), 1));
    } else if (pace) {
      duration = AverageDelta(*pace);
    }
    unpaced[size_t(&t - Tracks.data())] = duration == 0;
    if (duration == 0) duration = scale / kFallbackFrameRate;
    if (duration == 0) duration = 1000;
    t.DefaultSampleDuration = duration;

    // With the durations known, pictures rebuilt from the scan get their composition
    // offsets; a stream they cannot be worked out for keeps decoding order.
    std::vector<uint8_t> entryBytes;
    const bool rebuilt = RebuiltFromScan(t, RebuildMode);
    if (rebuilt && described && IsH264SampleEntry(entry.Type) && Input.Source() &&
        TrackSampleEntry(t, entry, &entryBytes))
      AssignCompositionOffsets(*Input.Source(), AvcConfigPayload(entryBytes), t);

    uint64_t total = 0;
    if (t.UniformSampleSize > 0) {
      uint64_t samples = 0;
      for (const TSlice& c : t.Chunks)
        samples += uint64_t(std::max(c.SampleCount, 0));
      uint64_t listed = 0;
      for (const TMp4_stts_entry& e : t.stts.Table)
        listed += e.SampleCount;
      if (listed != samples || t.stts.Table.empty()) {
        t.stts = TMp4_stts{};
        t.stts.Version = 0;
        t.stts.Table.push_back({uint32_t(std::min<uint64_t>(samples, UINT32_MAX)), duration});
      }
      for (const TMp4_stts_entry& e : t.stts.Table)
        total += uint64_t(e.SampleCount) * e.SampleDelta;
    } else {
      for (const TSlice& c : t.Chunks)
        for (const TNewChunk& s : c.Samples)
          total += s.Duration > 0 ? s.Duration : duration;
    }
    t.mdhd.Duration = total;
    t.tkhd.Duration = Rescale(total, scale, movieScale, true);

    // Sound keeps its edit list: it hides the encoder's priming samples, and without it the
    // sound plays late. The one segment that shows media gets the repaired track's length.
    t.elst = TMp4_elst{};
    const TMp4_elst* edits = nullptr;
    if (t.MediaKind == mkSound) {
      if (t.Source >= 0 && !Input.Traks[size_t(t.Source)].elst.Table.empty())
        edits = &Input.Traks[size_t(t.Source)].elst;
      else if (match && !match->elst.Table.empty())
        edits = &match->elst;
    } else if ((t.SamplesAsInSource || t.SamplesTrimmed) && t.Source >= 0) {
      // Video keeps its edits only with the composition offsets they were made for.
      edits = &Input.Traks[size_t(t.Source)].elst;
    }
    if (edits && !edits->Table.empty()) {
      const size_t shown =
          size_t(std::count_if(edits->Table.begin(), edits->Table.end(),
                               [](const TMp4_elst_entry& e) { return e.MediaTime >= 0; }));
      const bool fromReference = match && edits == &match->elst;
      const uint32_t editScale = fromReference ? reference->Mvhd.TimeScale : Input.Mvhd.TimeScale;
      if (shown == 1 && editScale > 0) {
        const uint64_t shownEnd = ShownMediaEnd(Input, t, total);
        t.elst.Version = 0;
        uint64_t segments = 0;
        for (TMp4_elst_entry e : edits->Table) {
          if (e.MediaTime < 0) {
            e.SegmentDuration = Rescale(e.SegmentDuration, editScale, movieScale, false);
          } else {
            const uint64_t media =
                uint64_t(e.MediaTime) < shownEnd ? shownEnd - uint64_t(e.MediaTime) : 0;
            e.SegmentDuration = Rescale(media, scale, movieScale, false);
          }
          segments += e.SegmentDuration;
          t.elst.Table.push_back(e);
        }
        t.elst.EntryCount = uint32_t(t.elst.Table.size());
        t.tkhd.Duration = segments;
      }
    }
    if (rebuilt && !t.CompositionOffsets.empty()) FitRebuiltVideoEdit(t, total, scale, movieScale);
    FitTrimmedEdits(t, total, scale, movieScale);
  }
  FitDataTracks(movieScale, unpaced);
  for (const TRebuiltTrack& t : Tracks)
    if (IsWritten(t)) movieDuration = std::max(movieDuration, uint64_t(t.tkhd.Duration));
  Mvhd.Duration = movieDuration;
}

// Data tracks (time code, telemetry, per-frame data) last as long as the copy's video, not
// as the recording their description came from: a track of one sample (a time code's
// start) spans the video, samples of no known duration (a camera that writes them all at
// time 0) share it, and a track paced longer than the video is cut to it by an edit, as
// the camera does.
void THgMP4FileWriter::FitDataTracks(uint32_t MovieScale, const std::vector<bool>& Unpaced) {
  if (VideoTrack < 0) return;
  const TRebuiltTrack& video = Tracks[size_t(VideoTrack)];
  for (size_t i = 0; i < Tracks.size(); ++i) {
    TRebuiltTrack& t = Tracks[i];
    if (t.MediaKind == mkVideo || t.MediaKind == mkSound || t.UniformSampleSize > 0 ||
        !t.elst.Table.empty() || video.mdhd.TimeScale == 0 || t.mdhd.TimeScale == 0)
      continue;
    uint64_t samples = 0;
    for (const TSlice& c : t.Chunks)
      samples += c.Samples.size();
    const uint64_t span =
        Rescale(video.mdhd.Duration, video.mdhd.TimeScale, t.mdhd.TimeScale, false);
    if (samples == 0 || span == 0 || span > UINT32_MAX) continue;
    if (samples == 1 || Unpaced[i]) {
      const uint32_t each = uint32_t(std::max<uint64_t>(span / samples, 1));
      uint64_t total = 0;
      for (TSlice& c : t.Chunks)
        for (TNewChunk& s : c.Samples) {
          s.Duration = each;
          total += each;
        }
      t.mdhd.Duration = total;
      t.tkhd.Duration = Rescale(total, t.mdhd.TimeScale, MovieScale, true);
    }
    if (t.tkhd.Duration > video.tkhd.Duration && video.tkhd.Duration > 0) {
      t.elst.Version = 0;
      t.elst.Table = {TMp4_elst_entry{video.tkhd.Duration, 0, 1, 0}};
      t.elst.EntryCount = 1;
      t.tkhd.Duration = video.tkhd.Duration;
    }
  }
}

} // namespace clw
