#include "mp4/HgMp4Stream.h"
#include "mp4/Mp4BoxTypes.h"
#include "support/Mp4Builder.h"

#include <gtest/gtest.h>

#include <tuple>

namespace clw {
namespace {

using namespace test;

// One header read at the top of a file: what is accepted, with which size and header form,
// and whether the damage switched the stream to scanning.
struct THeaderCase {
  const char* Name;
  std::vector<TMp4Box> Boxes;
  bool Tolerant, Result;
  TFourCC Type;
  int64_t DataPosition;
  uint64_t Size;
  int64_t HeaderLength;
  uint32_t Depth;
  bool ScanMode;
};

// Reads the one header at the top of each case's file.
void ReadsTopLevelHeader(const THeaderCase& c) {
  SCOPED_TRACE(c.Name);
  TMp4InMemory file(BuildMp4(c.Boxes).Bytes);
  THgMp4Stream& s = file.Atoms;
  ASSERT_EQ(s.NextAtom(c.Tolerant), c.Result);
  EXPECT_EQ(std::tuple(s.Depth, s.ScanMode), std::tuple(c.Depth, c.ScanMode));
  if (!c.Result) return;
  EXPECT_EQ(s.AtomSize, c.Size);
  if (c.Depth == 0) return; // a size of 2..7: nothing entered, the caller sees the size
  EXPECT_EQ(std::tuple(FourCCToString(s.AtomType), s.AtomDataPosition, s.AtomHeaderLength,
                       s.Tags[0].Flags & TPosTag::kLargeHeader),
            std::tuple(FourCCToString(c.Type), c.DataPosition, c.HeaderLength,
                       c.HeaderLength == 16 ? 1 : 0));
}

// Name, boxes, tolerant; then result, type, data position, size, header length, depth, scan.
TEST(Mp4Header, AcceptsOrSearchesPastEachHeader) {
  // clang-format off
  const THeaderCase cases[] = {
      {"large_size", {Box("mdat", 20).AsLarge()}, false, true, kmdat, 16, 36, 16, 1, false},
      {"large_size_below_header",
       {Box("mdat", 20).AsLarge().WithSizeField(12), Box("free", 4)}, false,
       true, kfree, 44, 12, 8, 1, false},
      {"large_size_wraps", {Box("mdat", 20).AsLarge().WithSizeField(~0xFull)}, true,
       true, kmdat, 16, 36, 16, 1, true},
      {"size0_near_end", {Box("mdat", 1024).WithSizeField(0)}, false,
       true, kmdat, 8, 1032, 8, 1, false},
      // The rejected header is searched past; the next box inside its bytes is found.
      {"size0_far_from_end", {Box("mdat", 1025).WithSizeField(0), Box("free", 4)}, false,
       true, kfree, 1033 + 8, 12, 8, 1, false},
      {"size2", {Box("ftyp", 12).WithSizeField(2)}, false, true, 0, 0, 2, 8, 0, true},
      {"size7", {Box("ftyp", 12).WithSizeField(7)}, true, true, 0, 0, 7, 8, 0, true},
      {"size7_at_end", {RawBytes({0, 0, 0, 7})}, false, false, 0, 0, 0, 0, 0, true},
      {"past_end", {Box("free", 12).WithSizeField(33), Box("skip", 4)}, false,
       true, kskip, 28, 12, 8, 1, false},
      {"exactly_at_end", {Box("free", 12).WithSizeField(32), Box("skip", 4)}, false,
       true, kfree, 8, 32, 8, 1, false},
      {"past_end_tolerant", {Box("free", 12).WithSizeField(21)}, true,
       true, kfree, 8, 20, 8, 1, true},
      {"unlisted_tolerant", {Box("abcd", 40), Box("free", 4)}, true,
       true, kmdat, 8, 60, 8, 1, true},
      {"unlisted_strict", {Box("abcd", 40), Box("free", 4)}, false,
       true, kfree, 56, 12, 8, 1, false},
      // Not a top-level type; the search finds its first child instead.
      {"trak_at_top", {Container("trak", {Box("tkhd", 20)})}, false,
       true, ktkhd, 16, 28, 8, 1, false},
      {"truncated_header", {RawBytes({0, 0, 0, 16, 'm', 'o'})}, true, false, 0, 0, 0, 0, 0, false}};
  // clang-format on
  for (const THeaderCase& c : cases)
    ReadsTopLevelHeader(c);
}

// A size of 0 inside a box reaches to the end of that box, not of the file.
TEST(Mp4Walk, SizeZeroInsideReachesParentEnd) {
  TMp4InMemory file(
      BuildMp4({Container("moov", {Box("udta", 30).WithSizeField(0)}), Box("free", 4)}).Bytes);
  THgMp4Stream& s = file.Atoms;
  ASSERT_TRUE(s.NextAtom(false));
  ASSERT_TRUE(s.NextAtom(false));
  EXPECT_EQ(s.AtomSize, 38u);
  EXPECT_EQ(s.LeaveAtom(), 46);
  EXPECT_TRUE(s.AtEndOfAtom);
  EXPECT_EQ(s.LeaveAtom(), 46);
  ASSERT_TRUE(s.NextAtom(false));
  EXPECT_EQ(s.AtomType, kfree);
}

TBytes Header(uint32_t size, const TBytes& type) {
  return Join({BE32(size), type});
}
TBytes Filler(size_t n) {
  return TBytes(n, 0xEE);
}

// The byte scan: where it stops, and which look-alikes it passes over.
TEST(Mp4Resync, FindsNextPlausibleType) {
  const TBytes nam = {0xA9, 'n', 'a', 'm'};
  const TFourCC kNam = MakeA9FourCC("nam");
  // clang-format off
  const std::tuple<const char*, TBytes, int64_t, TFourCC> cases[] = {
      {"zeros_only", TBytes(64, 0), -1, 0},
      {"after_zeros", Join({TBytes(13, 0), Header(16, BytesOf("stsd"))}), 17, kstsd},
      {"plain_size_limit", Join({Filler(3), Header(0x20000, BytesOf("free"))}), 7, kfree},
      {"plain_size_limit_plus_one", Join({Filler(3), Header(0x20001, BytesOf("free")), Filler(2),
                                          Header(9, BytesOf("skip"))}), 17, kskip},
      {"bulk_any_size", Join({Filler(5), Header(0x7FFFFFFF, BytesOf("stsz"))}), 9, kstsz},
      {"container_any_size", Join({Filler(1), Header(0xFFFFFFFF, BytesOf("trak"))}), 5, ktrak},
      {"metadata_item", Join({Filler(2), Header(24, nam)}), 6, kNam},
      // 0xA9 inside the window is no type, but the slide must not skip the real item.
      {"metadata_lead_not_first",
       Join({Filler(2), Header(24, {'a', 0xA9, 'n', 'a'}), Filler(1), Header(24, nam)}), 15, kNam},
      // Windows in the first bytes have no size field before them.
      {"letters_at_file_start", Join({BytesOf("abcdefgh"), Header(8, BytesOf("ftyp"))}), 12, kftyp},
      {"run_of_letters", Join({Header(0x00FFFFFF, BytesOf("abcdefgh")), Filler(1),
                               Header(8, BytesOf("free"))}), 17, kfree}};
  // clang-format on
  for (const auto& [name, bytes, found, type] : cases) {
    TMp4InMemory file(bytes);
    EXPECT_EQ(file.Atoms.FindNextAtom(), found) << name;
    if (found < 0) continue;
    EXPECT_EQ(FourCCToString(file.Atoms.AtomType), FourCCToString(type)) << name;
  }
}

// Reads and skips inside a 10-byte box are cut at its end, and the rest of the buffer is
// zero: (skip, read, result, at the end).
TEST(Mp4Read, ClipsToBoxAndZeroFills) {
  const TBytes payload = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  for (const auto& [skip, count, result, atEnd] :
       {std::tuple(0, 9, 9, false), std::tuple(0, 10, 10, true), std::tuple(0, 16, 10, true),
        std::tuple(25, 4, -1, true)}) {
    TMp4InMemory file(BuildMp4({Box("ftyp", payload), Box("free", 20, 0x77)}).Bytes);
    THgMp4Stream& s = file.Atoms;
    ASSERT_TRUE(s.NextAtom(false));
    ASSERT_EQ(s.Skip(skip), std::min(skip, 10));
    TBytes buffer(size_t(count), 0xCC);
    EXPECT_EQ(s.Read(buffer.data(), count), result);
    EXPECT_EQ(s.AtEndOfAtom, atEnd);
    for (int i = 0; i < count; ++i)
      EXPECT_EQ(buffer[size_t(i)], i < result ? payload[size_t(skip + i)] : 0) << i;
  }
}

// A box known from an earlier walk is entered again; past the end of the file a read is
// zero, and a number needs all four of its bytes.
TEST(Mp4Read, SetRootReentersBox) {
  auto built =
      BuildMp4({Box("ftyp", 4), Box("stsz", Words({0, 5})).Named("t"), Box("mdat", 6, 0x11)});
  TMp4InMemory file(built.Bytes);
  THgMp4Stream& s = file.Atoms;
  s.SetRoot(kstsz, built.At["t"].Size, built.At["t"].Data);
  uint32_t value = 0;
  EXPECT_EQ(s.Skip(-1), -1);
  EXPECT_EQ(s.Skip(4), 4);
  EXPECT_EQ(s.ReadU32BE(value), 4);
  EXPECT_EQ(value, 5u);
  EXPECT_EQ(s.ReadU32BE(value), -1);
  EXPECT_EQ(s.LeaveAtom(), built.At["t"].Data + 8);

  s.SetRoot(kmdat, 400, int64_t(built.Bytes.size()) - 6);
  EXPECT_EQ(s.ReadU32BE(value), 4);
  EXPECT_EQ(value, 0x11111111u);
  EXPECT_EQ(s.ReadU32BE(value), 2);
  EXPECT_EQ(value, 0u);
  EXPECT_EQ(s.ReadU32BE(value), -1);
  // From 4 GiB on, the box had a 64-bit header.
  s.SetRoot(kmdat, uint64_t(1) << 32, 100);
  EXPECT_EQ(s.AtomHeaderLength, 16);
  EXPECT_EQ(s.Tags[0].End(), 100 + (int64_t(1) << 32) - 16);
}

} // namespace
} // namespace clw
