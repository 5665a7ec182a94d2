#include "mp4repair/BoxHeaderSearch.h"

#include "mp4/Mp4BoxTypes.h"
#include "mp4repair/VectorIntrinsics.h"
#include "streams/Endian.h"

#include <array>
#include <bit>

namespace clw {

namespace {

// Known box types by their first two characters: one bit test per offset before the
// table search.
struct TBoxPrefixes {
  std::array<uint64_t, 1024> Bits{};
  TBoxPrefixes() {
    for (TFourCC t : kKnownBoxTypes)
      Set(uint16_t(t & 0xFFFF));
  }
  void Set(uint16_t key) { Bits[key >> 6] |= uint64_t(1) << (key & 63); }
  bool Has(uint16_t key) const { return (Bits[key >> 6] >> (key & 63)) & 1; }
};

const TBoxPrefixes& BoxPrefixes() {
  static const TBoxPrefixes prefixes;
  return prefixes;
}

// The whole test of the offset q.
inline void TestAt(const uint8_t* buf, size_t q, uint64_t base, const TBoxPrefixes& prefixes,
                   std::vector<TFoundBox>& out) {
  const uint8_t* p = buf + q;
  if (!prefixes.Has(ReadLE16(p + 4))) return;
  const uint32_t size = ReadBE32(p);
  if (size == 0) return;
  const TFourCC type = ReadLE32(p + 4);
  if (!IsKnownBoxType(type) || size > BoxSizeLimit(type)) return;
  const bool large = size == 1;
  out.push_back(TFoundBox{base + q, large ? ReadBE64(p + 8) : size, type, large});
}

void FindPlain(const uint8_t* buf, size_t from, size_t to, uint64_t base,
               std::vector<TFoundBox>& out) {
  const TBoxPrefixes& prefixes = BoxPrefixes();
  for (size_t q = from; q < to; ++q)
    TestAt(buf, q, base, prefixes, out);
}

#if defined(CLW_HAS_X86_VECTORS)

// Whether a byte belongs to a set, by its two nibbles: the high nibble names one of at
// most eight classes, and the low nibble's entry holds the classes whose byte with that
// low nibble is in the set.
struct TNibbleSet {
  alignas(16) uint8_t High[16] = {};
  alignas(16) uint8_t Low[16] = {};
  int Classes = 0;
  // False when the set would need a ninth class.
  bool Add(uint8_t b) {
    uint8_t& c = High[b >> 4];
    if (c == 0) {
      if (Classes == 8) return false;
      c = uint8_t(1u << Classes++);
    }
    Low[b & 15] |= c;
    return true;
  }
};

// The first three characters of the known types, place by place. (A test of the fourth
// passes over no more offsets than it costs.)
constexpr int kPlaces = 3;
struct TTypeCharacters {
  TNibbleSet Places[kPlaces];
  bool Usable = true;
  TTypeCharacters() {
    for (TFourCC t : kKnownBoxTypes)
      for (int k = 0; k < kPlaces; ++k)
        Usable &= Places[k].Add(uint8_t(t >> (8 * k)));
  }
};

__attribute__((target("avx2"))) inline __m256i Members(__m256i v, const TNibbleSet& set) {
  const __m256i high = _mm256_broadcastsi128_si256(_mm_load_si128((const __m128i*)set.High));
  const __m256i low = _mm256_broadcastsi128_si256(_mm_load_si128((const __m128i*)set.Low));
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  return _mm256_and_si256(
      _mm256_shuffle_epi8(high, _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble)),
      _mm256_shuffle_epi8(low, _mm256_and_si256(v, nibble)));
}

__attribute__((target("avx2,bmi"))) void FindWide(const uint8_t* buf, size_t from, size_t to,
                                                  uint64_t base, const TTypeCharacters& types,
                                                  std::vector<TFoundBox>& out) {
  const TBoxPrefixes& prefixes = BoxPrefixes();
  const __m256i zero = _mm256_setzero_si256();
  size_t q = from;
  for (; q + 32 <= to; q += 32) {
    __m256i outside = zero;
    for (int k = 0; k < kPlaces; ++k) {
      const __m256i chars = _mm256_loadu_si256((const __m256i*)(buf + q + 4 + k));
      outside = _mm256_or_si256(outside, _mm256_cmpeq_epi8(Members(chars, types.Places[k]), zero));
    }
    for (uint32_t lanes = ~uint32_t(_mm256_movemask_epi8(outside)); lanes != 0; lanes &= lanes - 1)
      TestAt(buf, q + size_t(std::countr_zero(lanes)), base, prefixes, out);
  }
  for (; q < to; ++q)
    TestAt(buf, q, base, prefixes, out);
}

// Members for 64 bytes, as a mask.
__attribute__((target("avx512f,avx512bw"))) inline __mmask64 InSet(__m512i v,
                                                                   const TNibbleSet& set) {
  const __m512i high = _mm512_broadcast_i32x4(_mm_load_si128((const __m128i*)set.High));
  const __m512i low = _mm512_broadcast_i32x4(_mm_load_si128((const __m128i*)set.Low));
  const __m512i nibble = _mm512_set1_epi8(0x0F);
  const __m512i classes =
      _mm512_and_si512(_mm512_shuffle_epi8(high, _mm512_and_si512(_mm512_srli_epi16(v, 4), nibble)),
                       _mm512_shuffle_epi8(low, _mm512_and_si512(v, nibble)));
  return _mm512_test_epi8_mask(classes, classes);
}

__attribute__((target("avx512f,avx512bw,bmi"))) void FindWidest(const uint8_t* buf, size_t from,
                                                                size_t to, uint64_t base,
                                                                const TTypeCharacters& types,
                                                                std::vector<TFoundBox>& out) {
  const TBoxPrefixes& prefixes = BoxPrefixes();
  size_t q = from;
  for (; q + 64 <= to; q += 64) {
    uint64_t lanes = ~uint64_t(0);
    for (int k = 0; k < kPlaces; ++k)
      lanes &= InSet(_mm512_loadu_si512(buf + q + 4 + k), types.Places[k]);
    for (; lanes != 0; lanes &= lanes - 1)
      TestAt(buf, q + size_t(std::countr_zero(lanes)), base, prefixes, out);
  }
  for (; q < to; ++q)
    TestAt(buf, q, base, prefixes, out);
}

#endif

} // namespace

void FindBoxHeadersAs(TSearchWidth Width, const uint8_t* Buf, size_t From, size_t To, uint64_t Base,
                      std::vector<TFoundBox>& Out) {
#if defined(CLW_HAS_X86_VECTORS)
  static const TTypeCharacters types;
  if (types.Usable && Width == TSearchWidth::Avx512)
    return FindWidest(Buf, From, To, Base, types, Out);
  if (types.Usable && Width == TSearchWidth::Avx2) return FindWide(Buf, From, To, Base, types, Out);
#endif
  FindPlain(Buf, From, To, Base, Out);
}

void FindBoxHeaders(const uint8_t* Buf, size_t From, size_t To, uint64_t Base,
                    std::vector<TFoundBox>& Out) {
  FindBoxHeadersAs(WidestSearch(), Buf, From, To, Base, Out);
}

} // namespace clw
