#include "streams/Stream64.h"
#include "streams/StreamTestFiles.h"

#include <gmock/gmock.h>

#include <filesystem>
#include <iterator>

namespace clw::test {
namespace {

constexpr int64_t kGiB = int64_t(1) << 30;

// 5 GiB lies past both the signed and the unsigned 32-bit limit, where a narrowed offset
// wraps; the file is sparse, so it costs no disk.
TEST(Stream64, OffsetsBeyond4GiBSurviveEndToEnd) {
  const int64_t end = 5 * kGiB;
  TFileStreamW in(MakeFile(end, end - 3), fmShareDenyNone);
  in.SetPosition(4 * kGiB + 7);
  EXPECT_EQ(in.Size(), end);
  EXPECT_EQ(in.Position(), 4 * kGiB + 7) << "Size must put the position back";
  in.SetPosition(end - 3);
  uint8_t got[16];
  ASSERT_EQ(in.Read(got, sizeof got), 3);
  EXPECT_EQ(Bytes(got, got + 3), Pattern(end - 3, 3));
  EXPECT_EQ(in.Read(got, sizeof got), 0);
  EXPECT_THROW(in.Read(got, int64_t(INT32_MAX) + 1), ERangeError) << "never split silently";
  std::filesystem::remove(in.FileName()); // large on paper
}

// Only fmCreate cuts or creates a file, and the input of a repair, opened for reading,
// cannot be changed through its stream. Unknown access or sharing modes are refused
// rather than guessed at (the first three modes are refused on a missing file).
TEST(Stream64, OpenModes) {
  const std::string name = MakeFile(100), missing = name + ".missing";
  TFileStreamW(name, fmShareDenyNone).SetSize(0);
  EXPECT_EQ(TFileStreamW(name, fmShareDenyNone).Write("zz", 2), 0);
  EXPECT_EQ(TFileStreamW(name, fmOpenWrite).Write("AB", 2), 2);
  const uint16_t modes[] = {fmShareDenyNone, fmOpenWrite, fmOpenReadWrite | fmShareDenyWrite,
                            0x0003,          0x0050,      0x0100};
  for (size_t i = 0; i < std::size(modes); ++i) {
    const std::string& file = i < 3 ? missing : name;
    EXPECT_THAT([&] { TFileStreamW(file, modes[i]); },
                ::testing::ThrowsMessage<EFOpenError>("Cannot open file " + file))
        << modes[i];
  }
  EXPECT_FALSE(std::filesystem::exists(missing));
  EXPECT_EQ(Pread(name, 0, 2), (Bytes{'A', 'B'}));
  EXPECT_EQ(Pread(name, 2, 200), Pattern(2, 98));
  EXPECT_EQ(TFileStreamW(name, fmCreate).Size(), 0);
  EXPECT_THROW(TFileStreamW(name + "/out.avi", fmCreate), EFCreateError);
}

} // namespace
} // namespace clw::test
