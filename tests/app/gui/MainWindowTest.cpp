// The window as the job's view: what each control shows and allows through open, check,
// repair, cancel and close, in each language; the menu, the file dialogs and dropping.
#include "GuiTests.h"

#include <QDesktopServices>
#include <QDropEvent>
#include <QMenu>
#include <QMimeData>
#include <QScreen>
#include <QTest>
#include <QUrl>

namespace clw::gui::test {

using Ids = std::vector<int32_t>;

// Receives the web pages the window opens instead of a browser.
class TUrlCatcher : public QObject {
  Q_OBJECT
public slots:
  void Open(const QUrl& Url) { Urls << Url; }

public:
  QList<QUrl> Urls;
};

class TMainWindowTest : public QObject {
  Q_OBJECT

  static void AddLanguages() {
    QTest::addColumn<uint32_t>("language");
    QTest::newRow("English") << uint32_t(langEnglish);
    QTest::newRow("Russian") << uint32_t(langRussian);
    QTest::newRow("German") << uint32_t(langGerman);
  }

private slots:
  // An intact file checked, then a damaged one repaired with a reference clip.
  void checkAndRepair_data() { AddLanguages(); }
  void checkAndRepair() {
    QFETCH(uint32_t, language);
    TWindowRig rig(language);
    QCOMPARE(rig.Text(106), rig.Msg(msgCheckAndRepair));
    QCOMPARE(rig.EnabledButtons(), Ids({101}));

    rig.OpenWithDialog({rig.Make("clip.avi", kAviBytes, {.Description = "XviD"})});
    QCOMPARE(rig.Text(204), rig.Msg(msgProbablyOk));
    QCOMPARE(rig.Text(203),
             "XviD, 320x240, 25 " + rig.Msg(msgFps) + "; 1 " + rig.Msg(msgAudioStreams));
    QCOMPARE(rig.EnabledButtons(), Ids({101, 102, 105, 106}));
    QStringList seen; // activity line, action button and enabled buttons while working
    rig.Log.DuringWork = [&] {
      seen << rig.Text(205) + "|" + rig.Text(106) + "|" +
                  QString::number(rig.EnabledButtons().size());
    };
    rig.Click(105);
    QVERIFY(seen.contains(rig.Msg(msgChecking) + "|" + rig.Msg(msgCancel) + "|1"));
    QCOMPARE(rig.Text(204), rig.Msg(msgNoErrors));
    QCOMPARE(rig.EnabledButtons(), Ids({101})); // nothing to repair

    const TScript damaged{
        .QuickVerdict = kDamagedData, .CheckVerdict = kDamagedData, .NeedsReference = true};
    rig.OpenWithDialog({rig.Make("clip.mp4", kMp4Bytes, damaged)});
    QCOMPARE(rig.Text(204), rig.Msg(msgWrongData));
    QCOMPARE(rig.Text(106), rig.Msg(msgRepair));
    QCOMPARE(rig.EnabledButtons(), Ids({101, 102, 106}));
    rig.Answers.push_back({rig.Make("intact.mp4", kMp4Bytes)});
    rig.Click(106);
    QVERIFY(seen.contains(rig.Msg(msgRepairing) + "|" + rig.Msg(msgCancel) + "|1"));
    QCOMPARE(rig.Boxes,
             QStringList(rig.Msg(msgErrorCaption) + "|" + rig.Msg(msgReferenceQuestion)));
    QCOMPARE(rig.Dialogs.back().Mode, QFileDialog::ExistingFile);
    QVERIFY(rig.Dialogs.back().Filters[0].startsWith(rig.Msg(msgMpeg4Files)));
    QVERIFY(rig.Log.ReferencesSeen.at(0) != nullptr);
    QCOMPARE(rig.Text(204), rig.Msg(msgRepaired));
    QVERIFY(QFile::exists(rig.Dir.filePath("clip (copy).mp4")));
  }

  // A click on Cancel reaches the job through the event pump of the running operation.
  void cancelWhileWorking_data() {
    QTest::addColumn<uint32_t>("language");
    QTest::addColumn<bool>("duringRepair");
    for (uint32_t language : {langEnglish, langRussian, langGerman})
      for (bool repair : {false, true})
        QTest::addRow("language %u %s", language, repair ? "repair" : "check")
            << language << repair;
  }
  void cancelWhileWorking() {
    QFETCH(uint32_t, language);
    QFETCH(bool, duringRepair);
    TWindowRig rig(language);
    rig.OpenDamaged(duringRepair);
    bool clicked = false;
    rig.Log.DuringWork = [&] {
      if (!std::exchange(clicked, true)) rig.ClickLater(106);
    };
    rig.Click(106);
    QCOMPARE(rig.Text(205), rig.Msg(msgCancelled));
    QVERIFY(rig.Text(204) != rig.Msg(msgRepaired));
    QVERIFY(!QFile::exists(rig.Dir.filePath("clip (copy).avi")));
    // The file stays open; a cancelled check can be run again at once.
    QVERIFY(rig.Enabled(102) && rig.Enabled(101));
    QCOMPARE(rig.Enabled(106), !duringRepair);
    QCOMPARE(rig.Text(106), rig.Msg(duringRepair ? msgRepair : msgCheckAndRepair));
  }

