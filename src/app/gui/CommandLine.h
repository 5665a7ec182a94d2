#pragma once
// The window program's command line: a file to open at start-up and "-l", which writes
// the structure dumps beside each checked file's output. Only the first two arguments
// count, in either order.
#include <string>
#include <vector>

namespace clw::gui {

struct TCommandLine {
  std::string FileName; // "" when none was given
  bool LogSwitch = false;
};

// Arguments without the program's own name; a file name without "/" is taken from
// CurrentDirectory.
TCommandLine ParseCommandLine(const std::vector<std::string>& Arguments,
                              const std::string& CurrentDirectory);

} // namespace clw::gui
