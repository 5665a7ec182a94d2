#pragma once
// The repair job's view on a terminal: it keeps the texts the job sets, draws a progress
// bar on standard error when that is a terminal, answers the reference question from the
// command line or by asking, and turns Ctrl-C, SIGTERM and SIGHUP into the job's Cancel.
#include "app/JobView.h"

#include <functional>
#include <map>
#include <optional>
#include <string>

namespace clw {

class TTerminalView : public TJobView {
public:
  TTerminalView();

  void SetControlText(int32_t Control, const std::string& Text) override;
  void EnableControl(int32_t Control, bool Enabled) override;
  void ShowProgress(bool Show) override;
  void SetProgressPosition(int32_t Position) override;
  void PumpEvents() override;
  void FocusWindow() override {}
  bool AskYesNo(const std::string& Text, const std::string& Caption) override;
  void ShowMessage(const std::string& Text, const std::string& Caption, TMessageIcon Icon) override;
  std::optional<TFileSelection> ChooseInputFiles(const TFileDialogRequest&) override {
    return std::nullopt;
  }
  std::optional<std::string> ChooseReferenceFile(const TFileDialogRequest& Request) override;
  std::optional<std::string> ChooseOutputFile(const TFileDialogRequest&) override {
    return std::nullopt;
  }
  int32_t TextWidth(const std::string& Text) override;

  const std::string& Text(int32_t Control) const;

  // The reference file given with -r, if any.
  std::optional<std::string> ReferenceFile;
  // Called from the event pump after a cancelling signal.
  std::function<void()> OnInterrupt;

  // Makes the first SIGINT, SIGTERM or SIGHUP a request to cancel; a second one of the
  // same kind ends the program.
  static void InstallInterruptHandler();
  // Whether a cancelling signal arrived in this run: no further file is to be started.
  static bool Interrupted();

private:
  void DrawProgress();
  void ClearProgress();

  std::map<int32_t, std::string> FTexts;
  bool FProgressOnTerminal;
  bool FInteractive;
  bool FProgressShown = false;
  int32_t FPosition = 0;
};

} // namespace clw
