// End to end on real encoder output: H.264 clips in MP4, MOV and 3GP made by ffmpeg, checked
// whole, then with their movie header cut off the way a recorder that lost power leaves
// them. What the check finds in the bare media data is compared with where ffprobe says
// the original file's video lies.
#include "mp4repair/MediaDataAnalysis.h"

#include "support/MediaTools.h"
#include "support/Mp4Clips.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>

namespace clw::test {
namespace {

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
