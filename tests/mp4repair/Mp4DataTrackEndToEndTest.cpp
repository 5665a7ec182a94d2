// An action camera's interleave, end to end: ffmpeg clips rewritten with a per-frame data
// track after every picture and every chunk of sound, telemetry about once a second and a
// time code first (InterleavedClip.h), cut where the movie header starts and repaired with a
// shorter clip of the same layout as the reference. The walk has to step over every chunk
// of the three tracks the copy leaves out to find each picture and each chunk of sound.
#include "mp4repair/HgMP4FileWriter.h"
#include "mp4repair/MediaDataAnalysis.h"
#include "mp4repair/ReferenceClip.h"

#include "support/InterleavedClip.h"
#include "support/MediaTools.h"
#include "support/Mp4Clips.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>

namespace clw::test {
namespace {

#define CLW_DATA_TRACK_CLIP                                                                        \
  CLW_VIDEO_IN CLW_SINE_IN "-vf noise=alls=12:allf=t -c:v libx264 -preset ultrafast -crf 26 "      \
                           "-g 30 -t 12 " CLW_AAC

struct TInterleaved {
  std::string Source, Path;
  TInterleavedClip Clip;
};

TInterleaved MakeInterleaved(const std::string& File, const std::string& Arguments,
                             const std::filesystem::path& Dir) {
  TInterleaved c;
  c.Source = MakeClip(File, Arguments);
  if (c.Source.empty()) return c;
  c.Path = (Dir / ("interleaved_" + File)).string();
  c.Clip = WriteInterleavedClip(c.Source, c.Path);
  return c;
}

// How many packets of a stream have each hash and key flag.
std::map<std::pair<std::string, bool>, int> PacketCounts(const std::string& Path,
                                                         const std::string& Stream) {
  std::map<std::pair<std::string, bool>, int> counts;
  for (const TPacketHash& p : PacketHashes(Path, Stream))
    ++counts[{p.Hash, p.Key}];
  return counts;
}

// Packets of Original found in Copy with the same bytes and key flag.
int PacketsFound(const std::string& Original, const std::string& Copy, const std::string& Stream,
                 int& Total) {
  auto wanted = PacketCounts(Original, Stream);
  Total = 0;
  for (const auto& [packet, n] : wanted)
    Total += n;
  int found = 0;
  for (const TPacketHash& p : PacketHashes(Copy, Stream))
    if (auto it = wanted.find({p.Hash, p.Key}); it != wanted.end() && it->second > 0) {
      --it->second;
      ++found;
    }
  return found;
}

// The streams of a file as ffprobe lists them: type and tag, one line each.
std::string StreamList(const std::string& Path) {
  std::string streams;
  RunCommand("ffprobe -v error -show_entries stream=codec_type,codec_tag_string -of csv=p=0 " +
                 ShellQuote(Path),
             &streams);
  return streams;
}

const char* const kFiveStreams = "video,avc1\naudio,mp4a\ndata,tmcd\ndata,tlmk\ndata,frmd\n";

TEST(Mp4DataTrackEndToEndTest, MovieHeaderCutOffIsRepairedByTheWalk) {
  const auto dir = ScratchDir();
  const TInterleaved original = MakeInterleaved("datatrack.mp4", CLW_DATA_TRACK_CLIP, dir);
  const TInterleaved reference =
      MakeInterleaved("datatrack_ref.mp4", CLW_DATA_TRACK_CLIP " -t 4", dir);
  ASSERT_TRUE(original.Clip.Written);
  ASSERT_TRUE(reference.Clip.Written);
  // The rewritten clip has the camera's layout: telemetry about once a second, a data
  // sample after every picture and every chunk of sound.
  EXPECT_GE(original.Clip.TelemetryChunks, 10u);
  EXPECT_EQ(original.Clip.DataChunks, original.Clip.VideoChunks + original.Clip.AudioChunks);
  ASSERT_EQ(StreamList(original.Path), kFiveStreams);
  std::string bytes = ReadFile(original.Path);
  const int64_t moov = MoovOffset(bytes);
  ASSERT_GT(moov, 0);
  const std::string cut = (dir / "cut.mp4").string(), output = (dir / "repaired.mp4").string();
  WriteFile(cut, bytes.substr(0, size_t(moov)));

  THgMP4FileReader reader(cut, &MediaDataAnalysis());
  ASSERT_EQ(reader.Analyze(0), kDone);
  ASSERT_EQ(reader.Analyze(reader.Error == kDamagedData ? 3 : 2), kDone);
  THgMP4FileWriter writer(reader, output);
  int32_t verdict = 0;
  writer.ReferenceReader = OpenReferenceClip(reference.Path, verdict);
  ASSERT_TRUE(writer.ReferenceReader) << "verdict " << verdict;
  ASSERT_EQ(writer.Write(), kDone);
  EXPECT_FALSE(writer.WithoutSound);

  const TProbe probe = ProbeVideo(output);
  int videoTotal = 0, audioTotal = 0;
  const int video = PacketsFound(original.Path, output, "v:0", videoTotal);
  const int audio = PacketsFound(original.Path, output, "a:0", audioTotal);
  // Each picture was its own chunk: a copy rebuilt from the walk has as many video chunks.
  THgMP4FileReader copy(output, &MediaDataAnalysis());
  ASSERT_EQ(copy.Analyze(0), kDone);
  ASSERT_EQ(copy.Analyze(2), kDone);
  EXPECT_EQ(copy.Error, kNoDamage);
  size_t videoChunks = 0, soundChunks = 0;
  for (const TMp4Trak& t : copy.Traks) {
    if (t.MediaKind == mkVideo) videoChunks = t.stco.Table.size();
    if (t.MediaKind == mkSound) soundChunks = t.stco.Table.size();
  }
  std::printf("[ figures  ] data_track_interleave: decode errors %d, video packets %d/%d exact, "
              "sound packets %d/%d exact, video chunks %zu/%u, sound chunks %zu/%u\n",
              probe.DecodeErrorLines, video, videoTotal, audio, audioTotal, videoChunks,
              original.Clip.VideoChunks, soundChunks, original.Clip.AudioChunks);
  EXPECT_TRUE(probe.Opened);
  EXPECT_EQ(probe.DecodeErrorLines, 0);
  EXPECT_GT(videoTotal, 300);
  EXPECT_EQ(video, videoTotal) << "pictures lost or changed, or key flags changed";
  EXPECT_EQ(audio, audioTotal) << "sound frames lost or changed";
  EXPECT_EQ(videoChunks, original.Clip.VideoChunks);
  EXPECT_EQ(soundChunks, original.Clip.AudioChunks);

  // The time code, the telemetry and the per-frame data come back too, sample for sample.
  EXPECT_EQ(StreamList(output), kFiveStreams);
  for (const char* stream : {"d:0", "d:1", "d:2"}) {
    SCOPED_TRACE(stream);
    int total = 0;
    EXPECT_EQ(PacketsFound(original.Path, output, stream, total), total);
    EXPECT_GT(total, 0);
  }
}

} // namespace
} // namespace clw::test
