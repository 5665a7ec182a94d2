#include "streams/TagStream.h"

#include "support/MemoryStream.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <string>

namespace clw::test {
namespace {

using Bytes = std::vector<uint8_t>;
using Results = std::vector<int64_t>;

// Body bytes that depend on their offset, so a body copied from the wrong place or cut
// short never compares equal by accident.
const Bytes kBody = [] {
  Bytes b(65536);
  for (size_t i = 0; i < b.size(); ++i)
    b[i] = uint8_t(i * 7 + i / 251 + 1);
  return b;
}();

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts)
    all.insert(all.end(), p.begin(), p.end());
  return all;
}
Bytes Body(size_t n) {
  return Bytes(kBody.begin(), kBody.begin() + ptrdiff_t(n));
}

struct TLayoutCase {
  const char* Name;
  std::function<Results(TTagStream&)> Script; // the result of every call, in order
  Results Expected;
  Bytes Written;
};

// clang-format off
const TLayoutCase kLayouts[] = {
  {"size_forms_at_their_limits", [](TTagStream& t) {
     return Results{t.WriteElement(0, nullptr, 0), t.WriteElement(127, kBody.data(), 255),
                    t.WriteElement(127, kBody.data(), 256),
                    t.WriteElement(16383, kBody.data(), 65536),
                    t.WriteElement(16383, kBody.data(), 65535),
                    t.WriteElement(16384, kBody.data(), 65536)}; },
   {2, 255, -101, -101, 65535, 65536},
   Cat({{0x00, 0x00, 0xFE, 0xFF}, Body(255), {0xFF, 0x7F, 0xFF, 0xFF}, Body(65535),
        {0x01, 0x80, 0x00, 0x00, 0x01, 0x00}, kBody})},
  {"tag_above_32767", [](TTagStream& t) {
     return Results{t.WriteElement(32768, "a", 1), t.BeginElement(65535), t.WriteByte(1)}; },
   {-100, -100, -1}, {}},
  {"nested_in_four_byte_size", [](TTagStream& t) {
     return Results{t.BeginElement(20000), t.BeginElement(3), t.WriteWord(0x1234),
                    t.WriteString("hi"), t.EndElement(), t.WriteInt64(-2), t.EndElement(),
                    t.WriteByte(0), t.EndElement()}; },
   {6, 2, 2, 2, 14, 8, 22, -1, -1},
   {0x41, 0x9C, 0x10, 0x00, 0x00, 0x00, 0x06, 0x06, 0x34, 0x12, 0x02, 0x00, 'h', 'i',
    0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
  // A size that cannot be patched still closes its element.
  {"element_bodies_at_one_byte_limit", [](TTagStream& t) {
     return Results{t.BeginElement(1), t.WriteBytes(kBody.data(), 255), t.EndElement(),
                    t.BeginElement(1), t.WriteBytes(kBody.data(), 256), t.EndElement(),
                    t.WriteByte(0)}; },
   {2, 255, 257, 2, 256, -101, -1}, Cat({{0x02, 0xFF}, Body(255), {0x02, 0x00}, Body(256)})},
  {"string_lengths_at_16_bit_limit", [](TTagStream& t) {
     return Results{t.BeginElement(16384), t.WriteString(std::string(65535, 'x')),
                    t.WriteString(std::string(65536, 'x')),
                    t.EndElement()}; },
   {6, 65535, -101, 65543},
   Cat({{0x01, 0x80, 0x01, 0x00, 0x01, 0x00, 0xFF, 0xFF}, Bytes(65535, 'x')})},
};
// clang-format on

TEST(TagStreamLayout, WritesExactBytes) {
  for (const TLayoutCase& c : kLayouts) {
    TMemoryStream out;
    TTagStream tags(out);
    EXPECT_EQ(c.Script(tags), c.Expected) << c.Name;
    EXPECT_EQ(out.Data, c.Written) << c.Name;
  }
}

// Body positions are 32-bit; one past 4 GiB would wrap and patch an earlier header.
TEST(TagStreamFaults, BodyPast4GiBIsRefused) {
  TMemoryStream out;
  out.Seek((int64_t(1) << 32) - 2, soBeginning);
  TTagStream tags(out);
  EXPECT_EQ(tags.BeginElement(5), kTagBeyond4GiB);
  EXPECT_FALSE(tags.ElementOpen());
  EXPECT_TRUE(out.Data.empty());
}

// A full disk: a header cut short opens nothing, and a size that cannot be patched still
// closes its element.
TEST(TagStreamFaults, FailedWritesKeepNestingRight) {
  TMemoryStream out;
  TTagStream tags(out);
  out.WriteLimit = 1;
  EXPECT_EQ(tags.BeginElement(200), 1);
  EXPECT_EQ(tags.WriteByte(0), -1);
  out.WriteLimit = 100;
  out.Data.clear();
  out.Pos = 0;
  ASSERT_EQ(tags.BeginElement(1), 2);
  ASSERT_EQ(tags.BeginElement(2), 2);
  out.WriteLimit = 0;
  EXPECT_EQ(tags.EndElement(), 0);
  EXPECT_EQ(tags.Depth(), 1);
  EXPECT_EQ(out.Pos, 4) << "left at the end for the parent's next write";
}

// A two-byte size patched in a file: the descriptor taken over from the opening stream
// stays open until this one closes. Without a file every write fails quietly.
TEST(TagStreamFaults, FileStreamWritesAFileOrNothing) {
  const std::string name = (ScratchDir() / "x.dmp").string();
  {
    TtsFileStreamW file(name, fmCreate);
    TTagStream tags(file);
    tags.BeginElement(200);
    tags.WriteInteger(7);
    EXPECT_EQ(tags.EndElement(), 8);
  }
  EXPECT_EQ(ReadFile(name), std::string("\x91\x01\x04\x00\x07\x00\x00\x00", 8));

  TtsFileStreamW none((ScratchDir() / "missing" / "x.dmp").string(), fmCreate);
  TTagStream tags(none);
  EXPECT_EQ(tags.WriteElement(5, "abc", 3), 0);
  EXPECT_EQ(tags.BeginElement(5), -1);
  EXPECT_EQ(tags.EndElement(), -1);
}

} // namespace
} // namespace clw::test
