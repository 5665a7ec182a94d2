#include "mp4repair/MediaDataAnalysis.h"

#include "mp4repair/SampleDamage.h"
#include "mp4repair/SliceDetector.h"

namespace clw {

namespace {

class TScanAndSlices final : public TMp4MediaDataAnalysis {
public:
  int32_t ScanMediaData(THgMP4FileReader& Reader, int32_t /*MediaNode*/, uint64_t Length,
                        uint64_t Start) const override {
    return clw::ScanMediaData(Reader, Length, Start);
  }
  void FindSlices(THgMP4FileReader& Reader, int32_t MediaNode,
                  bool AllowSingleFrame) const override {
    TSliceDetector(Reader).FindSlices(MediaNode, AllowSingleFrame);
  }
  bool HasDamagedSamples(THgMP4FileReader& Reader) const override {
    return clw::HasDamagedSamples(Reader);
  }
};

} // namespace

const TMp4MediaDataAnalysis& MediaDataAnalysis() {
  static const TScanAndSlices analysis;
  return analysis;
}

} // namespace clw
