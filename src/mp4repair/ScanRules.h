#pragma once
// What makes bytes of media data a plausible H.264 unit in MP4 framing, and how an AAC
// frame shows its end: the rules the media-data scanner applies at every offset.
#include "mp4/Mp4MediaData.h"
#include "mp4/NalUnitCheck.h"
#include "streams/Endian.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace clw {

// Longer units do not occur in camera files; a quarter of the file bounds short files.
inline constexpr uint64_t kMaxNalLength = 0x6400000;
constexpr uint64_t MaxNalLength(uint64_t FileSize) {
  return std::min<uint64_t>(kMaxNalLength, FileSize / 4);
}

// Slice detection learns a typical size per coded slice type of at most 127 steps of
// 8 KiB and throws out every coded slice longer than four times it: a longer one can never
// be a unit of a slice. The scan does not take it, which also keeps every unit it takes
// within 4 MiB of its start (the top byte of its length field 0, the next at most 0x3F).
inline constexpr uint32_t kMaxSliceLength = 4 * 127 * 8192;
// Every other unit type the scan takes is at most kMaxOtherLength (1 MiB) long.
inline constexpr uint32_t kMaxUnitLength = std::max<uint32_t>(kMaxSliceLength, kMaxOtherLength);
static_assert(kMaxUnitLength < 0x400000);

// The unit types other than coded slices that the length table can take: bit t for type t.
inline constexpr uint32_t kOtherUnitTypes = 1u << 6 | 1u << 7 | 1u << 8 | 1u << 9 | 1u << 12 |
                                            1u << 13 | 1u << 14 | 1u << 15 | 1u << 19 | 1u << 20;

struct TLengthRange {
  uint32_t Min = 1; // Min > Max: the header byte is never taken
  uint32_t Max = 0;
};
using TLengthRanges = std::array<TLengthRange, 256>;

// The unit lengths accepted per NAL header byte (forbidden bit, nal_ref_idc, type),
// bounded by the longest unit the file can hold (lengths below MaxNal).
inline TLengthRanges MakeLengthRanges(uint64_t MaxNal) {
  TLengthRanges ranges{};
  if (MaxNal == 0) return ranges;
  const uint32_t longest = uint32_t(std::min<uint64_t>(MaxNal - 1, UINT32_MAX));
  for (uint32_t h = 0; h < 128; ++h) {
    const uint32_t nri = (h >> 5) & 3;
    TLengthRange r;
    switch (h & 0x1F) {
    case 5: // an IDR picture is always a reference picture
      if (nri > 0) r = {4, kMaxSliceLength};
      break;
    case 1:
    case 2:
    case 3:
    case 4:
      r = {4, kMaxSliceLength};
      break;
    case 7:
      r = {uint32_t(kMinSpsLength), uint32_t(kMaxSpsLength)};
      break;
    case 8:
      r = {uint32_t(kMinPpsLength), uint32_t(kMaxPpsLength)};
      break;
    case 13:
      r = {1, 24};
      break;
    case 9: // access unit delimiter: one byte of primary_pic_type
      if (nri == 0) r = {1, 2};
      break;
    case 6:
    case 12:
      if (nri == 0) r = {1, uint32_t(kMaxOtherLength)};
      break;
    case 14:
    case 15:
    case 19:
    case 20:
      r = {1, uint32_t(kMaxOtherLength - 1)};
      break;
    default:
      break;
    }
    r.Max = std::min(r.Max, longest);
    ranges[h] = r;
  }
  return ranges;
}

// The prefilter of the scan, for the position at P (reading P .. P + 4): the length field
// is below 4 MiB, the header byte has its forbidden bit clear, and it is a coded slice
// (type 1..5) or, with a length below 0x110000, another type the length table takes. Every
// candidate the length table can take passes; most offsets of compressed data do not.
constexpr bool MayStartCandidate(const uint8_t* P) {
  constexpr uint8_t sliceLimit = kMaxSliceLength >> 16;
  constexpr uint8_t otherLimit = kMaxOtherLength >> 16;
  const uint8_t type = P[4] & 0x1F;
  if (P[0] != 0 || P[1] > sliceLimit || (P[4] & 0x80)) return false;
  if (type >= 1 && type <= 5) return true;
  return ((kOtherUnitTypes >> type) & 1) != 0 && P[1] <= otherLimit;
}

