#include "mp4/HgMp4Stream.h"
#include "mp4/Mp4BoxTypes.h"
#include "streams/Endian.h"
#include "support/MemoryStream.h"
#include "support/Mp4Builder.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>

namespace clw {
namespace {

using test::Box;
using test::BuildMp4;
using test::Container;
using test::RawBytes;
using test::TBytes;
using test::TMemoryStream;
using test::TMp4Box;

struct TOpened {
  explicit TOpened(TBytes bytes)
      : Memory(std::make_unique<TMemoryStream>(std::move(bytes))),
        Atoms(std::make_unique<THgMp4Stream>(Memory.get())) {}
  std::unique_ptr<TMemoryStream> Memory;
  std::unique_ptr<THgMp4Stream> Atoms;
};

TBytes Concat(std::vector<TBytes> parts) {
  TBytes out;
  for (const TBytes& p : parts)
    out.insert(out.end(), p.begin(), p.end());
  return out;
}

// One header read at the top of a file: what is accepted, with which size and header form,
// and whether the damage switched the stream to scanning.
struct THeaderCase {
  const char* Name;
  std::vector<TMp4Box> Boxes;
  bool Tolerant;
  bool Result;
  TFourCC Type;
  int64_t DataPosition;
  uint64_t Size;
  int64_t HeaderLength;
  uint32_t Depth;
  bool ScanMode;
};

class Mp4HeaderTest : public ::testing::TestWithParam<THeaderCase> {};

TEST_P(Mp4HeaderTest, ReadsTopLevelHeader) {
  const THeaderCase& c = GetParam();
  TOpened file(BuildMp4(c.Boxes).Bytes);
  THgMp4Stream& s = *file.Atoms;
  ASSERT_EQ(s.NextAtom(c.Tolerant), c.Result);
  EXPECT_EQ(s.Depth, c.Depth);
  EXPECT_EQ(s.ScanMode, c.ScanMode);
  if (!c.Result) return;
  EXPECT_EQ(s.AtomSize, c.Size);
  if (c.Depth == 0) return; // a size of 2..7: nothing entered, the caller sees the size
  EXPECT_EQ(FourCCToString(s.AtomType), FourCCToString(c.Type));
  EXPECT_EQ(s.AtomDataPosition, c.DataPosition);
  EXPECT_EQ(s.AtomHeaderLength, c.HeaderLength);
  EXPECT_EQ(s.Tags[0].Flags & TPosTag::kLargeHeader, c.HeaderLength == 16 ? 1 : 0);
}

const uint64_t kHuge = 0xFFFFFFFFFFFFFFF0ull;

INSTANTIATE_TEST_SUITE_P(
    Mp4Damage, Mp4HeaderTest,
    ::testing::Values(
        THeaderCase{
            "plain", {Box("ftyp", 12), Box("free", 4)}, false, true, kftyp, 8, 20, 8, 1, false},
        THeaderCase{
            "large_size", {Box("mdat", 20).AsLarge()}, false, true, kmdat, 16, 36, 16, 1, false},
        THeaderCase{"large_size_below_header",
                    {Box("mdat", 20).AsLarge().WithSizeField(12), Box("free", 4)},
                    false,
                    true,
                    kfree,
                    44,
                    12,
                    8,
                    1,
                    false},
        THeaderCase{"large_size_wraps",
                    {Box("mdat", 20).AsLarge().WithSizeField(kHuge)},
                    true,
                    true,
                    kmdat,
                    16,
                    36,
                    16,
                    1,
                    true},
        THeaderCase{"size0_near_end",
                    {Box("mdat", 1024).WithSizeField(0)},
                    false,
                    true,
                    kmdat,
                    8,
                    1032,
                    8,
                    1,
                    false},
        // The rejected header is searched past; the next box inside its bytes is found.
        THeaderCase{"size0_far_from_end",
                    {Box("mdat", 1025).WithSizeField(0), Box("free", 4)},
                    false,
                    true,
                    kfree,
                    1033 + 8,
                    12,
                    8,
                    1,
                    false},
        THeaderCase{"size0_far_from_end_tolerant",
                    {Box("mdat", 1025).WithSizeField(0)},
                    true,
                    true,
                    kmdat,
                    8,
                    1033,
                    8,
                    1,
                    true},
        THeaderCase{"size2", {Box("ftyp", 12).WithSizeField(2)}, false, true, 0, 0, 2, 8, 0, true},
        THeaderCase{"size7", {Box("ftyp", 12).WithSizeField(7)}, true, true, 0, 0, 7, 8, 0, true},
        THeaderCase{
            "size7_at_end_of_file", {RawBytes({0, 0, 0, 7})}, false, false, 0, 0, 0, 0, 0, true},
        THeaderCase{"past_end",
                    {Box("free", 12).WithSizeField(33), Box("skip", 4)},
                    false,
                    true,
                    kskip,
                    28,
                    12,
                    8,
                    1,
                    false},
        THeaderCase{"exactly_at_end",
                    {Box("free", 12).WithSizeField(32), Box("skip", 4)},
                    false,
                    true,
                    kfree,
                    8,
                    32,
                    8,
                    1,
                    false},
        THeaderCase{"past_end_tolerant",
                    {Box("free", 12).WithSizeField(21)},
                    true,
                    true,
                    kfree,
                    8,
                    20,
                    8,
                    1,
                    true},
        THeaderCase{"unlisted_tolerant",
                    {Box("abcd", 40), Box("free", 4)},
                    true,
                    true,
                    kmdat,
                    8,
                    60,
                    8,
                    1,
                    true},
        THeaderCase{"unlisted_strict",
                    {Box("abcd", 40), Box("free", 4)},
                    false,
                    true,
                    kfree,
                    56,
                    12,
                    8,
                    1,
                    false},
        // Not a top-level type; the search finds its first child instead.
        THeaderCase{"trak_at_top",
                    {Container("trak", {Box("tkhd", 20)})},
                    false,
                    true,
                    ktkhd,
                    16,
                    28,
                    8,
                    1,
                    false},
        THeaderCase{"truncated_header",
                    {RawBytes({0, 0, 0, 16, 'm', 'o'})},
                    true,
                    false,
                    0,
                    0,
                    0,
                    0,
                    0,
                    false}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(Mp4Walk, NestedBoxesAndParentBounds) {
  auto file = BuildMp4(
      {Box("ftyp", 8), Container("moov", {Box("mvhd", 100), Container("moov", {Box("trak", 4)}),
                                          Box("udta", 4).WithSizeField(13)})});
  TOpened opened(file.Bytes);
  THgMp4Stream& s = *opened.Atoms;
  ASSERT_TRUE(s.NextAtom(false));
  EXPECT_EQ(s.LeaveAtom(), 16);
  ASSERT_TRUE(s.NextAtom(false));
  EXPECT_TRUE(s.IsContainerAtom);
  ASSERT_TRUE(s.NextAtom(false));
  EXPECT_EQ(s.AtomType, kmvhd);
  EXPECT_EQ(s.LeaveAtom(), 16 + 8 + 108);
  ASSERT_TRUE(s.NextAtom(false)); // a "moov" inside a box is judged by its parent, not the top
  EXPECT_EQ(s.AtomType, kmoov);
  EXPECT_EQ(s.Depth, 2u);
  ASSERT_TRUE(s.NextAtom(false));
  EXPECT_EQ(s.AtomType, ktrak);
  EXPECT_EQ(s.LeaveAtom(), 16 + 8 + 108 + 8 + 12);
  EXPECT_TRUE(s.AtEndOfAtom); // the inner "moov" is done
  s.LeaveAtom();
  EXPECT_EQ(s.AtomType, kmoov);
  EXPECT_EQ(s.Depth, 1u);
  // "udta" claims one byte past its parent, which ends with the file: rejected, and the
  // search finds nothing after it.
  EXPECT_FALSE(s.NextAtom(false));
  EXPECT_FALSE(s.ScanMode);
}

TEST(Mp4Walk, SizeZeroInsideReachesParentEnd) {
  auto file = BuildMp4({Container("moov", {Box("udta", 30).WithSizeField(0)}), Box("free", 4)});
  TOpened opened(file.Bytes);
  THgMp4Stream& s = *opened.Atoms;
  ASSERT_TRUE(s.NextAtom(false));
  ASSERT_TRUE(s.NextAtom(false));
  EXPECT_EQ(s.AtomSize, 38u);
  EXPECT_EQ(s.LeaveAtom(), 46);
  EXPECT_TRUE(s.AtEndOfAtom);
  EXPECT_EQ(s.LeaveAtom(), 46);
  ASSERT_TRUE(s.NextAtom(false));
  EXPECT_EQ(s.AtomType, kfree);
}

// The byte scan: where it stops, and which look-alikes it passes over.
struct TScanCase {
  const char* Name;
  TBytes Bytes;
  int64_t Found;
  TFourCC Type;
};

class Mp4ScanTest : public ::testing::TestWithParam<TScanCase> {};

TEST_P(Mp4ScanTest, FindsNextPlausibleType) {
  const TScanCase& c = GetParam();
  TOpened file(c.Bytes);
  EXPECT_EQ(file.Atoms->FindNextAtom(), c.Found);
  if (c.Found >= 0) {
    EXPECT_EQ(FourCCToString(file.Atoms->AtomType), FourCCToString(c.Type));
  }
}

TBytes Header(uint32_t size, const TBytes& type) {
  TBytes out(4);
  WriteBE32(out.data(), size);
  out.insert(out.end(), type.begin(), type.end());
  return out;
}
TBytes Filler(size_t n) {
  return TBytes(n, 0xEE);
}
const TBytes kNam = {0xA9, 'n', 'a', 'm'};

INSTANTIATE_TEST_SUITE_P(
    Mp4Resync, Mp4ScanTest,
    ::testing::Values(
        TScanCase{"empty", {}, -1, 0}, TScanCase{"zeros_only", TBytes(64, 0), -1, 0},
        TScanCase{"after_zeros", Concat({TBytes(13, 0), Header(16, test::BytesOf("stsd"))}), 17,
                  kstsd},
        TScanCase{"plain_size_limit", Concat({Filler(3), Header(0x20000, test::BytesOf("free"))}),
                  7, kfree},
        TScanCase{"plain_size_limit_plus_one",
                  Concat({Filler(3), Header(0x20001, test::BytesOf("free")), Filler(2),
                          Header(9, test::BytesOf("skip"))}),
                  17, kskip},
        TScanCase{"bulk_any_size", Concat({Filler(5), Header(0x7FFFFFFF, test::BytesOf("stsz"))}),
                  9, kstsz},
        TScanCase{"container_any_size",
                  Concat({Filler(1), Header(0xFFFFFFFF, test::BytesOf("trak"))}), 5, ktrak},
        TScanCase{"metadata_item", Concat({Filler(2), Header(24, kNam)}), 6, MakeA9FourCC("nam")},
        // 0xA9 inside the window is no type, but the slide must not skip the real item.
        TScanCase{
            "metadata_lead_not_first",
            Concat({Filler(2), Header(24, {'a', 0xA9, 'n', 'a'}), Filler(1), Header(24, kNam)}), 15,
            MakeA9FourCC("nam")},
        // Windows in the first bytes have no size field before them.
        TScanCase{"letters_at_file_start",
                  Concat({test::BytesOf("abcdefgh"), Header(8, test::BytesOf("ftyp"))}), 12, kftyp},
        TScanCase{"run_of_letters",
                  Concat({Header(0x00FFFFFF, test::BytesOf("abcdefgh")), Filler(1),
                          Header(8, test::BytesOf("free"))}),
                  17, kfree}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(Mp4Scan, ScanModeFindsEveryLaterBoxAndEnds) {
  auto file = BuildMp4(
      {Box("ftyp", 8).WithSizeField(3), Container("moov", {Box("mvhd", 20), Box("tkhd", 20)})});
  TOpened opened(file.Bytes);
  THgMp4Stream& s = *opened.Atoms;
  ASSERT_TRUE(s.NextAtom(false));
  ASSERT_TRUE(s.ScanMode);
  std::vector<std::string> found;
  while (s.NextAtom(false)) {
    found.push_back(FourCCToString(s.AtomType));
    EXPECT_EQ(s.LeaveAtom(), -1);
  }
  EXPECT_EQ(found, (std::vector<std::string>{"ftyp", "moov", "mvhd", "tkhd"}));
}

// Random bytes with box-like fragments: every walk ends, and never reads outside the data.
TEST(Mp4Scan, WalksOverGarbageTerminate) {
  std::mt19937 random(7);
  for (int round = 0; round < 200; ++round) {
    TBytes bytes(size_t(random() % 600));
    for (auto& b : bytes)
      b = uint8_t(random() % 3 == 0 ? 'a' + random() % 26 : random() % 16);
    TOpened opened(bytes);
    THgMp4Stream& s = *opened.Atoms;
    const bool tolerant = round % 2 == 0;
    int steps = 0;
    while (steps < 4 * 600 && !s.AtEndOfFile) {
      ++steps;
      if (s.AtEndOfAtom && s.Depth > 0) {
        s.LeaveAtom();
        continue;
      }
      if (!s.NextAtom(tolerant)) break;
      uint8_t buffer[64];
      s.Read(buffer, sizeof buffer);
      if (!s.IsContainerAtom) s.LeaveAtom();
    }
    EXPECT_LT(steps, 4 * 600) << "round " << round;
  }
}

// Reads and skips inside a 10-byte box, from a given offset into its data.
struct TReadCase {
  const char* Name;
  int64_t Offset;
  int64_t Count;
  int64_t Result;
  bool AtEnd;
};

class Mp4ReadTest : public ::testing::TestWithParam<TReadCase> {};

TEST_P(Mp4ReadTest, ClipsToBoxAndZeroFills) {
  const TReadCase& c = GetParam();
  TBytes payload = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  TOpened opened(BuildMp4({Box("ftyp", payload), Box("free", 20, 0x77)}).Bytes);
  THgMp4Stream& s = *opened.Atoms;
  ASSERT_TRUE(s.NextAtom(false));
  ASSERT_EQ(s.Skip(c.Offset), std::min<int64_t>(c.Offset, 10));
  TBytes buffer(size_t(c.Count), 0xCC);
  EXPECT_EQ(s.Read(buffer.data(), c.Count), c.Result);
  EXPECT_EQ(s.AtEndOfAtom, c.AtEnd);
  for (int64_t i = 0; i < c.Count; ++i) {
    const int64_t at = c.Offset + i;
    EXPECT_EQ(buffer[size_t(i)], i < c.Result ? payload[size_t(at)] : 0) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Mp4Clipping, Mp4ReadTest,
                         ::testing::Values(TReadCase{"inside", 0, 9, 9, false},
                                           TReadCase{"to_end", 0, 10, 10, true},
                                           TReadCase{"ten_left_of_sixteen", 0, 16, 10, true},
                                           TReadCase{"one_left", 9, 4, 1, true},
                                           TReadCase{"skip_past_end_then_read", 25, 4, -1, true}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(Mp4Read, BoxLongerThanFileZeroFillsAndU32NeedsFourBytes) {
  TOpened opened(BuildMp4({Box("mdat", 6, 0x11)}).Bytes);
  THgMp4Stream& s = *opened.Atoms;
  s.SetRoot(kmdat, 400, 8);
  uint32_t value = 99;
  EXPECT_EQ(s.ReadU32BE(value), 4);
  EXPECT_EQ(value, 0x11111111u);
  EXPECT_EQ(s.ReadU32BE(value), 2);
  EXPECT_EQ(value, 0u);
  EXPECT_EQ(s.ReadU32BE(value), -1);
  EXPECT_EQ(s.Skip(-1), -1);
}

TEST(Mp4Read, SetRootReentersBox) {
  auto file = BuildMp4(
      {Box("ftyp", 4), Box("stsz", {0, 0, 0, 0, 0, 0, 0, 5}).Named("t"), Box("free", 4, 0x44)});
  TOpened opened(file.Bytes);
  THgMp4Stream& s = *opened.Atoms;
  s.SetRoot(kstsz, file.At["t"].Size, file.At["t"].Data);
  uint32_t value = 0;
  s.ReadU32BE(value);
  EXPECT_EQ(s.ReadU32BE(value), 4);
  EXPECT_EQ(value, 5u);
  EXPECT_EQ(s.ReadU32BE(value), -1);
  EXPECT_EQ(s.LeaveAtom(), file.At["t"].Data + 8);
  s.SetRoot(kmdat, uint64_t(1) << 32, 100);
  EXPECT_EQ(s.AtomHeaderLength, 16);
  EXPECT_EQ(s.Tags[0].End(), 100 + (int64_t(1) << 32) - 16);
}

TEST(Mp4Write, PatchedSizesReadBack) {
  TMemoryStream memory;
  THgMp4Stream w(&memory);
  EXPECT_EQ(w.WriteData("x", 1), -1); // no box open
  EXPECT_EQ(w.EndAtom(false), -1);
  EXPECT_EQ(w.WriteAtom(kftyp, "isom", 4), 12);
  EXPECT_EQ(w.BeginAtom(kmoov, false), 20);
  EXPECT_EQ(w.WriteAtom(kmvhd, "0123456789", 10), 18);
  EXPECT_EQ(w.BeginAtom(kmdat, true), 54);
  EXPECT_EQ(w.WriteData("abcdef", 6), 6);
  EXPECT_EQ(w.EndAtom(true), 60);
  EXPECT_TRUE(w.WriteMode);
  EXPECT_EQ(w.EndAtom(false), 60);
  EXPECT_FALSE(w.WriteMode);
  EXPECT_EQ(w.WriteAtom(kfree, nullptr, 0), 8);

  const TBytes& d = memory.Data;
  ASSERT_EQ(d.size(), 68u);
  EXPECT_EQ(ReadBE32(&d[12]), 48u); // "moov"
  EXPECT_EQ(ReadBE32(&d[38]), 1u);  // "mdat" keeps the 64-bit marker
  EXPECT_EQ(ReadBE64(&d[46]), 22u); // and carries its size after the type
  EXPECT_EQ(ReadLE32(&d[64]), kfree);

  memory.Pos = 0;
  THgMp4Stream r(&memory);
  std::vector<std::pair<std::string, uint64_t>> seen;
  int guard = 0;
  while (!r.AtEndOfFile && ++guard < 20) {
    if (r.AtEndOfAtom && r.Depth > 0) {
      r.LeaveAtom();
      continue;
    }
    if (!r.NextAtom(false)) break;
    seen.emplace_back(FourCCToString(r.AtomType), r.AtomSize);
    if (!r.IsContainerAtom) r.LeaveAtom();
  }
  EXPECT_FALSE(r.ScanMode);
  EXPECT_EQ(seen, (std::vector<std::pair<std::string, uint64_t>>{
                      {"ftyp", 12}, {"moov", 48}, {"mvhd", 18}, {"mdat", 22}, {"free", 8}}));
}

TEST(Mp4Write, FailedWritesReportNegative) {
  TMemoryStream memory;
  memory.WriteLimit = 10;
  THgMp4Stream w(&memory);
  EXPECT_EQ(w.WriteAtom(kftyp, "0123456789", 10), -1);
  EXPECT_EQ(w.BeginAtom(kmoov, true), -1);
  EXPECT_FALSE(w.WriteMode);
}

} // namespace
} // namespace clw
