// The command line's contract: exit statuses, messages, and that it never writes
// anything for a file it could not check.
#include "support/MediaTools.h"
#include "support/TempDir.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <set>

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

namespace fs = std::filesystem;

// The clips the command line runs on: XviD with MP3 in AVI, and H.264 with AAC in MP4 in
// one-second chunks.
std::string AviClip(const std::string& Name = "cli_xvid_mp3.avi",
                    const std::string& Seconds = "2") {
  return MakeClip(Name, "-f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i sine=frequency=440 "
                        "-t " +
                            Seconds + " -c:v mpeg4 -vtag XVID -q:v 5 -c:a libmp3lame -shortest");
}
std::string Mp4Clip() {
  return MakeClip("cli_h264_aac.mp4",
                  "-f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i sine=frequency=440 "
                  "-t 3 -c:v libx264 -preset ultrafast -c:a aac -chunk_duration 1000000");
}

// Clip written To as damage leaves it: an AVI cut at 60 %, an MP4 without the movie header
// ffmpeg writes last. "" when there is no clip.
std::string Cut(const std::string& Clip, const fs::path& To) {
  if (Clip.empty()) return "";
  std::string bytes = ReadFile(Clip);
  bytes.resize(To.extension() == ".mp4" ? bytes.find("moov") - 4 : bytes.size() * 60 / 100);
  fs::create_directories(To.parent_path());
  WriteFile(To, bytes);
  return To.string();
}

// Usage errors are status 64; the language option picks the messages.
TEST(CliTest, UsageHelpVersionAndLanguage) {
  const struct {
    const char* Arguments;
    int Status;
    const char* Says;
  } cases[] = {{"--help", 0, ""},
               {"--version", 0, "clipwright-cli "},
               {"check --bogus x.avi", 64, "--bogus"},
               {"", 64, ""},
               {"check", 64, ""},
               {"--language de check /nonexistent/file.avi", 2, "Die Datei ist nicht gefunden"}};
  for (const auto& c : cases) {
    const TRun run = RunCli(c.Arguments);
    EXPECT_EQ(run.Status, c.Status) << c.Arguments;
    EXPECT_NE(run.Output.find(c.Says), std::string::npos) << c.Arguments << "\n" << run.Output;
  }
}

TEST(CliTest, FilesThatCannotBeCheckedGiveStatus2AndNoOutput) {
  const auto dir = ScratchDir();
  WriteFile(dir / "notes.avi", "this is no video at all");
  const TRun missing = RunCli("check " + ShellQuote(dir / "missing.avi"));
  EXPECT_EQ(missing.Status, 2);
  EXPECT_NE(missing.Output.find("The file is not found"), std::string::npos);
  const TRun unknown =
      RunCli("repair " + ShellQuote(dir / "notes.avi") + " " + ShellQuote(dir / "missing.avi"));
  EXPECT_EQ(unknown.Status, 2);
  EXPECT_NE(unknown.Output.find("Unknown or Unsupported video format"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir / "notes (copy).avi"));
}

// A file with headers but no frame left has nothing to repair into: no output, and the
// failure is said.
TEST(CliTest, RepairWithNothingRecoveredIsAFailure) {
  const auto dir = ScratchDir();
  WriteFile(dir / "riff.avi", std::string("RIFF\x04\0\0\0AVI ", 12));
  const TRun run = RunCli("repair " + ShellQuote(dir / "riff.avi"));
  EXPECT_EQ(run.Status, 1) << run.Output;
  EXPECT_NE(run.Output.find("The file could not be repaired."), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir / "riff (copy).avi"));
  EXPECT_FALSE(std::filesystem::exists(dir / "riff (copy).avi.partial"));
}

