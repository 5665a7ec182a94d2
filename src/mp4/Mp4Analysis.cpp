#include "mp4/HgMP4File.h"

namespace clw {

// Placeholder until the walk lands.
int32_t THgMP4FileReader::Analyze(uint8_t) { return kNothingToAnalyse; }

} // namespace clw
