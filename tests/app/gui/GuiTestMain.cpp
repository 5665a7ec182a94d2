// Runs every window test class; the offscreen platform needs no display.
#include "GuiTests.h"

#include <QApplication>
#include <QDir>
#include <QSettings>
#include <QTest>

namespace clw::gui::test {
// Qt and the window write their settings at exit too: into the build folder, never into
// the user's own settings or a temporary folder that is gone by then.
QString SettingsHome() {
  static const QString home = QDir::current().absoluteFilePath("gui-test-settings");
  return home;
}
} // namespace clw::gui::test

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QDir(clw::gui::test::SettingsHome()).removeRecursively();
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, clw::gui::test::SettingsHome());
  QApplication app(argc, argv);
  int failures = 0;
  for (QObject* test : clw::gui::test::AllTests()) {
    failures += QTest::qExec(test, argc, argv);
    delete test;
  }
  return failures == 0 ? 0 : 1;
}
