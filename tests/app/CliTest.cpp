// The command line's contract: exit statuses, messages, and that it never writes
// anything for a file it could not check.
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <array>
#include <cstdio>

namespace clw::test {
namespace {

struct TRun {
  int Status;
  std::string Output; // standard output and standard error together
};

TRun RunCli(const std::string& Arguments) {
  const std::string command = std::string(CLIPWRIGHT_CLI_PATH) + " " + Arguments + " 2>&1 </dev/null";
  TRun run{-1, ""};
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return run;
  std::array<char, 4096> buffer;
  size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) run.Output.append(buffer.data(), n);
  const int status = ::pclose(pipe);
  run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::string Quote(const std::filesystem::path& Path) { return "'" + Path.string() + "'"; }

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
  const TRun unknown = RunCli("repair " + Quote(dir / "notes.avi") + " " + Quote(dir / "missing.avi"));
  EXPECT_EQ(unknown.Status, 2);
  EXPECT_NE(unknown.Output.find("Unknown or Unsupported video format"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir / "notes (copy).avi"));
}

TEST(CliTest, RepairOptionsAreChecked) {
  const auto dir = ScratchDir();
  WriteFile(dir / "a.avi", "RIFF");
  EXPECT_EQ(RunCli("repair -o " + Quote(dir / "nowhere") + " " + Quote(dir / "a.avi")).Status, 64);
  EXPECT_EQ(RunCli("repair -r " + Quote(dir / "noref.mp4") + " " + Quote(dir / "a.avi")).Status, 64);
}

TEST(CliTest, LanguageSelectsTheMessages) {
  const TRun run = RunCli("--language de check /nonexistent/file.avi");
  EXPECT_EQ(run.Status, 2);
  EXPECT_NE(run.Output.find("Die Datei ist nicht gefunden"), std::string::npos);
}

} // namespace
} // namespace clw::test
