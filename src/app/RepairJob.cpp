#include "app/RepairJob.h"

#include "app/DisplayText.h"
#include "app/PathNames.h"
#include "container/LargeBlocks.h"
#include "streams/OutputFile.h"

#include <cerrno>
#include <chrono>
#include <cstring>

namespace clw {

namespace {

uint32_t SteadyMilliseconds() {
  using namespace std::chrono;
  return uint32_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::string BatchPrefix(int32_t Index, uint32_t Count) {
  return "[" + std::to_string(Index + 1) + "/" + std::to_string(Count) + "] ";
}

// Text for a file the job could not even open.
int32_t OpenFailureText(int32_t Kind) {
  switch (Kind) {
  case kindNotFound:
    return msgFileNotFound;
  case kindCannotOpen:
    return msgCannotOpen;
  case kindCannotRead:
    return msgReadError;
  default:
    return msgUnknownFormat;
  }
}

} // namespace

TRepairJob::TRepairJob(TJobView& View, const TMessages& Messages, const TFormatRegistry& Formats)
    : PathDisplayWidth(Messages.Language() == langEnglish ? 365 : 332), Tick(SteadyMilliseconds),
      FView(View), FMessages(Messages), FFormats(Formats) {}

TRepairJob::~TRepairJob() {
  // Writers and readers must not call back into a job that is going away.
  if (Writer) {
    Writer->OnProgress = nullptr;
    Writer->OnReferenceNeeded = nullptr;
  }
  if (Reader) Reader->OnProgress = nullptr;
}

void TRepairJob::DisableCommands() {
  for (int32_t id : {ctlInputButton, ctlOutputButton, ctlCheckButton, ctlActionButton})
    FView.EnableControl(id, false);
}

void TRepairJob::EnableResultControls(bool Enable) {
  FView.EnableControl(ctlInputPath, Enable);
  FView.EnableControl(ctlOutputPath, Enable);
  // With several files the format and status lines describe no single file.
  if (FileCount() == 1 || !Enable)
    for (int32_t id : {ctlFormatLine, ctlStatusLine, ctlFormatLabel, ctlStatusLabel})
      FView.EnableControl(id, Enable);
}

void TRepairJob::ResetWindow() {
  JobMode = jmNothingOpened;
  DisableCommands();
  FView.EnableControl(ctlInputButton, true);
  for (int32_t id : {ctlFormatLabel, ctlStatusLabel, ctlOutputPath, ctlFormatLine, ctlStatusLine})
    FView.EnableControl(id, false);
  FView.SetControlText(ctlActionButton, FMessages[msgCheckAndRepair]);
  FView.SetControlText(ctlInputPath, FMessages[msgChooseVideo]);
  FView.SetControlText(ctlOutputPath, FMessages[msgNotSpecified]);
  FView.SetControlText(ctlFormatLine, FMessages[msgUnknown]);
  FView.SetControlText(ctlStatusLine, FMessages[msgUnknown]);
  FView.SetControlText(ctlActivityLine, "");
  FView.ShowProgress(false);
}

std::string TRepairJob::ShortenPath(const std::string& Path) {
  return ShortenPathForDisplay(Path, PathDisplayWidth, FileCount(),
                               [this](const std::string& Text) { return FView.TextWidth(Text); });
}

void TRepairJob::ComputeOutputNames() {
  const TOutputNames names = MakeOutputNames(InputFileName, OutputDirectory);
  OutputFileName = names.OutputFileName;
  LogFileName = names.LogFileName;
}

std::unique_ptr<THgFileReader> TRepairJob::CreateReader(int32_t Kind, const std::string& FileName) {
  auto reader = FFormats.CreateReader(Kind, FileName);
  if (reader) {
    reader->OnProgress = [this](const void* Sender, int64_t Percent) {
      ProgressHandler(Sender, Percent);
    };
    FReaderKind = Kind;
  }
  return reader;
}

TFileReport* TRepairJob::ReportFor(const std::string& FileName) {
  for (auto& report : Reports)
    if (report.InputFileName == FileName) return &report;
  return nullptr;
}

TFileDialogRequest TRepairJob::DialogRequest(int32_t Title, const std::string& InitialFile,
                                             const std::string& FallbackDirectory) const {
  TFileDialogRequest request;
  request.Title = FMessages[Title];
  request.InitialFile = InitialFile;
  request.InitialDirectory = InitialFile.empty() ? FallbackDirectory : DirectoryPart(InitialFile);
  return request;
}

void TRepairJob::SetVerdictText(int32_t Error, int32_t NoDamageText) {
  FView.SetControlText(ctlStatusLine, FMessages[Error == kDamagedIndex  ? msgWrongIndex
                                                : Error == kDamagedData ? msgWrongData
                                                                        : NoDamageText]);
}

void TRepairJob::OpenInput(bool ShowDialog) {
  if (ShowDialog) {
    TFileDialogRequest request = DialogRequest(msgOpenTitle, InputFileName, InputDirectory);
    request.Filters = {
        {FMessages[msgVideoFiles] + " (*.avi;*.mov;*.mp4;*.m4v;*.mp4v;*.3g2;*.3gp2;*.3gp;*.3gpp)",
         "*.AVI;*.mov;*.mp4;*.m4v;*.mp4v;*.3g2;*.3gp2;*.3gp;*.3gpp"},
        {FMessages[msgAviFiles] + " (*.avi)", "*.AVI"},
        {FMessages[msgMpeg4Files] + " (*.mov;*.mp4;*.m4v;*.mp4v;*.3g2;*.3gp2;*.3gp;*.3gpp)",
         "*.mov;*.mp4;*.m4v;*.mp4v;*.3g2;*.3gp2;*.3gp;*.3gpp"},
        {FMessages[msgAllFiles], "*.*"}};
    request.MultiSelect = true;
    request.FileMustExist = true;
    request.MaxLength = 65530;
    const auto selection = FView.ChooseInputFiles(request);
    if (!selection || selection->Names.empty()) return;
    Reader.reset();
    InputDirectory = WithTrailingSlash(selection->Directory);
    InputFiles.clear();
    for (const auto& name : selection->Names)
      InputFiles.push_back({name, 0});
  } else {
    if (InputFileName.empty()) return;
    InputFiles = {{FileNamePart(InputFileName), 0}};
    InputDirectory = DirectoryPart(InputFileName);
  }

  Reports.clear();
  for (auto& entry : InputFiles) {
    entry.Kind = DetectFileKind(InputDirectory + entry.Name);
    TFileReport report;
    report.InputFileName = InputDirectory + entry.Name;
    report.Kind = entry.Kind;
    Reports.push_back(report);
    // A kind this build has no reader for cannot be checked either.
    if (entry.Kind > 0 && !FFormats.HasReader(entry.Kind)) entry.Kind = kindUnknown;
  }
  const int32_t singleKind = InputFiles.size() == 1 ? InputFiles[0].Kind : kindUnknown;
  std::erase_if(InputFiles, [](const TInputFileEntry& e) { return e.Kind <= 0; });
  for (auto& report : Reports)
    if (report.Kind <= 0 || !FFormats.HasReader(report.Kind)) report.Check = TFileReport::chkFailed;

  ResetWindow();
  if (InputFiles.empty()) {
    // A single file that cannot be read is told as such; anything else is "unknown".
    FView.SetControlText(ctlFormatLine, FMessages[OpenFailureText(singleKind)]);
    FView.EnableControl(ctlFormatLine, true);
    FView.EnableControl(ctlFormatLabel, true);
    return;
  }
  // The first usable file is the one opened, even when files before it were dropped.
  InputFileName = InputDirectory + InputFiles[0].Name;

  if (OutputDirectory.empty())
    OutputDirectory = DirectoryPart(OutputFileName.empty() ? InputFileName : OutputFileName);
  OutputDirectory = WithTrailingSlash(OutputDirectory);
  ComputeOutputNames();
  DisableCommands();
  FView.SetControlText(ctlInputPath, ShortenPath(InputFileName));
  CurrentKind = InputFiles[0].Kind;

  Reader.reset();
  JobMode = jmOpened;
  FView.EnableControl(ctlOutputPath, true);
  FView.SetControlText(ctlOutputPath, ShortenPath(OutputFileName));
  FView.SetControlText(ctlActivityLine, FMessages[msgChecking]);
  FView.ShowProgress(true);

  TFileReport* report = ReportFor(InputFileName);
  bool raised = false;
  CancelRequested = false;
  FOpening = true;
  try {
    Reader = CreateReader(CurrentKind, InputFileName);
    // A file that vanished or became unreadable since its kind was read cannot be judged.
    raised = !Reader || Reader->OpenError != kOpened || Reader->Analyze(0) == kNothingToAnalyse;
  } catch (...) {
    raised = true;
  }
  FOpening = false;
  if (CancelRequested && !raised) {
    FView.ShowProgress(false);
    FView.EnableControl(ctlInputButton, true);
    FView.SetControlText(ctlStatusLine, FMessages[msgCancelled]);
    FView.SetControlText(ctlActivityLine, FMessages[msgCancelled]);
    if (report) report->Check = TFileReport::chkCancelled;
    Reader.reset();
    JobMode = jmNothingOpened;
    CancelRequested = false;
    return;
  }
  if (raised) {
    ProgressHandler(Reader.get(), 0);
    FView.ShowProgress(false);
    FView.EnableControl(ctlInputButton, true);
    FView.SetControlText(ctlStatusLine, FMessages[msgExcept]);
    FView.SetControlText(ctlActivityLine, "");
    if (report) report->Check = TFileReport::chkFailed;
    return;
  }
  FView.SetControlText(ctlActivityLine, "");
  FView.ShowProgress(false);
  if (report) {
    report->Check = TFileReport::chkDone;
    report->Error = Reader->Error;
  }

  if (FileCount() == 1) {
    SetVerdictText(Reader->Error, msgProbablyOk);
    FView.SetControlText(ctlFormatLine, FileInformationLine());
  }
  FView.EnableControl(ctlInputButton, true);
  FView.EnableControl(ctlOutputButton, true);
  if (FileCount() == 1) {
    if (Reader->Error == kNoDamage)
      FView.EnableControl(ctlCheckButton, true);
    else
      FView.SetControlText(ctlActionButton, FMessages[msgRepair]);
  }
  FView.EnableControl(ctlActionButton, true);
  if (FileCount() == 1)
    for (int32_t id : {ctlFormatLabel, ctlStatusLabel, ctlFormatLine, ctlStatusLine})
      FView.EnableControl(id, true);
  FView.EnableControl(ctlOutputPath, true);
  FView.FocusWindow();
}

bool TRepairJob::CheckFile(int32_t Index) {
  FView.SetControlText(ctlActivityLine, (FileCount() > 1 ? BatchPrefix(Index, FileCount()) : "") +
                                            FMessages[msgChecking]);
  DisableCommands();
  EnableResultControls(false);
  JobMode = jmChecking;
  FView.EnableControl(ctlActionButton, true);
  FView.SetControlText(ctlActionButton, FMessages[msgCancel]);
  FView.ShowProgress(true);

  TFileReport* report = ReportFor(InputFileName);
  bool failed = false;
  try {
    if (Reader && FReaderKind != CurrentKind) Reader.reset();
    if (!Reader) Reader = CreateReader(CurrentKind, InputFileName);
    if (!Reader) throw std::runtime_error("no reader for this kind of file");
    int32_t result;
    if (CurrentKind == kindMp4) {
      if (LogSwitch) {
        const std::string log = OutputDirectory + LogFileName;
        Reader->DumpFileName = log.substr(0, log.size() >= 3 ? log.size() - 3 : 0) + "dmp";
      }
      result = Reader->Analyze(0);
      ProgressHandler(Reader.get(), 0);
      if (result != kNothingToAnalyse && !Reader->Cancelled && !CancelRequested)
        result = Reader->Analyze(Reader->Error == kDamagedData ? 3 : 2);
    } else {
      result = Reader->Analyze(2);
    }
    // A reader without an open file has no verdict to give; "no damage" would be a lie.
    failed = Reader->OpenError != kOpened || result == kNothingToAnalyse;
    JobMode = failed ? jmOpened : jmChecked;
  } catch (...) {
    // An analysis that raised part-way leaves a verdict that is not one.
    failed = true;
    JobMode = jmOpened;
  }

  DisableCommands();
  if (!CancelRequested) {
    if (LogSwitch && Reader && !failed) {
      try {
        Reader->DumpInfo(OutputDirectory + LogFileName);
      } catch (...) {
        // The dump is a diagnostic; failing to write it must not lose the verdict.
      }
    }
    if (FileCount() == 1) {
      if (failed)
        FView.SetControlText(ctlStatusLine, FMessages[msgExcept]);
      else
        SetVerdictText(Reader->Error, msgNoErrors);
    }
  }
  EnableResultControls(true);

  bool result;
  if (CancelRequested) {
    // The verdict of the quick analysis is no answer to the check that was stopped.
    FView.SetControlText(ctlStatusLine, FMessages[msgCancelled]);
    FView.SetControlText(ctlActionButton, FMessages[msgCheckAndRepair]);
    FView.SetControlText(ctlActivityLine, FMessages[msgCancelled]);
    FView.EnableControl(ctlActionButton, true);
    FView.EnableControl(ctlOutputButton, true);
    if (FileCount() == 1) FView.EnableControl(ctlCheckButton, true);
    JobMode = jmOpened;
    if (report) report->Check = TFileReport::chkCancelled;
    result = true;
  } else {
    result = failed || Reader->Error == kNoDamage;
    if (report) {
      report->Check = failed ? TFileReport::chkFailed : TFileReport::chkDone;
      report->Error = failed ? 0 : Reader->Error;
    }
    if (result) {
      FView.EnableControl(ctlOutputPath, false);
      Reader.reset();
    } else {
      FView.EnableControl(ctlActionButton, true);
      FView.EnableControl(ctlOutputButton, true);
    }
    FView.SetControlText(ctlActionButton, FMessages[msgRepair]);
    FView.SetControlText(ctlActivityLine, "");
  }
  FView.EnableControl(ctlInputButton, true);
  FView.ShowProgress(false);
  FView.FocusWindow();
  ReleaseCachedLarge(); // what the check gave back goes to the system
  return result;
}

// Writes the current file's repaired copy into a temporary file of this run beside the
// output and gives it the output's name only when the writer finished and the bytes are on
// the disk; anything else removes it, so a failed or cancelled repair never leaves a file
// that looks repaired. Without ReplaceExisting a file of that name is kept and the next
// free numbered name is taken, even one that appeared while the copy was written.
TFileReport::TRepair TRepairJob::WriteOneFile(std::string& WrittenName, int32_t& OSError) {
  if (IsSameFile(OutputFileName, InputFileName)) {
    FView.ShowMessage(FMessages[msgSameAsInput], FMessages[msgErrorCaption],
                      TMessageIcon::Exclamation);
    return TFileReport::repFailed;
  }
  TOutputFile output;
  if (!output.Create(OutputFileName)) {
    OSError = output.OSError;
    return TFileReport::repWriteFailed;
  }

  int32_t result = kNothingToAnalyse;
  try {
    Writer = FFormats.CreateWriter(CurrentKind, *Reader, output.Stream());
    if (Writer) {
      if (CurrentKind == kindMp4) {
        Writer->OnReferenceNeeded = [this](const void* Sender) { ReferenceNeededHandler(Sender); };
        Writer->ReferenceReader = std::move(KeptReference);
      }
      Writer->OnProgress = [this](const void* Sender, int64_t Percent) {
        ProgressHandler(Sender, Percent);
      };
      result = Writer->Write();
      if (Writer->Cancelled) result = kCancelled;
    }
  } catch (...) {
    result = kNothingToAnalyse;
  }
  bool withoutSound = false;
  if (Writer) {
    Writer->OnReferenceNeeded = nullptr;
    if (Writer->ReferenceReader) KeptReference = std::move(Writer->ReferenceReader);
    Writer->OnProgress = nullptr;
    withoutSound = Writer->WithoutSound;
  }
  Writer.reset(); // flushes what the writer still buffers
  ReleaseCachedLarge();

  if (CancelRequested) return TFileReport::repCancelled;
  if (output.Stream().OSError != 0) {
    OSError = output.Stream().OSError;
    return TFileReport::repWriteFailed;
  }
  if (result != kDone) return TFileReport::repFailed;
  if (!output.Sync()) {
    OSError = output.OSError;
    return TFileReport::repWriteFailed;
  }
  constexpr int32_t kMaxNumber = 9999;
  for (int32_t n = 1; n <= kMaxNumber; ++n) {
    const std::string name = n == 1 ? OutputFileName : NumberedOutputName(OutputFileName, n);
    if (output.Publish(name, ReplaceExisting)) {
      WrittenName = name;
      if (TFileReport* report = ReportFor(InputFileName)) report->WithoutSound = withoutSound;
      return TFileReport::repDone;
    }
    if (ReplaceExisting || output.OSError != EEXIST) break;
  }
  OSError = output.OSError;
  return TFileReport::repWriteFailed;
}

void TRepairJob::RepairFiles() {
  bool anyFailed = false;
  bool anyWithoutSound = false;
  int32_t writeError = 0; // of the last copy that could not be written
  for (int32_t i = 0; i < int32_t(FileCount()); ++i) {
    if (CancelRequested) break;
    CurrentKind = InputFiles[size_t(i)].Kind;
    if (FileCount() > 1) {
      InputFileName = InputDirectory + InputFiles[size_t(i)].Name;
      ComputeOutputNames();
      Reader.reset(); // CheckFile creates the reader of this file's kind
      if (CheckFile(i)) continue;
    } else if (JobMode == jmOpened) {
      if (CheckFile(1)) {
        CancelRequested = false;
        return;
      }
    }
    if (!Reader) continue;

    DisableCommands();
    EnableResultControls(false);
    FView.SetControlText(ctlActivityLine, (FileCount() > 1 ? BatchPrefix(i, FileCount()) : "") +
                                              FMessages[msgRepairing]);
    FView.ShowProgress(true);
    JobMode = jmRepairing;
    FView.EnableControl(ctlActionButton, true);
    FView.SetControlText(ctlActionButton, FMessages[msgCancel]);

    std::string written;
    int32_t osError = 0;
    const TFileReport::TRepair outcome = WriteOneFile(written, osError);
    const bool repaired = outcome == TFileReport::repDone;

    FView.ShowProgress(false);
    EnableResultControls(true);
    FView.EnableControl(ctlInputButton, true);
    FView.SetControlText(ctlActionButton, FMessages[msgRepair]);
    if (repaired && FileCount() == 1) FView.SetControlText(ctlOutputPath, ShortenPath(written));

    TFileReport* report = ReportFor(InputFileName);
    if (report) {
      report->Repair = outcome;
      if (repaired) report->OutputFileName = written;
      if (outcome == TFileReport::repWriteFailed) report->OutputError = osError;
      anyWithoutSound |= repaired && report->WithoutSound;
    }
    if (outcome == TFileReport::repCancelled) {
      FView.EnableControl(ctlActionButton, true);
      FView.EnableControl(ctlOutputButton, true);
      FView.SetControlText(ctlStatusLine, FMessages[msgCancelled]);
      FView.SetControlText(ctlActivityLine, FMessages[msgCancelled]);
      JobMode = jmChecked;
      break;
    }
    if (outcome == TFileReport::repWriteFailed) writeError = osError;
    anyFailed = anyFailed || !repaired;
    Reader.reset();
  }

  FView.EnableControl(ctlActionButton, false);
  FView.EnableControl(ctlOutputPath, false);
  if (!CancelRequested) {
    if (writeError != 0) {
      FView.SetControlText(ctlStatusLine,
                           FMessages[msgOutputNotWritten] + ": " + std::strerror(writeError));
      FView.EnableControl(ctlStatusLine, true);
      FView.EnableControl(ctlStatusLabel, true);
    } else if (anyFailed) {
      FView.SetControlText(ctlStatusLine, FMessages[msgNotRepaired]);
      FView.EnableControl(ctlStatusLine, true);
      FView.EnableControl(ctlStatusLabel, true);
    } else if (FileCount() == 1) {
      FView.SetControlText(ctlStatusLine,
                           FMessages[anyWithoutSound ? msgRepairedWithoutSound : msgRepaired]);
    }
    FView.SetControlText(ctlActivityLine, "");
  }
  FView.FocusWindow();
  if (!KeepReference) KeptReference.reset();
  Reader.reset();
  CancelRequested = false;
}

void TRepairJob::CancelJob() {
  CancelRequested = true;
  if ((JobMode == jmChecking || FOpening) && Reader) Reader->Cancel(true);
  if (JobMode == jmRepairing && Writer) {
    Writer->Cancel(true);
    if (Writer->ReferenceReader) Writer->ReferenceReader->Cancel(true);
  }
}

void TRepairJob::CheckCommand() {
  CheckFile(1);
  CancelRequested = false;
}

void TRepairJob::ActionCommand() {
  if (JobMode == jmChecking || JobMode == jmRepairing)
    CancelJob();
  else
    RepairFiles();
}

void TRepairJob::ProgressHandler(const void* Sender, int64_t Percent) {
  (void)Sender;
  // Elapsed time in wrapping arithmetic: the tick rolls over every 49 days.
  if (uint32_t(Tick() - LastProgressTick) < 5) return;
  LastProgressTick = Tick();
  FView.SetProgressPosition(int32_t(uint32_t(uint64_t(Percent))));
  FView.PumpEvents();
}

// The file types of one format, then all files.
std::vector<TFileFilter> TRepairJob::FiltersFor(int32_t Kind) const {
  if (Kind == kindMp4)
    return {{FMessages[msgMpeg4Files] + " (*.mov;*.mp4;*.m4v;*.mp4v;*.3g2;*.3gp2;*.3gp;*.3gpp)",
             "*.mov;*.mp4;*.m4v;*.mp4v;*.3g2;*.3gp2;*.3gp;*.3gpp"},
            {FMessages[msgAllFiles], "*.*"}};
  return {{FMessages[msgAviFiles] + " (*.avi)", "*.AVI"}, {FMessages[msgAllFiles], "*.*"}};
}

void TRepairJob::ReferenceNeededHandler(const void* Sender) {
  (void)Sender;
  if (!Writer || Writer->ReferenceReader) return;
  if (!FView.AskYesNo(FMessages[msgReferenceQuestion], FMessages[msgErrorCaption])) return;
  TFileDialogRequest request = DialogRequest(msgOpenTitle, InputFileName, InputDirectory);
  request.Filters = FiltersFor(kindMp4);
  request.FileMustExist = true;
  const auto chosen = FView.ChooseReferenceFile(request);
  if (!chosen) return;
  // A damaged reference is analysed in full; the window stays responsive meanwhile.
  int32_t refusal = 0;
  auto reference = FFormats.OpenReference(
      CurrentKind, *chosen, refusal, [this](const void* Sender, int64_t Percent) {
        ProgressHandler(Sender, Percent);
        // Cancel reaches the reference's analysis too; the sender is the reader analysing.
        if (CancelRequested && Sender)
          const_cast<THgFileReader*>(static_cast<const THgFileReader*>(Sender))->Cancel(true);
      });
  if (!reference) {
    if (!CancelRequested)
      FView.ShowMessage(FMessages[refusal == 2 ? msgReferenceNotH264 : msgReferenceUnusable],
                        FMessages[msgErrorCaption], TMessageIcon::Exclamation);
    return;
  }
  Writer->ReferenceReader = std::move(reference);
}

void TRepairJob::ChooseOutputFile() {
  TFileDialogRequest request = DialogRequest(msgSaveTitle, OutputFileName, OutputDirectory);
  // The copy has the input's format: an MP4 repair is offered MP4 names.
  request.Filters = FiltersFor(CurrentKind);
  request.PathMustExist = true;
  request.ConfirmOverwrite = true;
  const auto chosen = FView.ChooseOutputFile(request);
  if (!chosen) return;
  if (IsSameFile(*chosen, InputFileName)) {
    FView.ShowMessage(FMessages[msgSameAsInput], FMessages[msgErrorCaption],
                      TMessageIcon::Exclamation);
    return;
  }
  OutputFileName = *chosen;
  OutputDirectory = DirectoryPart(OutputFileName);
  FView.SetControlText(ctlOutputPath, ShortenPath(OutputFileName));
}

std::string TRepairJob::FileInformationLine() {
  if (!Reader) return "";
  TVideoDescription video;
  if (!Reader->DescribeVideo(video)) return CurrentKind == kindMp4 ? "Mpeg 4" : "";
  std::string line = video.CodecDescription;
  if (line.empty())
    for (int i = 0; i < 4; ++i) {
      const char c = char((video.Handler >> (8 * i)) & 0xFF);
      if (c == 0) break;
      line += c;
    }
  if (line.empty()) line = "???";
  if (video.Width != 0 && video.Height != 0)
    line += ", " + std::to_string(video.Width) + "x" + std::to_string(video.Height);
  if (video.Rate != 0 && video.Scale != 0)
    line += ", " + FormatFrameRate(video.Rate, video.Scale, FMessages[msgFps]);
  return line + "; " + std::to_string(video.AudioStreams) + " " + FMessages[msgAudioStreams];
}

} // namespace clw
