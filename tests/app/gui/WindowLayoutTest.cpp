// The window's layout in each language: every text fits its control, no two controls
// overlap, and a screenshot of each state goes into the build folder for a person to see.
#include "GuiTests.h"

#include "app/gui/MainLayout.h"

#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QStyle>
#include <QTest>

namespace clw::gui::test {

class TWindowLayoutTest : public QObject {
  Q_OBJECT

  // Texts that do not fit are cut off on screen; a path line's text was already
  // shortened by the job to fit.
  static void CheckTextsFit(TWindowRig& Rig) {
    for (int32_t id : {kDescriptionId, 101, 102, 103, 104, 105, 106, 201, 202, 203, 204, 205}) {
      QWidget* w = Rig.Window->Control(id);
      const QFontMetrics metrics(w->font());
      if (auto* button = qobject_cast<QPushButton*>(w)) {
        QString shown = button->text();
        shown.replace("&&", "\x01").remove('&').replace('\x01', '&');
        const int room = w->width() - 2 * w->style()->pixelMetric(QStyle::PM_ButtonMargin);
        QVERIFY2(metrics.horizontalAdvance(shown) <= room, qPrintable(shown));
      } else if (auto* label = qobject_cast<QLabel*>(w)) {
        if (label->wordWrap()) {
          QVERIFY2(label->heightForWidth(label->width()) <= label->height(),
                   qPrintable(label->text()));
        } else {
          QVERIFY2(metrics.horizontalAdvance(label->text()) <= label->width(),
                   qPrintable(label->text()));
        }
      }
    }
  }

  static void CheckNoOverlap(TWindowRig& Rig) {
    const QRect frame = Rig.Window->Control(kGroupBoxId)->geometry();
    QVERIFY(Rig.Window->rect().contains(frame));
    std::vector<QWidget*> inside;
    for (const TControlLayout& c : MainLayout(Rig.Messages.Language()).Controls)
      if (c.Id != kGroupBoxId) inside.push_back(Rig.Window->Control(c.Id));
    for (size_t i = 0; i < inside.size(); ++i) {
      QVERIFY(frame.contains(inside[i]->geometry()));
      for (size_t j = i + 1; j < inside.size(); ++j)
        QVERIFY2(!inside[i]->geometry().intersects(inside[j]->geometry()),
                 qPrintable(inside[i]->property("text").toString() + " / " +
                            inside[j]->property("text").toString()));
    }
  }

  static void Shoot(TWindowRig& Rig, const QString& Name) {
    QDir().mkpath(CLIPWRIGHT_GUI_SHOT_DIR);
    QVERIFY(Rig.Window->grab().save(QStringLiteral(CLIPWRIGHT_GUI_SHOT_DIR "/") + Name + ".png"));
  }

private slots:
  void textsFitAndControlsDoNotOverlap_data() {
    QTest::addColumn<uint32_t>("language");
    QTest::addColumn<QString>("tag");
    QTest::newRow("English") << uint32_t(langEnglish) << "en";
    QTest::newRow("Russian") << uint32_t(langRussian) << "ru";
    QTest::newRow("German") << uint32_t(langGerman) << "de";
  }
  void textsFitAndControlsDoNotOverlap() {
    QFETCH(uint32_t, language);
    QFETCH(QString, tag);
    TWindowRig rig(language);
    CheckNoOverlap(rig);
    CheckTextsFit(rig);
    Shoot(rig, "main-" + tag);

    // The longest texts the lines show: a quick verdict, a deep path, a codec line.
    QDir(rig.Dir.path()).mkpath("DCIM/100CANON/holiday in the mountains/second day");
    const QString clip =
        rig.Make("DCIM/100CANON/holiday in the mountains/second day/MVI_0042 evening.avi",
                 kAviBytes, {.Description = "Microsoft MPEG-4 Video Codec V2"});
    rig.OpenWithDialog({clip});
    CheckTextsFit(rig);
    Shoot(rig, "main-" + tag + "-opened");

    rig.Log.DuringWork = [&] { rig.Window->Job().CancelJob(); };
    rig.Click(105);
    CheckTextsFit(rig);
    Shoot(rig, "main-" + tag + "-cancelled");

    rig.Log.Scripts[clip.toStdString()].QuickVerdict = kDamagedIndex;
    rig.OpenWithDialog({clip});
    CheckTextsFit(rig);
    const QString other = rig.Make("b.avi", kAviBytes);
    rig.OpenWithDialog({clip, other});
    CheckTextsFit(rig);
    Shoot(rig, "main-" + tag + "-batch");
  }
};

QObject* MakeWindowLayoutTest() {
  return new TWindowLayoutTest;
}

} // namespace clw::gui::test

#include "WindowLayoutTest.moc"
