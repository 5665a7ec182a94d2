// On every damaged end-to-end clip: what Clipwright's repair keeps against what
// "ffmpeg -err_detect ignore_err -c copy" keeps of the same input. Per damage class and
// codec: the frames a sound repair keeps, then for each copy the video frames bit-exact to
// the original's, bad frames, decode error lines, and the share of the audio packets the
// damage left whole that the copy keeps bit-exact, and how far (in frames) video and sound
// moved apart in the copy.
#include "avi/HgAVIFile.h"

#include "support/AviDamage.h"
#include "support/MediaTools.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

using namespace clw;
using namespace clw::test;

namespace {

void Write(const std::string& Path, const std::string& Bytes) {
  std::ofstream(Path, std::ios::binary | std::ios::trunc)
      .write(Bytes.data(), std::streamsize(Bytes.size()));
}

std::string Read(const std::string& Path) {
  std::ifstream in(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

int main() {
  const auto dir = std::filesystem::path(CLIPWRIGHT_TEST_WORK_DIR) / "compare";
  std::filesystem::create_directories(dir);
  std::printf("%-16s %-21s %6s | %-39s | %-39s\n", "codec", "damage", "frames",
              "clipwright frames/bad/err/audio/sync", "ffmpeg frames/bad/err/audio/sync");
  struct TTotals {
    int Frames = 0, Bad = 0, Errors = 0, Complete = 0;
    double WorstSync = 0;
  } ours, theirs;
  int cases = 0;
  for (const TAviCodec& codec : kAviCodecs) {
    const std::string clip = MakeAviClip(codec);
    if (clip.empty()) return 1;
    const auto packets = VideoPackets(clip);
    const auto audioPackets = StreamPackets(clip, "a:0");
    const auto originalVideo = PacketHashes(clip, "v:0");
    const auto originalAudio = PacketHashes(clip, "a:0");
    for (const TAviDamage& damage : kAviDamages) {
      std::string bytes = Read(clip);
      const auto ranges = damage.Apply(bytes);
      const std::string damaged = (dir / "damaged.avi").string();
      const std::string ours_ = (dir / "ours.avi").string();
      const std::string theirs_ = (dir / "theirs.avi").string();
      Write(damaged, bytes);
      {
        THgAVIFileReader reader(damaged);
        reader.Analyze(2);
        THgAVIFileWriter writer(reader, ours_);
        writer.Write();
      }
      std::filesystem::remove(theirs_);
      RunCommand("ffmpeg -nostdin -v quiet -err_detect ignore_err -i " + ShellQuote(damaged) +
                 " -c copy " + ShellQuote(theirs_));
      const int expected = ExpectedFrames(packets, ranges);
      const int expectedAudio = ExpectedAudioPackets(audioPackets, ranges);
      const auto hitTimes = HitTimes(audioPackets, originalAudio, ranges);
      auto row = [&](const std::string& Path, TTotals& Totals) {
        const TProbe probe = ProbeVideo(Path);
        const TKept video = KeptPackets(originalVideo, PacketHashes(Path, "v:0"));
        const TKept audio = KeptPackets(originalAudio, PacketHashes(Path, "a:0"), hitTimes);
        // Of the sound packets the damage left whole.
        const double audioShare = expectedAudio == 0 ? 0 : double(audio.Exact) / expectedAudio;
        Totals.Frames += video.Exact;
        Totals.Bad += video.Bad;
        Totals.Errors += probe.DecodeErrorLines;
        // Complete: every recoverable frame, nothing bad, no decoder error, and at least
        // 99 % of the sound the damage left.
        Totals.Complete += video.Exact >= expected && video.Bad == 0 &&
                           probe.DecodeErrorLines == 0 && audioShare >= 0.99;
        const double sync = SyncError(video, audio);
        Totals.WorstSync = std::max(Totals.WorstSync, sync);
        char text[64];
        std::snprintf(text, sizeof text, "%6d %5d %5d %6.3f %5.2f%s", video.Exact, video.Bad,
                      probe.DecodeErrorLines, audioShare, sync * 25, probe.Opened ? "" : " fail");
        return std::string(text);
      };
      const std::string a = row(ours_, ours);
      const std::string b = row(theirs_, theirs);
      std::printf("%-16s %-21s %6d | %-39s | %-39s\n", codec.Name, damage.Name, expected, a.c_str(),
                  b.c_str());
      ++cases;
    }
  }
  std::printf("summary: %d cases | clipwright %d complete, %d exact frames, %d bad frames, %d "
              "decode error lines, sync within %.2f frames | ffmpeg %d complete, %d exact "
              "frames, %d bad frames, %d decode error lines, sync within %.2f frames\n",
              cases, ours.Complete, ours.Frames, ours.Bad, ours.Errors, ours.WorstSync * 25,
              theirs.Complete, theirs.Frames, theirs.Bad, theirs.Errors, theirs.WorstSync * 25);
  return 0;
}
