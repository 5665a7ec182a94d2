#pragma once
// A scripted view and scripted readers and writers for driving the repair job.
#include "app/FileFormats.h"
#include "app/JobView.h"
#include "container/HgFileBase.h"

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace clw::test {

class TFakeView : public TJobView {
public:
  void SetControlText(int32_t Control, const std::string& Text) override { Texts[Control] = Text; }
  void EnableControl(int32_t Control, bool Enabled) override { Enabled_[Control] = Enabled; }
  void ShowProgress(bool Show) override {
    if (Show) ProgressVisible = true;
    Position = 0;
  }
  void SetProgressPosition(int32_t P) override {
    Position = P;
    Events.push_back("position");
  }
  void PumpEvents() override {
    Events.push_back("pump");
    ++Pumps;
    if (OnPump) OnPump();
  }
  void FocusWindow() override {}
  bool AskYesNo(const std::string& Text, const std::string&) override {
    Questions.push_back(Text);
    return YesNoAnswer;
  }
  void ShowMessage(const std::string& Text, const std::string& Caption, TMessageIcon) override {
    Messages.push_back(Caption + ": " + Text);
  }
  std::optional<TFileSelection> ChooseInputFiles(const TFileDialogRequest& R) override {
    Requests.push_back(R);
    return InputSelection;
  }
  std::optional<std::string> ChooseReferenceFile(const TFileDialogRequest& R) override {
    Requests.push_back(R);
    return ReferenceChoice;
  }
  std::optional<std::string> ChooseOutputFile(const TFileDialogRequest& R) override {
    Requests.push_back(R);
    return OutputChoice;
  }
  int32_t TextWidth(const std::string& Text) override { return int32_t(Text.size()); }

  bool IsEnabled(int32_t Control) const {
    auto it = Enabled_.find(Control);
    return it != Enabled_.end() && it->second;
  }
  // The controls that are enabled, among the buttons.
  std::vector<int32_t> EnabledButtons() const {
    std::vector<int32_t> ids;
    for (int32_t id : {101, 102, 105, 106})
      if (IsEnabled(id)) ids.push_back(id);
    return ids;
  }

  std::map<int32_t, std::string> Texts;
  std::map<int32_t, bool> Enabled_;
  bool ProgressVisible = false;
  int32_t Position = 0;
  int Pumps = 0;
  std::vector<std::string> Events;
  std::function<void()> OnPump;
  bool YesNoAnswer = false;
  std::vector<std::string> Questions, Messages;
  std::vector<TFileDialogRequest> Requests;
  std::optional<TFileSelection> InputSelection;
  std::optional<std::string> ReferenceChoice, OutputChoice;
};

// How a scripted reader or writer behaves; keyed by the file's name.
struct TScript {
  int32_t QuickVerdict = kNoDamage;
  int32_t CheckVerdict = kNoDamage;
  bool ThrowOnQuick = false;
  bool ThrowOnCheck = false;
  bool ThrowOnWrite = false;
  int32_t WriteResult = kDone;
  bool NeedsReference = false;
  bool WithoutSound = false;    // the writer leaves sound out
  int32_t ReferenceRefusal = 0; // as a reference: 0 serves, else why it cannot
  std::string Description;      // codec description of an AVI reader
};

struct TFakeLog {
  std::map<std::string, TScript> Scripts;
  std::vector<std::string> Calls; // "reader AVI x.avi", "analyze 2 x.avi", "write AVI x.avi"
  std::vector<const THgFileReader*> ReferencesSeen;
  std::function<void()> DuringWork; // runs between progress reports of analyses and writes
};

class TFakeReader : public THgFileReader {
public:
  TFakeReader(TFakeLog& Log, int32_t Kind, const std::string& FileName)
      : FLog(Log), FKind(Kind), FName(FileName) {
    FLog.Calls.push_back(std::string("reader ") + (Kind == kindAvi ? "AVI " : "MP4 ") + FName);
  }
  int32_t Analyze(uint8_t Mode) override {
    Cancelled = false;
    FLog.Calls.push_back("analyze " + std::to_string(Mode) + " " + FName);
    const TScript& s = FLog.Scripts[FName];
    if (Mode == 0 && s.ThrowOnQuick) throw std::runtime_error("quick");
    if (Mode != 0 && s.ThrowOnCheck) throw std::runtime_error("check");
    for (int p = 0; p <= 100; p += 50) {
      Progress(p);
      if (FLog.DuringWork && Mode != 0) FLog.DuringWork();
      if (Cancelled) return kCancelled;
    }
    Error = Mode == 0 ? s.QuickVerdict : s.CheckVerdict;
    return kDone;
  }
  void DumpInfo(const std::string& FileName) override { FLog.Calls.push_back("dump " + FileName); }
  bool DescribeVideo(TVideoDescription& Out) override {
    if (FKind != kindAvi) return false;
    Out.CodecDescription = FLog.Scripts[FName].Description;
    Out.Handler = MakeFourCC("XVID");
    Out.Width = 320;
    Out.Height = 240;
    Out.Rate = 25;
    Out.Scale = 1;
    Out.AudioStreams = 1;
    return true;
  }
  const std::string& Name() const { return FName; }

private:
  TFakeLog& FLog;
  int32_t FKind;
  std::string FName;
};

class TFakeWriter : public THgFileWriter {
public:
  TFakeWriter(TFakeLog& Log, int32_t Kind, THgFileReader& Reader, TStream64& Output)
      : FLog(Log), FKind(Kind), FReader(static_cast<TFakeReader&>(Reader)), FOutput(Output) {}
  int32_t Write() override {
    Cancelled = false;
    FLog.Calls.push_back(std::string("write ") + (FKind == kindAvi ? "AVI " : "MP4 ") +
                         FReader.Name());
    const TScript& s = FLog.Scripts[FReader.Name()];
    FOutput.Write("REPAIRED", 8);
    if (s.NeedsReference) {
      if (!ReferenceReader) FireReferenceNeeded();
      FLog.ReferencesSeen.push_back(ReferenceReader.get());
    }
    for (int p = 0; p <= 100; p += 50) {
      Progress(p);
      if (FLog.DuringWork) FLog.DuringWork();
      if (Cancelled) return kCancelled;
    }
    if (s.ThrowOnWrite) throw std::runtime_error("disk full");
    WithoutSound = s.WithoutSound;
    return s.WriteResult;
  }

private:
  TFakeLog& FLog;
  int32_t FKind;
  TFakeReader& FReader;
  TStream64& FOutput;
};

inline TFormatRegistry FakeFormats(TFakeLog& Log) {
  TFormatRegistry formats;
  for (int32_t kind : {kindAvi, kindMp4})
    formats.Register(
        kind,
        [&Log, kind](const std::string& Name) {
          return std::unique_ptr<THgFileReader>(new TFakeReader(Log, kind, Name));
        },
        [&Log, kind](THgFileReader& Reader, TStream64& Output) {
          return std::unique_ptr<THgFileWriter>(new TFakeWriter(Log, kind, Reader, Output));
        },
        [&Log, kind](const std::string& Name, int32_t& Refusal, const THgProgressEvent&) {
          auto reader = std::unique_ptr<THgFileReader>(new TFakeReader(Log, kind, Name));
          reader->Analyze(0);
          Refusal = Log.Scripts[Name].ReferenceRefusal;
          return Refusal == 0 ? std::move(reader) : nullptr;
        });
  return formats;
}

} // namespace clw::test
