// clipwright: the window.
//   clipwright [FILE] [-l]
#include "app/gui/CommandLine.h"
#include "app/gui/MainWindow.h"
#include "app/gui/Settings.h"

#include <QApplication>

#include <filesystem>

int main(int argc, char** argv) {
  // Qt takes its own options (-platform, -style) out of argv; what is left is ours.
  QApplication app(argc, argv);
  std::vector<std::string> arguments(argv + std::min(argc, 1), argv + argc);
  std::error_code error;
  const std::string here = std::filesystem::current_path(error).string();
  const clw::gui::TCommandLine line = clw::gui::ParseCommandLine(arguments, here);

  QSettings store(QStringLiteral("Harrowgate"), QStringLiteral("Clipwright"));
  clw::gui::TAppSettings settings = clw::gui::ReadSettings(store);
  const clw::TMessages messages(settings.Language);
  int result;
  {
    clw::gui::TMainWindow window(messages, clw::TFormatRegistry::BuiltIn(), settings, line.FileName,
                                 line.LogSwitch);
    result = window.exec();
  }
  clw::gui::SaveSettings(store, settings);
  return result == QDialog::Rejected ? 0 : result;
}
