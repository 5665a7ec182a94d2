// clipwright-cli: the repair job without a window.
//   clipwright-cli check [-l] FILE...
//   clipwright-cli repair [-o DIR] [-r REFERENCE] [-l] [--overwrite] FILE...
#include "app/PathNames.h"
#include "app/RepairJob.h"
#include "app/cli/TerminalView.h"

#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <iostream>

namespace {

using namespace clw;

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitDamaged = 1;    // check: a file is damaged; repair: a file was not repaired
constexpr int kExitUnchecked = 2;  // a file could not be checked
constexpr int kExitNotWritten = 3; // a repaired copy could not be written
constexpr int kExitUsage = 64;
constexpr int kExitCancelled = 130; // as a shell reports a program ended by Ctrl-C

struct TOptions {
  std::vector<std::string> Files;
  std::string OutputDirectory;
  std::string Reference;
  bool Log = false;
  bool Overwrite = false;
  std::string Language = "en";
};

uint32_t LanguageOf(const std::string& Name) {
  if (Name == "ru") return langRussian;
  if (Name == "de") return langGerman;
  return langEnglish;
}

std::string AbsolutePath(const std::string& Path) {
  std::error_code ec;
  const auto absolute = std::filesystem::absolute(Path, ec);
  return ec ? Path : absolute.lexically_normal().string();
}

// What keeps Path from being used as a folder (Folder) or a file ("" when nothing does):
// a missing path, one of the wrong kind, or the system's reason (a loop of symbolic
// links, no permission to search a folder on the way, a name too long).
std::string PathProblem(const std::string& Path, bool Folder) {
  struct stat info {};
  if (::stat(Path.c_str(), &info) != 0) {
    const int error = errno;
    if (error == ENOENT) return "does not exist";
    return std::strerror(error);
  }
  if (Folder && !S_ISDIR(info.st_mode)) return "is not a folder";
  if (!Folder && S_ISDIR(info.st_mode)) return "is a folder";
  return "";
}

// The system's reason a file that could not be checked could not be opened, as
// " (reason)", or "" when it opens.
std::string OpenProblem(const std::string& Path) {
  const int fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd >= 0) {
    ::close(fd);
    return "";
  }
  return std::string(" (") + std::strerror(errno) + ")";
}

// Runs the job on one file: open (quick analysis), then the full check, or the check and
// the repair. Prints what the window would show and returns the file's exit status.
int ProcessFile(const std::string& File, bool Repair, const TOptions& Options,
                const TMessages& Messages, std::unique_ptr<THgFileReader>& Reference) {
  TTerminalView view;
  TRepairJob job(view, Messages, TFormatRegistry::BuiltIn());
  // One job per file; the reference clip given for one file serves the next ones too.
  job.KeepReference = true;
  job.KeptReference = std::move(Reference);
  struct TGiveBack {
    TRepairJob& Job;
    std::unique_ptr<THgFileReader>& To;
    ~TGiveBack() { To = std::move(Job.KeptReference); }
  } giveBack{job, Reference};
  view.OnInterrupt = [&job] { job.CancelJob(); };
  if (!Options.Reference.empty()) view.ReferenceFile = AbsolutePath(Options.Reference);
  job.LogSwitch = Options.Log;
  job.ReplaceExisting = Options.Overwrite;
  job.InputFileName = AbsolutePath(File);
  job.OutputDirectory = Options.OutputDirectory.empty()
                            ? std::string()
                            : WithTrailingSlash(AbsolutePath(Options.OutputDirectory));

  job.OpenInput(false);
  const int32_t kind = job.Reports.empty() ? kindUnknown : job.Reports.front().Kind;
  const bool canRepair = TFormatRegistry::BuiltIn().HasWriter(kind);
  if (job.JobMode == jmOpened && !job.Reports.empty() &&
      job.Reports.front().Check == TFileReport::chkDone) {
    if (Repair && canRepair)
      job.ActionCommand();
    else
      job.CheckCommand();
  }

  const TFileReport report = job.Reports.empty() ? TFileReport{} : job.Reports.front();
  const std::string& format = view.Text(ctlFormatLine);
  const std::string& status = view.Text(ctlStatusLine);
  if (report.Check == TFileReport::chkCancelled || report.Repair == TFileReport::repCancelled) {
    std::cout << job.InputFileName << "\n  " << format << "\n  " << Messages[msgCancelled] << "\n";
    return kExitCancelled;
  }
  if (report.Check == TFileReport::chkFailed &&
      (report.Kind <= 0 || status.empty() || status == Messages[msgUnknown])) {
    const bool openFailed = report.Kind == kindNotFound || report.Kind == kindCannotOpen;
    std::cerr << "clipwright-cli: " << File << ": " << format
              << (openFailed ? OpenProblem(job.InputFileName) : "") << "\n";
    return kExitUnchecked;
  }
  std::cout << job.InputFileName << "\n  " << format << "\n  " << status << "\n";
  if (!view.Text(ctlActivityLine).empty()) std::cout << "  " << view.Text(ctlActivityLine) << "\n";

  if (report.Check != TFileReport::chkDone) return kExitUnchecked;
  if (!Repair) return report.Error == kNoDamage ? kExitOk : kExitDamaged;
  if (report.Error == kNoDamage) return kExitOk;
  if (!canRepair) {
    std::cout << "  Repairing this kind of file is not available yet; nothing was written.\n";
    return kExitDamaged;
  }
  if (report.Repair == TFileReport::repDone) {
    std::cout << "  " << report.OutputFileName << "\n";
    return kExitOk;
  }
  return report.Repair == TFileReport::repWriteFailed ? kExitNotWritten : kExitDamaged;
}

