// What the chunk walker takes from a reference clip: the limits of its H.264 units, the
// description of its sound, and how its camera interleaves them (ChunkWalker.h).
#include "mp4/AacConfig.h"
#include "mp4/Mp4BoxTypes.h"
#include "mp4repair/ChunkWalker.h"
#include "mp4repair/SampleDamage.h"
#include "mp4repair/TrackDescriptions.h"

#include <algorithm>

namespace clw {

namespace {

// Samples of the reference whose unit types are gathered: a couple of groups of pictures.
constexpr size_t kTypedSamples = 120;

const TMp4Trak* FirstTrack(const THgMP4FileReader& Reader, uint8_t Kind) {
  for (const TMp4Trak& t : Reader.Traks)
    if (t.MediaKind == Kind && t.stsd.Version != kNotRead && !t.stsd.Entries.empty()) return &t;
  return nullptr;
}

// The NAL unit types the first samples of a track hold, as bits.
uint32_t SampleNalTypes(const THgMP4FileReader& Reader, const TMp4Trak& Trak, uint32_t LengthSize) {
  TStream64* source = Reader.Source();
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
  const TMp4_stsc_table& stsc = Trak.stsc.Table;
  if (stsc.empty()) return out;
  size_t entry = 0;
  for (size_t c = 0; c < Trak.stco.Table.size(); ++c) {
    while (entry + 1 < stsc.size() && stsc[entry + 1].FirstChunk <= c + 1)
      ++entry;
    out.push_back(stsc[entry].SamplesPerChunk);
  }
  return out;
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
  const uint32_t types = SampleNalTypes(Reference, *video, lengthSize);
  if (!MakeNalLimits(avcC.data(), avcC.size(), types, Out.Video)) return false;

  const TMp4Trak* sound = FirstTrack(Reference, mkSound);
  if (!sound) return true;
  const TMp4_SampleEntry& description = sound->stsd.Entries[0];
  if (IsPcmSampleEntry(description.Type)) {
    Out.PcmFrameBytes = PcmFrameSize(description);
    if (Out.PcmFrameBytes == 0) return true;
    Out.Audio = TWalkProfile::waPcm;
  } else if (description.Type == MakeFourCC("mp4a")) {
    const std::vector<uint8_t> bytes =
        FirstSampleEntry(ReadNodePayload(Reference, sound->StsdNode, kPlainBoxLimit));
    if (!FindAudioSpecificConfig(bytes.data(), bytes.size(), Out.AacConfig)) return true;
    Out.Audio = TWalkProfile::waAac;
    Out.Library = Library;
  } else {
    return true;
  }

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
  Out.AudioFirst = !sound->stco.Table.empty() && !video->stco.Table.empty() &&
                   sound->stco.Table.front() < video->stco.Table.front();
  return true;
}

} // namespace clw
