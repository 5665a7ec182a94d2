#include "avi/HgAVIFile.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

namespace clw {
namespace {

struct TNameCase {
  TFourCC Handler;
  const char* Name;
};

class CodecNameTable : public ::testing::TestWithParam<TNameCase> {};

// Nothing can be asked of installed decoders here, so the built-in table alone decides,
// and it matches only the spellings the codecs' own encoders write.
TEST_P(CodecNameTable, ExactHandlerMatch) {
  THgAVIFileReader reader((test::ScratchDir() / "none.avi").string());
  ASSERT_EQ(reader.OpenError, kNotFound);
  reader.VideoHeader.Handler = GetParam().Handler;
  EXPECT_EQ(GetCodecName(reader), GetParam().Name);
}

INSTANTIATE_TEST_SUITE_P(
    CodecNames, CodecNameTable,
    ::testing::Values(TNameCase{MakeFourCC("MPg4"), "Microsoft MPEG4 V1"},
                      TNameCase{MakeFourCC("DIV3"), "DivX V3 Low-Motion"},
                      TNameCase{MakeFourCC("div3"), "DivX V3 Low-Motion"},
                      TNameCase{MakeFourCC("DIV4"), "DivX V3 Fast-Motion"},
                      TNameCase{MakeFourCC("MP43"), "Microsoft MPEG4 V3"},
                      TNameCase{MakeFourCC("xvid"), "XviD"}, TNameCase{MakeFourCC("DIVX"), "DivX"},
                      TNameCase{MakeFourCC("3iv2"), "3ivx"},
                      // Other spellings and codecs outside the table show their FourCC.
                      TNameCase{MakeFourCC("MPG4"), ""}, TNameCase{MakeFourCC("mpg4"), ""},
                      TNameCase{MakeFourCC("mp43"), ""}, TNameCase{MakeFourCC("DX50"), ""},
                      TNameCase{MakeFourCC("Xvid"), ""}, TNameCase{MakeFourCC("FMP4"), ""},
                      // No "vids" stream header was read.
                      TNameCase{0, ""}));

} // namespace
} // namespace clw
