#pragma once
// The main window's three layouts (English, Russian, German) in dialog units, with the
// texts that belong to the layout itself rather than to the message catalogue. A dialog
// unit is a quarter of the dialog font's average character width horizontally and an
// eighth of its height vertically, so a layout grows with the font it is shown in.
#include <cstdint>
#include <vector>

namespace clw::gui {

// Controls that only the layout knows: the frame around everything and the one-line
// description of what the program does.
constexpr int32_t kGroupBoxId = -1;
constexpr int32_t kDescriptionId = -2;

enum class TControlClass { GroupBox, Label, RightLabel, Button, ProgressBar };

struct TControlLayout {
  int32_t Id;
  TControlClass Class;
  const char* Text; // UTF-8; "" for controls whose text the job or the caption sets
  int32_t X, Y, Width, Height;
  bool WordWrap = false;
};

struct TDialogLayout {
  int32_t Width, Height;
  std::vector<TControlLayout> Controls;
};

// The layout of a language (0 English, 1 Russian, 2 German); anything else is English.
const TDialogLayout& MainLayout(uint32_t Language);

} // namespace clw::gui
