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
  std::vector<int> positions; // the progress bar at each pass, to place a long gap
  passes.reserve(1 << 20);
  QTimer heartbeat;
  heartbeat.setInterval(0);
  QObject::connect(&heartbeat, &QTimer::timeout, [&] {
    passes.push_back(clock.nsecsElapsed());
    positions.push_back(window.Control(clw::ctlProgressBar)->property("value").toInt());
  });

  clock.start();
  heartbeat.start();
  passes.push_back(clock.nsecsElapsed());
  positions.push_back(0);
  window.Job().CheckCommand();
  const qint64 end = clock.nsecsElapsed();
  heartbeat.stop();
  passes.push_back(end);
  positions.push_back(100);

  // The longest gap, and where the progress bar stood when it ended: a gap that ends at
  // 100 % lies in the reader's last stage, after its last report.
  qint64 longest = 0;
  size_t at = 0;
  for (size_t i = 1; i < passes.size(); ++i)
    if (passes[i] - passes[i - 1] > longest) {
      longest = passes[i] - passes[i - 1];
      at = i;
    }
  qint64 longestBeforeEnd = 0;
  for (size_t i = 1; i < passes.size(); ++i)
    if (positions[i] < 100)
      longestBeforeEnd = std::max(longestBeforeEnd, passes[i] - passes[i - 1]);
  if (qEnvironmentVariableIsSet("GUI_BENCH_GAPS"))
    for (size_t i = 1; i < passes.size(); ++i)
      if (passes[i] - passes[i - 1] > 20'000'000)
        std::fprintf(stderr, "gap %.1f ms ending at %.3f s, progress %d%% -> %d%%\n",
                     double(passes[i] - passes[i - 1]) / 1e6, double(passes[i]) / 1e9,
                     positions[i - 1], positions[i]);
  std::printf("check_seconds %.3f passes %zu longest_gap_ms %.2f at_progress %d "
              "longest_gap_before_100_ms %.2f status %s\n",
              double(end) / 1e9, passes.size() - 2, double(longest) / 1e6, positions[at],
              double(longestBeforeEnd) / 1e6,
              window.Control(clw::ctlStatusLine)->property("text").toString().toUtf8().constData());
  return 0;
}
