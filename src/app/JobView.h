#pragma once
// What the repair job needs of its window. The job decides every text and enabled
// state; a front end (the Qt window, the terminal) only shows them and runs the dialogs.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace clw {

// Controls of the main window the job writes to.
enum TControl : int32_t {
  ctlInputButton = 101,
  ctlOutputButton = 102,
  ctlFormatLabel = 103,
  ctlStatusLabel = 104,
  ctlCheckButton = 105,
  ctlActionButton = 106, // Check & Repair / Repair / Cancel
  ctlInputPath = 201,
  ctlOutputPath = 202,
  ctlFormatLine = 203,
  ctlStatusLine = 204,
  ctlActivityLine = 205,
  ctlProgressBar = 206,
};

enum class TMessageIcon { Information, Exclamation, Warning };

struct TFileFilter {
  std::string Text;     // shown to the user
  std::string Patterns; // "*.avi;*.mov"
};

struct TFileDialogRequest {
  std::string Title;
  std::string InitialFile;
  std::string InitialDirectory;
  std::vector<TFileFilter> Filters;
  bool MultiSelect = false;
  bool FileMustExist = false;
  bool PathMustExist = false;
  bool ConfirmOverwrite = false;
  int32_t MaxLength = 255;
};

// Files chosen in the Open dialog: one directory and the names inside it.
struct TFileSelection {
  std::string Directory;
  std::vector<std::string> Names;
};

class TJobView {
public:
  virtual ~TJobView() = default;

  virtual void SetControlText(int32_t Control, const std::string& Text) = 0;
  virtual void EnableControl(int32_t Control, bool Enabled) = 0;
  // true shows the progress bar; false puts it back to 0 (a window keeps it visible).
  virtual void ShowProgress(bool Show) = 0;
  virtual void SetProgressPosition(int32_t Position) = 0;
  // Delivers whatever the user did meanwhile (Cancel, close, repaint).
  virtual void PumpEvents() = 0;
  virtual void FocusWindow() = 0;

  virtual bool AskYesNo(const std::string& Text, const std::string& Caption) = 0;
  virtual void ShowMessage(const std::string& Text, const std::string& Caption,
                           TMessageIcon Icon) = 0;
  virtual std::optional<TFileSelection> ChooseInputFiles(const TFileDialogRequest& Request) = 0;
  virtual std::optional<std::string> ChooseReferenceFile(const TFileDialogRequest& Request) = 0;
  virtual std::optional<std::string> ChooseOutputFile(const TFileDialogRequest& Request) = 0;

  // Width of a text in the units of the path lines' width budget.
  virtual int32_t TextWidth(const std::string& Text) = 0;
};

} // namespace clw
