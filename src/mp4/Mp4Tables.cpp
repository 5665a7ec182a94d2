#include "mp4/HgMP4File.h"

namespace clw {

// Placeholder until the box readers land.
int32_t THgMP4FileReader::ReadFtyp() { return -1; }
int32_t THgMP4FileReader::ReadMvhd() { return -1; }
int32_t THgMP4FileReader::ReadTkhd() { return -1; }
int32_t THgMP4FileReader::ReadMdhd() { return -1; }
int32_t THgMP4FileReader::ReadHdlr() { return -1; }
int32_t THgMP4FileReader::ReadStsd(int32_t) { return -1; }
int32_t THgMP4FileReader::ReadStco() { return -1; }
int32_t THgMP4FileReader::ReadCo64() { return -1; }
int32_t THgMP4FileReader::ReadStts() { return -1; }
int32_t THgMP4FileReader::ReadStsz() { return -1; }
int32_t THgMP4FileReader::ReadStss() { return -1; }
int32_t THgMP4FileReader::ReadStsc() { return -1; }

} // namespace clw
