#pragma once
// A window over scripted readers and writers, with its modal dialogs answered by the
// test, and the list of test classes the runner executes.
#include "FakeJobParts.h"
#include "app/gui/MainWindow.h"
#include "app/gui/Settings.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>

#include <fstream>
#include <memory>
#include <vector>

namespace clw::gui::test {

using namespace clw::test;

std::vector<QObject*> AllTests();
// Where the test run keeps the user's settings.
QString SettingsHome();

const std::string kAviBytes = std::string("RIFF\x10\0\0\0AVI LIST", 16);
const std::string kMp4Bytes = std::string("\0\0\0\x14"
                                          "ftypisom\0\0\0\0isom",
                                          20);

// What a file dialog was asked to be, seen when it was about to open.
struct TDialogSeen {
  QStringList Filters;
  int SelectedFilter; // position among Filters
  QFileDialog::FileMode Mode;
  QFileDialog::AcceptMode Accept;
  bool ConfirmsOverwrite;
  QSize Hint;
  QRect Geometry;
};

class TWindowRig {
public:
  explicit TWindowRig(uint32_t Language, const std::string& StartFile = {}, bool Log = false)
      : Messages(Language) {
    Settings.Language = Language;
    Window = std::make_unique<TMainWindow>(Messages, Formats, Settings, StartFile, Log);
    // Every progress report is 10 ms after the last, so each one pumps the events.
    Window->Job().Tick = [this] { return Clock += 10; };
    Window->RunMessageBox = [this](QMessageBox& Box) {
      Boxes.push_back(Box.windowTitle() + "|" + Box.text());
      BoxIcons.push_back(Box.icon());
      return BoxAnswer;
    };
    Window->RunFileDialog = [this](QFileDialog& Dialog) -> std::optional<QStringList> {
      Dialogs.push_back({Dialog.nameFilters(), SelectedPosition(Dialog), Dialog.fileMode(),
                         Dialog.acceptMode(), !Dialog.testOption(QFileDialog::DontConfirmOverwrite),
                         Dialog.sizeHint(), Dialog.geometry()});
      if (OnFileDialog) OnFileDialog(Dialog);
      if (Answers.empty()) return std::nullopt;
      QStringList answer = Answers.front();
      Answers.erase(Answers.begin());
      return answer.isEmpty() ? std::nullopt : std::optional<QStringList>(answer);
    };
    Window->show();
  }

  // With the patterns hidden, Qt names the selected type by its text alone.
  static int SelectedPosition(QFileDialog& Dialog) {
    const QStringList filters = Dialog.nameFilters();
    for (int i = 0; i < filters.size(); ++i)
      if (filters[i].startsWith(Dialog.selectedNameFilter())) return i;
    return -1;
  }
  // A file in the scratch folder whose reader and writer follow Script.
  QString Make(const QString& Name, const std::string& Bytes, TScript Script = {}) {
    const QString path = Dir.filePath(Name);
    std::ofstream(path.toStdString(), std::ios::binary) << Bytes;
    Log.Scripts[path.toStdString()] = Script;
    return path;
  }
  // A damaged clip, opened, and already checked when Checked (the next click repairs).
  QString OpenDamaged(bool Checked) {
    const QString clip =
        Make("clip.avi", kAviBytes, {.QuickVerdict = kDamagedData, .CheckVerdict = kDamagedData});
    OpenWithDialog({clip});
    if (Checked) Window->Job().CheckCommand();
    return clip;
  }
  QPushButton* Button(int32_t Id) const { return static_cast<QPushButton*>(Window->Control(Id)); }
  void Click(int32_t Id) { Button(Id)->click(); }
  // A click the event pump will deliver, as a user's click during a running job.
  void ClickLater(int32_t Id) {
    QMetaObject::invokeMethod(Button(Id), "click", Qt::QueuedConnection);
  }
  void OpenWithDialog(const QStringList& Paths) {
    Answers.push_back(Paths);
    Click(101);
  }
  QString Text(int32_t Id) const {
    QWidget* w = Window->Control(Id);
    if (auto* b = qobject_cast<QPushButton*>(w)) return b->text();
    return w->property("text").toString();
  }
  QString Msg(int32_t Id) const { return QString::fromStdString(Messages[Id]); }
  bool Enabled(int32_t Id) const { return Window->Control(Id)->isEnabled(); }
  std::vector<int32_t> EnabledButtons() const {
    std::vector<int32_t> ids;
    for (int32_t id : {101, 102, 105, 106})
      if (Enabled(id)) ids.push_back(id);
    return ids;
  }
  bool Called(const std::string& Call) const {
    for (const auto& c : Log.Calls)
      if (c == Call) return true;
    return false;
  }

  QTemporaryDir Dir;
  TFakeLog Log;
  TFormatRegistry Formats = FakeFormats(Log);
  TMessages Messages;
  TAppSettings Settings;
  uint32_t Clock = 1000;
  std::unique_ptr<TMainWindow> Window;
  QStringList Boxes; // "caption|text"
  std::vector<QMessageBox::Icon> BoxIcons;
  int BoxAnswer = QMessageBox::Yes;
  std::vector<TDialogSeen> Dialogs;
  std::vector<QStringList> Answers; // one per file dialog; empty means Cancel
  std::function<void(QFileDialog&)> OnFileDialog;
};

} // namespace clw::gui::test
