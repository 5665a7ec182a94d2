#pragma once
// Texts of the format line and the path lines.
#include <cstdint>
#include <functional>
#include <string>

namespace clw {

// "29.97", "25.05", "25": the rate to two truncated decimals, without trailing zeros of
// a whole number. FpsUnit follows after a space.
std::string FormatFrameRate(uint32_t Rate, uint32_t Scale, const std::string& FpsUnit);

using TTextWidth = std::function<int32_t(const std::string&)>;

// Fits a path into a path line of Width units: the path itself when it fits, else its
// first three characters, an ellipsis and as long a tail as fits. With Count > 1 the line
// reads "[Count] path, ...".
std::string ShortenPathForDisplay(const std::string& Path, int32_t Width, uint32_t Count,
                                  const TTextWidth& TextWidth);

} // namespace clw
