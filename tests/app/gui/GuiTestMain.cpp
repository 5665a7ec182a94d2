// Runs every window test class; the offscreen platform needs no display.
#include "GuiTests.h"

#include <QApplication>
#include <QTest>

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  int failures = 0;
  for (QObject* test : clw::gui::test::AllTests()) {
    failures += QTest::qExec(test, argc, argv);
    delete test;
  }
  return failures == 0 ? 0 : 1;
}
