#pragma once
// The repair job: the driver of the whole program. It keeps the chosen input files,
// decides their kind, runs the quick analysis on opening, the full check and the repair,
// reports progress and cancel, and shows every outcome through its view. It runs on the
// view's one thread; the view's event pump inside ProgressHandler delivers Cancel.
#include "app/FileFormats.h"
#include "app/JobView.h"
#include "app/Messages.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace clw {

struct TInputFileEntry {
  std::string Name; // relative to InputDirectory
  int32_t Kind = 0;
};

// What became of one selected file, for front ends that report per file.
struct TFileReport {
  enum TCheck { chkNone, chkDone, chkFailed, chkCancelled };
  // repFailed: the input holds nothing to repair into a copy; repWriteFailed: the copy
  // could not be written (OutputError says why).
  enum TRepair { repNone, repDone, repFailed, repCancelled, repWriteFailed };
  std::string InputFileName;
  int32_t Kind = 0;
  TCheck Check = chkNone;
  int32_t Error = 0; // verdict when Check is chkDone (after the quick analysis or the check)
  TRepair Repair = repNone;
  std::string OutputFileName; // the name written, when Repair is repDone
  int32_t OutputError = 0;    // errno, when Repair is repWriteFailed
  bool WithoutSound = false;  // the copy leaves out sound that could not be rebuilt
};

enum TJobMode : uint8_t {
  jmNothingOpened = 0,
  jmOpened = 1,
  jmChecking = 2,
  jmChecked = 3,
  jmRepairing = 4
};

class TRepairJob {
public:
  using TTickSource = std::function<uint32_t()>;

  TRepairJob(TJobView& View, const TMessages& Messages, const TFormatRegistry& Formats);
  ~TRepairJob();

  // Window commands.
  void OpenInput(bool ShowDialog);
  void CheckCommand();  // "Check Errors"
  void ActionCommand(); // Check & Repair / Repair, or Cancel while a job runs
  void ChooseOutputFile();
  void CancelJob();
  void ResetWindow();

  bool CheckFile(int32_t Index);
  void RepairFiles();
  void ProgressHandler(const void* Sender, int64_t Percent);
  void ReferenceNeededHandler(const void* Sender);
  std::string FileInformationLine();

  // Job state.
  std::string InputDirectory;  // ends with "/" after a selection
  std::string OutputDirectory; // ends with "/"
  std::string InputFileName;
  std::string OutputFileName;
  std::string LogFileName;
  std::vector<TInputFileEntry> InputFiles;
  uint32_t FileCount() const { return uint32_t(InputFiles.size()); }
  int32_t CurrentKind = 0;
  std::unique_ptr<THgFileReader> Reader;
  std::unique_ptr<THgFileWriter> Writer;
  uint8_t JobMode = jmNothingOpened;
  bool CancelRequested = false;
  uint32_t LastProgressTick = 0;
  int32_t PathDisplayWidth;
  bool LogSwitch = false; // "-l": write the structure dumps beside the output
  // An existing file of the output's name is replaced (the window asked). Otherwise it is
  // kept and the copy takes the next free name, "name (copy 2).ext" and so on.
  bool ReplaceExisting = false;
  // The reference clip a repair was given, kept for the next files of the run. A front
  // end that runs one job per file keeps it across jobs with KeepReference.
  std::unique_ptr<THgFileReader> KeptReference;
  bool KeepReference = false;

  // Millisecond tick for the progress throttle; a test replaces it.
  TTickSource Tick;
  // Per-file outcomes of the last selection, in selection order.
  std::vector<TFileReport> Reports;

private:
  void DisableCommands();
  void EnableResultControls(bool Enable);
  std::string ShortenPath(const std::string& Path);
  void ComputeOutputNames();
  std::unique_ptr<THgFileReader> CreateReader(int32_t Kind, const std::string& FileName);
  void SetVerdictText(int32_t Error, int32_t NoDamageText);
  TFileReport::TRepair WriteOneFile(std::string& WrittenName, int32_t& OSError);
  TFileReport* ReportFor(const std::string& FileName);
  TFileDialogRequest DialogRequest(int32_t Title, const std::string& InitialFile,
                                   const std::string& FallbackDirectory) const;
  std::vector<TFileFilter> FiltersFor(int32_t Kind) const;

  TJobView& FView;
  const TMessages& FMessages;
  const TFormatRegistry& FFormats;
  int32_t FReaderKind = 0; // kind of Reader, so a reader of the wrong kind is replaced
  bool FOpening = false;   // the quick analysis of OpenInput runs
};

} // namespace clw
