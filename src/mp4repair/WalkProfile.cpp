// What the chunk walker takes from a reference clip: the limits of its H.264 units, the
// description of its sound, and how its camera interleaves them (ChunkWalker.h).
#include "mp4/AacConfig.h"
#include "mp4/Mp4BoxTypes.h"
#include "mp4repair/ChunkWalker.h"
#include "mp4repair/SampleDamage.h"
#include "mp4repair/TrackDescriptions.h"

#include <algorithm>
#include <map>

namespace clw {

namespace {

// Samples of the reference whose unit types are gathered: a couple of groups of pictures.
constexpr size_t kTypedSamples = 120;
// A track of (nearly) one sample size is taken by its sizes while it has no more of them.
constexpr size_t kMostSizes = 4;

const TMp4Trak* FirstTrack(const THgMP4FileReader& Reader, uint8_t Kind) {
  for (const TMp4Trak& t : Reader.Traks)
    if (t.MediaKind == Kind && t.stsd.Version != kNotRead && !t.stsd.Entries.empty()) return &t;
  return nullptr;
}

// The NAL unit types the first samples of a track hold, and the types they begin with, as
// bits.
uint32_t SampleNalTypes(const THgMP4FileReader& Reader, const TMp4Trak& Trak, uint32_t LengthSize,
                        uint32_t& StartTypes) {
  TStream64* source = Reader.Source();
  StartTypes = 0;
  if (!source) return 0;
  uint32_t types = 0;
  size_t seen = 0;
  std::vector<uint8_t> bytes;
  ForEachListedSample(Trak, [&](uint64_t Offset, uint32_t Size) {
    if (seen++ >= kTypedSamples || Size > (64u << 20) || Offset > uint64_t(INT64_MAX)) return;
    bytes.resize(Size);
    if (source->Seek(int64_t(Offset), soBeginning) != int64_t(Offset) ||
        source->Read(bytes.data(), int64_t(Size)) != int64_t(Size))
      return;
    if (LengthSize < Size) StartTypes |= NalTypeBit(bytes[LengthSize] & 0x1F);
    for (uint64_t at = 0; at + LengthSize < Size;) {
      uint64_t length = 0;
      for (uint32_t i = 0; i < LengthSize; ++i)
        length = length << 8 | bytes[size_t(at + i)];
      types |= NalTypeBit(bytes[size_t(at + LengthSize)] & 0x1F);
      at += LengthSize + length;
    }
  });
  return types;
}

// Samples per chunk of a track, chunk by chunk.
std::vector<uint32_t> SamplesPerChunk(const TMp4Trak& Trak) {
  std::vector<uint32_t> out;
  ForEachChunk(Trak, [&](size_t, uint32_t Samples) {
    out.push_back(Samples);
    return true;
  });
  return out;
}

// The bytes every chunk of a track begins with in the reference (a data track's own magic
// number), when it has chunks enough to tell; at most four.
std::vector<uint8_t> CommonPrefix(const THgMP4FileReader& Reader, const TMp4Trak& Trak) {
  constexpr size_t kChunks = 64;
  TStream64* source = Reader.Source();
  if (!source || Trak.stco.Table.size() < 3) return {};
  std::vector<uint8_t> prefix;
  for (size_t c = 0; c < Trak.stco.Table.size() && c < kChunks; ++c) {
    uint8_t head[4] = {};
    const uint64_t at = Trak.stco.Table[c];
    if (at > uint64_t(INT64_MAX) || source->Seek(int64_t(at), soBeginning) != int64_t(at) ||
        source->Read(head, 4) != 4)
      return {};
    if (c == 0) prefix.assign(head, head + 4);
    size_t same = 0;
    while (same < prefix.size() && prefix[same] == head[same])
      ++same;
    prefix.resize(same);
  }
  return prefix;
}

// How a data track's chunks are known: by the one size (nearly) all its samples have, or
// by their KLV records; false for a track of neither kind.
bool DataTrack(const THgMP4FileReader& Reader, const TMp4Trak& Trak, TWalkTrack& Out) {
  const std::vector<uint32_t> perChunk = SamplesPerChunk(Trak);
  if (perChunk.empty()) return false;
  std::map<uint32_t, uint64_t> counts;
  for (const uint32_t n : perChunk)
    ++counts[n];
  Out.SamplesPerChunk = std::max_element(counts.begin(), counts.end(), [](auto& a, auto& b) {
                          return a.second < b.second;
                        })->first;
  Out.Chunks = Trak.stco.Table.size();
  const TMp4_stsz& stsz = Trak.stsz;
  if (stsz.SampleSize > 0) {
    Out.Kind = TWalkTrack::wkUniform;
    Out.SampleSize = stsz.SampleSize;
    Out.Sizes = {stsz.SampleSize};
    Out.Prefix = CommonPrefix(Reader, Trak);
    return true;
  }
  std::map<uint32_t, uint64_t> sizes;
  for (const uint32_t size : stsz.Table)
    ++sizes[size];
  std::vector<std::pair<uint64_t, uint32_t>> byCount;
  for (const auto& [size, count] : sizes)
    byCount.emplace_back(count, size);
  std::sort(byCount.rbegin(), byCount.rend());
  if (!byCount.empty() && byCount.front().first * 10 >= stsz.Table.size() * 9 &&
      byCount.size() <= kMostSizes) {
    Out.Kind = TWalkTrack::wkUniform;
    Out.Prefix = CommonPrefix(Reader, Trak);
    Out.SampleSize = byCount.front().second;
    for (const auto& [count, size] : byCount)
      Out.Sizes.push_back(size);
    return true;
  }
  // Telemetry: the first chunk opens with a record of a printable four-character key.
  TStream64* source = Reader.Source();
  uint8_t head[8] = {};
  const uint64_t first = Trak.stco.Table.front();
  if (!source || first > uint64_t(INT64_MAX) ||
      source->Seek(int64_t(first), soBeginning) != int64_t(first) || source->Read(head, 8) != 8)
    return false;
  for (int i = 0; i < 4; ++i)
    if (head[i] < 0x20 || head[i] >= 0x7F) return false;
  Out.Kind = TWalkTrack::wkKlv;
  uint64_t at = 0;
  for (size_t c = 0; c < perChunk.size(); ++c) {
    uint64_t bytes = 0;
    for (uint32_t i = 0; i < perChunk[c] && at < stsz.Table.size(); ++i)
      bytes += stsz.Table[size_t(at++)];
    Out.LargestChunk =
        uint32_t(std::min<uint64_t>(std::max<uint64_t>(Out.LargestChunk, bytes), UINT32_MAX));
  }
  return true;
}

// Follows[a][b]: how often a chunk of Traks[b] follows one of Traks[a] in the file; the last
// row holds the first chunk. LongestRun: the most chunks between two of Traks[0].
std::vector<std::vector<uint32_t>> ChunkOrder(const std::vector<const TMp4Trak*>& Traks,
                                              uint32_t& LongestRun) {
  std::vector<std::pair<uint64_t, size_t>> chunks;
  for (size_t t = 0; t < Traks.size(); ++t)
    for (const uint64_t offset : Traks[t]->stco.Table)
      chunks.emplace_back(offset, t);
  std::sort(chunks.begin(), chunks.end());
  std::vector<std::vector<uint32_t>> follows(Traks.size() + 1,
                                             std::vector<uint32_t>(Traks.size(), 0));
  size_t from = Traks.size();
  uint32_t run = 0;
  LongestRun = 1;
  for (const auto& [offset, t] : chunks) {
    ++follows[from][t];
    from = t;
    run = t == 0 ? 0 : run + 1;
    LongestRun = std::max(LongestRun, run);
  }
  return follows;
}

// A file's own tables whose chunk offsets the check found pointing elsewhere (a garbled
// "stco") still describe the stream and how many samples each chunk holds, but not where
// the chunks lie nor in which order the tracks follow each other.
bool OffsetsHold(const THgMP4FileReader& Reader, const TMp4Trak& Trak) {
  return !Reader.TableCheck.WrongOffsets(size_t(&Trak - Reader.Traks.data()));
}

// The order of chunks when no offsets show it: the tracks take turns, any after any other;
// video follows itself only when it is alone.
std::vector<std::vector<uint32_t>> TakingTurns(size_t Tracks, uint32_t& LongestRun) {
  std::vector<std::vector<uint32_t>> follows(Tracks + 1, std::vector<uint32_t>(Tracks, 1));
  for (size_t t = 0; t < Tracks && Tracks > 1; ++t)
    follows[t][t] = 0;
  LongestRun = uint32_t(std::max<size_t>(1, Tracks - 1));
  return follows;
}

} // namespace

bool MakeWalkProfile(const THgMP4FileReader& Reference, const TAacLibrary* Library,
                     TWalkProfile& Out) {
  Out = TWalkProfile{};
  const TMp4Trak* video = FirstTrack(Reference, mkVideo);
  if (!video || !IsH264SampleEntry(video->stsd.Entries[0].Type)) return false;
  const std::vector<uint8_t> entry =
      FirstSampleEntry(ReadNodePayload(Reference, video->StsdNode, kPlainBoxLimit));
  const std::vector<uint8_t> avcC = AvcConfigPayload(entry);
  const uint32_t lengthSize = AvcNalLengthSize(avcC.data(), avcC.size());
  if (lengthSize == 0) return false;
  const uint32_t types = OffsetsHold(Reference, *video)
                             ? SampleNalTypes(Reference, *video, lengthSize, Out.SampleStartTypes)
                             : 0;
  if (!MakeNalLimits(avcC.data(), avcC.size(), types, Out.Video)) return false;

  const TMp4Trak* sound = FirstTrack(Reference, mkSound);
  std::vector<const TMp4Trak*> traks = {video};
  const auto indexOf = [&](const TMp4Trak& Trak) {
    return int32_t(&Trak - Reference.Traks.data());
  };
  TWalkTrack videoTrack;
  videoTrack.Chunks = video->stco.Table.size();
  videoTrack.Source = indexOf(*video);
  Out.Tracks.push_back(videoTrack);
  if (sound && !sound->stco.Table.empty()) {
    const TMp4_SampleEntry& description = sound->stsd.Entries[0];
    if (IsPcmSampleEntry(description.Type)) {
      Out.PcmFrameBytes = PcmFrameSize(description);
      Out.PcmRate = SoundSampleRate(description);
      Out.Audio = Out.PcmFrameBytes > 0 ? TWalkProfile::waPcm : TWalkProfile::waNone;
    } else if (description.Type == MakeFourCC("mp4a")) {
      const std::vector<uint8_t> bytes =
          FirstSampleEntry(ReadNodePayload(Reference, sound->StsdNode, kPlainBoxLimit));
      if (FindAudioSpecificConfig(bytes.data(), bytes.size(), Out.AacConfig)) {
        // Without the decoder library the sound is what lies between checked chunks.
        Out.Audio = Library ? TWalkProfile::waAac : TWalkProfile::waGap;
        Out.Library = Library;
      }
    }
    // Sound the walk cannot delimit leaves chunks it cannot take.
    if (Out.Audio == TWalkProfile::waNone) return false;
    traks.push_back(sound);
    TWalkTrack soundTrack;
    soundTrack.Kind = TWalkTrack::wkAudio;
    soundTrack.Chunks = sound->stco.Table.size();
    soundTrack.Source = indexOf(*sound);
    Out.Tracks.push_back(soundTrack);
  }
  const bool ordered = std::all_of(traks.begin(), traks.end(),
                                   [&](const TMp4Trak* t) { return OffsetsHold(Reference, *t); });
  for (const TMp4Trak& t : Reference.Traks) {
    if (&t == video || &t == sound || t.stco.Table.empty()) continue;
    TWalkTrack track;
    if (!OffsetsHold(Reference, t) || !DataTrack(Reference, t, track)) return false;
    track.Source = indexOf(t);
    traks.push_back(&t);
    Out.Tracks.push_back(track);
  }
  // Each check of a position is remembered by its track among sixteen.
  if (traks.size() > 16) return false;
  Out.Follows =
      ordered ? ChunkOrder(traks, Out.LongestRun) : TakingTurns(traks.size(), Out.LongestRun);
  if (!sound || Out.Audio == TWalkProfile::waNone) return true;

  const std::vector<uint32_t> perChunk = SamplesPerChunk(*sound);
  if (!perChunk.empty()) {
    // The first and the last chunk of a recording are often cut short.
    const auto inner = perChunk.size() > 2
                           ? std::vector<uint32_t>(perChunk.begin() + 1, perChunk.end() - 1)
                           : perChunk;
    Out.MinFramesPerChunk = std::max(1u, *std::min_element(inner.begin(), inner.end()));
    Out.MaxFramesPerChunk = std::max(1u, *std::max_element(perChunk.begin(), perChunk.end()));
  }
  if (Out.Audio == TWalkProfile::waPcm) {
    Out.LargestFrame = uint32_t(
        std::min<uint64_t>(uint64_t(Out.MaxFramesPerChunk) * Out.PcmFrameBytes, UINT32_MAX));
  } else {
    const TMp4_stsz& stsz = sound->stsz;
    Out.LargestFrame = stsz.SampleSize;
    for (const uint32_t size : stsz.Table)
      Out.LargestFrame = std::max(Out.LargestFrame, size);
  }
  return true;
}

} // namespace clw
