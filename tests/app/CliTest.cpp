// The command line's contract: exit statuses, messages, and that it never writes
// anything for a file it could not check.
#include "support/MediaTools.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

namespace clw::test {
namespace {

struct TRun {
  int Status;
  std::string Output; // standard output and standard error together
};

TRun RunCli(const std::string& Arguments) {
  TRun run{-1, ""};
  run.Status = RunCommand(std::string(CLIPWRIGHT_CLI_PATH) + " " + Arguments, &run.Output);
  return run;
}

std::string Quote(const std::filesystem::path& Path) {
  return "'" + Path.string() + "'";
}

TEST(CliTest, UsageHelpAndVersion) {
  EXPECT_EQ(RunCli("--help").Status, 0);
  const TRun version = RunCli("--version");
  EXPECT_EQ(version.Status, 0);
  EXPECT_NE(version.Output.find("clipwright-cli "), std::string::npos);
  const TRun unknown = RunCli("check --bogus x.avi");
  EXPECT_EQ(unknown.Status, 64);
  EXPECT_NE(unknown.Output.find("--bogus"), std::string::npos);
  EXPECT_EQ(RunCli("").Status, 64);
  EXPECT_EQ(RunCli("check").Status, 64);
}

TEST(CliTest, FilesThatCannotBeCheckedGiveStatus2AndNoOutput) {
  const auto dir = ScratchDir();
  WriteFile(dir / "notes.avi", "this is no video at all");
  const TRun missing = RunCli("check " + Quote(dir / "missing.avi"));
  EXPECT_EQ(missing.Status, 2);
  EXPECT_NE(missing.Output.find("The file is not found"), std::string::npos);
  const TRun unknown =
      RunCli("repair " + Quote(dir / "notes.avi") + " " + Quote(dir / "missing.avi"));
  EXPECT_EQ(unknown.Status, 2);
  EXPECT_NE(unknown.Output.find("Unknown or Unsupported video format"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir / "notes (copy).avi"));
}

// A file with headers but no frame left has nothing to repair into: no output, and the
// failure is said.
TEST(CliTest, RepairWithNothingRecoveredIsAFailure) {
  const auto dir = ScratchDir();
  WriteFile(dir / "riff.avi", std::string("RIFF\x04\0\0\0AVI ", 12));
  const TRun run = RunCli("repair " + Quote(dir / "riff.avi"));
  EXPECT_EQ(run.Status, 1) << run.Output;
  EXPECT_NE(run.Output.find("The file could not be repaired."), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir / "riff (copy).avi"));
  EXPECT_FALSE(std::filesystem::exists(dir / "riff (copy).avi.partial"));
}

TEST(CliTest, RepairOptionsAreChecked) {
  const auto dir = ScratchDir();
  WriteFile(dir / "a.avi", "RIFF");
  EXPECT_EQ(RunCli("repair -o " + Quote(dir / "nowhere") + " " + Quote(dir / "a.avi")).Status, 64);
  EXPECT_EQ(RunCli("repair -r " + Quote(dir / "noref.mp4") + " " + Quote(dir / "a.avi")).Status,
            64);
}

TEST(CliTest, LanguageSelectsTheMessages) {
  const TRun run = RunCli("--language de check /nonexistent/file.avi");
  EXPECT_EQ(run.Status, 2);
  EXPECT_NE(run.Output.find("Die Datei ist nicht gefunden"), std::string::npos);
}

} // namespace
} // namespace clw::test

namespace clw::test {
namespace {

// Real encoder output: a clean clip checks clean, a copy cut at 60 % is damaged.
TEST(CliTest, CheckOnEncoderOutputGivesStatus0Then1) {
  const std::string clip = MakeClip(
      "cli_xvid_mp3.avi", "-f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i sine=frequency=440 "
                          "-t 2 -c:v mpeg4 -vtag XVID -q:v 5 -c:a libmp3lame -shortest");
  ASSERT_FALSE(clip.empty()) << "ffmpeg could not make the clip";
  const TRun clean = RunCli("check " + ShellQuote(clip));
  EXPECT_EQ(clean.Status, 0) << clean.Output;
  EXPECT_NE(clean.Output.find("XviD, 160x120, 25 fps; 1 audio stream(s)"), std::string::npos);
  EXPECT_NE(clean.Output.find("OK, no errors found"), std::string::npos);

  const auto dir = ScratchDir();
  std::string bytes = ReadFile(clip);
  bytes.resize(bytes.size() * 60 / 100);
  WriteFile(dir / "cut.avi", bytes);
  const TRun cut = RunCli("check " + Quote(dir / "cut.avi") + " " + ShellQuote(clip));
  EXPECT_EQ(cut.Status, 1) << cut.Output;
  EXPECT_NE(cut.Output.find("The file is damaged"), std::string::npos);
}

// MP4-family files are checked, with or without their movie header. Without the header the
// tracks cannot be described: the repair needs a reference clip (here the intact clip
// itself) and, without one, writes nothing.
TEST(CliTest, Mp4IsCheckedAndRepairedWithAReference) {
  const std::string clip = MakeClip(
      "cli_h264_aac.mp4", "-f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i sine=frequency=440 "
                          "-t 3 -c:v libx264 -preset ultrafast -c:a aac -chunk_duration 1000000");
  ASSERT_FALSE(clip.empty()) << "ffmpeg could not make the clip";
  const TRun clean = RunCli("check " + ShellQuote(clip));
  EXPECT_EQ(clean.Status, 0) << clean.Output;
  EXPECT_NE(clean.Output.find("Mpeg 4"), std::string::npos);
  EXPECT_NE(clean.Output.find("OK, no errors found"), std::string::npos);

  const auto dir = ScratchDir();
  std::string bytes = ReadFile(clip);
  bytes.resize(bytes.find("moov") - 4); // ffmpeg writes the movie header last
  WriteFile(dir / "cut.mp4", bytes);
  const TRun cut = RunCli("check -l " + Quote(dir / "cut.mp4"));
  EXPECT_EQ(cut.Status, 1) << cut.Output;
  EXPECT_NE(cut.Output.find("The file is damaged: wrong data."), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(dir / "cut.log")) << cut.Output;
  EXPECT_TRUE(std::filesystem::exists(dir / "cut.dmp")) << cut.Output;

  const TRun alone = RunCli("repair " + Quote(dir / "cut.mp4"));
  EXPECT_EQ(alone.Status, 1) << alone.Output;
  EXPECT_NE(alone.Output.find("The file could not be repaired."), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir / "cut (copy).mp4"));

  const TRun repair = RunCli("repair -r " + ShellQuote(clip) + " " + Quote(dir / "cut.mp4"));
  EXPECT_EQ(repair.Status, 0) << repair.Output;
  EXPECT_NE(repair.Output.find("The file is repaired!"), std::string::npos) << repair.Output;
  EXPECT_TRUE(ProbeVideo((dir / "cut (copy).mp4").string()).Opened);
}

} // namespace
} // namespace clw::test
