// On every damaged end-to-end clip: what Clipwright's repair keeps against what
// "ffmpeg -err_detect ignore_err -c copy" keeps of the same input. Per damage class and
// codec: video frames, decode error lines, and whether the copy starts on a key frame.
#include "avi/HgAVIFile.h"

#include "support/AviDamage.h"
#include "support/MediaTools.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

using namespace clw;
using namespace clw::test;

namespace {

void Write(const std::string& Path, const std::string& Bytes) {
  std::ofstream(Path, std::ios::binary | std::ios::trunc).write(Bytes.data(), std::streamsize(Bytes.size()));
}

std::string Read(const std::string& Path) {
  std::ifstream in(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

int main() {
  const auto dir = std::filesystem::path(CLIPWRIGHT_TEST_WORK_DIR) / "compare";
  std::filesystem::create_directories(dir);
  std::printf("%-16s %-22s %8s | %-24s | %-24s\n", "codec", "damage", "expected",
              "clipwright frames/err/key", "ffmpeg frames/err/key");
  int ourTotal = 0, theirTotal = 0, ourErrors = 0, theirErrors = 0, ourKey = 0, theirKey = 0, cases = 0;
  for (const TAviCodec& codec : kAviCodecs) {
    const std::string clip = MakeAviClip(codec);
    if (clip.empty()) return 1;
    const auto packets = VideoPackets(clip);
    for (const TAviDamage& damage : kAviDamages) {
      std::string bytes = Read(clip);
      const auto range = damage.Apply(bytes);
      const std::string damaged = (dir / "damaged.avi").string();
      const std::string ours = (dir / "ours.avi").string();
      const std::string theirs = (dir / "theirs.avi").string();
      Write(damaged, bytes);
      {
        THgAVIFileReader reader(damaged);
        reader.Analyze(2);
        THgAVIFileWriter writer(reader, ours);
        writer.Write();
      }
      std::filesystem::remove(theirs);
      RunCommand("ffmpeg -nostdin -v quiet -err_detect ignore_err -i " + ShellQuote(damaged) +
                 " -c copy " + ShellQuote(theirs));
      const TProbe a = ProbeVideo(ours), b = ProbeVideo(theirs);
      std::printf("%-16s %-22s %8d | %10d %6d %6s | %10d %6d %6s\n", codec.Name, damage.Name,
                  ExpectedFrames(packets, range), a.VideoPackets, a.DecodeErrorLines,
                  a.StartsWithKeyFrame ? "yes" : "no", b.VideoPackets, b.DecodeErrorLines,
                  b.Opened ? (b.StartsWithKeyFrame ? "yes" : "no") : "fail");
      ourTotal += a.VideoPackets;
      theirTotal += b.VideoPackets;
      ourErrors += a.DecodeErrorLines;
      theirErrors += b.DecodeErrorLines;
      ourKey += a.StartsWithKeyFrame;
      theirKey += b.StartsWithKeyFrame;
      ++cases;
    }
  }
  std::printf("summary: %d cases | clipwright %d frames, %d decode error lines, %d/%d start on a key "
              "frame | ffmpeg %d frames, %d decode error lines, %d/%d start on a key frame\n",
              cases, ourTotal, ourErrors, ourKey, cases, theirTotal, theirErrors, theirKey, cases);
  return 0;
}
