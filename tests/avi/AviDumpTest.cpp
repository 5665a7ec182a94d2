#include "avi/HgAVIFile.h"

#include "support/MemoryStream.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

namespace clw {
namespace {

class AviDump : public ::testing::Test {
protected:
  AviDump() { Reader.VideoHeader.Handler = MakeFourCC("XVID"); }
  std::string Dump() {
    EXPECT_EQ(Reader.WriteDump((Dir / "in.log").string()), 0);
    return test::ReadFile(Dir / "in.log");
  }
  const std::filesystem::path Dir = test::ScratchDir();
  test::TMemoryStream File{std::vector<uint8_t>(1234)};
  THGRIFFStream Riff{File};
  THgAVIFileReader Reader{Riff};
};

// Two segments; climbs of two levels out of "strl" and out of "movi"; the marks for a
// damaged and for an excluded chunk (which wins); "AVI " quoted to keep its space. An older,
// longer dump under the same name must not show through.
TEST_F(AviDump, TreeLinesGolden) {
  const int32_t riff = Reader.AddNode(-1, kRIFF, kAVI, 12, 1000);
  const int32_t strl =
      Reader.AddNode(Reader.AddNode(riff, kLIST, khdrl, 24, 200), kLIST, kstrl, 36, 116);
  Reader.AddNode(strl, kstrh, 0, 44, 56);
  Reader.SetFlags(Reader.AddNode(riff, kJUNK, 0, 232, 3), cfDamaged);
  const int32_t movi = Reader.AddNode(riff, kLIST, kmovi, 256, 500);
  Reader.SetFlags(Reader.AddNode(movi, MakeFourCC("01wb"), 0, 264, 4), cfKeyFrame);
  Reader.SetFlags(Reader.AddNode(movi, MakeFourCC("00dc"), 0, 276, 6), cfDamaged | cfExcluded);
  Reader.AddNode(-1, kRIFF, kAVIX, 1012, 3000000000LL);
  test::WriteFile(Dir / "in.log", std::string(5000, 'x'));
  EXPECT_EQ(Dump(), "Chunk count: 9\r\nFileSize: 1234\r\nVideo codec: XVID\r\n"
                    "RIFF, \"AVI \" - 12, 1000\r\n"
                    " LIST, hdrl - 24, 200\r\n"
                    "  LIST, strl - 36, 116\r\n"
                    "   strh - 44, 56\r\n"
                    "* JUNK - 232, 3\r\n"
                    " LIST, movi - 256, 500\r\n"
                    "  01wb - 264, 4\r\n"
                    "s  00dc - 276, 6\r\n"
                    "RIFF, AVIX - 1012, 3000000000\r\n");
  EXPECT_EQ(Reader.WriteDump((Dir / "missing" / "x.log").string()), -1); // reported, not raised
}

// A film has a line per frame; the text goes out in blocks and none may be lost.
TEST_F(AviDump, LongDumpIsComplete) {
  const int32_t movi = Reader.AddNode(Reader.AddNode(-1, kRIFF, kAVI, 12, 0), kLIST, kmovi, 24, 0);
  for (int i = 0; i < 20000; ++i)
    Reader.AddNode(movi, MakeFourCC("00dc"), 0, 32 + 8 * i, i);
  const std::string text = Dump();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3 + 2 + 20000);
}

} // namespace
} // namespace clw
