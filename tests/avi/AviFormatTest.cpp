#include "avi/AviFormat.h"

#include "support/AviBuilder.h"

#include <gtest/gtest.h>

namespace clw {
namespace {

// The writer's tests build their expected copies with these same records, so a field at
// the wrong offset would agree with itself there; the bytes here are written by hand. A
// base offset beyond 4 GiB keeps its high word; bit 31 of an entry's size marks a delta.
TEST(AviFormatLayout, OpenDmlIndexRecordsByteForByte) {
  test::TBytes out(32 + 32 + 16 + 8, 0xFF);
  // clang-format off
  TAviStdIndexHeader{.ChunkId = MakeFourCC("ix00"), .ChunkSize = 48, .EntriesInUse = 3,
                     .DataChunkId = MakeFourCC("00dc"), .BaseOffset = 0x100000010ull}
      .Serialize(out.data());
  TAviSuperIndexHeader{.ChunkId = kindx, .ChunkSize = 56, .EntriesInUse = 2,
                       .DataChunkId = MakeFourCC("01wb")}.Serialize(out.data() + 32);
  TAVISUPERINDEX{0x123456789ull, 0x28, 1}.Serialize(out.data() + 64);
  TAVISTDINDEX{8, 100 | TAVISTDINDEX::kNotKeyFrame}.Serialize(out.data() + 80);
  EXPECT_EQ(out, test::BytesOf(
      "ix00" "\x30\0\0\0" "\2\0\0\1" "\3\0\0\0" "00dc" "\x10\0\0\0\1\0\0\0" "\0\0\0\0"
      "indx" "\x38\0\0\0" "\4\0\0\0" "\2\0\0\0" "01wb" "\0\0\0\0\0\0\0\0\0\0\0\0"
      "\x89\x67\x45\x23\1\0\0\0" "\x28\0\0\0" "\1\0\0\0" "\x08\0\0\0" "\x64\0\0\x80"));
  // clang-format on
}

// Stream numbers are two decimal digits; '/' and ':' sit either side of '0'..'9'.
TEST(AviFormatIds, TwoDecimalDigits) {
  const std::tuple<const char*, bool, int, bool> kIds[] = {
      {"00dc", true, 0, false},   {"99pc", true, 99, false},  {"00DC", false, 0, false},
      {"/0wb", false, -1, false}, {"0:db", false, -1, false}, {"ix09", false, -1, true},
      {"ix/0", false, -1, false}, {"ix0:", false, -1, false}};
  for (const auto& [id, data, number, stdIndex] : kIds) {
    const TFourCC c = MakeFourCC(id[0], id[1], id[2], id[3]);
    EXPECT_EQ(std::tuple(IsStreamDataId(c), StreamNumberOf(c), IsStdIndexId(c)),
              std::tuple(data, number, stdIndex))
        << id;
  }
}

} // namespace
} // namespace clw
