#pragma once
// The MP4 reader's two diagnostic outputs, written to any stream: the text description of
// the analysed structure (what DumpInfo puts in the ".log" file) and the tag-stream image
// of the whole analysis state (the ".dmp" file). Both only read the reader.
#include "mp4/HgMP4File.h"
#include "streams/Stream64.h"

#include <cstdint>

namespace clw {

// Text lines ending in "\r\n". A write that falls short is ignored: the text is a
// by-product and what reached the file is still worth having.
void WriteMp4Info(const THgMP4FileReader& Reader, TStream64& Out);

// Positions in a tag stream are 32-bit, so a dump stops short of 4 GiB.
inline constexpr uint64_t kDebugDumpLimit = 0xFFFFFFFFu;

// Writes the dump from the stream's current end, which must be its start. Returns true when
// it is whole; false when it was cut at Limit bytes or by a failed write. A cut dump is
// still well formed: every element opened is closed with its true size.
bool WriteMp4DebugDump(const THgMP4FileReader& Reader, TStream64& Out,
                       uint64_t Limit = kDebugDumpLimit);

} // namespace clw
