#pragma once
// The scan of raw media data and slice detection, as the MP4 reader's analysis runs them.
#include "mp4/HgMP4File.h"

#include <cstdint>

namespace clw {

// Scans Length bytes of the reader's file from Start for NAL-unit candidates and zero runs
// (MediaDataScanner.cpp). 0 when scanned, -1 without a stream or when cancelled.
int32_t ScanMediaData(THgMP4FileReader& Reader, uint64_t Length, uint64_t Start);

// The analysis every reader that checks or repairs a file is given.
const TMp4MediaDataAnalysis& MediaDataAnalysis();

} // namespace clw
