#include "app/cli/TerminalView.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <iostream>

namespace clw {

namespace {

volatile std::sig_atomic_t gInterrupted = 0; // not yet delivered to the job
volatile std::sig_atomic_t gSignalled = 0;   // stays set: the run is to end
// Written by the handler so that a wait for an answer wakes, even when the signal came
// just before the wait began.
int gWakePipe[2] = {-1, -1};

// Ctrl-C, a terminal hang-up and the polite kill of a shutdown all cancel: the job stops at
// its next progress report and removes its temporary file. The same signal again while
// that happens ends the program at once.
constexpr int kCancelSignals[] = {SIGINT, SIGTERM, SIGHUP};

void OnCancelSignal(int Signal) {
  const int savedErrno = errno;
  gInterrupted = 1;
  gSignalled = 1;
  std::signal(Signal, SIG_DFL);
  if (gWakePipe[1] >= 0) (void)!::write(gWakePipe[1], "!", 1);
  errno = savedErrno;
}

// One line of the terminal, or "" when it ends or a cancelling signal arrives meanwhile.
std::string ReadLine() {
  std::string line;
  pollfd waits[2] = {{STDIN_FILENO, POLLIN, 0}, {gWakePipe[0], POLLIN, 0}};
  while (!gSignalled) {
    if (::poll(waits, gWakePipe[0] >= 0 ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      return "";
    }
    if (waits[1].revents != 0) return "";
    char c = 0;
    const ssize_t got = ::read(STDIN_FILENO, &c, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 || c == '\n') break;
    line += c;
  }
  if (gSignalled) return "";
  while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
    line.pop_back();
  return line;
}

} // namespace

TTerminalView::TTerminalView()
    : FProgressOnTerminal(::isatty(STDERR_FILENO) == 1),
      FInteractive(::isatty(STDIN_FILENO) == 1 && ::isatty(STDERR_FILENO) == 1) {}

void TTerminalView::InstallInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = OnCancelSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  if (gWakePipe[0] < 0 && ::pipe2(gWakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
    gWakePipe[0] = gWakePipe[1] = -1;
  for (const int signal : kCancelSignals)
    ::sigaction(signal, &action, nullptr);
}

bool TTerminalView::Interrupted() {
  return gSignalled != 0;
}

void TTerminalView::SetControlText(int32_t Control, const std::string& Text) {
  FTexts[Control] = Text;
  if (Control == ctlActivityLine && FProgressShown) DrawProgress();
}

void TTerminalView::EnableControl(int32_t, bool) {}

const std::string& TTerminalView::Text(int32_t Control) const {
  static const std::string kEmpty;
  auto it = FTexts.find(Control);
  return it == FTexts.end() ? kEmpty : it->second;
}

void TTerminalView::ShowProgress(bool Show) {
  FPosition = 0;
  if (Show) {
    FProgressShown = true;
    DrawProgress();
  } else {
    ClearProgress();
  }
}

void TTerminalView::SetProgressPosition(int32_t Position) {
  FPosition = Position < 0 ? 0 : Position > 100 ? 100 : Position;
  if (FProgressShown) DrawProgress();
}

void TTerminalView::DrawProgress() {
  if (!FProgressOnTerminal) return;
  constexpr int kBarWidth = 40;
  const int filled = FPosition * kBarWidth / 100;
  std::string bar(size_t(filled), '#');
  bar.append(size_t(kBarWidth - filled), '-');
  std::fprintf(stderr, "\r\033[K[%s] %3d%% %s", bar.c_str(), int(FPosition),
               Text(ctlActivityLine).c_str());
  std::fflush(stderr);
}

void TTerminalView::ClearProgress() {
  if (FProgressShown && FProgressOnTerminal) {
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
  }
  FProgressShown = false;
}

void TTerminalView::PumpEvents() {
  if (gInterrupted && OnInterrupt) {
    gInterrupted = 0;
    OnInterrupt();
  }
}

bool TTerminalView::AskYesNo(const std::string& Text, const std::string& Caption) {
  if (ReferenceFile) return true;
  if (!FInteractive) return false;
  const bool shown = FProgressShown;
  ClearProgress();
  std::cerr << Caption << ": " << Text << " [y/N] " << std::flush;
  const std::string answer = ReadLine();
  FProgressShown = shown;
  PumpEvents();
  return !Interrupted() && !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

std::optional<std::string> TTerminalView::ChooseReferenceFile(const TFileDialogRequest& Request) {
  if (ReferenceFile) return ReferenceFile;
  if (!FInteractive) return std::nullopt;
  std::cerr << Request.Title << ": " << std::flush;
  const std::string path = ReadLine();
  PumpEvents();
  if (path.empty() || Interrupted()) return std::nullopt;
  return path;
}

void TTerminalView::ShowMessage(const std::string& Text, const std::string& Caption, TMessageIcon) {
  ClearProgress();
  std::cerr << Caption << ": " << Text << "\n";
}

int32_t TTerminalView::TextWidth(const std::string& Text) {
  int32_t characters = 0;
  for (const char c : Text)
    if ((uint8_t(c) & 0xC0) != 0x80) ++characters;
  return characters;
}

} // namespace clw
