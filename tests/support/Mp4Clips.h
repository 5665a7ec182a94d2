#pragma once
// The ffmpeg clips the MP4 end-to-end tests run on: H.264 with AAC or PCM in MP4, MOV and
// 3GP, interleaved in camera-like one-second chunks or in ffmpeg's own frame-by-frame
// order, and where a movie header ends up in them.
#include "support/TempDir.h"

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>

namespace clw::test {

enum class TLayout {
  CameraChunks, // about a second of video, then about a second of audio
  VideoOnly,    // one run of video: chunks touch, no gap separates them
  FrameByFrame  // ffmpeg's own interleave, close to one frame per chunk
};

struct TMp4Clip {
  const char* Name;
  const char* File;
  const char* Arguments;
  TLayout Layout;
  bool Enforce; // false: the figures are reported, not required
};

inline void PrintTo(const TMp4Clip& Clip, std::ostream* Out) {
  *Out << Clip.Name;
}

// Noise keeps the pictures as large as a camera's, so the media data is not mostly audio.
#define CLW_VIDEO_IN "-f lavfi -i testsrc2=size=960x540:rate=30 "
#define CLW_SINE_IN "-f lavfi -i sine=frequency=440:sample_rate=48000 "
#define CLW_H264 "-vf noise=alls=12:allf=t -c:v libx264 -preset ultrafast -crf 26 -g 30 -t 24 "
#define CLW_AAC "-c:a aac -b:a 128k "
#define CLW_PCM "-c:a pcm_s16le "
#define CLW_SECOND_CHUNKS "-chunk_duration 1000000"

inline const TMp4Clip kMp4Clips[] = {
    {"h264_aac_mp4", "h264_aac.mp4", CLW_VIDEO_IN CLW_SINE_IN CLW_H264 CLW_AAC CLW_SECOND_CHUNKS,
     TLayout::CameraChunks, true},
    {"h264_aac_mov", "h264_aac.mov", CLW_VIDEO_IN CLW_SINE_IN CLW_H264 CLW_AAC CLW_SECOND_CHUNKS,
     TLayout::CameraChunks, true},
    {"h264_aac_3gp", "h264_aac.3gp", CLW_VIDEO_IN CLW_SINE_IN CLW_H264 CLW_AAC CLW_SECOND_CHUNKS,
     TLayout::CameraChunks, true},
    {"h264_pcm_mov", "h264_pcm.mov", CLW_VIDEO_IN CLW_SINE_IN CLW_H264 CLW_PCM CLW_SECOND_CHUNKS,
     TLayout::CameraChunks, true},
    {"h264_four_slices_mp4", "h264_slices.mp4",
     CLW_VIDEO_IN CLW_SINE_IN CLW_H264 "-slices 4 " CLW_AAC CLW_SECOND_CHUNKS,
     TLayout::CameraChunks, true},
    {"h264_video_only_mp4", "h264_only.mp4", CLW_VIDEO_IN CLW_H264 "-an", TLayout::VideoOnly, true},
    {"h264_aac_frame_by_frame_mp4", "h264_aac_fbf.mp4", CLW_VIDEO_IN CLW_SINE_IN CLW_H264 CLW_AAC,
     TLayout::FrameByFrame, false},
    {"h264_pcm_frame_by_frame_mov", "h264_pcm_fbf.mov", CLW_VIDEO_IN CLW_SINE_IN CLW_H264 CLW_PCM,
     TLayout::FrameByFrame, false},
};

// Offset of the first top-level box of Type, found by walking the top-level boxes; -1 when
// there is none.
inline int64_t TopLevelBoxOffset(const std::string& Bytes, const char (&Type)[5]) {
  uint64_t at = 0;
  while (at + 8 <= Bytes.size()) {
    auto byte = [&](uint64_t i) { return uint64_t(uint8_t(Bytes[i])); };
    uint64_t size = byte(at) << 24 | byte(at + 1) << 16 | byte(at + 2) << 8 | byte(at + 3);
    if (Bytes.compare(at + 4, 4, Type) == 0) return int64_t(at);
    if (size == 1 && at + 16 <= Bytes.size()) {
      size = 0;
      for (int i = 0; i < 8; ++i)
        size = size << 8 | byte(at + 8 + i);
    }
    if (size < 8) return -1;
    at += size;
  }
  return -1;
}

inline int64_t MoovOffset(const std::string& Bytes) {
  return TopLevelBoxOffset(Bytes, "moov");
}

// Clip cut where its movie header starts, as a recorder that lost power leaves it, written
// into Dir as "cut_<name>"; "" when there is no clip or no movie header after its media data.
inline std::string CutAtMovieHeader(const std::string& Clip, const std::filesystem::path& Dir) {
  if (Clip.empty()) return "";
  const std::string bytes = ReadFile(Clip);
  const int64_t moov = MoovOffset(bytes);
  if (moov <= 0) return "";
  const std::string cut =
      (Dir / ("cut_" + std::filesystem::path(Clip).filename().string())).string();
  WriteFile(cut, bytes.substr(0, size_t(moov)));
  return cut;
}

} // namespace clw::test