// MayStartCandidate for the 16 positions from P (reading P .. P + 19), bit i for P + i,
// eight lanes of a 64-bit word at a time. (v - k * ones) & ~v marks the lanes of v below k
// in their high bit; a borrow can also mark the lane above a true hit, so marked lanes are
// tested again.
inline uint32_t CandidateLanesPortable(const uint8_t* P) {
  constexpr uint64_t ones = 0x0101010101010101ull;
  constexpr uint64_t highs = ones << 7;
  constexpr uint64_t sliceLimit = kMaxSliceLength >> 16;
  constexpr uint64_t otherLimit = kMaxOtherLength >> 16;
  uint32_t lanes = 0;
  for (int half = 0; half < 16; half += 8) {
    const uint8_t* p = P + half;
    const uint64_t x = ReadLE64(p);     // top length bytes
    const uint64_t z = ReadLE64(p + 1); // second length bytes
    const uint64_t y = ReadLE64(p + 4); // header bytes
    const uint64_t lengthOk = (x - ones) & ~x & (z - (sliceLimit + 1) * ones) & ~z;
    const uint64_t shortLength = (z - (otherLimit + 1) * ones) & ~z;
    const uint64_t type = y & (ones * 0x1F);
    const uint64_t atLeast1 = type + ones * 0x7F;
    const uint64_t atLeast6 = type + ones * 0x7A;
    uint64_t marks = lengthOk & ~y & ((atLeast1 & ~atLeast6) | (shortLength & atLeast6)) & highs;
    while (marks) {
      const int lane = std::countr_zero(marks) >> 3;
      if (MayStartCandidate(p + lane)) lanes |= uint32_t(1) << (half + lane);
      marks &= marks - 1;
    }
  }
  return lanes;
}

// The same with SSE2 where the target has it.
inline uint32_t CandidateLanes(const uint8_t* P) {
#if defined(__SSE2__)
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(P));
  const __m128i z = _mm_loadu_si128(reinterpret_cast<const __m128i*>(P + 1));
  const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(P + 4));
  const __m128i zero = _mm_setzero_si128();
  const __m128i sliceLength =
      _mm_and_si128(_mm_cmpeq_epi8(x, zero),
                    _mm_cmpeq_epi8(_mm_min_epu8(z, _mm_set1_epi8(kMaxSliceLength >> 16)), z));
  const __m128i shortLength =
      _mm_cmpeq_epi8(_mm_min_epu8(z, _mm_set1_epi8(kMaxOtherLength >> 16)), z);
  const __m128i allowed = _mm_cmpgt_epi8(y, _mm_set1_epi8(-1)); // forbidden bit clear
  const __m128i type = _mm_and_si128(y, _mm_set1_epi8(0x1F));
  const __m128i typeLess1 = _mm_sub_epi8(type, _mm_set1_epi8(1));
  const __m128i slice = _mm_cmpeq_epi8(_mm_min_epu8(typeLess1, _mm_set1_epi8(4)), typeLess1);
  // Types 6..9, 12..15 and 19..20 (kOtherUnitTypes): each range as one unsigned compare.
  const auto within = [&](int first, int count) {
    const __m128i offset = _mm_sub_epi8(type, _mm_set1_epi8(char(first)));
    return _mm_cmpeq_epi8(_mm_min_epu8(offset, _mm_set1_epi8(char(count - 1))), offset);
  };
  static_assert(kOtherUnitTypes == (0xFu << 6 | 0xFu << 12 | 0x3u << 19));
  const __m128i other = _mm_or_si128(_mm_or_si128(within(6, 4), within(12, 4)), within(19, 2));
  const __m128i pass = _mm_and_si128(_mm_and_si128(sliceLength, allowed),
                                     _mm_or_si128(slice, _mm_and_si128(shortLength, other)));
  return uint32_t(_mm_movemask_epi8(pass));