// Each path the command line names says what is wrong with it: missing, of the wrong kind,
// or the system's reason (a loop of symbolic links is not a missing file).
TEST(CliTest, PathsThatCannotBeUsedSayWhy) {
  const auto dir = ScratchDir();
  WriteFile(dir / "a.avi", "RIFF");
  std::filesystem::create_symlink(dir / "loop2", dir / "loop1");
  std::filesystem::create_symlink(dir / "loop1", dir / "loop2");
  const std::string a = " " + ShellQuote(dir / "a.avi");
  const std::string loop = ShellQuote(dir / "loop1");
  const struct {
    std::string Arguments;
    int Status;
    std::string Says;
  } cases[] = {
      {"repair -o " + ShellQuote(dir / "nowhere") + a, 64, "does not exist"},
      {"repair -o " + ShellQuote(dir / "a.avi") + a, 64, "is not a folder"},
      {"repair -o " + loop + a, 64, "Too many levels of symbolic links"},
      {"repair -r " + ShellQuote(dir / "noref.mp4") + a, 64, "does not exist"},
      {"repair -r " + ShellQuote(dir) + a, 64, "is a folder"},
      {"repair -r " + loop + a, 64, "Too many levels of symbolic links"},
      {"check " + loop, 2, "Too many levels of symbolic links"},
  };
  for (const auto& c : cases) {
    const TRun run = RunCli(c.Arguments);
    EXPECT_EQ(run.Status, c.Status) << c.Arguments;
    EXPECT_NE(run.Output.find(c.Says), std::string::npos) << c.Arguments << "\n" << run.Output;
    EXPECT_EQ(run.Output.find("not found"), std::string::npos) << c.Arguments;
  }
}

// Real encoder output: a clean clip checks clean, a copy cut at 60 % is damaged.
TEST(CliTest, CheckOnEncoderOutputGivesStatus0Then1) {
  const std::string clip = AviClip();
  ASSERT_FALSE(clip.empty()) << "ffmpeg could not make the clip";
  const TRun clean = RunCli("check " + ShellQuote(clip));
  EXPECT_EQ(clean.Status, 0) << clean.Output;
  EXPECT_NE(clean.Output.find("XviD, 160x120, 25 fps; 1 audio stream(s)"), std::string::npos);
  EXPECT_NE(clean.Output.find("OK, no errors found"), std::string::npos);

  const auto dir = ScratchDir();
  Cut(clip, dir / "cut.avi");
  const TRun cut = RunCli("check " + ShellQuote(dir / "cut.avi") + " " + ShellQuote(clip));
  EXPECT_EQ(cut.Status, 1) << cut.Output;
  EXPECT_NE(cut.Output.find("The file is damaged"), std::string::npos);
}

// MP4-family files are checked, with or without their movie header. Without the header the
// tracks cannot be described: the repair needs a reference clip (here the intact clip
// itself) and, without one, writes nothing.
TEST(CliTest, Mp4IsCheckedAndRepairedWithAReference) {
  const std::string clip = Mp4Clip();
  ASSERT_FALSE(clip.empty()) << "ffmpeg could not make the clip";
  const TRun clean = RunCli("check " + ShellQuote(clip));
  EXPECT_EQ(clean.Status, 0) << clean.Output;
  EXPECT_NE(clean.Output.find("Mpeg 4"), std::string::npos);
  EXPECT_NE(clean.Output.find("OK, no errors found"), std::string::npos);

  const auto dir = ScratchDir();
  Cut(clip, dir / "cut.mp4");
  const TRun cut = RunCli("check -l " + ShellQuote(dir / "cut.mp4"));
  EXPECT_EQ(cut.Status, 1) << cut.Output;
  EXPECT_NE(cut.Output.find("The file is damaged: wrong data."), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(dir / "cut.log")) << cut.Output;
  EXPECT_TRUE(std::filesystem::exists(dir / "cut.dmp")) << cut.Output;

  const TRun alone = RunCli("repair " + ShellQuote(dir / "cut.mp4"));
  EXPECT_EQ(alone.Status, 1) << alone.Output;
  EXPECT_NE(alone.Output.find("The file could not be repaired."), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir / "cut (copy).mp4"));

  const TRun repair = RunCli("repair -r " + ShellQuote(clip) + " " + ShellQuote(dir / "cut.mp4"));
  EXPECT_EQ(repair.Status, 0) << repair.Output;
  EXPECT_NE(repair.Output.find("The file is repaired!"), std::string::npos) << repair.Output;
  EXPECT_TRUE(ProbeVideo((dir / "cut (copy).mp4").string()).Opened);
}

std::vector<std::string> Temporaries(const fs::path& Dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(Dir))
    if (entry.path().string().ends_with(".partial")) names.push_back(entry.path().string());
  return names;
}

