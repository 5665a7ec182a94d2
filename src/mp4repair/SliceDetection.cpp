#include "mp4/HgMP4File.h"

namespace clw {

// Placeholder until slice detection lands.
void THgMP4FileReader::FindSlices(int32_t, bool) {}
void THgMP4FileReader::BuildRuns() {}
void THgMP4FileReader::GatherStatistics() {}
bool THgMP4FileReader::FindSingleFrameInterleave() { return false; }
int32_t THgMP4FileReader::ResolveOverlap(int32_t, int32_t) { return 1; }
void THgMP4FileReader::ComputeSliceExtents(int32_t) {}
int32_t THgMP4FileReader::HistogramPeak(const std::vector<int32_t>&) { return 1; }

} // namespace clw
