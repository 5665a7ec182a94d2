#include "mp4/HgMP4File.h"

#include "mp4/Mp4BoxTypes.h"

#include <cstring>

namespace clw {

TSampleEntryKind SampleEntryKind(TFourCC Type) {
  static const TFourCC video[] = {MakeFourCC("mp4v"), MakeFourCC("avc1"), MakeFourCC("encv"),
                                  MakeFourCC("s263")};
  static const TFourCC sound[] = {MakeFourCC("mp4a"), MakeFourCC("enca"), MakeFourCC("samr"),
                                  MakeFourCC("sawb")};
  static const TFourCC system[] = {MakeFourCC("mp4s"), MakeFourCC("encs")};
  for (TFourCC t : video)
    if (t == Type) return {mkVideo, 78};
  for (TFourCC t : sound)
    if (t == Type) return {mkSound, 28};
  for (TFourCC t : system)
    if (t == Type) return {mkSystem, 8};
  // Uncompressed QuickTime sound: its payload has no child boxes.
  if (Type == MakeFourCC("sowt") || Type == MakeFourCC("twos")) return {mkSound, -1};
  return {mkNone, -1};
}

TMp4_VisualEntry VisualEntry(const TMp4_SampleEntry& Entry) {
  TMp4_VisualEntry out;
  std::memcpy(&out, Entry.Fixed, sizeof out);
  return out;
}

TMp4_SoundEntry SoundEntry(const TMp4_SampleEntry& Entry) {
  TMp4_SoundEntry out;
  std::memcpy(&out, Entry.Fixed, sizeof out);
  return out;
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