struct TOutputCase {
  const char* Name;
  std::string Shell;     // run before the program, in the same shell
  std::string InputBase; // the input's name without ".avi"
  bool CopyExists;       // "<base> (copy).avi" is there before the repair
  std::string Options;
  int Status;
  std::string Message;
  std::string Written; // the file name printed and written; "" when none
};

class CliOutputTest : public ::testing::TestWithParam<TOutputCase> {};

TEST_P(CliOutputTest, ExitStatusMessageAndFilesWritten) {
  const TOutputCase& c = GetParam();
  const auto dir = ScratchDir();
  const std::string input = Cut(AviClip(), dir / (c.InputBase + ".avi"));
  ASSERT_FALSE(input.empty()) << "ffmpeg could not make the clip";
  const fs::path existing = dir / (c.InputBase + " (copy).avi");
  if (c.CopyExists) WriteFile(existing, "an earlier copy");

  std::string output;
  const int status = RunCommand(c.Shell + std::string(CLIPWRIGHT_CLI_PATH) + " repair " +
                                    c.Options + " " + ShellQuote(input),
                                &output);
  EXPECT_EQ(status, c.Status) << output;
  EXPECT_NE(output.find(c.Message), std::string::npos) << output;
  EXPECT_TRUE(Temporaries(dir).empty());
  if (c.CopyExists && c.Written != existing.filename().string()) {
    EXPECT_EQ(ReadFile(existing), "an earlier copy");
  }
  if (c.Written.empty()) {
    EXPECT_EQ(fs::directory_iterator(dir)->path(), input) << "only the input is there";
    return;
  }
  const fs::path written = dir / c.Written;
  EXPECT_NE(output.find("  " + written.string() + "\n"), std::string::npos) << output;
  EXPECT_TRUE(ProbeVideo(written.string()).Opened);
}

const std::string kLongBase(245, 'n');

INSTANTIATE_TEST_SUITE_P(
    Cases, CliOutputTest,
    ::testing::Values(TOutputCase{"copy_written", "", "cut", false, "", 0, "The file is repaired!",
                                  "cut (copy).avi"},
                      TOutputCase{"existing_copy_kept", "", "cut", true, "", 0,
                                  "The file is repaired!", "cut (copy 2).avi"},
                      TOutputCase{"existing_copy_overwritten", "", "cut", true, "--overwrite", 0,
                                  "The file is repaired!", "cut (copy).avi"},
                      TOutputCase{"file_size_limit", "ulimit -f 8; ", "cut", false, "", 3,
                                  "The repaired copy could not be written: File too large", ""},
                      TOutputCase{"name_too_long", "", kLongBase, false, "", 3,
                                  "The repaired copy could not be written: File name too long",
                                  ""}),
    [](const auto& Info) { return std::string(Info.param.Name); });

// Two runs repairing inputs of the same name from different folders into one folder: each
// publishes its own whole repair under a name of its own, whichever finishes first.
TEST(CliConcurrencyTest, SameNamedRepairsIntoOneFolderKeepTheirOwnBytes) {
  const auto dir = ScratchDir();
  const std::string a = Cut(AviClip(), dir / "a" / "clip.avi");
  const std::string b = Cut(AviClip("cli_xvid_mp3_3s.avi", "3"), dir / "b" / "clip.avi");
  ASSERT_FALSE(a.empty() || b.empty()) << "ffmpeg could not make the clips";
  const std::string cli = CLIPWRIGHT_CLI_PATH;
  // The repair of each alone, for comparison.
  std::map<std::string, std::string> expected;
  for (const auto& [input, name] : {std::pair{a, "a"}, std::pair{b, "b"}}) {
    fs::create_directories(dir / "alone" / name);
    ASSERT_EQ(RunCommand(cli + " repair -o " + ShellQuote((dir / "alone" / name).string()) + " " +
                         ShellQuote(input)),
              0);
    expected[input] = ReadFile(dir / "alone" / name / "clip (copy).avi");
  }
  ASSERT_NE(expected[a], expected[b]);

  fs::create_directories(dir / "out");
  const auto run = [&](const std::string& Input, const char* Log) {
    const std::string log = ShellQuote((dir / Log).string());
    return "(" + cli + " repair -o " + ShellQuote((dir / "out").string()) + " " +
           ShellQuote(Input) + " > " + log + "; echo $? >> " + log + ")";
  };
  std::set<std::string> written;
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(RunCommand(run(a, "a.txt") + " & " + run(b, "b.txt") + " & wait"), 0);
    for (const auto& [input, log] : {std::pair{a, "a.txt"}, std::pair{b, "b.txt"}}) {
      const std::string text = ReadFile(dir / log);
      ASSERT_TRUE(text.ends_with("\n0\n")) << text;
      const size_t at = text.find((dir / "out").string() + "/clip (copy");
      ASSERT_NE(at, std::string::npos) << text;
      const std::string name = text.substr(at, text.find('\n', at) - at);
      EXPECT_TRUE(written.insert(name).second) << name << " written twice";
      EXPECT_TRUE(ReadFile(name) == expected[input]) << name << " is not the repair of " << input;
    }
  }
  EXPECT_EQ(written.size(), 6u);
  EXPECT_TRUE(Temporaries(dir).empty());
}

