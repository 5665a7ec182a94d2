#include "app/DisplayText.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace clw {

std::string FormatFrameRate(uint32_t Rate, uint32_t Scale, const std::string& FpsUnit) {
  if (Scale == 0) return "0 " + FpsUnit;
  // The rate is kept in single precision, as the format line always showed it:
  // 2505/100 is 25.049999..., whose thousandths round back up to 25.05.
  const float fps = float(double(Rate) / double(Scale));
  uint64_t whole = uint64_t(fps);
  // Thousandths rounded half to even, then truncated to hundredths.
  uint64_t hundredths = uint64_t(std::nearbyint((double(fps) - double(whole)) * 1000.0)) / 10;
  if (hundredths >= 100) { // 29.9996 is 30, not "29.100"
    ++whole;
    hundredths = 0;
  }
  std::string text = std::to_string(whole);
  if (hundredths >= 10)
    text += "." + std::to_string(hundredths);
  else if (hundredths > 0)
    text += ".0" + std::to_string(hundredths);
  return text + " " + FpsUnit;
}

namespace {

// Byte offsets of the characters of a UTF-8 text, plus its length at the end, so that
// heads and tails are never cut inside a character.
std::vector<size_t> CharacterStarts(const std::string& Text) {
  std::vector<size_t> starts;
  for (size_t i = 0; i < Text.size(); ++i)
    if ((uint8_t(Text[i]) & 0xC0) != 0x80) starts.push_back(i);
  starts.push_back(Text.size());
  return starts;
}

const char* const kEllipsis = "\xE2\x80\xA6";

} // namespace

std::string ShortenPathForDisplay(const std::string& Path, int32_t Width, uint32_t Count,
                                  const TTextWidth& TextWidth) {
  const std::string countText = "[" + std::to_string(Count) + "] ";
  const int64_t prefixWidth = Count > 1 ? TextWidth(countText + ", " + kEllipsis) : 0;
  auto decorate = [&](const std::string& Text) {
    return Count > 1 ? countText + Text + ", " + kEllipsis : Text;
  };
  int64_t limit = int64_t(double(Width) * 1.25);
  if (TextWidth(Path) + prefixWidth <= limit) return decorate(Path);

  const std::vector<size_t> starts = CharacterStarts(Path);
  const int64_t length = int64_t(starts.size()) - 1;
  const std::string head = Path.substr(0, starts[size_t(std::min<int64_t>(3, length))]);
  // Tail number t starts after character t + 2 (0-based), i.e. at the (t + 3)th character.
  auto tail = [&](int64_t t) {
    const int64_t first = std::min(std::max<int64_t>(t + 2, 0), length);
    return Path.substr(starts[size_t(first)]);
  };
  limit -= TextWidth(head + kEllipsis);
  int64_t lo = 1, hi = std::max<int64_t>(length - 3, 1);
  while (hi - lo > 1) {
    const int64_t mid = (lo + hi) / 2;
    if (TextWidth(tail(mid)) + prefixWidth < limit)
      hi = mid;
    else
      lo = mid;
  }
  // hi is the longest tail that fits; lo is one character longer and does not.
  return decorate(head + kEllipsis + tail(hi));
}

} // namespace clw