#else
  return CandidateLanesPortable(P);
#endif
}

// first_mb_in_slice and slice_type, the two exp-Golomb codes that open a slice header.
struct TSliceStart {
  bool FirstMbKnown = false;
  bool SliceTypeKnown = false;
  uint32_t FirstMb = 0;
  uint32_t SliceType = 0;
};

namespace detail {
// Unsigned exp-Golomb codes from the bytes [P, End), bit by bit. Pictures of 4K and more
// have first_mb_in_slice codes of 31 bits and more, so two codes can need more than the
// first 64 bits; a code of more than 31 leading zeros is no value of 32 bits.
class TGolombReader {
public:
  TGolombReader(const uint8_t* p, const uint8_t* end) : P(p), End(end) {}
  bool Read(uint32_t& value) {
    uint32_t zeros = 0;
    for (;;) {
      if (!Fill(1)) return false;
      if (Cache >> 63) break;
      if (++zeros > 31) return false;
      Take(1);
    }
    Take(1);
    uint64_t suffix = 0;
    if (zeros > 0) {
      if (!Fill(zeros)) return false;
      suffix = Cache >> (64 - zeros);
      Take(zeros);
    }
    value = uint32_t((uint64_t(1) << zeros) - 1 + suffix);
    return true;
  }

private:
  bool Fill(uint32_t need) {
    while (Bits < need && Bits <= 56 && P < End) {
      Cache |= uint64_t(*P++) << (56 - Bits);
      Bits += 8;
    }
    return Bits >= need;
  }
  void Take(uint32_t n) {
    Cache <<= n;
    Bits -= n;
  }
  const uint8_t* P;
  const uint8_t* End;
  uint64_t Cache = 0; // unread bits, left-aligned
  uint32_t Bits = 0;
};
} // namespace detail

// Reads the slice header's first two codes from [P, End); P points after the NAL header.
// The common case, both codes within 64 bits, takes two bit counts.
// (Inline always: the search asks it of millions of positions.)
[[gnu::always_inline]] inline TSliceStart ReadSliceStart(const uint8_t* P, const uint8_t* End) {
  TSliceStart out;
  if (End - P >= 8) {
    const uint64_t w = ReadBE64(P);
    const int z1 = std::countl_zero(w);
    if (z1 < 32) {
      const int n1 = 2 * z1 + 1;
      const uint64_t rest = w << n1;
      const int z2 = std::countl_zero(rest);
      if (2 * z2 + 1 <= 64 - n1) {
        out.FirstMbKnown = out.SliceTypeKnown = true;
        out.FirstMb = uint32_t((w >> (64 - n1)) - 1);
        out.SliceType = uint32_t((rest >> (64 - (2 * z2 + 1))) - 1);
        return out;
      }
    }
  }
  detail::TGolombReader bits(P, End);
  out.FirstMbKnown = bits.Read(out.FirstMb);
  if (out.FirstMbKnown) out.SliceTypeKnown = bits.Read(out.SliceType);
  return out;
}

// An AAC raw data block ends with ID_END (binary 111) and 0 to 8 zero bits of byte
// alignment; W holds the two bytes before a length field. (Two zero bytes count 16 zero
// bits, and so are no end.)
constexpr bool AudioEndsIn(uint16_t W) {
  const int t = std::countr_zero(W);
  return (t <= 8) & (((W >> (t & 15)) & 7) == 7);
}

// Coded slices must carry a slice type, and an IDR one an intra type (I or SI).
// (Without branches: the search asks it for millions of noise candidates.)
constexpr bool KeepsSliceType(uint8_t NalType, uint8_t SliceType) {
  constexpr uint32_t kIntra = 1u << 2 | 1u << 4 | 1u << 7 | 1u << 9;
  const bool intra = SliceType < 32 && ((kIntra >> SliceType) & 1) != 0;
  const bool coded = uint8_t(NalType - 1) < 4;
  const bool idr = NalType == 5;
  return (idr & intra) | ((!idr) & ((!coded) | (SliceType < 10)));
}

} // namespace clw