  // Closing or Escape during a check or a repair cancels it; the window goes only after
  // the operation has returned.
  void closeWhileWorking_data() {
    QTest::addColumn<bool>("duringRepair");
    QTest::addColumn<QByteArray>("how");
    for (bool repair : {false, true})
      for (const char* how : {"close", "reject"})
        QTest::addRow("%s during %s", how, repair ? "repair" : "check")
            << repair << QByteArray(how);
  }
  void closeWhileWorking() {
    QFETCH(bool, duringRepair);
    QFETCH(QByteArray, how);
    TWindowRig rig(langEnglish);
    rig.OpenDamaged(duringRepair);
    int reports = 0;
    bool visibleAfterClose = false;
    rig.Log.DuringWork = [&] {
      if (reports++ == 0)
        QMetaObject::invokeMethod(rig.Window.get(), how.constData(), Qt::QueuedConnection);
      else
        visibleAfterClose = rig.Window->isVisible();
    };
    rig.Click(106);
    QVERIFY(visibleAfterClose);
    QVERIFY(!rig.Window->isVisible());
    QVERIFY(!QFile::exists(rig.Dir.filePath("clip (copy).avi")));
    QVERIFY(!QFile::exists(rig.Dir.filePath("clip (copy).avi.partial")));
    // The folders reach the settings that are saved after the window.
    QCOMPARE(QString::fromStdString(rig.Settings.InputDirectory), rig.Dir.path() + "/");
  }

  void languageMenu_data() { AddLanguages(); }
  void languageMenu() {
    QFETCH(uint32_t, language);
    TWindowRig rig(language);
    const QList<QAction*> actions = rig.Window->Menu()->actions(); // en, de, ru, -, web
    for (int i = 0; i < 3; ++i)
      QCOMPARE(actions[i]->isChecked(), actions[i]->data().toUInt() == language);
    const QString before = rig.Text(106);
    actions[1]->trigger();
    QCOMPARE(rig.Settings.Language, uint32_t(langGerman));
    QVERIFY(!actions[0]->isChecked() && actions[1]->isChecked() && !actions[2]->isChecked());
    QCOMPARE(rig.Boxes, QStringList("CLW|" + rig.Msg(msgLanguageNextTime)));
    QCOMPARE(rig.BoxIcons.back(), QMessageBox::Information);
    QCOMPARE(rig.Text(106), before); // the window changes language at the next start

    TUrlCatcher catcher;
    QDesktopServices::setUrlHandler("https", &catcher, "Open");
    for (int chosen : {2, 0}) { // Russian, then English
      actions[chosen]->trigger();
      actions[4]->trigger();
    }
    QDesktopServices::unsetUrlHandler("https");
    QCOMPARE(catcher.Urls.size(), 2);
    QVERIFY(catcher.Urls[0].path().endsWith("/ru/clw/"));
    QVERIFY(catcher.Urls[1].path().endsWith("/en/clw/"));
  }

