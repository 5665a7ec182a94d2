#include "app/DisplayText.h"

#include <gtest/gtest.h>

namespace clw {
namespace {

struct TRateCase {
  uint32_t Rate, Scale;
  const char* Text;
};

class FrameRateTest : public ::testing::TestWithParam<TRateCase> {};

TEST_P(FrameRateTest, Formats) {
  EXPECT_EQ(FormatFrameRate(GetParam().Rate, GetParam().Scale, "fps"), GetParam().Text);
}

INSTANTIATE_TEST_SUITE_P(Rates, FrameRateTest,
                         ::testing::Values(TRateCase{30000, 1001, "29.97 fps"},
                                           TRateCase{24000, 1001, "23.97 fps"},
                                           TRateCase{25, 1, "25 fps"},
                                           TRateCase{2505, 100, "25.05 fps"},
                                           TRateCase{1010, 1000, "1.01 fps"},
                                           TRateCase{299999, 10000, "30 fps"},
                                           TRateCase{1, 3, "0.33 fps"}));

// One width unit per byte, so widths are easy to reason about.
int32_t Bytes(const std::string& Text) { return int32_t(Text.size()); }

TEST(ShortenPathTest, PathExactlyAsWideAsTheBudgetIsShownWhole) {
  const std::string path(125, 'a'); // 100 * 1.25
  EXPECT_EQ(ShortenPathForDisplay(path, 100, 1, Bytes), path);
}

TEST(ShortenPathTest, OneUnitOverKeepsHeadEllipsisAndTheLongestTailThatFits) {
  std::string path = "/ab";
  for (int i = 0; path.size() < 126; ++i) path += char('a' + i % 26);
  const std::string shown = ShortenPathForDisplay(path, 100, 1, Bytes);
  EXPECT_EQ(shown.substr(0, 6), "/ab\xE2\x80\xA6");
  const std::string tail = shown.substr(6);
  EXPECT_EQ(path.substr(path.size() - tail.size()), tail);
  // Budget 125, head plus ellipsis 6: the tail must stay below 119 units.
  EXPECT_LT(int(tail.size()), 119);
  EXPECT_GE(int(tail.size()), 118);
}

TEST(ShortenPathTest, BatchPrefixCountsAgainstTheBudget) {
  const std::string path = "/clips/holiday.avi";
  EXPECT_EQ(ShortenPathForDisplay(path, 100, 3, Bytes), "[3] /clips/holiday.avi, \xE2\x80\xA6");
  const std::string longPath = "/clips/" + std::string(120, 'x') + ".avi";
  const std::string shown = ShortenPathForDisplay(longPath, 100, 3, Bytes);
  EXPECT_EQ(shown.substr(0, 4), "[3] ");
  EXPECT_LE(int(shown.size()), 125 + 3); // fits, counting the ellipses as one unit each
}

TEST(ShortenPathTest, NeverCutsInsideACharacter) {
  std::string path = "/кл/";
  for (int i = 0; i < 80; ++i) path += "ё";
  const std::string shown = ShortenPathForDisplay(path, 40, 1, Bytes);
  EXPECT_EQ(shown.substr(0, 5), "/кл");
  for (size_t i = 5 + 3; i < shown.size(); i += 2) EXPECT_EQ(shown.substr(i, 2), "ё");
}

} // namespace
} // namespace clw
