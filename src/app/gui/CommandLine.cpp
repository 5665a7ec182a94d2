#include "app/gui/CommandLine.h"

#include <algorithm>

namespace clw::gui {

namespace {

bool IsLogSwitch(const std::string& Argument) {
  return Argument.size() == 2 && Argument[0] == '-' && (Argument[1] == 'l' || Argument[1] == 'L');
}

} // namespace

TCommandLine ParseCommandLine(const std::vector<std::string>& Arguments,
                              const std::string& CurrentDirectory) {
  TCommandLine line;
  const size_t count = std::min<size_t>(Arguments.size(), 2);
  for (size_t i = 0; i < count; ++i) {
    const std::string& argument = Arguments[i];
    if (IsLogSwitch(argument))
      line.LogSwitch = true;
    else if (!argument.empty() && line.FileName.empty())
      line.FileName = argument;
  }
  if (!line.FileName.empty() && line.FileName.find('/') == std::string::npos) {
    std::string directory = CurrentDirectory;
    if (directory.empty() || directory.back() != '/') directory += '/';
    line.FileName = directory + line.FileName;
  }
  return line;
}

} // namespace clw::gui