// A signal while a repair waits for an answer on the terminal (the question for a reference
// clip of an MP4 without its movie header): the repair is cancelled, its temporary removed,
// no further file is started, and the status is 130.
class CliSignalTest : public ::testing::TestWithParam<int> {};

TEST_P(CliSignalTest, CancelsRemovesTheTemporaryAndStopsTheBatch) {
  const auto dir = ScratchDir();
  ASSERT_FALSE(Cut(Mp4Clip(), dir / "cut.mp4").empty()) << "ffmpeg could not make the clip";
  const std::string second = Cut(AviClip(), dir / "second.avi");
  ASSERT_FALSE(second.empty());

  const std::string cli = CLIPWRIGHT_CLI_PATH;
  const std::string first = (dir / "cut.mp4").string();
  int master = -1;
  const pid_t child = ::forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::execl(cli.c_str(), cli.c_str(), "repair", first.c_str(), second.c_str(), nullptr);
    ::_exit(127);
  }
  std::string shown;
  char buffer[4096];
  ssize_t n = 0;
  while (shown.find("[y/N]") == std::string::npos &&
         (n = ::read(master, buffer, sizeof buffer)) > 0)
    shown.append(buffer, size_t(n));
  const bool asked = shown.find("[y/N]") != std::string::npos;
  const bool writing = !Temporaries(dir).empty();
  // What the child wrote before it ended is read up to a marker written behind it: a read
  // that runs into the closed other side of a terminal may come before the last output.
  const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  ::kill(child, GetParam());
  int status = 0;
  pollfd output{master, POLLIN, 0};
  while (::waitpid(child, &status, WNOHANG) == 0)
    if (::poll(&output, 1, 50) > 0 && (n = ::read(master, buffer, sizeof buffer)) > 0)
      shown.append(buffer, size_t(n));
  constexpr std::string_view kEnd = "\x02end";
  ASSERT_EQ(::write(slave, kEnd.data(), kEnd.size()), ssize_t(kEnd.size()));
  while (!shown.ends_with(kEnd) && (n = ::read(master, buffer, sizeof buffer)) > 0)
    shown.append(buffer, size_t(n));
  ::close(slave);
  ::close(master);

  ASSERT_TRUE(asked) << shown;
  EXPECT_TRUE(writing) << "the temporary exists while the repair runs";
  ASSERT_TRUE(WIFEXITED(status)) << shown;
  EXPECT_EQ(WEXITSTATUS(status), 130) << shown;
  EXPECT_NE(shown.find("Operation is canceled"), std::string::npos) << shown;
  EXPECT_EQ(shown.find("second.avi"), std::string::npos) << shown;
  EXPECT_TRUE(Temporaries(dir).empty());
  EXPECT_FALSE(fs::exists(dir / "cut (copy).mp4"));
  EXPECT_FALSE(fs::exists(dir / "second (copy).avi"));
}

INSTANTIATE_TEST_SUITE_P(Signals, CliSignalTest, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const auto& Info) { return std::string(sigabbrev_np(Info.param)); });

} // namespace
} // namespace clw::test
