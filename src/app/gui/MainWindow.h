#pragma once
// The program's window: one dialog with two path lines, a format line, a status line, an
// activity line, a progress bar and four buttons, laid out for the interface language.
// It is the repair job's view: the job decides every text and enabled state, the window
// shows them, runs the file dialogs and message boxes, and pumps its event queue while the
// job works, so Cancel and closing reach a running check or repair.
#include "app/FileFormats.h"
#include "app/JobView.h"
#include "app/Messages.h"
#include "app/RepairJob.h"

#include <QDialog>
#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QActionGroup;
class QFileDialog;
class QMenu;
class QMessageBox;
class QProgressBar;
class QToolButton;

namespace clw::gui {

struct TAppSettings;
struct TDialogLayout;

class TMainWindow : public QDialog, public TJobView {
  Q_OBJECT

public:
  // Settings give the folders and the language choice; the window writes the job's folders
  // and the language picked from its menu back into them when it closes.
  TMainWindow(const TMessages& Messages, const TFormatRegistry& Formats, TAppSettings& Settings,
              const std::string& StartFile = {}, bool LogSwitch = false);
  ~TMainWindow() override;

  TRepairJob& Job() { return *FJob; }
  // The widget of a control id (101..206), or of the group box and description.
  QWidget* Control(int32_t Id) const;
  QMenu* Menu() const { return FMenu; }
  // True while a command of the window runs (the job pumps events meanwhile).
  bool Busy() const { return FBusy > 0; }

  // Modal dialogs run through these, so a test can answer them without a person. A file
  // dialog hook returns the chosen paths, or nothing when the user cancelled.
  std::function<int(QMessageBox&)> RunMessageBox;
  std::function<std::optional<QStringList>(QFileDialog&)> RunFileDialog;

  // Opens files as the Input File button does (drag and drop lands here).
  void OpenFiles(const QStringList& Paths);

  // TJobView
  void SetControlText(int32_t Control, const std::string& Text) override;
  void EnableControl(int32_t Control, bool Enabled) override;
  void ShowProgress(bool Show) override;
  void SetProgressPosition(int32_t Position) override;
  void PumpEvents() override;
  void FocusWindow() override;
  bool AskYesNo(const std::string& Text, const std::string& Caption) override;
  void ShowMessage(const std::string& Text, const std::string& Caption, TMessageIcon Icon) override;
  std::optional<TFileSelection> ChooseInputFiles(const TFileDialogRequest& Request) override;
  std::optional<std::string> ChooseReferenceFile(const TFileDialogRequest& Request) override;
  std::optional<std::string> ChooseOutputFile(const TFileDialogRequest& Request) override;
  int32_t TextWidth(const std::string& Text) override;

public slots:
  void reject() override;
  void done(int Result) override;

protected:
  void dragEnterEvent(QDragEnterEvent* Event) override;
  void dropEvent(QDropEvent* Event) override;
  void contextMenuEvent(QContextMenuEvent* Event) override;

private:
  std::vector<std::string> TextsShownIn(int32_t Id) const;
  double WidthFactor(const TDialogLayout& Layout) const;
  void BuildControls();
  void BuildMenu();
  void ChooseLanguage(uint32_t Language);
  void VisitWebSite();
  // Runs one window command; a close asked for meanwhile happens once it has returned.
  void RunCommand(const std::function<void()>& Command);
  std::optional<QStringList> RunFileDialogFor(const TFileDialogRequest& Request, int FileMode,
                                              bool Save);

  const TMessages& FMessages;
  TAppSettings& FSettings;
  std::unique_ptr<TRepairJob> FJob;
  std::map<int32_t, QWidget*> FControls;
  QProgressBar* FProgress = nullptr;
  QToolButton* FMenuButton = nullptr;
  QMenu* FMenu = nullptr;
  QActionGroup* FLanguages = nullptr;
  double FPathScale = 1.0; // path-line width budget units per pixel
  int FFilterIndex = 0;    // shared by the three file dialogs
  int FBusy = 0;
  bool FCloseRequested = false;
  std::optional<TFileSelection> FDropped;
};

// The product name and version as the caption shows them, and the product's web page
// in a language.
QString WindowCaption();
QString WebPage(uint32_t Language);

} // namespace clw::gui
