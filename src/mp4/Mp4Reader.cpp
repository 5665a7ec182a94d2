#include "mp4/HgMP4File.h"

#include "mp4/Mp4BoxTypes.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace clw {

TSampleEntryKind SampleEntryKind(TFourCC Type) {
  static const TFourCC video[] = {MakeFourCC("mp4v"), MakeFourCC("avc1"), MakeFourCC("encv"),
                                  MakeFourCC("s263")};
  // Compressed sound of MP4, 3GP and MOV files; the PCM types are asked of IsPcmSampleEntry.
  static const TFourCC sound[] = {MakeFourCC("mp4a"), MakeFourCC("enca"), MakeFourCC("samr"),
                                  MakeFourCC("sawb"), MakeFourCC("ac-3"), MakeFourCC("ec-3"),
                                  MakeFourCC("alac"), MakeFourCC("alaw"), MakeFourCC("ulaw"),
                                  MakeFourCC("ima4"), MakeFourCC(".mp3"), MakeFourCC("Opus"),
                                  MakeFourCC("fLaC")};
  static const TFourCC system[] = {MakeFourCC("mp4s"), MakeFourCC("encs")};
  for (TFourCC t : video)
    if (t == Type) return {mkVideo, 78};
  if (IsPcmSampleEntry(Type) ||
      std::find(std::begin(sound), std::end(sound), Type) != std::end(sound))
    return {mkSound, int32_t(SoundEntryFixedLength(0))};
  for (TFourCC t : system)
    if (t == Type) return {mkSystem, 8};
  return {mkNone, -1};
}

namespace {

template <typename TView> TView EntryView(const TMp4_SampleEntry& Entry) {
  static_assert(sizeof(TView) <= sizeof Entry.Fixed);
  TView out;
  std::memcpy(&out, Entry.Fixed, sizeof out);
  return out;
}

} // namespace

TMp4_VisualEntry VisualEntry(const TMp4_SampleEntry& Entry) {
  return EntryView<TMp4_VisualEntry>(Entry);
}

TMp4_SoundEntry SoundEntry(const TMp4_SampleEntry& Entry) {
  return EntryView<TMp4_SoundEntry>(Entry);
}

TMp4_SoundEntryV1 SoundEntryV1(const TMp4_SampleEntry& Entry) {
  return EntryView<TMp4_SoundEntryV1>(Entry);
}

TMp4_SoundEntryV2 SoundEntryV2(const TMp4_SampleEntry& Entry) {
  return EntryView<TMp4_SoundEntryV2>(Entry);
}

uint32_t PcmFrameSize(const TMp4_SampleEntry& Entry) {
  // Beyond 64 channels of 64-bit samples no recorder writes; such a value is damage.
  constexpr uint64_t kLargest = 64 * 8;
  if (!IsPcmSampleEntry(Entry.Type)) return 0;
  const TMp4_SoundEntry head = SoundEntry(Entry);
  // An ISO entry of version 1 keeps the version 0 layout; only the fields read count.
  const uint16_t version =
      Entry.FixedLength >= SoundEntryFixedLength(head.Version) ? head.Version : 0;
  uint64_t size = 0;
  if (version == 1) {
    size = SoundEntryV1(Entry).BytesPerFrame;
  } else if (version == 2) {
    const TMp4_SoundEntryV2 v2 = SoundEntryV2(Entry);
    size = uint64_t(v2.NumAudioChannels) * v2.ConstBitsPerChannel / 8;
  } else {
    size = uint64_t(head.ChannelCount) * head.SampleSize / 8;
  }
  return size == 0 || size > kLargest ? 0 : uint32_t(size);
}

THgMP4FileReader::THgMP4FileReader(const std::string& FileName,
                                   const TMp4MediaDataAnalysis* Analysis)
    : Analysis(Analysis) {
  if (!CanOpenForReading(FileName)) {
    OpenError = kNotFound;
    return;
  }
  try {
    FileStream = std::make_unique<THgBufferedFileStreamW>(FileName, fmOpenRead | fmShareDenyNone);
  } catch (const EStreamError&) {
    OpenError = kCannotOpen;
    return;
  }
  OwnedAtoms = std::make_unique<THgMp4Stream>(FileStream.get());
  Atoms = OwnedAtoms.get();
}

THgMP4FileReader::THgMP4FileReader(THgMp4Stream& Stream, const TMp4MediaDataAnalysis* Analysis)
    : Atoms(&Stream), Analysis(Analysis) {}

THgMP4FileReader::~THgMP4FileReader() {
  ClearAnalysis();
}

int32_t THgMP4FileReader::AddTrack(int32_t TrakNode) {
  Traks.emplace_back();
  Traks.back().TrakNode = TrakNode;
  return int32_t(Traks.size()) - 1;
}

int32_t THgMP4FileReader::SetVideoMediaHeader(int32_t Node) {
  if (Traks.empty()) return -1;
  Traks.back().MediaKind = mkVideo;
  Traks.back().VmhdNode = Node;
  return 0;
}

int32_t THgMP4FileReader::SetSoundMediaHeader(int32_t Node) {
  if (Traks.empty()) return -1;
  Traks.back().MediaKind = mkSound;
  Traks.back().SmhdNode = Node;
  return 0;
}

void THgMP4FileReader::ClearAnalysis() {
  Clear();
  Traks.clear();
  Scan.Clear();
  MDATSlices.clear();
  SliceStatistics = TSliceStatistics{};
}

int32_t THgMP4FileReader::ScanMediaData(int32_t MediaNode, uint64_t Length, uint64_t Start) {
  if (!Source()) return kCancelled;
  return Analysis ? Analysis->ScanMediaData(*this, MediaNode, Length, Start) : kDone;
}

void THgMP4FileReader::FindSlices(int32_t MediaNode, bool AllowSingleFrame) {
  if (Analysis) Analysis->FindSlices(*this, MediaNode, AllowSingleFrame);
}

int64_t THgMP4FileReader::NodeStart(int32_t Node) const {
  return DataPosition(Node) - ((Flags(Node) & nfLargeHeader) ? 16 : 8);
}

int64_t THgMP4FileReader::NodeEnd(int32_t Node) const {
  const int64_t start = NodeStart(Node);
  const int64_t size = Size(Node);
  // Sizes come from damaged headers; an end past what int64 holds is "beyond any file".
  if (size > 0 && start > INT64_MAX - size) return INT64_MAX;
  return start + size;
}

} // namespace clw
