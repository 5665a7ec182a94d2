#include "avi/AviFormat.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

namespace clw {
namespace {

using TBytes = std::vector<uint8_t>;

// Bytes written out by hand, so that a field at the wrong offset shows up here rather
// than as a symmetric Parse/Serialize pair that agrees with itself.
TBytes Hex(std::initializer_list<int> values) {
  TBytes bytes;
  for (int v : values)
    bytes.push_back(uint8_t(v));
  return bytes;
}
TBytes Text(std::string_view s) {
  return TBytes(s.begin(), s.end());
}
TBytes Join(std::initializer_list<TBytes> parts) {
  TBytes all;
  for (const TBytes& p : parts)
    all.insert(all.end(), p.begin(), p.end());
  return all;
}

TEST(AviFormatLayout, MainHeaderFieldsInFileOrder) {
  TBytes bytes(56);
  for (uint32_t i = 0; i < 14; ++i)
    WriteLE32(bytes.data() + 4 * i, i + 1);
  const TAviMainHeader h = TAviMainHeader::Parse(bytes.data());
  EXPECT_EQ(h.MicroSecPerFrame, 1u);
  EXPECT_EQ(h.Flags, 4u);
  EXPECT_EQ(h.TotalFrames, 5u);
  EXPECT_EQ(h.Streams, 7u);
  EXPECT_EQ(h.Width, 9u);
  EXPECT_EQ(h.Height, 10u);
  EXPECT_EQ(h.Reserved[3], 14u);
  TBytes back(56);
  h.Serialize(back.data());
  EXPECT_EQ(back, bytes);
}

TEST(AviFormatLayout, StreamHeaderFieldsInFileOrder) {
  TBytes bytes = Join({Text("vidsXVID"), Hex({4, 3, 2, 1, 6, 5, 8, 7})});
  for (uint32_t v : {9u, 1001u, 30000u, 11u, 12u, 13u, 14u, 15u}) {
    bytes.resize(bytes.size() + 4);
    WriteLE32(bytes.data() + bytes.size() - 4, v);
  }
  for (int i = 0; i < 16; ++i)
    bytes.push_back(uint8_t(0x30 + i));
  ASSERT_EQ(bytes.size(), 64u);

  const TAviStreamHeader h = TAviStreamHeader::Parse(bytes.data());
  EXPECT_EQ(h.Type, MakeFourCC("vids"));
  EXPECT_EQ(h.Handler, MakeFourCC("XVID"));
  EXPECT_EQ(h.Flags, 0x01020304u);
  EXPECT_EQ(h.Priority, 0x0506);
  EXPECT_EQ(h.Language, 0x0708);
  EXPECT_EQ(h.InitialFrames, 9u);
  EXPECT_EQ(h.Scale, 1001u);
  EXPECT_EQ(h.Rate, 30000u);
  EXPECT_EQ(h.Length, 12u);
  EXPECT_EQ(h.SampleSize, 15u);
  EXPECT_EQ(h.Frame[0], 0x30);
  EXPECT_EQ(h.Frame[15], 0x3F);
  TBytes back(64);
  h.Serialize(back.data());
  EXPECT_EQ(back, bytes);
}

// The writer emits these records; an offset one off makes every player reject the index.
TEST(AviFormatLayout, IndexRecordsByteForByte) {
  const TBytes idx1 = Join({Text("00dc"), Hex({0x10, 0, 0, 0, 4, 0, 0, 0, 0x34, 0x12, 0, 0})});
  const TAviIndexEntry entry{MakeFourCC("00dc"), TAviIndexEntry::kKeyFrame, 4, 0x1234};
  TBytes out(16);
  entry.Serialize(out.data());
  EXPECT_EQ(out, idx1);
  EXPECT_EQ(TAviIndexEntry::Parse(idx1.data()).Length, 0x1234u);

  // A base offset beyond 4 GiB must keep its high word.
  const TBytes stdHeader = Join({Text("ix00"), Hex({0x30, 0, 0, 0, 2, 0, 0, 1, 3, 0, 0, 0}),
                                 Text("00dc"), Hex({0x10, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0})});
  TAviStdIndexHeader std;
  std.ChunkId = MakeFourCC("ix00");
  std.ChunkSize = 24 + 8 * 3;
  std.EntriesInUse = 3;
  std.DataChunkId = MakeFourCC("00dc");
  std.BaseOffset = 0x100000010ull;
  out.assign(32, 0xFF);
  std.Serialize(out.data());
  EXPECT_EQ(out, stdHeader);
  const TAviStdIndexHeader parsed = TAviStdIndexHeader::Parse(stdHeader.data());
  EXPECT_EQ(parsed.BaseOffset, 0x100000010ull);
  EXPECT_EQ(parsed.IndexType, kIndexOfChunks);

  const TBytes superHeader = Join(
      {Text("indx"), Hex({0x38, 0, 0, 0, 4, 0, 0, 0, 2, 0, 0, 0}), Text("01wb"), TBytes(12, 0)});
  TAviSuperIndexHeader super;
  super.ChunkId = kindx;
  super.ChunkSize = 24 + 16 * 2;
  super.EntriesInUse = 2;
  super.DataChunkId = MakeFourCC("01wb");
  out.assign(32, 0xFF);
  super.Serialize(out.data());
  EXPECT_EQ(out, superHeader);

  const TBytes superEntry = Hex({0x89, 0x67, 0x45, 0x23, 1, 0, 0, 0, 0x28, 0, 0, 0, 1, 0, 0, 0});
  out.assign(16, 0xFF);
  TAVISUPERINDEX{0x123456789ull, 0x28, 1}.Serialize(out.data());
  EXPECT_EQ(out, superEntry);
  EXPECT_EQ(TAVISUPERINDEX::Parse(superEntry.data()).Offset, 0x123456789ull);

  out.assign(8, 0);
  TAVISTDINDEX{8, 100 | TAVISTDINDEX::kNotKeyFrame}.Serialize(out.data());
  EXPECT_EQ(out, Hex({8, 0, 0, 0, 100, 0, 0, 0x80}));
}

TEST(AviFormatLayout, SuperIndexDurationAroundTheHeaderSize) {
  EXPECT_EQ(TAVISUPERINDEX::DurationOf(0), 0u);
  EXPECT_EQ(TAVISUPERINDEX::DurationOf(32), 0u);
  EXPECT_EQ(TAVISUPERINDEX::DurationOf(39), 0u);
  EXPECT_EQ(TAVISUPERINDEX::DurationOf(40), 1u);
  EXPECT_EQ(TAVISUPERINDEX::DurationOf(0xFFFFFFFFu), (0xFFFFFFFFu - 32) / 8);
}

struct TIdCase {
  const char* Id;
  bool IsData;
  int32_t Stream;
};

class AviFormatIds : public ::testing::TestWithParam<TIdCase> {};

TEST_P(AviFormatIds, StreamDataIdAndNumber) {
  const TFourCC id =
      MakeFourCC(GetParam().Id[0], GetParam().Id[1], GetParam().Id[2], GetParam().Id[3]);
  EXPECT_EQ(IsStreamDataId(id), GetParam().IsData);
  EXPECT_EQ(StreamNumberOf(id), GetParam().Stream);
}

INSTANTIATE_TEST_SUITE_P(AviIds, AviFormatIds,
                         ::testing::Values(TIdCase{"00dc", true, 0}, TIdCase{"01wb", true, 1},
                                           TIdCase{"12db", true, 12}, TIdCase{"99pc", true, 99},
                                           TIdCase{"00DC", false, 0}, TIdCase{"00tx", false, 0},
                                           TIdCase{"0adc", false, -1}, TIdCase{"a0dc", false, -1},
                                           TIdCase{"ix00", false, -1}, TIdCase{"/0dc", false, -1},
                                           TIdCase{":0wb", false, -1}));

TEST(AviFormatIndexIds, IxAndTwoDigits) {
  EXPECT_TRUE(IsStdIndexId(MakeFourCC("ix00")));
  EXPECT_TRUE(IsStdIndexId(MakeFourCC("ix17")));
  EXPECT_FALSE(IsStdIndexId(MakeFourCC("ix0a")));
  EXPECT_FALSE(IsStdIndexId(MakeFourCC("indx")));
  EXPECT_FALSE(IsStdIndexId(MakeFourCC("idx1")));
  EXPECT_EQ(StdIndexIdOf(MakeFourCC("01wb")), MakeFourCC("ix01"));
  EXPECT_EQ(StdIndexIdOf(MakeFourCC("12dc")), MakeFourCC("ix12"));
}

} // namespace
} // namespace clw
