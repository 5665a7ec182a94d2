#include "app/gui/MainWindow.h"

#include "app/PathNames.h"
#include "app/gui/MainLayout.h"
#include "app/gui/Settings.h"

#include <QActionGroup>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTimer>
#include <QToolButton>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <utility>

#ifndef CLIPWRIGHT_WEB_SITE
#define CLIPWRIGHT_WEB_SITE "www.harrowgate.example"
#endif

namespace clw::gui {

QString WindowCaption() {
  return QStringLiteral("Clipwright v%1 - [%2]")
      .arg(QStringLiteral(CLIPWRIGHT_VERSION), QStringLiteral(CLIPWRIGHT_WEB_SITE));
}

QString WebPage(uint32_t Language) {
  return QStringLiteral("https://%1/%2/clw/")
      .arg(QStringLiteral(CLIPWRIGHT_WEB_SITE), Language == langRussian ? "ru" : "en");
}

namespace {

// The dialog font: the layouts were drawn for Tahoma 8 pt. Where Tahoma is missing a
// substitute picked by name can be anything, so the desktop's own font is used instead;
// the layout follows whichever font it gets.
QFont DialogFont() {
  if (QFontDatabase::hasFamily(QStringLiteral("Tahoma"))) return QFont(QStringLiteral("Tahoma"), 8);
  return QApplication::font();
}

// Converts dialog units to pixels of a font, rounding as the units always were. Edges
// are converted rather than sizes, so controls that meet in units meet in pixels.
class TDialogUnits {
public:
  TDialogUnits(const QFont& Font, double Widen) {
    const QFontMetrics metrics(Font);
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    FBaseX = double((letters / 26 + 1) / 2) * Widen;
    FBaseY = metrics.height();
  }
  int X(int Units) const { return int(std::lround(Units * FBaseX / 4)); }
  int Y(int Units) const { return (Units * FBaseY + 4) / 8; }
  QRect Rect(const TControlLayout& C) const {
    return QRect(QPoint(X(C.X), Y(C.Y)), QPoint(X(C.X + C.Width) - 1, Y(C.Y + C.Height) - 1));
  }

private:
  double FBaseX;
  int FBaseY;
};

// A button's text as drawn: "&&" is an ampersand, a single "&" marks the mnemonic.
QString WithoutMnemonic(QString Text) {
  return Text.replace(QStringLiteral("&&"), QStringLiteral("\x01"))
      .remove('&')
      .replace(QStringLiteral("\x01"), QStringLiteral("&"));
}

// "Video files (*.avi;*.mov)" over "*.AVI;*.mov": Qt takes the patterns from the last
// bracket, separated by spaces. Cameras write upper-case names (MVI_0042.MOV) as often as
// lower-case ones, and on this system names are case-sensitive, so each pattern is offered
// in both cases; "*.*" would miss names without a dot.
QString QtFilter(const TFileFilter& Filter) {
  QStringList patterns;
  for (const QString& pattern :
       QString::fromStdString(Filter.Patterns).split(';', Qt::SkipEmptyParts)) {
    const QString trimmed = pattern.trimmed();
    if (trimmed == QStringLiteral("*.*")) {
      patterns << QStringLiteral("*");
      continue;
    }
    for (const QString& variant : {trimmed.toLower(), trimmed.toUpper()})
      if (!patterns.contains(variant)) patterns << variant;
  }
  return QString::fromStdString(Filter.Text) + QStringLiteral(" (") + patterns.join(' ') +
         QStringLiteral(")");
}

// The nearest folder that holds every path, and the paths relative to it.
TFileSelection SelectionOf(const QStringList& Paths) {
  TFileSelection selection;
  if (Paths.isEmpty()) return selection;
  std::string directory = DirectoryPart(Paths.front().toStdString());
  auto holdsAll = [&Paths](const std::string& Directory) {
    for (const QString& path : Paths)
      if (!path.toStdString().starts_with(Directory)) return false;
    return true;
  };
  while (!directory.empty() && !holdsAll(directory))
    directory = DirectoryPart(directory.substr(0, directory.size() - 1));
  selection.Directory = directory;
  for (const QString& path : Paths)
    selection.Names.push_back(path.toStdString().substr(directory.size()));
  return selection;
}

} // namespace

TMainWindow::TMainWindow(const TMessages& Messages, const TFormatRegistry& Formats,
                         TAppSettings& Settings, const std::string& StartFile, bool LogSwitch)
    : FMessages(Messages), FSettings(Settings),
      FJob(std::make_unique<TRepairJob>(*this, Messages, Formats)) {
  RunMessageBox = [](QMessageBox& Box) { return Box.exec(); };
  RunFileDialog = [](QFileDialog& Dialog) -> std::optional<QStringList> {
    if (Dialog.exec() != QDialog::Accepted) return std::nullopt;
    return Dialog.selectedFiles();
  };

  setWindowTitle(WindowCaption());
  setFont(DialogFont());
  QIcon icon;
  for (int size : {16, 32, 48})
    icon.addFile(QStringLiteral(":/clipwright/clipwright-%1.png").arg(size), QSize(size, size));
  setWindowIcon(icon);
  setAcceptDrops(true);
  BuildControls();
  BuildMenu();

  FJob->InputDirectory = Settings.InputDirectory;
  FJob->OutputDirectory = Settings.OutputDirectory;
  FJob->InputFileName = StartFile;
  FJob->LogSwitch = LogSwitch;
  FJob->ResetWindow();
  if (!StartFile.empty())
    QTimer::singleShot(2, this, [this] { RunCommand([this] { FJob->OpenInput(false); }); });
}

TMainWindow::~TMainWindow() = default;

// Texts the job puts into a control besides the layout's own, so the layout can make
// room for the longest of them.
std::vector<std::string> TMainWindow::TextsShownIn(int32_t Id) const {
  std::vector<int32_t> ids;
  std::string prefix;
  switch (Id) {
  case ctlActionButton:
    ids = {msgCheckAndRepair, msgRepair, msgCancel};
    break;
  case ctlInputPath:
    ids = {msgChooseVideo};
    break;
  case ctlOutputPath:
    ids = {msgNotSpecified};
    break;
  case ctlFormatLine:
    ids = {msgUnknown, msgUnknownFormat, msgFileNotFound, msgCannotOpen, msgReadError};
    break;
  case ctlStatusLine:
    ids = {msgUnknown,  msgWrongData,   msgWrongIndex,
           msgNoErrors, msgProbablyOk,  msgExcept,
           msgRepaired, msgNotRepaired, msgRepairedWithoutSound};
    break;
  case ctlActivityLine:
    ids = {msgChecking, msgRepairing, msgCancelled};
    prefix = "[99/99] "; // a batch's position
    break;
  default:
    break;
  }
  std::vector<std::string> texts;
  for (int32_t id : ids)
    texts.push_back(prefix + FMessages[id]);
  return texts;
}

// The layouts were drawn for Tahoma. Another font's average letter is not the same share
// of its Cyrillic or of its long words, so the horizontal unit grows, a step at a time,
// until every fixed text of the layout and of the catalogue fits its control.
double TMainWindow::WidthFactor(const TDialogLayout& Layout) const {
  const QFontMetrics metrics(font());
  const int buttonPadding = 2 * (style()->pixelMetric(QStyle::PM_ButtonMargin) +
                                 style()->pixelMetric(QStyle::PM_DefaultFrameWidth));
  auto fits = [&](const TDialogUnits& Units) {
    for (const TControlLayout& c : Layout.Controls) {
      if (c.Class == TControlClass::GroupBox || c.Class == TControlClass::ProgressBar) continue;
      const QRect rect = Units.Rect(c);
      std::vector<std::string> texts = TextsShownIn(c.Id);
      texts.push_back(c.Text);
      for (const std::string& utf8 : texts) {
        const QString text = QString::fromStdString(utf8);
        if (c.Class == TControlClass::Button) {
          if (metrics.horizontalAdvance(WithoutMnemonic(text)) + buttonPadding > rect.width())
            return false;
        } else if (c.WordWrap) {
          const QRect needed =
              metrics.boundingRect(QRect(0, 0, rect.width(), 1 << 20), Qt::TextWordWrap, text);
          if (needed.height() > rect.height()) return false;
        } else if (metrics.horizontalAdvance(text) > rect.width()) {
          return false;
        }
      }
    }
    return true;
  };
  double factor = 1.0;
  while (factor < 1.5 && !fits(TDialogUnits(font(), factor)))
    factor += 0.01;
  return factor;
}

void TMainWindow::BuildControls() {
  const TDialogLayout& layout = MainLayout(FMessages.Language());
  const TDialogUnits units(font(), WidthFactor(layout));
  for (const TControlLayout& c : layout.Controls) {
    const QString text = QString::fromUtf8(c.Text);
    QWidget* widget = nullptr;
    switch (c.Class) {
    case TControlClass::GroupBox:
      widget = new QGroupBox(text, this);
      break;
    case TControlClass::Label:
    case TControlClass::RightLabel: {
      auto* label = new QLabel(text, this);
      // File names may hold "<" or "&"; nothing the job shows is markup.
      label->setTextFormat(Qt::PlainText);
      label->setWordWrap(c.WordWrap);
      label->setAlignment((c.Class == TControlClass::RightLabel ? Qt::AlignRight : Qt::AlignLeft) |
                          (c.WordWrap ? Qt::AlignTop : Qt::AlignVCenter));
      widget = label;
      break;
    }
    case TControlClass::Button: {
      auto* button = new QPushButton(text, this);
      // The dialog has no default button: Enter must not start a repair by surprise.
      button->setAutoDefault(false);
      const int32_t id = c.Id;
      connect(button, &QPushButton::clicked, this, [this, id] {
        RunCommand([this, id] {
          switch (id) {
          case ctlInputButton:
            FJob->OpenInput(true);
            break;
          case ctlOutputButton:
            FJob->ChooseOutputFile();
            break;
          case ctlCheckButton:
            FJob->CheckCommand();
            break;
          default:
            FJob->ActionCommand();
            break;
          }
        });
      });
      widget = button;
      break;
    }
    case TControlClass::ProgressBar:
      FProgress = new QProgressBar(this);
      FProgress->setRange(0, 100);
      FProgress->setTextVisible(false);
      widget = FProgress;
      break;
    }
    widget->setGeometry(units.Rect(c));
    FControls[c.Id] = widget;
  }
  setFixedSize(units.X(layout.Width), units.Y(layout.Height));

  // The path lines' width budget is counted in units of its own; a path fits when its
  // pixels fit the narrower of the two lines.
  const int lineWidth = std::min(Control(ctlInputPath)->width(), Control(ctlOutputPath)->width());
  FPathScale = double(FJob->PathDisplayWidth) * 1.25 / double(std::max(lineWidth, 1));
}

void TMainWindow::BuildMenu() {
  FMenu = new QMenu(this);
  FLanguages = new QActionGroup(this);
  FLanguages->setExclusive(true);
  const std::pair<const char*, uint32_t> languages[] = {
      {"English", langEnglish}, {"German", langGerman}, {"Russian", langRussian}};
  for (const auto& [name, language] : languages) {
    QAction* action = FMenu->addAction(QString::fromLatin1(name));
    action->setCheckable(true);
    action->setChecked(language == FSettings.Language);
    action->setData(language);
    FLanguages->addAction(action);
    const uint32_t chosen = language;
    connect(action, &QAction::triggered, this, [this, chosen] { ChooseLanguage(chosen); });
  }
  FMenu->addSeparator();
  QAction* visit = FMenu->addAction(QString::fromStdString(FMessages[msgVisitSite]));
  connect(visit, &QAction::triggered, this, &TMainWindow::VisitWebSite);

  // The window's right-click menu holds the same items; this button shows where they are.
  const QRect frame = Control(kGroupBoxId)->geometry();
  FMenuButton = new QToolButton(this);
  FMenuButton->setMenu(FMenu);
  FMenuButton->setPopupMode(QToolButton::InstantPopup);
  FMenuButton->setArrowType(Qt::DownArrow);
  FMenuButton->setAutoRaise(true);
  FMenuButton->setAutoFillBackground(true);
  FMenuButton->setFocusPolicy(Qt::NoFocus);
  const int side = fontMetrics().height();
  FMenuButton->setGeometry(frame.right() - side - side / 2, frame.top(), side, side);
}

QWidget* TMainWindow::Control(int32_t Id) const {
  const auto it = FControls.find(Id);
  return it == FControls.end() ? nullptr : it->second;
}

void TMainWindow::RunCommand(const std::function<void()>& Command) {
  ++FBusy;
  Command();
  --FBusy;
  if (FBusy == 0 && FCloseRequested) {
    FCloseRequested = false;
    QDialog::reject();
  }
}

void TMainWindow::reject() {
  // Escape, the close box and the window menu's Close all end here. A running check or
  // repair is cancelled first; the window goes once it has returned, never under it.
  FJob->CancelJob();
  if (FBusy > 0) {
    FCloseRequested = true;
    return;
  }
  QDialog::reject();
}

void TMainWindow::done(int Result) {
  FSettings.InputDirectory = FJob->InputDirectory;
  FSettings.OutputDirectory = FJob->OutputDirectory;
  QDialog::done(Result);
}

void TMainWindow::ChooseLanguage(uint32_t Language) {
  FSettings.Language = Language;
  for (QAction* action : FLanguages->actions())
    action->setChecked(action->data().toUInt() == Language);
  QMessageBox box(QMessageBox::Information, QStringLiteral("CLW"),
                  QString::fromStdString(FMessages[msgLanguageNextTime]), QMessageBox::Ok, this);
  RunMessageBox(box);
}

void TMainWindow::VisitWebSite() {
  QDesktopServices::openUrl(QUrl(WebPage(FSettings.Language)));
}

void TMainWindow::contextMenuEvent(QContextMenuEvent* Event) {
  FMenu->popup(Event->globalPos());
}

void TMainWindow::dragEnterEvent(QDragEnterEvent* Event) {
  if (FBusy > 0 || !Event->mimeData()->hasUrls()) return;
  for (const QUrl& url : Event->mimeData()->urls())
    if (url.isLocalFile()) {
      Event->acceptProposedAction();
      return;
    }
}

void TMainWindow::dropEvent(QDropEvent* Event) {
  QStringList paths;
  for (const QUrl& url : Event->mimeData()->urls())
    if (url.isLocalFile() && !QFileInfo(url.toLocalFile()).isDir()) paths << url.toLocalFile();
  if (paths.isEmpty() || FBusy > 0) return;
  Event->acceptProposedAction();
  OpenFiles(paths);
}

void TMainWindow::OpenFiles(const QStringList& Paths) {
  if (Paths.isEmpty() || FBusy > 0) return;
  FDropped = SelectionOf(Paths);
  RunCommand([this] { FJob->OpenInput(true); });
  FDropped.reset();
}

void TMainWindow::SetControlText(int32_t Control, const std::string& Text) {
  QWidget* widget = this->Control(Control);
  const QString text = QString::fromStdString(Text);
  if (auto* label = qobject_cast<QLabel*>(widget)) {
    // A codec's description can be longer than any line; it ends in an ellipsis and the
    // whole text is a tooltip. Paths arrive already shortened to fit.
    const QFontMetrics metrics(label->font());
    const bool path = Control == ctlInputPath || Control == ctlOutputPath;
    if (!path && metrics.horizontalAdvance(text) > label->width()) {
      label->setText(metrics.elidedText(text, Qt::ElideRight, label->width()));
      label->setToolTip(text);
    } else {
      label->setText(text);
      label->setToolTip(QString());
    }
  } else if (auto* button = qobject_cast<QPushButton*>(widget))
    button->setText(text);
}

void TMainWindow::EnableControl(int32_t Control, bool Enabled) {
  if (QWidget* widget = this->Control(Control)) widget->setEnabled(Enabled);
}

void TMainWindow::ShowProgress(bool Show) {
  FProgress->setVisible(true);
  if (!Show) FProgress->setValue(0);
}

void TMainWindow::SetProgressPosition(int32_t Position) {
  FProgress->setValue(std::clamp(Position, 0, 100));
}

void TMainWindow::PumpEvents() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void TMainWindow::FocusWindow() {
  activateWindow();
}

bool TMainWindow::AskYesNo(const std::string& Text, const std::string& Caption) {
  QMessageBox box(QMessageBox::Warning, QString::fromStdString(Caption),
                  QString::fromStdString(Text), QMessageBox::Yes | QMessageBox::No, this);
  return RunMessageBox(box) == QMessageBox::Yes;
}

void TMainWindow::ShowMessage(const std::string& Text, const std::string& Caption,
                              TMessageIcon Icon) {
  const QMessageBox::Icon icon = Icon == TMessageIcon::Information ? QMessageBox::Information
                                 : Icon == TMessageIcon::Warning   ? QMessageBox::Warning
                                                                   : QMessageBox::Critical;
  QMessageBox box(icon, QString::fromStdString(Caption), QString::fromStdString(Text),
                  QMessageBox::Ok, this);
  RunMessageBox(box);
}

std::optional<QStringList> TMainWindow::RunFileDialogFor(const TFileDialogRequest& Request,
                                                         int FileMode, bool Save) {
  QFileDialog dialog(this, QString::fromStdString(Request.Title));
  dialog.setFileMode(QFileDialog::FileMode(FileMode));
  dialog.setAcceptMode(Save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
  dialog.setOption(QFileDialog::DontConfirmOverwrite, !Request.ConfirmOverwrite);
  dialog.setOption(QFileDialog::HideNameFilterDetails, true);
  QStringList filters;
  for (const TFileFilter& filter : Request.Filters)
    filters << QtFilter(filter);
  dialog.setNameFilters(filters);
  if (!filters.isEmpty())
    dialog.selectNameFilter(filters[FFilterIndex < filters.size() ? FFilterIndex : 0]);
  // Only a change the user makes moves the shared position: a Save dialog with fewer
  // types must not forget the one chosen in the Open dialog.
  // Qt reports the type either whole or, as shown, without its pattern list.
  connect(&dialog, &QFileDialog::filterSelected, this,
          [this, &Request, &filters](const QString& Filter) {
            for (qsizetype i = 0; i < filters.size(); ++i)
              if (Filter == filters[i] ||
                  Filter == QString::fromStdString(Request.Filters[size_t(i)].Text))
                FFilterIndex = int(i);
          });
  if (!Request.InitialDirectory.empty())
    dialog.setDirectory(QString::fromStdString(Request.InitialDirectory));
  if (!Request.InitialFile.empty()) dialog.selectFile(QString::fromStdString(Request.InitialFile));

  // Qt's own dialog opens small for folders full of clips: larger by 200 x 100 pixels and
  // centred on the screen's free area. A platform's native dialog places itself.
  dialog.resize(dialog.sizeHint() + QSize(200, 100));
  if (const QScreen* screen = this->screen()) {
    const QRect area = screen->availableGeometry();
    dialog.move(area.x() + (area.width() - dialog.width()) / 2,
                area.y() + (area.height() - dialog.height()) / 2);
  }
  auto chosen = RunFileDialog(dialog);
  if (chosen && chosen->isEmpty()) chosen.reset();
  return chosen;
}

std::optional<TFileSelection> TMainWindow::ChooseInputFiles(const TFileDialogRequest& Request) {
  if (FDropped) return std::exchange(FDropped, std::nullopt);
  const auto chosen = RunFileDialogFor(Request, QFileDialog::ExistingFiles, false);
  if (!chosen) return std::nullopt;
  return SelectionOf(*chosen);
}

std::optional<std::string> TMainWindow::ChooseReferenceFile(const TFileDialogRequest& Request) {
  const auto chosen = RunFileDialogFor(Request, QFileDialog::ExistingFile, false);
  if (!chosen) return std::nullopt;
  return chosen->front().toStdString();
}

std::optional<std::string> TMainWindow::ChooseOutputFile(const TFileDialogRequest& Request) {
  const auto chosen = RunFileDialogFor(Request, QFileDialog::AnyFile, true);
  if (!chosen) return std::nullopt;
  return chosen->front().toStdString();
}

int32_t TMainWindow::TextWidth(const std::string& Text) {
  const QFontMetrics metrics(Control(ctlInputPath)->font());
  return int32_t(std::ceil(metrics.horizontalAdvance(QString::fromStdString(Text)) * FPathScale));
}

} // namespace clw::gui
