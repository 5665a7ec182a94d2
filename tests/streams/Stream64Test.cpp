#include "streams/Stream64.h"
#include "streams/StreamTestFiles.h"

#include <filesystem>
#include <limits>
#include <ostream>

namespace clw {
namespace {

using test::Bytes;
constexpr int64_t kGiB = int64_t(1) << 30;

class Stream64Test : public test::ScratchDirTest {};

// 5 GiB lies past both the signed and the unsigned 32-bit limit, where a narrowed offset
// wraps; the file is sparse, so it costs no disk.
TEST_F(Stream64Test, OffsetsBeyond4GiBSurviveEndToEnd) {
  const std::string name = Path("big.bin");
  {
    TFileStreamW out(name, fmCreate);
    out.SetSize(5 * kGiB);
    EXPECT_EQ(out.Position(), 5 * kGiB);
    out.SetPosition(5 * kGiB - 3);
    ASSERT_EQ(out.Write("xyz", 3), 3);
  }
  TFileStreamW in(name, fmShareDenyNone);
  in.SetPosition(4 * kGiB + 7);
  EXPECT_EQ(in.Size(), 5 * kGiB);
  EXPECT_EQ(in.Position(), 4 * kGiB + 7) << "Size must put the position back";
  in.SetPosition(5 * kGiB - 3);
  char got[16] = {};
  EXPECT_EQ(in.Read(got, sizeof got), 3);
  EXPECT_EQ(std::string(got, 3), "xyz");
  EXPECT_EQ(in.Read(got, sizeof got), 0);
}

TEST_F(Stream64Test, OneSystemReadPerReadAndNoSplitting) {
  TFileStreamW in(MakeFile("ten.bin", 10), fmShareDenyNone);
  uint8_t got[16];
  const uint64_t reads = THandleStream64::SystemReadCount;
  EXPECT_THROW(in.Read(got, int64_t(std::numeric_limits<int32_t>::max()) + 1), ERangeError);
  EXPECT_EQ(in.Read(got, -1), 0);
  EXPECT_EQ(in.Read(got, 16), 10);
  EXPECT_EQ(in.Read(got, 16), 0);
  EXPECT_EQ(THandleStream64::SystemReadCount - reads, 2u);
  EXPECT_EQ(Bytes(got, got + 10), Expected(0, 10));
}

TEST_F(Stream64Test, CreateTruncatesOpenForWritingDoesNot) {
  const std::string name = MakeFile("f.bin", 100);
  ASSERT_EQ(TFileStreamW(name, fmOpenWrite).Write("AB", 2), 2);
  EXPECT_EQ(Pread(name, 0, 200).size(), 100u);
  EXPECT_EQ(Pread(name, 0, 3), (Bytes{'A', 'B', test::PatternByte(2)}));
  EXPECT_EQ(TFileStreamW(name, fmCreate).Size(), 0);
  EXPECT_EQ(std::filesystem::file_size(name), 0u);
  EXPECT_THROW(TFileStreamW(Path("no-dir/out.avi"), fmCreate), EFCreateError);
}

// The input of a repair is opened for reading; nothing done through it may change it.
TEST_F(Stream64Test, StreamOpenedForReadingCannotModifyTheFile) {
  const std::string name = MakeFile("input.bin", 64);
  TFileStreamW in(name, fmShareDenyNone);
  EXPECT_EQ(in.Write("zz", 2), 0);
  in.SetSize(0);
  EXPECT_EQ(Pread(name, 0, 100), Expected(0, 64));
}

// Modes that must be refused: on a missing file no open may create it, on an existing one
// an unknown mode must not be guessed at.
struct Refusal {
  uint16_t Mode;
  bool FileExists;
  friend std::ostream& operator<<(std::ostream& os, const Refusal& r) {
    return os << "mode 0x" << std::hex << r.Mode << (r.FileExists ? " on existing" : " on missing");
  }
};
class Stream64OpenRefusal : public test::ScratchDirTest,
                            public ::testing::WithParamInterface<Refusal> {};

TEST_P(Stream64OpenRefusal, RaisesOpenErrorNamingTheFileAndLeavesItAlone) {
  const std::string name = GetParam().FileExists ? MakeFile("f.bin", 20) : Path("missing.bin");
  try {
    TFileStreamW s(name, GetParam().Mode);
    ADD_FAILURE() << "opened";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot open file " + name);
  }
  EXPECT_EQ(Pread(name, 0, 100), GetParam().FileExists ? Expected(0, 20) : Bytes{});
  EXPECT_EQ(std::filesystem::exists(name), GetParam().FileExists);
}

INSTANTIATE_TEST_SUITE_P(Modes, Stream64OpenRefusal,
                         ::testing::Values(Refusal{fmShareDenyNone, false},
                                           Refusal{fmOpenWrite, false},
                                           Refusal{fmOpenReadWrite | fmShareDenyWrite, false},
                                           Refusal{0x0003, true}, Refusal{0x0050, true},
                                           Refusal{0x0100, true}));

} // namespace
} // namespace clw
