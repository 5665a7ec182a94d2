#pragma once
// A reference clip: an intact recording of the same camera, from which a repair takes the
// track headers, sample descriptions and time scales the damaged file lost.
#include "mp4/HgMP4File.h"

#include <cstdint>
#include <memory>
#include <string>

namespace clw {

enum TReferenceVerdict : int32_t {
  rvUsable = 0,
  rvUnreadable = 1, // not an MP4-family file, or its tracks could not be read
  rvNotH264 = 2,    // its video is of a codec the repair cannot rebuild
};

// Whether an analysed reader can serve as a reference.
int32_t JudgeReference(const THgMP4FileReader& Reference);

// Opens and analyses FileName as a reference: the quick analysis, and the full one when
// the quick one finds damage (a clip whose tables survive still serves). Null, with the
// verdict, when it cannot serve. Progress, when given, reports the full analysis.
std::unique_ptr<THgMP4FileReader> OpenReferenceClip(const std::string& FileName, int32_t& Verdict,
                                                    const THgProgressEvent& Progress = {});

} // namespace clw
