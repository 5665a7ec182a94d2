// How responsive the window stays while it checks a large file: opens FILE in the window
// (offscreen, with the program's own readers), runs the full check, and records every
// pass of the event loop with a zero-interval timer, which fires once per pass. Prints
// the check's time, the number of passes and the longest gap between two passes on one
// line for bench/gui_responsiveness.sh.
//   gui_responsiveness FILE
#include "app/gui/MainWindow.h"
#include "app/gui/Settings.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: gui_responsiveness FILE\n");
    return 2;
  }
  clw::gui::TAppSettings settings;
  const clw::TMessages messages(clw::langEnglish);
  clw::gui::TMainWindow window(messages, clw::TFormatRegistry::BuiltIn(), settings);
  window.show();
  window.OpenFiles({QString::fromLocal8Bit(argv[1])});
  if (window.Job().JobMode != clw::jmOpened) {
    std::fprintf(stderr, "gui_responsiveness: cannot open %s\n", argv[1]);
    return 1;
  }

  QElapsedTimer clock;
  std::vector<qint64> passes;
  passes.reserve(1 << 20);
  QTimer heartbeat;
  heartbeat.setInterval(0);
  QObject::connect(&heartbeat, &QTimer::timeout, [&] { passes.push_back(clock.nsecsElapsed()); });

  clock.start();
  heartbeat.start();
  passes.push_back(clock.nsecsElapsed());
  window.Job().CheckCommand();
  const qint64 end = clock.nsecsElapsed();
  heartbeat.stop();
  passes.push_back(end);

  qint64 longest = 0;
  for (size_t i = 1; i < passes.size(); ++i)
    longest = std::max(longest, passes[i] - passes[i - 1]);
  std::printf("check_seconds %.3f passes %zu longest_gap_ms %.2f status %s\n", double(end) / 1e9,
              passes.size() - 2, double(longest) / 1e6,
              window.Control(clw::ctlStatusLine)->property("text").toString().toUtf8().constData());
  return 0;
}