  // The three file dialogs share the position of the file type the user last picked,
  // even when the dialog where it was picked was cancelled.
  void fileDialogs() {
    TWindowRig rig(langEnglish);
    const QString clip = rig.Make("clip.avi", kAviBytes);
    rig.OpenWithDialog({clip});
    const TDialogSeen open = rig.Dialogs.back();
    QCOMPARE(open.Mode, QFileDialog::ExistingFiles);
    QCOMPARE(open.SelectedFilter, 0);
    // Camera names come in both cases; "All files" matches names without a dot too.
    QVERIFY(open.Filters[0].contains("*.mov *.MOV"));
    QVERIFY(open.Filters[3].endsWith("(*)"));
    // Qt's own dialog opens enlarged and centred on the screen's free area.
    QCOMPARE(open.Geometry.size(), open.Hint + QSize(200, 100));
    const QPoint offCentre =
        open.Geometry.center() - rig.Window->screen()->availableGeometry().center();
    QVERIFY(offCentre.manhattanLength() <= 2);

    auto pickType = [&rig](int Position) {
      rig.OnFileDialog = [Position](QFileDialog& Dialog) {
        Dialog.selectNameFilter(Dialog.nameFilters()[Position]);
        emit Dialog.filterSelected(Dialog.selectedNameFilter());
      };
    };
    auto cancelled = [&rig](int32_t Button) {
      rig.Answers.push_back({});
      rig.Click(Button);
      rig.OnFileDialog = nullptr;
      return rig.Dialogs.back();
    };
    pickType(1);
    cancelled(101);
    QCOMPARE(rig.Text(201), clip); // nothing changed
    rig.Answers.push_back({clip}); // the input itself is refused as the output
    rig.Click(102);
    const TDialogSeen save = rig.Dialogs.back();
    QVERIFY(save.Accept == QFileDialog::AcceptSave && save.ConfirmsOverwrite);
    QCOMPARE(save.SelectedFilter, 1);
    QCOMPARE(rig.Boxes, QStringList(rig.Msg(msgErrorCaption) + "|" + rig.Msg(msgSameAsInput)));
    QCOMPARE(rig.Text(202), rig.Dir.filePath("clip (copy).avi"));

    // A position the Save dialog cannot show is kept for the next Open dialog.
    pickType(3);
    cancelled(101);
    QCOMPARE(cancelled(102).SelectedFilter, 0);
    QCOMPARE(cancelled(101).SelectedFilter, 3);
  }

  void droppedFilesRepairedAsABatch() {
    TWindowRig rig(langEnglish);
    QDir(rig.Dir.path()).mkdir("sub");
    const QString avi = rig.Make("a.avi", kAviBytes, {.CheckVerdict = kDamagedData});
    const QString mp4 = rig.Make("sub/b.mp4", kMp4Bytes);
    auto drop = [&](const QStringList& Paths) {
      QMimeData data;
      QList<QUrl> urls;
      for (const QString& path : Paths)
        urls << QUrl::fromLocalFile(path);
      data.setUrls(urls);
      QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
      QCoreApplication::sendEvent(rig.Window.get(), &enter);
      QDropEvent dropped(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
      QCoreApplication::sendEvent(rig.Window.get(), &dropped);
      return enter.isAccepted() && dropped.isAccepted();
    };
    // Files from two folders: the batch is read relative to the folder holding both,
    // and each file is checked and repaired with the reader and writer of its kind.
    QVERIFY(drop({avi, mp4}));
    QVERIFY(rig.Dialogs.empty());
    QVERIFY(rig.Text(201).startsWith("[2] "));
    QVERIFY(!rig.Enabled(203) && !rig.Enabled(204)); // they describe no single file
    QStringList activity;
    rig.Log.DuringWork = [&] { activity << rig.Text(205); };
    rig.Click(106);
    QVERIFY(activity.contains("[1/2] Checking...") && activity.contains("[2/2] Checking..."));
    QVERIFY(activity.contains("[1/2] Repairing..."));
    QVERIFY(rig.Called("write AVI " + avi.toStdString()));
    QVERIFY(rig.Called("analyze 2 " + mp4.toStdString()));
    rig.Log.DuringWork = nullptr;

    // While a check runs, a drop is refused instead of pulling the file from under it.
    rig.OpenWithDialog({avi});
    bool acceptedDuringCheck = true;
    rig.Log.DuringWork = [&] { acceptedDuringCheck = drop({mp4}); };
    rig.Click(105);
    QVERIFY(!acceptedDuringCheck);
    QCOMPARE(rig.Text(201), avi);
    QCOMPARE(rig.Text(204), rig.Msg(msgWrongData));
  }

  // A file named on the command line opens right after the window, with "-l" its dumps.
  void startFileOpensAfterTheWindow() {
    QTemporaryDir dir;
    const std::string path = dir.filePath("start.mp4").toStdString();
    std::ofstream(path, std::ios::binary) << kMp4Bytes;
    TWindowRig rig(langEnglish, path, true);
    rig.Log.Scripts[path] = {.QuickVerdict = kDamagedData, .CheckVerdict = kDamagedData};
    QCOMPARE(rig.Text(201), rig.Msg(msgChooseVideo));
    QTRY_COMPARE(rig.Text(201), QString::fromStdString(path));
    QCOMPARE(rig.Text(204), rig.Msg(msgWrongData));
    rig.Click(106);
    QVERIFY(rig.Called("dump " + dir.filePath("start.log").toStdString()));
  }
};

QObject* MakeMainWindowTest() {
  return new TMainWindowTest;
}

} // namespace clw::gui::test

#include "MainWindowTest.moc"
