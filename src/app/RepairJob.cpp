#include "app/RepairJob.h"

#include "app/DisplayText.h"
#include "app/PathNames.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>

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
  try {
    Reader = CreateReader(CurrentKind, InputFileName);
    // A file that vanished or became unreadable since its kind was read cannot be judged.
    raised = !Reader || Reader->OpenError != kOpened || Reader->Analyze(0) == kNothingToAnalyse;
  } catch (...) {
    raised = true;
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
  return result;
}

// Writes the current file's repaired copy into a temporary name beside the output and
// moves it into place only when the writer finished; anything else removes it, so a
// failed or cancelled repair never leaves a file that looks repaired. True on success.
bool TRepairJob::WriteOneFile() {
  const std::string partial = OutputFileName + kPartialSuffix;
  if (IsSameFile(OutputFileName, InputFileName) || IsSameFile(partial, InputFileName)) {
    FView.ShowMessage(FMessages[msgSameAsInput], FMessages[msgErrorCaption],
                      TMessageIcon::Exclamation);
    return false;
  }
  // A stale temporary (or a link planted under its name) is removed, never written through.
  ::unlink(partial.c_str());

  bool written = false;
  try {
    Writer = FFormats.CreateWriter(CurrentKind, *Reader, partial);
    if (Writer) {
      if (CurrentKind == kindMp4) {
        Writer->OnReferenceNeeded = [this](const void* Sender) { ReferenceNeededHandler(Sender); };
        Writer->ReferenceReader = std::move(KeptReference);
      }
      Writer->OnProgress = [this](const void* Sender, int64_t Percent) {
        ProgressHandler(Sender, Percent);
      };
      written = Writer->Write() == kDone && !Writer->Cancelled;
    }
  } catch (...) {
    written = false;
  }
  bool withoutSound = false;
  if (Writer) {
    Writer->OnReferenceNeeded = nullptr;
    if (Writer->ReferenceReader) KeptReference = std::move(Writer->ReferenceReader);
    Writer->OnProgress = nullptr;
    withoutSound = Writer->WithoutSound;
  }
  Writer.reset(); // closes the output before it is renamed or removed
  if (written && std::rename(partial.c_str(), OutputFileName.c_str()) == 0) {
    if (TFileReport* report = ReportFor(InputFileName)) report->WithoutSound = withoutSound;
    return true;
  }
  ::unlink(partial.c_str());
  return false;
}

void TRepairJob::RepairFiles() {
  bool anyFailed = false;
  bool anyWithoutSound = false;
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

    const bool repaired = WriteOneFile();

    FView.ShowProgress(false);
    EnableResultControls(true);
    FView.EnableControl(ctlInputButton, true);
    FView.SetControlText(ctlActionButton, FMessages[msgRepair]);

    TFileReport* report = ReportFor(InputFileName);
    if (report) {
      report->Repair = repaired          ? TFileReport::repDone
                       : CancelRequested ? TFileReport::repCancelled
                                         : TFileReport::repFailed;
      if (repaired) report->OutputFileName = OutputFileName;
      anyWithoutSound |= repaired && report->WithoutSound;
    }
    if (CancelRequested) {
      FView.EnableControl(ctlActionButton, true);
      FView.EnableControl(ctlOutputButton, true);
      FView.SetControlText(ctlActivityLine, FMessages[msgCancelled]);
      JobMode = jmChecked;
      break;
    }
    anyFailed = anyFailed || !repaired;
    Reader.reset();
  }

  FView.EnableControl(ctlActionButton, false);
  FView.EnableControl(ctlOutputPath, false);
  if (!CancelRequested) {
    if (anyFailed) {
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
  if (JobMode == jmChecking && Reader) Reader->Cancel(true);
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

void TRepairJob::ReferenceNeededHandler(const void* Sender) {
  (void)Sender;
  if (!Writer || Writer->ReferenceReader) return;
  if (!FView.AskYesNo(FMessages[msgReferenceQuestion], FMessages[msgErrorCaption])) return;
  TFileDialogRequest request = DialogRequest(msgOpenTitle, InputFileName, InputDirectory);
  request.Filters = {
      {FMessages[msgMpeg4Files] + " (*.mov;*.mp4;*.m4v;*.mp4v;*.3g2;*.3gp2;*.3gp;*.3gpp)",
       "*.mov;*.mp4;*.m4v;*.mp4v;*.3g2;*.3gp2;*.3gp;*.3gpp"},
      {FMessages[msgAllFiles], "*.*"}};
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
  request.Filters = {{FMessages[msgAviFiles] + " (*.avi)", "*.AVI"},
                     {FMessages[msgAllFiles], "*.*"}};
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
