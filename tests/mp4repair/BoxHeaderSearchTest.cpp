#include "mp4repair/BoxHeaderSearch.h"

#include "mp4/Mp4BoxTypes.h"
#include "streams/Endian.h"

#include <gtest/gtest.h>

#include <random>
#include <tuple>

namespace clw {
namespace {

auto Fields(const TFoundBox& b) {
  return std::tuple(b.Position, b.Size, b.Type, b.Large);
}

// Every offset read as plainly as the rule says: a size that is not 0, a known type, and
// a size within the type's limit (a size of 1: a 64-bit size follows).
std::vector<TFoundBox> PlainHeaders(const std::vector<uint8_t>& f, size_t from, size_t to,
                                    uint64_t base) {
  std::vector<TFoundBox> out;
  for (size_t q = from; q < to; ++q) {
    const uint32_t size = ReadBE32(&f[q]);
    const TFourCC type = ReadLE32(&f[q + 4]);
    if (size == 0 || !IsKnownBoxType(type) || size > BoxSizeLimit(type)) continue;
    out.push_back(TFoundBox{base + q, size == 1 ? ReadBE64(&f[q + 8]) : size, type, size == 1});
  }
  return out;
}

// Headers of every known type, with sizes of 0, 1, within and beyond the limit, among bytes
// that are mostly the characters of type names, so that the filter of the first two
// characters passes many offsets it then has to reject; searched from every alignment, every
// way this processor can.
TEST(BoxHeaderSearch, FindsWhatThePlainRuleFinds) {
  std::mt19937 random(11);
  constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzACMRT0123456789\xA9\x00\x01";
  std::vector<uint8_t> f;
  size_t planted = 0;
  for (int round = 0; round < 6; ++round)
    for (const TFourCC type : kKnownBoxTypes) {
      for (uint32_t n = random() % 40; n > 0; --n)
        f.push_back(random() % 3 == 0 ? uint8_t(random())
                                      : uint8_t(kLetters[random() % (sizeof kLetters - 1)]));
      const uint32_t sizes[] = {0, 1, 8, 100, 0x800000, 0x7FFFFFFF, 0xFFFFFFFF};
      const uint32_t size = sizes[random() % std::size(sizes)];
      for (int k = 0; k < 4; ++k)
        f.push_back(uint8_t(size >> (24 - 8 * k)));
      for (int k = 0; k < 4; ++k)
        f.push_back(uint8_t(type >> (8 * k)));
      for (int k = 0; k < 8; ++k)
        f.push_back(uint8_t(random()));
      ++planted;
    }
  ASSERT_GT(planted, 600u);
  const size_t to = f.size() - 16;
  for (size_t from = 0; from < 40; from += 7) {
    SCOPED_TRACE(from);
    const std::vector<TFoundBox> expected = PlainHeaders(f, from, to, 1000);
    ASSERT_GT(expected.size(), planted / 3);
    for (int w = 0; w <= int(WidestSearch()); ++w) {
      std::vector<TFoundBox> found;
      FindBoxHeadersAs(TSearchWidth(w), f.data(), from, to, 1000, found);
      ASSERT_EQ(found.size(), expected.size()) << "width " << w;
      for (size_t i = 0; i < found.size(); ++i)
        ASSERT_EQ(Fields(found[i]), Fields(expected[i])) << "width " << w << ", header " << i;
    }
  }
}

} // namespace
} // namespace clw
