#include "mp4/HgMP4File.h"

namespace clw {

// Placeholder until the dumps land.
void THgMP4FileReader::DumpInfo(const std::string& FileName) { WriteInfo(FileName); }
int32_t THgMP4FileReader::WriteInfo(const std::string&) { return -1; }
void THgMP4FileReader::WriteDebugDump() {}

} // namespace clw
