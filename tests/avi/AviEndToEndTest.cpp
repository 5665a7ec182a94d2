// End to end on real encoder output: clips made by ffmpeg, damaged the way cameras and
// crashed recorders damage them, checked, repaired, and the copy verified with ffprobe
// and a full decode.
#include "avi/HgAVIFile.h"

#include "support/AviDamage.h"
#include "support/MediaTools.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

namespace clw::test {
namespace {

class AviEndToEndTest : public ::testing::TestWithParam<std::tuple<TAviCodec, TAviDamage>> {};

TEST_P(AviEndToEndTest, DamagedCopyIsReportedAndRepairedIntoAPlayableFile) {
  const auto& [codec, damage] = GetParam();
  const std::string clip = MakeAviClip(codec);
  ASSERT_FALSE(clip.empty()) << "ffmpeg could not make " << codec.Name;

  THgAVIFileReader clean(clip);
  clean.Analyze(2);
  ASSERT_EQ(clean.Error, kNoDamage) << "a clean clip must check clean";

  std::string bytes = ReadFile(clip);
  const auto range = damage.Apply(bytes);
  const auto dir = ScratchDir();
  const std::string damaged = (dir / "damaged.avi").string();
  const std::string repaired = (dir / "repaired.avi").string();
  WriteFile(damaged, bytes);

  THgAVIFileReader reader(damaged);
  ASSERT_EQ(reader.Analyze(2), kDone);
  if (codec.RawVideo && std::string(damage.Name) == "sectors_zeroed") {
    // Sectors of zeros inside raw pictures and PCM sound are content as far as anyone can
    // tell: the file checks clean.
    EXPECT_EQ(reader.Error, kNoDamage);
    return;
  }
  EXPECT_NE(reader.Error, kNoDamage);
  {
    THgAVIFileWriter writer(reader, repaired);
    ASSERT_EQ(writer.Write(), kDone);
  }
  THgAVIFileReader again(repaired);
  again.Analyze(2);
  EXPECT_EQ(again.Error, kNoDamage) << "the repaired copy must check clean";
  // The headers give the copy's true length: a place for every frame it holds.
  int places = 0;
  for (int32_t i = 0; i < int32_t(again.Count()); ++i)
    places += again.Id(i) == MakeFourCC("00dc");
  EXPECT_NEAR(StreamSeconds(repaired, "v:0"), places / 25.0, 0.021);

  const TProbe probe = ProbeVideo(repaired);
  ASSERT_TRUE(probe.Opened);
  EXPECT_EQ(probe.DecodeErrorLines, 0);
  EXPECT_TRUE(probe.StartsWithKeyFrame);
  // Every frame clear of the damage and of a group of pictures it broke comes back bit for
  // bit, no damaged frame is kept, and the sound the damage left is kept.
  const auto packets = VideoPackets(clip);
  const TKept video = KeptPackets(PacketHashes(clip, "v:0"), PacketHashes(repaired, "v:0"));
  EXPECT_GE(video.Exact, ExpectedFrames(packets, range)) << "of " << packets.size();
  EXPECT_EQ(video.Bad, 0);
  const auto sound = StreamPackets(clip, "a:0");
  const auto soundHashes = PacketHashes(clip, "a:0");
  const TKept audio =
      KeptPackets(soundHashes, PacketHashes(repaired, "a:0"), HitTimes(sound, soundHashes, range));
  EXPECT_GE(audio.Exact, ExpectedAudioPackets(sound, range) * 99 / 100);
  EXPECT_EQ(audio.Bad, 0);
  // Lost frames and sound keep their places: picture and sound stay within a frame (25 fps)
  // of each other, also where damage took chunks with their headers.
  EXPECT_LE(SyncError(video, audio) * 25, 1.0);
}

INSTANTIATE_TEST_SUITE_P(Clips, AviEndToEndTest,
                         ::testing::Combine(::testing::ValuesIn(kAviCodecs),
                                            ::testing::ValuesIn(kAviDamages)),
                         [](const auto& Info) {
                           return std::string(std::get<0>(Info.param).Name) + "_" +
                                  std::get<1>(Info.param).Name;
                         });

} // namespace
} // namespace clw::test
