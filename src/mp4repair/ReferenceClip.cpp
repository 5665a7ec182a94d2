#include "mp4repair/ReferenceClip.h"

#include "mp4repair/MediaDataAnalysis.h"
#include "mp4repair/TrackDescriptions.h"

namespace clw {

int32_t JudgeReference(const THgMP4FileReader& Reference) {
  for (const TMp4Trak& t : Reference.Traks) {
    if (t.MediaKind != mkVideo) continue;
    if (t.stsd.Version == kNotRead || t.StsdNode < 0 || t.stsd.Entries.empty()) continue;
    return IsH264SampleEntry(t.stsd.Entries[0].Type) ? rvUsable : rvNotH264;
  }
  return rvUnreadable;
}

std::unique_ptr<THgMP4FileReader> OpenReferenceClip(const std::string& FileName, int32_t& Verdict,
                                                    const THgProgressEvent& Progress) {
  Verdict = rvUnreadable;
  auto reader = std::make_unique<THgMP4FileReader>(FileName, &MediaDataAnalysis());
  if (reader->OpenError != kOpened || reader->Analyze(0) == kNothingToAnalyse) return nullptr;
  if (reader->Error != kNoDamage) {
    reader->OnProgress = Progress;
    const int32_t result = reader->Analyze(3);
    reader->OnProgress = nullptr;
    if (result != kDone) return nullptr;
  }
  Verdict = JudgeReference(*reader);
  if (Verdict != rvUsable) return nullptr;
  return reader;
}

} // namespace clw
