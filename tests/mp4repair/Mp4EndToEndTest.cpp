// End to end on real encoder output: H.264 clips in MP4, MOV and 3GP made by ffmpeg, checked
// whole, then with their movie header cut off the way a recorder that lost power leaves
// them. What the check finds in the bare media data is compared with where ffprobe says
// the original file's video lies.
#include "mp4repair/MediaDataAnalysis.h"

#include "support/MediaTools.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>

namespace clw::test {
namespace {

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

void PrintTo(const TMp4Clip& Clip, std::ostream* Out) {
  *Out << Clip.Name;
}

// Noise keeps the pictures as large as a camera's, so the media data is not mostly audio.
#define CLW_VIDEO_IN "-f lavfi -i testsrc2=size=960x540:rate=30 "
#define CLW_SINE_IN "-f lavfi -i sine=frequency=440:sample_rate=48000 "
#define CLW_H264 "-vf noise=alls=12:allf=t -c:v libx264 -preset ultrafast -crf 26 -g 30 -t 24 "
#define CLW_AAC "-c:a aac -b:a 128k "
#define CLW_PCM "-c:a pcm_s16le "
#define CLW_SECOND_CHUNKS "-chunk_duration 1000000"

const TMp4Clip kMp4Clips[] = {
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

// Offset of the top-level "moov", found by walking the top-level boxes.
int64_t MoovOffset(const std::string& Bytes) {
  uint64_t at = 0;
  while (at + 8 <= Bytes.size()) {
    auto byte = [&](uint64_t i) { return uint64_t(uint8_t(Bytes[i])); };
    uint64_t size = byte(at) << 24 | byte(at + 1) << 16 | byte(at + 2) << 8 | byte(at + 3);
    if (Bytes.compare(at + 4, 4, "moov") == 0) return int64_t(at);
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

// A video chunk of the original file: packets that follow each other without a gap.
struct TRange {
  int64_t Start = 0, End = 0;
};

std::vector<TRange> VideoChunks(const std::vector<TPacket>& Packets) {
  std::vector<TRange> chunks;
  for (const TPacket& p : Packets) {
    if (!chunks.empty() && chunks.back().End == p.Position)
      chunks.back().End += p.Size;
    else
      chunks.push_back({p.Position, p.Position + p.Size});
  }
  return chunks;
}

std::vector<TRange> FoundSlices(const THgMP4FileReader& Reader) {
  std::vector<TRange> found;
  for (const TMDATSlice& s : Reader.MDATSlices)
    if (s.Count > 0) found.push_back({int64_t(s.Start), int64_t(s.Start + s.Size)});
  return found;
}

// Bytes of Of that lie inside any of In (both sorted, In without overlaps).
int64_t CoveredBytes(const std::vector<TRange>& Of, const std::vector<TRange>& In) {
  int64_t covered = 0;
  for (const TRange& r : Of)
    for (const TRange& s : In)
      covered += std::max<int64_t>(0, std::min(r.End, s.End) - std::max(r.Start, s.Start));
  return covered;
}

double Percent(double Part, double Whole) {
  return Whole > 0 ? 100.0 * Part / Whole : 0.0;
}

class Mp4EndToEndTest : public ::testing::TestWithParam<TMp4Clip> {
protected:
  std::string Clip() {
    const std::string clip = MakeClip(GetParam().File, GetParam().Arguments);
    EXPECT_FALSE(clip.empty()) << "ffmpeg could not make " << GetParam().File;
    return clip;
  }
};

// The quick analysis and the full check of an intact clip both find nothing wrong.
void ExpectChecksClean(const std::string& Clip, int32_t Tracks) {
  ASSERT_FALSE(Clip.empty());
  THgMP4FileReader reader(Clip, &MediaDataAnalysis());
  for (uint8_t mode : {0, 2}) {
    ASSERT_EQ(reader.Analyze(mode), kDone);
    EXPECT_EQ(reader.Error, kNoDamage) << "mode " << int(mode);
  }
  EXPECT_EQ(reader.TrackCount(), Tracks);
}

TEST_P(Mp4EndToEndTest, CleanClipChecksWithoutDamage) {
  ExpectChecksClean(Clip(), GetParam().Layout == TLayout::VideoOnly ? 1 : 2);
}

// With the movie header in front, the tolerant walk meets every box of the tracks before
// the media data, including the sample groups of the AAC track.
TEST(Mp4EndToEndFastStartTest, MovieHeaderFirstChecksWithoutDamage) {
  ExpectChecksClean(MakeClip("h264_aac_faststart.mp4",
                             CLW_VIDEO_IN CLW_SINE_IN CLW_H264 CLW_AAC "-movflags +faststart"),
                    2);
}

TEST_P(Mp4EndToEndTest, MovieHeaderCutOffIsReportedAndItsVideoFound) {
  const TMp4Clip& param = GetParam();
  const std::string clip = Clip();
  ASSERT_FALSE(clip.empty());
  const std::string bytes = ReadFile(clip);
  const int64_t moov = MoovOffset(bytes);
  ASSERT_GT(moov, 0) << "ffmpeg wrote the movie header first";
  const auto dir = ScratchDir();
  const std::string damaged = (dir / ("cut_" + std::string(param.File))).string();
  WriteFile(damaged, bytes.substr(0, size_t(moov)));

  THgMP4FileReader reader(damaged, &MediaDataAnalysis());
  ASSERT_EQ(reader.Analyze(0), kDone);
  EXPECT_EQ(reader.Error, kDamagedData);
  ASSERT_EQ(reader.Analyze(3), kDone);
  EXPECT_EQ(reader.Error, kDamagedData);

  const auto chunks = VideoChunks(VideoPackets(clip));
  ASSERT_FALSE(chunks.empty());
  const auto found = FoundSlices(reader);
  std::set<int64_t> chunkStarts, foundStarts;
  for (const TRange& c : chunks)
    chunkStarts.insert(c.Start);
  for (const TRange& s : found)
    foundStarts.insert(s.Start);
  int chunksFound = 0, slicesOnChunks = 0;
  for (int64_t c : chunkStarts)
    chunksFound += foundStarts.count(c) ? 1 : 0;
  for (int64_t s : foundStarts)
    slicesOnChunks += chunkStarts.count(s) ? 1 : 0;
  int64_t videoBytes = 0;
  for (const TRange& c : chunks)
    videoBytes += c.End - c.Start;

  const double chunkRecall = Percent(chunksFound, double(chunkStarts.size()));
  const double slicePrecision = Percent(slicesOnChunks, double(foundStarts.size()));
  const double coverage = Percent(double(CoveredBytes(chunks, found)), double(videoBytes));
  std::printf("[ figures  ] %s: %zu video chunks, %zu slices, %u candidates; chunk starts "
              "found %.1f%%, slices on a chunk start %.1f%%, video bytes covered %.1f%%\n",
              param.Name, chunkStarts.size(), found.size(), reader.Scan.MDATChunks.Count(),
              chunkRecall, slicePrecision, coverage);
  RecordProperty("chunk_starts_found_percent", std::to_string(chunkRecall));
  RecordProperty("slices_on_chunk_start_percent", std::to_string(slicePrecision));
  RecordProperty("video_bytes_covered_percent", std::to_string(coverage));

  if (!param.Enforce) return;
  if (param.Layout == TLayout::VideoOnly) {
    EXPECT_GE(coverage, 98.0);
  } else {
    EXPECT_GE(chunkRecall, 98.0);
    EXPECT_GE(slicePrecision, 98.0);
  }
}

INSTANTIATE_TEST_SUITE_P(Clips, Mp4EndToEndTest, ::testing::ValuesIn(kMp4Clips),
                         [](const auto& Info) { return std::string(Info.param.Name); });

} // namespace
} // namespace clw::test
