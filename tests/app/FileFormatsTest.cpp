#include "app/FileFormats.h"
#include "app/PathNames.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace clw::test {
namespace {

struct TKindCase {
  const char* Name;
  std::string Bytes;
  int32_t Kind;
};

class DetectFileKindTest : public ::testing::TestWithParam<TKindCase> {};

TEST_P(DetectFileKindTest, Classifies) {
  const auto path = ScratchDir() / "input";
  WriteFile(path, GetParam().Bytes);
  EXPECT_EQ(DetectFileKind(path.string()), GetParam().Kind);
}

INSTANTIATE_TEST_SUITE_P(
    Signatures, DetectFileKindTest,
    ::testing::Values(
        TKindCase{"avi", std::string("RIFF\x04\0\0\0AVI ", 12), kindAvi},
        TKindCase{"mp4_ftyp", std::string("\0\0\0\x0c" "ftypisom", 12), kindMp4},
        TKindCase{"mov_mdat_first", std::string("\0\0\0\x08" "mdat\0\0\0\0", 12), kindMp4},
        TKindCase{"mov_wide", std::string("\0\0\0\x08" "wide\0\0\0\0", 12), kindMp4},
        // The box test comes first: a RIFF file whose size bytes spell a box type.
        TKindCase{"riff_with_box_type_size", "RIFFfreeAVI ", kindMp4},
        TKindCase{"eleven_bytes", "RIFF\x04\0\0\0AVI", kindUnknown},
        TKindCase{"empty", "", kindUnknown},
        TKindCase{"riff_lowercase", std::string("riff\x04\0\0\0AVI ", 12), kindUnknown},
        TKindCase{"text", "hello, this is not a video", kindUnknown}),
    [](const auto& Info) { return std::string(Info.param.Name); });

TEST(DetectFileKindFailures, MissingFolderAndUnreadable) {
  const auto dir = ScratchDir();
  EXPECT_EQ(DetectFileKind((dir / "missing.avi").string()), kindNotFound);
  EXPECT_EQ(DetectFileKind(dir.string()), kindCannotOpen);
  const auto locked = dir / "locked.avi";
  WriteFile(locked, std::string("RIFF\x04\0\0\0AVI ", 12));
  ::chmod(locked.c_str(), 0);
  // root reads through permissions; only an unprivileged run can see the open fail.
  EXPECT_EQ(DetectFileKind(locked.string()), ::geteuid() == 0 ? kindAvi : kindCannotOpen);
}

TEST(OutputNamesTest, CopyAndLogNamesFollowTheInput) {
  auto names = MakeOutputNames("/clips/holiday.avi", "/out/");
  EXPECT_EQ(names.OutputFileName, "/out/holiday (copy).avi");
  EXPECT_EQ(names.LogFileName, "holiday.log");
  names = MakeOutputNames("/clips/holiday", "/out/");
  EXPECT_EQ(names.OutputFileName, "/out/holiday (copy)");
  EXPECT_EQ(names.LogFileName, "holiday.log");
  // A dot in a folder name is no extension.
  names = MakeOutputNames("/a.b/c", "");
  EXPECT_EQ(names.OutputFileName, "c (copy)");
  names = MakeOutputNames("/x/archive.tar.mov", "/o/");
  EXPECT_EQ(names.OutputFileName, "/o/archive.tar (copy).mov");
  EXPECT_EQ(DirectoryPart("/a.b/c"), "/a.b/");
  EXPECT_EQ(DirectoryPart("c"), "");
}

TEST(IsSameFileTest, SpellingsAndLinksOfOneFile) {
  const auto dir = ScratchDir();
  WriteFile(dir / "a.avi", "x");
  WriteFile(dir / "b.avi", "x");
  std::filesystem::create_symlink(dir / "a.avi", dir / "sym.avi");
  std::filesystem::create_hard_link(dir / "a.avi", dir / "hard.avi");
  const std::string a = (dir / "a.avi").string();
  EXPECT_TRUE(IsSameFile(a, (dir / "." / "a.avi").string()));
  EXPECT_TRUE(IsSameFile(a, (dir / "sym.avi").string()));
  EXPECT_TRUE(IsSameFile(a, (dir / "hard.avi").string()));
  EXPECT_FALSE(IsSameFile(a, (dir / "b.avi").string()));
  EXPECT_FALSE(IsSameFile(a, (dir / "new.avi").string()));
  EXPECT_TRUE(IsSameFile((dir / "new.avi").string(), (dir / "x" / ".." / "new.avi").string()));
}

} // namespace
} // namespace clw::test
