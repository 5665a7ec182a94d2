#pragma once
// Four-character codes (RIFF ids, list types, box types, codec tags) are held with the
// first character in the lowest byte, so "RIFF" equals the little-endian word of R,I,F,F.
#include <cstdint>
#include <string>

namespace clw {

using TFourCC = uint32_t;

constexpr TFourCC MakeFourCC(char a, char b, char c, char d) {
  return uint32_t(uint8_t(a)) | (uint32_t(uint8_t(b)) << 8) | (uint32_t(uint8_t(c)) << 16) |
         (uint32_t(uint8_t(d)) << 24);
}

constexpr TFourCC MakeFourCC(const char (&s)[5]) { return MakeFourCC(s[0], s[1], s[2], s[3]); }

// The four characters as text; bytes outside printable ASCII are shown as '.'.
std::string FourCCToString(TFourCC code);

} // namespace clw
