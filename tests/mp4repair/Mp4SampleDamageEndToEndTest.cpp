// Damage inside the samples of an ffmpeg clip whose movie header survived: lost sectors, and
// a picture overwritten by stray data. The command line's check must call the data damaged
// and its repair must keep the tables, take out each damaged picture with the rest of its
// group of pictures, and leave every other picture bit for bit where it was in time, the
// sound whole but for the frames a lost sector hit, and the video ending when it did. A
// clean clip's copy must be exactly what the tables alone make, and show every picture.
#include "mp4repair/HgMP4FileWriter.h"
#include "mp4repair/MediaDataAnalysis.h"

#include "support/MediaTools.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <random>
#include <set>

namespace clw::test {
namespace {

// H.264 with two B-frames and a key frame every second, and AAC, four seconds.
constexpr const char* kClipArguments =
    "-f lavfi -i testsrc2=size=640x360:rate=30 -f lavfi -i sine=frequency=440:sample_rate=48000 "
    "-vf noise=alls=12:allf=t -c:v libx264 -preset veryfast -bf 2 -g 30 -crf 26 "
    "-c:a aac -b:a 128k -t 4";
constexpr int64_t kCardSector = 4096;
constexpr int64_t kFrameMs = 34; // one picture at 30 a second, rounded up

using TRanges = std::vector<std::pair<int64_t, int64_t>>;

bool Touches(const TTimedPacket& Packet, const TRanges& Ranges) {
  for (const auto& [start, end] : Ranges)
    if (Packet.Position < end && start < Packet.Position + Packet.Size) return true;
  return false;
}

// Eight card sectors zeroed, one inside a picture in each eighth of the video.
TRanges LoseSectors(std::string& Bytes, const std::vector<TTimedPacket>& Video,
                    const std::vector<TTimedPacket>&) {
  TRanges lost;
  for (size_t i = 0; i < 8; ++i) {
    for (size_t k = (2 * i + 1) * Video.size() / 16; k < Video.size(); ++k) {
      const TTimedPacket& p = Video[k];
      const int64_t at = (p.Position + kCardSector - 1) / kCardSector * kCardSector;
      if (at + kCardSector > p.Position + p.Size) continue;
      std::fill_n(Bytes.begin() + at, kCardSector, '\0');
      lost.emplace_back(at, at + kCardSector);
      break;
    }
  }
  return lost;
}

// A picture in the middle of the clip overwritten from its first byte by 4 KiB of noise.
TRanges OverwritePicture(std::string& Bytes, const std::vector<TTimedPacket>& Video,
                         const std::vector<TTimedPacket>&) {
  std::mt19937 noise(7);
  for (size_t k = Video.size() / 2; k < Video.size(); ++k) {
    const TTimedPacket& p = Video[k];
    if (p.Key || p.Size < kCardSector + 64) continue;
    for (int64_t i = 0; i < kCardSector; ++i)
      Bytes[size_t(p.Position + i)] = char(noise() & 0xFF);
    return {{p.Position, p.Position + kCardSector}};
  }
  return {};
}

// The first sector inside the first picture, and, in the middle of the clip, the sector that
// a sound frame runs into.
TRanges LoseStartAndSound(std::string& Bytes, const std::vector<TTimedPacket>& Video,
                          const std::vector<TTimedPacket>& Audio) {
  const auto sectorAfter = [](int64_t At) {
    return (At + kCardSector - 1) / kCardSector * kCardSector;
  };
  std::vector<int64_t> sectors = {sectorAfter(Video.front().Position)};
  for (size_t k = Audio.size() / 2; k < Audio.size() && sectors.size() < 2; ++k)
    if (sectorAfter(Audio[k].Position) < Audio[k].Position + Audio[k].Size)
      sectors.push_back(sectorAfter(Audio[k].Position));
  TRanges lost;
  for (int64_t at : sectors) {
    std::fill_n(Bytes.begin() + at, kCardSector, '\0');
    lost.emplace_back(at, at + kCardSector);
  }
  return lost;
}

struct TDamageCase {
  const char* Name;
  std::function<TRanges(std::string&, const std::vector<TTimedPacket>&,
                        const std::vector<TTimedPacket>&)>
      Damage;
  size_t Hits; // damaged ranges expected
};

void PrintTo(const TDamageCase& Case, std::ostream* Out) {
  *Out << Case.Name;
}

// Where the first video stream ends: its start time and its duration.
int64_t VideoEndMs(const std::string& Path) {
  std::string output;
  RunCommand("ffprobe -v error -select_streams v:0 -show_entries stream=start_time,duration "
             "-of csv=p=0 " +
                 ShellQuote(Path),
             &output);
  double start = 0, duration = 0;
  if (std::sscanf(output.c_str(), "%lf,%lf", &start, &duration) != 2) return -1;
  return std::llround((start + duration) * 1000);
}

class Mp4SampleDamageEndToEnd : public ::testing::TestWithParam<TDamageCase> {};

TEST_P(Mp4SampleDamageEndToEnd, DamagedGroupsGoAndTheRestIsExact) {
  const std::string clip = MakeClip("h264_bframes_aac.mp4", kClipArguments);
  ASSERT_FALSE(clip.empty()) << "ffmpeg could not make the clip";
  const auto dir = ScratchDir();
  const std::vector<TTimedPacket> video = TimedPackets(clip, "v:0");
  const std::vector<TTimedPacket> audio = TimedPackets(clip, "a:0");
  ASSERT_GE(video.size(), 100u);
  std::string bytes = ReadFile(clip);
  const TRanges ranges = GetParam().Damage(bytes, video, audio);
  ASSERT_EQ(ranges.size(), GetParam().Hits);
  const std::string damaged = (dir / "damaged.mp4").string();
  WriteFile(damaged, bytes);

  const std::string cli = CLIPWRIGHT_CLI_PATH;
  std::string output;
  EXPECT_EQ(RunCommand(cli + " check " + ShellQuote(damaged), &output), 1) << output;
  EXPECT_NE(output.find("wrong data"), std::string::npos) << output;
  output.clear();
  EXPECT_EQ(RunCommand(cli + " repair -o " + ShellQuote(dir.string()) + " " + ShellQuote(damaged),
                       &output),
            0)
      << output;
  EXPECT_NE(output.find("repaired"), std::string::npos) << output;
  const std::string copy = (dir / "damaged (copy).mp4").string();
  ASSERT_TRUE(std::filesystem::exists(copy)) << output;

  // Each damaged picture goes with what follows it in decoding order up to the next key
  // frame.
  std::set<int64_t> removed;
  bool dropping = false;
  for (const TTimedPacket& p : video) {
    if (Touches(p, ranges))
      dropping = true;
    else if (p.Key)
      dropping = false;
    if (dropping) removed.insert(p.Ms);
  }
  const TProbe probe = ProbeVideo(copy);
  EXPECT_TRUE(probe.Opened);
  EXPECT_EQ(probe.DecodeErrorLines, 0);
  const std::map<int64_t, std::string> original = DecodedFramesByTime(clip);
  const std::map<int64_t, std::string> repaired = DecodedFramesByTime(copy);
  ASSERT_EQ(original.size(), video.size());
  size_t exact = 0;
  for (const auto& [ms, hash] : original) {
    const auto it = repaired.find(ms);
    if (removed.count(ms)) {
      EXPECT_EQ(it, repaired.end()) << "picture at " << ms << " ms should have gone";
    } else if (it != repaired.end() && it->second == hash) {
      ++exact;
    } else {
      ADD_FAILURE() << "picture at " << ms << " ms is not the original's";
    }
  }
  EXPECT_EQ(repaired.size(), exact);
  EXPECT_FALSE(removed.empty());

  int64_t hitMs = 0;
  for (const TTimedPacket& p : audio)
    hitMs += Touches(p, ranges) ? p.DurationMs : 0;
  const double originalSound = StreamSeconds(clip, "a:0");
  const double keptSound = StreamSeconds(copy, "a:0");
  EXPECT_GE(keptSound, 0.99 * (originalSound - double(hitMs) / 1000));
  const int64_t originalEnd = VideoEndMs(clip);
  const int64_t repairedEnd = VideoEndMs(copy);
  EXPECT_LE(std::abs(repairedEnd - originalEnd), kFrameMs);

  std::cout << "[ figures  ] " << GetParam().Name << ": pictures exact " << exact << " of "
            << original.size() << ", removed " << removed.size() << "; sound " << keptSound
            << " s of " << originalSound << " s (" << hitMs << " ms hit); video ends "
            << repairedEnd << " ms, was " << originalEnd << " ms; decoder error lines "
            << probe.DecodeErrorLines << "\n";
}

const TDamageCase kDamageCases[] = {
    {"eight_lost_sectors", LoseSectors, 8},
    {"picture_overwritten_by_noise", OverwritePicture, 1},
    {"first_picture_and_sound_lost", LoseStartAndSound, 2},
};

INSTANTIATE_TEST_SUITE_P(Clips, Mp4SampleDamageEndToEnd, ::testing::ValuesIn(kDamageCases),
                         [](const auto& Info) { return std::string(Info.param.Name); });

std::string CopyOf(const std::string& Path, const std::string& Output, bool Judge) {
  THgMP4FileReader reader(Path, &MediaDataAnalysis());
  EXPECT_EQ(reader.Analyze(0), kDone);
  EXPECT_EQ(reader.Analyze(reader.Error == kDamagedData ? 3 : 2), kDone);
  EXPECT_EQ(reader.Error, kNoDamage);
  {
    THgMP4FileWriter writer(reader, Output);
    writer.JudgeSamples = Judge;
    EXPECT_EQ(writer.Write(), kDone);
  }
  return ReadFile(Output);
}

// Nothing damaged, nothing changed: judging the samples of a clean clip leaves its copy
// byte for byte what the tables alone make.
TEST(Mp4SampleDamageCleanClip, CopyIsWhatTheTablesMake) {
  const std::string clip = MakeClip("h264_bframes_aac.mp4", kClipArguments);
  ASSERT_FALSE(clip.empty()) << "ffmpeg could not make the clip";
  const auto dir = ScratchDir();
  const std::string judged = CopyOf(clip, (dir / "judged.mp4").string(), true);
  const std::string plain = CopyOf(clip, (dir / "plain.mp4").string(), false);
  ASSERT_FALSE(plain.empty());
  EXPECT_TRUE(judged == plain);
  // The copy shows every picture: with reordered pictures the last one shown ends after the
  // last decoding time, and the video's edit must reach it.
  EXPECT_LE(std::abs(VideoEndMs((dir / "judged.mp4").string()) - VideoEndMs(clip)), kFrameMs);
}

} // namespace
} // namespace clw::test
