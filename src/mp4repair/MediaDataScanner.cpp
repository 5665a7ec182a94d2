#include "mp4/HgMP4File.h"

namespace clw {

// Placeholder until the scanner lands.
int32_t THgMP4FileReader::ScanMediaData(int32_t, uint64_t, uint64_t) { return -1; }

} // namespace clw
