#pragma once
// What the window remembers between runs: the folders of the last input and output files
// and the interface language. Read once before the window opens, saved once after it
// closes; a store that cannot be read or written gives the defaults and saves nothing.
#include <QSettings>

#include <cstdint>
#include <string>

namespace clw::gui {

struct TAppSettings {
  std::string InputDirectory;
  std::string OutputDirectory;
  uint32_t Language = 0; // 0 English, 1 Russian, 2 German
};

// A directory longer than this is not a folder the program wrote; it reads as empty.
constexpr int kMaxDirectoryLength = 255;

TAppSettings ReadSettings(QSettings& Store);
void SaveSettings(QSettings& Store, const TAppSettings& Settings);

} // namespace clw::gui
