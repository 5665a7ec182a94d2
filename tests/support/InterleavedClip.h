#pragma once
// An ffmpeg MP4 (H.264 and AAC) rewritten as an action camera lays out its media data: every
// picture a chunk of its own, each picture and each chunk of sound followed by a 16-byte
// sample of a per-frame data track, about once a second a telemetry chunk of KLV records
// before the next picture, and a time code's one sample first. The video and sound samples
// keep their bytes, descriptions, timing and sync samples; the box order is ftyp, mdat, moov.
#include <cstdint>
#include <string>

namespace clw::test {

// How many chunks of each track the clip holds.
struct TInterleavedClip {
  bool Written = false;
  uint32_t VideoChunks = 0; // one picture each
  uint32_t AudioChunks = 0;
  uint32_t DataChunks = 0; // one 16-byte sample each
  uint32_t TelemetryChunks = 0;
};

// Writes Output from Source; Written is false when Source has no video and sound track to
// take or Output cannot be written.
TInterleavedClip WriteInterleavedClip(const std::string& Source, const std::string& Output);

} // namespace clw::test
