#include "streams/FourCC.h"

namespace clw {

std::string FourCCToString(TFourCC code) {
  std::string text(4, ' ');
  for (int i = 0; i < 4; ++i) {
    const auto c = char((code >> (8 * i)) & 0xFF);
    text[size_t(i)] = (c >= 0x20 && c < 0x7F) ? c : '.';
  }
  return text;
}

} // namespace clw