int Run(bool Repair, const TOptions& Options) {
  if (Repair && !Options.OutputDirectory.empty()) {
    const std::string problem = PathProblem(Options.OutputDirectory, true);
    if (!problem.empty()) {
      std::cerr << "clipwright-cli: output folder " << Options.OutputDirectory << ": " << problem
                << "\n";
      return kExitUsage;
    }
  }
  if (!Options.Reference.empty()) {
    const std::string problem = PathProblem(Options.Reference, false);
    if (!problem.empty()) {
      std::cerr << "clipwright-cli: reference file " << Options.Reference << ": " << problem
                << "\n";
      return kExitUsage;
    }
  }
  const TMessages messages(LanguageOf(Options.Language));
  TTerminalView::InstallInterruptHandler();
  // Past a size limit (ulimit -f) a write is to fail and be reported, not end the program.
  std::signal(SIGXFSZ, SIG_IGN);
  int status = kExitOk;
  std::unique_ptr<THgFileReader> reference;
  for (const auto& file : Options.Files) {
    const int fileStatus = ProcessFile(file, Repair, Options, messages, reference);
    status = std::max(status, fileStatus);
    if (TTerminalView::Interrupted()) return kExitCancelled;
  }
  return status;
}

} // namespace

int main(int argc, char** argv) {
  CLI::App app{"Checks damaged AVI and MP4-family video files and writes repaired copies.",
               "clipwright-cli"};
  app.set_version_flag("--version", std::string("clipwright-cli ") + CLIPWRIGHT_VERSION);
  app.require_subcommand(1);
  app.footer("A repaired copy is named \"name (copy).ext\"; an existing file of that name is kept\n"
             "and the copy takes the next free name, \"name (copy 2).ext\" and so on, unless\n"
             "--overwrite is given.\n"
             "Exit status: 0 no damage (check) or every damaged file repaired (repair);\n"
             "1 a file is damaged (check) or was not repaired (repair);\n"
             "2 a file could not be checked; 3 a repaired copy could not be written (the\n"
             "folder refused it, the disk is full, the name is too long); 64 wrong usage;\n"
             "130 cancelled by Ctrl-C, SIGTERM or SIGHUP (no further file is started).");
  TOptions options;
  app.add_option("--language", options.Language, "Language of the messages")
      ->check(CLI::IsMember({"en", "ru", "de"}))
      ->capture_default_str();

  auto* check = app.add_subcommand("check", "Check files for damage");
  check->add_flag("-l", options.Log, "Write a structure dump (.log) beside each file's output");
  check->add_option("FILE", options.Files, "Files to check")->required();

  auto* repair = app.add_subcommand("repair", "Check files and repair the damaged ones");
  repair->add_option("-o", options.OutputDirectory,
                     "Folder for the repaired copies (default: each input's folder)");
  repair->add_option("-r", options.Reference,
                     "Intact file of the same camera, for what a damaged MP4 lost");
  repair->add_flag("-l", options.Log, "Write a structure dump (.log) beside each output");
  repair->add_flag(
      "--overwrite", options.Overwrite,
      "Replace an existing \"name (copy).ext\" instead of writing \"name (copy 2).ext\"");
  repair->add_option("FILE", options.Files, "Files to repair")->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : kExitUsage;
  }
  return Run(repair->parsed(), options);
}
