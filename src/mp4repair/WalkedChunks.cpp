// The chunks of a file as the walker proves them against its own surviving movie box (whose
// chunk offsets were garbled) or against a reference clip (the movie box is lost). The walk
// replaces slice detection when it accounts for every byte of the media data (chunks and
// zero runs), or when what it skipped is a small share and it still alternates as the
// description does; otherwise slice detection goes on as without one.
#include "mp4/AacConfig.h"
#include "mp4/AacDecoder.h"
#include "mp4/H264Syntax.h"
#include "mp4/Mp4BoxTypes.h"
#include "mp4repair/ChunkWalker.h"
#include "mp4repair/HgMP4FileWriter.h"
#include "mp4repair/TrackDescriptions.h"

#include <algorithm>
#include <cmath>

namespace clw {

namespace {

// Bytes at the start of the media data searched for parameter sets: past the first chunk
// of sound when the interleave starts with it.
constexpr uint64_t kParameterSetReach = 1 << 20;

uint64_t UnitLength(const std::vector<uint8_t>& Bytes, size_t At, size_t Field) {
  uint64_t length = 0;
  for (size_t i = 0; i < Field; ++i)
    length = length << 8 | Bytes[At + i];
  return length;
}

// Parameter sets the media data itself holds describe the stream better than the
// reference's (a camera set to another picture size since): the limits are made from the
// first sequence parameter set followed at once by a picture parameter set, keeping the
// unit types the reference showed. False when the media data holds none.
bool UseInBandParameterSets(TStream64& Source, uint64_t Start, uint64_t End, TNalLimits& Limits,
                            TAvcConfig& Found) {
  std::vector<uint8_t> head(size_t(std::min(End - Start, kParameterSetReach)));
  if (Start > uint64_t(INT64_MAX) || Source.Seek(int64_t(Start), soBeginning) != int64_t(Start) ||
      Source.Read(head.data(), int64_t(head.size())) != int64_t(head.size()))
    return false;
  const size_t field = Limits.NalLengthSize;
  const auto unitAt = [&](size_t At, uint8_t Type, uint64_t Max) {
    if (At + field >= head.size()) return uint64_t(0);
    const uint64_t length = UnitLength(head, At, field);
    const uint8_t header = head[At + field];
    const bool fits = length >= 2 && length <= Max && length <= head.size() - At - field;
    return fits && (header & 0x9F) == Type && (header & 0x60) ? length : uint64_t(0);
  };
  TAvcConfig config;
  config.NalLengthSize = Limits.NalLengthSize;
  for (size_t at = 0; at + field < head.size() && config.Sps.empty(); ++at) {
    const uint64_t sps = unitAt(at, 7, kMaxSpsLength);
    if (sps == 0 || unitAt(at + field + size_t(sps), 8, kMaxPpsLength) == 0) continue;
    // The sets that follow each other there, up to the first unit of another type.
    for (size_t p = at; p + field < head.size();) {
      const uint64_t length = std::max(unitAt(p, 7, kMaxSpsLength), unitAt(p, 8, kMaxPpsLength));
      if (length == 0) break;
      const std::vector<uint8_t> unit(head.begin() + ptrdiff_t(p + field),
                                      head.begin() + ptrdiff_t(p + field + length));
      ((head[p + field] & 0x1F) == 7 ? config.Sps : config.Pps).push_back(unit);
      p += field + size_t(length);
    }
  }
  TNalLimits own;
  if (config.Sps.empty() || !MakeNalLimits(config, Limits.AllowedTypes, own)) return false;
  Limits = own;
  Found = config;
  return true;
}

// The profile's AAC as the walk decodes it; false when its configuration cannot be opened.
bool OpenAac(const TWalkProfile& Profile, TAacConfig& Config, TAacDecoder& Decoder) {
  return ParseAudioSpecificConfig(Profile.AacConfig.data(), Profile.AacConfig.size(), Config) &&
         Decoder.Init(Profile.AacConfig.data(), Profile.AacConfig.size());
}

} // namespace

// The walk of the media data with what From describes, when it is trusted: it accounts for
// every byte, or what it skipped is a small share while it still interleaves as From's
// tables do (a description of another interleave fails most of one kind instead).
bool THgMP4FileWriter::WalkWith(const THgMP4FileReader& From, TWalkProfile& Profile,
                                std::vector<TWalkedChunk>& Chunks, TAvcConfig& InBand) {
  TStream64* source = Input.Source();
  const int32_t media = Input.Scan.MediaDataNode;
  if (!source || !Input.IsNode(media) || !MakeWalkProfile(From, AacDecoderLibrary, Profile))
    return false;
  TAacConfig aac;
  TAacDecoder decoder(AacDecoderLibrary);
  if (Profile.Audio == TWalkProfile::waAac && !OpenAac(Profile, aac, decoder))
    Profile.Audio = TWalkProfile::waGap; // the writer delimits the frames, or leaves them out

  const uint64_t start = uint64_t(std::max<int64_t>(Input.DataPosition(media), 0));
  const uint64_t end =
      std::min<uint64_t>(uint64_t(std::max<int64_t>(Input.NodeEnd(media), 0)), Input.FileSize);
  if (end <= start) return false;
  // Where the stream carries its sets in band, its pictures can begin with them.
  InBand = TAvcConfig{};
  if (UseInBandParameterSets(*source, start, end, Profile.Video, InBand) &&
      Profile.SampleStartTypes != 0)
    Profile.SampleStartTypes |= NalTypeBit(7);
  TMp4ChunkWalker walker(*source, start, end, false, Input.Scan.NullBlocks, Profile);
  if (!walker.Walk(&Cancelled)) return false;
  const int32_t sound = Profile.SoundTrack();
  size_t videoChunks = 0, soundChunks = 0;
  for (const TWalkedChunk& c : walker.Chunks) {
    videoChunks += c.Track == 0 ? 1 : 0;
    soundChunks += c.Track == sound ? 1 : 0;
  }
  if (videoChunks == 0 || (Profile.Audio == TWalkProfile::waNone && soundChunks > 0)) return false;
  if (walker.Skipped > 0) {
    if (walker.Skipped > (end - start) / 20) return false;
    if (sound >= 0) {
      const double expected = double(videoChunks) * double(Profile.Tracks[size_t(sound)].Chunks) /
                              double(std::max<uint64_t>(Profile.Tracks[0].Chunks, 1));
      if (std::abs(double(soundChunks) - expected) > expected / 10 + 2) return false;
    }
  }
  Chunks = std::move(walker.Chunks);
  return true;
}

bool THgMP4FileWriter::ChunksFromWalk() {
  if (VideoTrack < 0) return false;
  // The file's own movie box, where it survives with tables the walk can follow, describes
  // this very stream; a reference clip only the camera's.
  TWalkProfile profile;
  std::vector<TWalkedChunk> chunks;
  const THgMP4FileReader* reference = Reference();
  TAvcConfig inBand;
  const THgMP4FileReader* walkedWith = &Input;
  if (!WalkWith(Input, profile, chunks, inBand)) {
    walkedWith = reference;
    if (!reference || !WalkWith(*reference, profile, chunks, inBand)) return false;
  }
  // The walk's tracks: the video first, the sound second when there is one, then the data
  // the camera interleaves (time code, telemetry, per-frame data).
  const int32_t soundIndex = profile.SoundTrack();
  std::vector<size_t> walked(profile.Tracks.size(), 0);
  for (const TWalkedChunk& c : chunks)
    if (c.Track >= 0 && size_t(c.Track) < walked.size()) ++walked[size_t(c.Track)];
  const bool anySound = soundIndex >= 0 && walked[size_t(soundIndex)] > 0;

  if (anySound && SoundTrack < 0) {
    SoundTrack = AddTrack(mkSound);
    MatchReferenceTracks();
  }
  const std::vector<int32_t> dataTracks = DataTracksOfWalk(profile, walked, *walkedWith);
  TRebuiltTrack* sound = SoundTrack >= 0 ? &Tracks[size_t(SoundTrack)] : nullptr;
  if (sound) sound->Chunks.clear();
  if (sound && profile.Audio == TWalkProfile::waAac) {
    TAacConfig aac;
    TAacDecoder decoder(AacDecoderLibrary);
    if (OpenAac(profile, aac, decoder)) SetAacTiming(*sound, decoder, aac);
  }
  if (sound && profile.Audio == TWalkProfile::waPcm) {
    sound->UniformSampleSize = profile.PcmFrameBytes;
    sound->SamplesPerFrame = 1;
  }
  TRebuiltTrack& video = Tracks[size_t(VideoTrack)];
  DescribeInBandSets(video, inBand);
  video.Chunks.clear();
  video.HasUnitLimits = true;
  video.UnitLimits = profile.Video;
  for (TWalkedChunk& w : chunks) {
    TSlice chunk;
    chunk.Offset = w.Offset;
    chunk.Size = w.Size;
    chunk.Samples = std::move(w.Samples);
    chunk.SampleCount = int32_t(chunk.Samples.size());
    if (w.Track == 0) {
      video.Chunks.push_back(std::move(chunk));
    } else if (w.Track == soundIndex && sound) {
      if (profile.Audio == TWalkProfile::waPcm)
        chunk.SampleCount = int32_t(std::min<uint64_t>(w.Size / profile.PcmFrameBytes, INT32_MAX));
      sound->Chunks.push_back(std::move(chunk));
    } else if (w.Track > 0 && size_t(w.Track) < dataTracks.size() &&
               dataTracks[size_t(w.Track)] >= 0 && w.Size <= UINT32_MAX) {
      // A data track's chunk holds as many samples of one size as the reference's chunks
      // mostly do; telemetry's records make one sample.
      const TWalkTrack& kind = profile.Tracks[size_t(w.Track)];
      const uint32_t count = kind.Kind == TWalkTrack::wkUniform && kind.SamplesPerChunk > 0 &&
                                     w.Size % kind.SamplesPerChunk == 0
                                 ? kind.SamplesPerChunk
                                 : 1;
      const uint64_t size = w.Size / count;
      for (uint32_t i = 0; i < count; ++i)
        chunk.Samples.push_back(TNewChunk{w.Offset + i * size, uint32_t(size), 0, 0});
      chunk.SampleCount = int32_t(count);
      Tracks[size_t(dataTracks[size_t(w.Track)])].Chunks.push_back(std::move(chunk));
    }
  }
  return true;
}

// The track of the copy each data track of the walk fills, by the walk's index (-1: none):
// the damaged file's own where the walk had its description, else one the reference
// describes, made for it. Only tracks of which the walk took chunks.
std::vector<int32_t> THgMP4FileWriter::DataTracksOfWalk(const TWalkProfile& Profile,
                                                        const std::vector<size_t>& Walked,
                                                        const THgMP4FileReader& From) {
  std::vector<int32_t> out(Profile.Tracks.size(), -1);
  for (size_t k = 0; k < Profile.Tracks.size(); ++k) {
    const TWalkTrack& w = Profile.Tracks[k];
    if ((w.Kind != TWalkTrack::wkUniform && w.Kind != TWalkTrack::wkKlv) || Walked[k] == 0 ||
        w.Source < 0 || size_t(w.Source) >= From.Traks.size() || w.Source > INT16_MAX)
      continue;
    for (size_t i = 0; i < Tracks.size() && out[k] < 0; ++i) {
      const bool same = &From == &Input ? Tracks[i].Source == w.Source
                                        : Tracks[i].ReferenceTrackIndex == w.Source;
      if (same) out[k] = int32_t(i);
    }
    if (out[k] < 0 && &From != &Input) {
      out[k] = AddTrack(From.Traks[size_t(w.Source)].MediaKind);
      Tracks[size_t(out[k])].ReferenceTrackIndex = int16_t(w.Source);
    }
    if (out[k] >= 0) Tracks[size_t(out[k])].Chunks.clear();
  }
  return out;
}

// The copy's description must carry the parameter sets its samples were coded with: a
// player that configures its decoder from "avcC" alone (most hardware ones) shows nothing
// but garbage with another stream's sets, of another picture size.
void THgMP4FileWriter::DescribeInBandSets(TRebuiltTrack& Video, const TAvcConfig& InBand) {
  Video.InBandAvcConfig.clear();
  const THgMP4FileReader* from = nullptr;
  int32_t node = -1;
  if (InBand.Sps.empty() || !FindTrackBox(Video, kstsd, from, node)) return;
  const std::vector<uint8_t> described =
      AvcConfigPayload(FirstSampleEntry(ReadNodePayload(*from, node, kPlainBoxLimit)));
  TAvcConfig theirs;
  if (!ReadAvcConfig(described.data(), described.size(), theirs) ||
      (theirs.Sps == InBand.Sps && theirs.Pps == InBand.Pps))
    return;
  TAvcConfig own = InBand;
  own.NalLengthSize = theirs.NalLengthSize;
  TH264Sps sps;
  if (!ReadSps(own.Sps[0].data(), own.Sps[0].size(), sps) || sps.Width() == 0 ||
      sps.Height() == 0 || sps.Width() > UINT16_MAX || sps.Height() > UINT16_MAX)
    return;
  Video.InBandAvcConfig = WriteAvcConfig(own);
  Video.InBandWidth = uint16_t(sps.Width());
  Video.InBandHeight = uint16_t(sps.Height());
}

} // namespace clw
