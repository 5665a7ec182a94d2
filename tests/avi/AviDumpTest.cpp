#include "avi/HgAVIFile.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace clw {
namespace {

namespace fs = std::filesystem;

class AviDump : public ::testing::Test {
protected:
  void SetUp() override {
    Dir = test::ScratchDir();
    test::WriteFile(Dir / "in.avi", "RIFF" + std::string(1230, '\0'));
    Reader = std::make_unique<THgAVIFileReader>((Dir / "in.avi").string());
    ASSERT_EQ(Reader->OpenError, kOpened);
    Reader->VideoHeader.Handler = MakeFourCC("XVID");
  }

  std::string Dump() {
    const fs::path out = Dir / "in (copy).log";
    EXPECT_EQ(Reader->WriteDump(out.string()), 0);
    return test::ReadFile(out);
  }

  fs::path Dir;
  std::unique_ptr<THgAVIFileReader> Reader;
};

TEST_F(AviDump, EmptyTreeGivesTheSummaryOnly) {
  EXPECT_EQ(Dump(), "Chunk count: 0\r\nFileSize: 1234\r\nVideo codec: XVID\r\n");
}

// Two segments; a two-level climb out of "strl"; marks for damaged, excluded and both;
// list types with a space in quotes.
TEST_F(AviDump, TreeLinesGolden) {
  THgAVIFileReader& r = *Reader;
  const int32_t riff = r.AddNode(-1, kRIFF, kAVI, 12, 1000);
  const int32_t hdrl = r.AddNode(riff, kLIST, khdrl, 24, 200);
  r.AddNode(hdrl, kavih, 0, 32, 56);
  const int32_t strl = r.AddNode(hdrl, kLIST, kstrl, 100, 116);
  r.AddNode(strl, kstrh, 0, 108, 56);
  r.SetFlags(r.AddNode(riff, kJUNK, 0, 232, 3), cfDamaged);
  const int32_t movi = r.AddNode(riff, kLIST, kmovi, 256, 500);
  r.SetFlags(r.AddNode(movi, MakeFourCC("00dc"), 0, 264, 5), cfKeyFrame);
  r.SetFlags(r.AddNode(movi, MakeFourCC("01wb"), 0, 278, 4), cfExcluded | cfKeyFrame);
  r.SetFlags(r.AddNode(movi, MakeFourCC("00dc"), 0, 290, 6), cfDamaged | cfExcluded);
  r.AddNode(riff, kidx1, 0, 812, 48);
  const int32_t avix = r.AddNode(-1, kRIFF, kAVIX, 1012, 3000000000LL);
  const int32_t movi2 = r.AddNode(avix, kLIST, kmovi, 1024, 100);
  r.AddNode(movi2, MakeFourCC("ix00"), 0, 1032, 32);

  test::WriteFile(Dir / "in (copy).log", std::string(5000, 'x')); // an older, longer dump
  EXPECT_EQ(Dump(), "Chunk count: 14\r\n"
                    "FileSize: 1234\r\n"
                    "Video codec: XVID\r\n"
                    "RIFF, \"AVI \" - 12, 1000\r\n"
                    " LIST, hdrl - 24, 200\r\n"
                    "  avih - 32, 56\r\n"
                    "  LIST, strl - 100, 116\r\n"
                    "   strh - 108, 56\r\n"
                    "* JUNK - 232, 3\r\n"
                    " LIST, movi - 256, 500\r\n"
                    "  00dc - 264, 5\r\n"
                    "s  01wb - 278, 4\r\n"
                    "s  00dc - 290, 6\r\n"
                    " idx1 - 812, 48\r\n"
                    "RIFF, AVIX - 1012, 3000000000\r\n"
                    " LIST, movi - 1024, 100\r\n"
                    "  ix00 - 1032, 32\r\n");
}

// A film has a line per frame; the text goes out in blocks and none may be lost.
TEST_F(AviDump, LongDumpIsComplete) {
  const int32_t riff = Reader->AddNode(-1, kRIFF, kAVI, 12, 0);
  const int32_t movi = Reader->AddNode(riff, kLIST, kmovi, 24, 0);
  constexpr int kFrames = 20000;
  for (int i = 0; i < kFrames; ++i)
    Reader->AddNode(movi, MakeFourCC("00dc"), 0, 32 + 8 * i, i);
  const std::string text = Dump();
  size_t lines = 0;
  for (char c : text)
    lines += c == '\n';
  EXPECT_EQ(lines, size_t(3 + 2 + kFrames));
  const std::string last = "  00dc - " + std::to_string(32 + 8 * (kFrames - 1)) + ", " +
                           std::to_string(kFrames - 1) + "\r\n";
  ASSERT_GE(text.size(), last.size());
  EXPECT_EQ(text.substr(text.size() - last.size()), last);
}

TEST_F(AviDump, UncreatableFileIsReportedNotRaised) {
  const std::string name = (Dir / "missing" / "x.log").string();
  EXPECT_EQ(Reader->WriteDump(name), -1);
  EXPECT_NO_THROW(Reader->DumpInfo(name));
  EXPECT_FALSE(fs::exists(name));
}

} // namespace
} // namespace clw
