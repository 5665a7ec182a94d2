// The search for candidates in the window, the hot loop of a check: gigabytes pass through
// it, and encoder output with many zero bytes yields a candidate every few dozen bytes.
// Three passes over each batch of positions keep every step free of branches the data
// decides: the prefilter marks 64 positions at a time and their indices are written out
// eight at a time; the length test keeps the indices whose length fits their header byte;
// the full test writes every record and keeps it by advancing the count or not.
//
// Processors with AVX2 and the bit instructions that came with it run the same passes 32
// positions at a time, and those with AVX-512 make the full test of eight positions at a
// time as well; the choice is made once, at the first scan.
#include "mp4repair/ScanState.h"
#include "mp4repair/VectorIntrinsics.h"

#include "streams/Endian.h"

#include <algorithm>
#include <bit>
#include <cstddef>

namespace clw::scan {

namespace {

#if defined(CLW_HAS_X86_VECTORS)
// CandidateLanes for 32 positions (reading P .. P + 35).
__attribute__((target("avx2"))) inline uint32_t CandidateLanes32(const uint8_t* P) {
  const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(P));
  const __m256i z = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(P + 1));
  const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(P + 4));
  const __m256i zero = _mm256_setzero_si256();
  const __m256i sliceLength = _mm256_and_si256(
      _mm256_cmpeq_epi8(x, zero),
      _mm256_cmpeq_epi8(_mm256_min_epu8(z, _mm256_set1_epi8(kMaxSliceLength >> 16)), z));
  const __m256i shortLength =
      _mm256_cmpeq_epi8(_mm256_min_epu8(z, _mm256_set1_epi8(kMaxOtherLength >> 16)), z);
  const __m256i allowed = _mm256_cmpgt_epi8(y, _mm256_set1_epi8(-1)); // forbidden bit clear
  const __m256i type = _mm256_and_si256(y, _mm256_set1_epi8(0x1F));
  const __m256i typeLess1 = _mm256_sub_epi8(type, _mm256_set1_epi8(1));
  const __m256i slice =
      _mm256_cmpeq_epi8(_mm256_min_epu8(typeLess1, _mm256_set1_epi8(4)), typeLess1);
  // Types 6..21 from a table of 16 (kOtherUnitTypes); those below 6 wrap to a byte with its
  // top bit set, which the table lookup answers with 0.
  constexpr auto otherBit = [](int u) { return char((kOtherUnitTypes >> (u + 6)) & 1 ? -1 : 0); };
  const __m256i table = _mm256_setr_epi8(
      otherBit(0), otherBit(1), otherBit(2), otherBit(3), otherBit(4), otherBit(5), otherBit(6),
      otherBit(7), otherBit(8), otherBit(9), otherBit(10), otherBit(11), otherBit(12), otherBit(13),
      otherBit(14), otherBit(15), otherBit(0), otherBit(1), otherBit(2), otherBit(3), otherBit(4),
      otherBit(5), otherBit(6), otherBit(7), otherBit(8), otherBit(9), otherBit(10), otherBit(11),
      otherBit(12), otherBit(13), otherBit(14), otherBit(15));
  static_assert((kOtherUnitTypes >> 22) == 0);
  const __m256i other =
      _mm256_and_si256(_mm256_shuffle_epi8(table, _mm256_sub_epi8(type, _mm256_set1_epi8(6))),
                       _mm256_cmpeq_epi8(_mm256_min_epu8(type, _mm256_set1_epi8(21)), type));
  const __m256i pass =
      _mm256_and_si256(_mm256_and_si256(sliceLength, allowed),
                       _mm256_or_si256(slice, _mm256_and_si256(shortLength, other)));
  return uint32_t(_mm256_movemask_epi8(pass));
}
#endif

// The prefilter's marks for the 64 positions from P (reading P .. P + 67).
template <int Wide> [[gnu::always_inline]] inline uint64_t CandidateMarks(const uint8_t* P) {
#if defined(CLW_HAS_X86_VECTORS)
  if constexpr (Wide > 0) return CandidateLanes32(P) | uint64_t(CandidateLanes32(P + 32)) << 32;
#endif
  return CandidateLanes(P) | uint64_t(CandidateLanes(P + 16)) << 16 |
         uint64_t(CandidateLanes(P + 32)) << 32 | uint64_t(CandidateLanes(P + 48)) << 48;
}

// Writes the index of every set bit of Marks, plus At, to Out; returns how many. Four are
// written whether they exist or not (Out has room): zero-rich content averages two marks a
// word, so only the few denser words take the loop, and the rest do no idle writes.
[[gnu::always_inline]] inline size_t WriteIndices(uint64_t marks, uint32_t at, uint32_t* out) {
  const size_t count = size_t(std::popcount(marks));
  for (int i = 0; i < 4; ++i) {
    out[i] = at + uint32_t(std::countr_zero(marks));
    marks &= marks - 1;
  }
  for (size_t i = 4; i < count; ++i) {
    out[i] = at + uint32_t(std::countr_zero(marks));
    marks &= marks - 1;
  }
  return count;
}

// The rest of the test of window position Q, whose length fits its header byte: writes
// the candidate to Out and returns whether it is one.
[[gnu::always_inline]] inline bool TryCandidate(size_t q, const TScan& s, TFoundCandidate& out) {
  const uint8_t* p = s.Window.get() + q;
  const uint64_t position = s.Base + q;
  const TCandidateTest test = TestCandidate(p, position, s.FileSize);
  const bool picture = test.Slice & test.Start.FirstMbKnown & (test.Start.FirstMb == 0);
  // The media data's first unit has nothing before it that could be anything but audio.
  // (The window holds two bytes before every examined position but the range's first.)
  const bool audio = (position == s.RangeStart) | ((q >= 2) && AudioEndsIn(ReadBE16(p - 2)));
  out = TFoundCandidate{position, ReadBE32(p), p[4],
                        uint8_t(test.SliceType | picture * TFoundCandidate::kPictureStart |
                                audio * TFoundCandidate::kAudioEndsBefore),
                        0};
  return test.Kept;
}

#if defined(CLW_HAS_X86_VECTORS)
#define CLW_SCAN_AVX512 "avx2,bmi,bmi2,popcnt,avx512f,avx512bw,avx512cd,avx512dq,avx512vl"

__attribute__((target(CLW_SCAN_AVX512))) inline __m512i Splat(uint64_t V) {
  return _mm512_set1_epi64(int64_t(V));
}

// The 16 bytes from two before each of the four positions Hits[0, 4), one position to a
// 128-bit lane.
__attribute__((target(CLW_SCAN_AVX512))) inline __m512i FourAt(const uint8_t* buf,
                                                               const uint32_t* hits) {
  const auto at = [buf](uint32_t q) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf + q - 2));
  };
  const __m512i two = _mm512_inserti32x4(_mm512_castsi128_si512(at(hits[0])), at(hits[1]), 1);
  return _mm512_inserti32x4(_mm512_inserti32x4(two, at(hits[2]), 2), at(hits[3]), 3);
}

// The length test and TryCandidate for the positions Hits[0, Count), eight at a time in the
// lanes of AVX-512 registers; the few that are left, and any eight with a fitting slice
// header the two counts cannot read, go one by one. Writes the candidates from Out on and
// returns how many. (Out has room for Count: a group writes its eight records whether
// kept or not.)
__attribute__((target(CLW_SCAN_AVX512))) inline size_t
TryInEights(const uint32_t* hits, size_t count, const TScan& s, TFoundCandidate* out) {
  const uint8_t* buf = s.Window.get();
  const __m512i one = _mm512_set1_epi64(1);
  // From a position's 16 bytes, those from two before it to one after its header, and the
  // 64 bits after its header, each in reading order from the top bit.
  const __m512i split = _mm512_set_epi64(0x0708090A0B0C0D0E, 0x0001020304050607, 0x0708090A0B0C0D0E,
                                         0x0001020304050607, 0x0708090A0B0C0D0E, 0x0001020304050607,
                                         0x0708090A0B0C0D0E, 0x0001020304050607);
  const __m512i evens = _mm512_set_epi64(14, 12, 10, 8, 6, 4, 2, 0);
  const __m512i odds = _mm512_set_epi64(15, 13, 11, 9, 7, 5, 3, 1);
  const __m512i firstFour = _mm512_set_epi64(11, 10, 3, 2, 9, 8, 1, 0);
  const __m512i lastFour = _mm512_set_epi64(15, 14, 7, 6, 13, 12, 5, 4);
  const __m512i base = _mm512_set1_epi64(int64_t(s.Base));
  const __m512i fileSize = _mm512_set1_epi64(int64_t(s.FileSize));
  const __m512i rangeStart = _mm512_set1_epi64(int64_t(s.RangeStart));
  const auto alone = [&](uint32_t q, size_t& found) {
    if (s.LengthFitsAt(buf + q)) found += TryCandidate(q, s, out[found]);
  };
  size_t found = 0;
  size_t k = 0;
  // The audio test reads the two bytes before each position.
  for (; k < count && hits[k] < 2; ++k)
    alone(hits[k], found);
  for (; k + 8 <= count; k += 8) {
    const __m512i q =
        _mm512_cvtepu32_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(hits + k)));
    const __m512i first = _mm512_shuffle_epi8(FourAt(buf, hits + k), split);
    const __m512i last = _mm512_shuffle_epi8(FourAt(buf, hits + k + 4), split);
    const __m512i around = _mm512_permutex2var_epi64(first, evens, last);
    const __m512i bits = _mm512_permutex2var_epi64(first, odds, last);
    const __m512i length = _mm512_and_si512(_mm512_srli_epi64(around, 16), Splat(0xFFFFFFFF));
    const __m512i header = _mm512_and_si512(_mm512_srli_epi64(around, 8), Splat(0xFF));
    const __m512i range =
        _mm512_i64gather_epi64(header, reinterpret_cast<const long long*>(s.Ranges.data()), 8);
    static_assert(sizeof(TLengthRange) == 8 && offsetof(TLengthRange, Max) == 4);
    const __mmask8 fits =
        _mm512_cmple_epu64_mask(_mm512_and_si512(range, Splat(0xFFFFFFFF)), length) &
        _mm512_cmple_epu64_mask(length, _mm512_srli_epi64(range, 32));
    const __m512i nalType = _mm512_and_si512(header, Splat(0x1F));
    const __m512i typeLess1 = _mm512_sub_epi64(nalType, one);
    const __mmask8 slice = _mm512_cmple_epu64_mask(typeLess1, Splat(4));
    // ReadSliceStart's two counts: a first code of 32 zeros and more is no value (neither
    // is known); a second code that runs past the 64 bits is read one by one.
    const __m512i z1 = _mm512_lzcnt_epi64(bits);
    const __mmask8 known = _mm512_cmplt_epu64_mask(z1, Splat(32));
    const __m512i n1 = _mm512_add_epi64(_mm512_add_epi64(z1, z1), one);
    const __m512i rest = _mm512_sllv_epi64(bits, n1);
    const __m512i z2 = _mm512_lzcnt_epi64(rest);
    const __m512i n2 = _mm512_add_epi64(_mm512_add_epi64(z2, z2), one);
    if (_mm512_mask_cmpgt_epu64_mask(fits & known, n2, _mm512_sub_epi64(Splat(64), n1)) != 0) {
      for (size_t j = 0; j < 8; ++j)
        alone(hits[k + j], found);
      continue;
    }
    const __m512i firstMb =
        _mm512_sub_epi64(_mm512_srlv_epi64(bits, _mm512_sub_epi64(Splat(64), n1)), one);
    const __m512i coded =
        _mm512_sub_epi64(_mm512_srlv_epi64(rest, _mm512_sub_epi64(Splat(64), n2)), one);
    const __mmask8 typeKnown = slice & known & _mm512_cmple_epu64_mask(coded, Splat(9));
    const __m512i sliceType =
        _mm512_mask_blend_epi64(typeKnown, Splat(TMDATChunk::kSliceTypeUnknown), coded);
    const __mmask8 picture =
        slice & known & _mm512_cmpeq_epu64_mask(firstMb, _mm512_setzero_si512());
    // KeepsSliceType, and the unit within the file.
    constexpr uint32_t kIntra = 1u << 2 | 1u << 4 | 1u << 7 | 1u << 9;
    const __mmask8 intra = _mm512_test_epi64_mask(_mm512_srlv_epi64(Splat(kIntra), sliceType), one);
    const __mmask8 idr = _mm512_cmpeq_epu64_mask(nalType, Splat(5));
    const __mmask8 sliceCoded = _mm512_cmple_epu64_mask(typeLess1, Splat(3));
    const __mmask8 keeps =
        (idr & intra) | (~idr & (~sliceCoded | _mm512_cmplt_epu64_mask(sliceType, Splat(10))));
    const __m512i position = _mm512_add_epi64(base, q);
    const __mmask8 kept =
        fits & keeps &
        _mm512_cmple_epu64_mask(_mm512_add_epi64(_mm512_add_epi64(position, length), Splat(4)),
                                fileSize);
    // AudioEndsIn on the two bytes before: the lowest set bit, with a bit above the 16 so
    // that two zero bytes count 16.
    const __m512i before = _mm512_srli_epi64(around, 48);
    const __m512i marked = _mm512_or_si512(before, Splat(0x10000));
    const __m512i lowest =
        _mm512_and_si512(marked, _mm512_sub_epi64(_mm512_setzero_si512(), marked));
    const __m512i t = _mm512_sub_epi64(Splat(63), _mm512_lzcnt_epi64(lowest));
    const __mmask8 audio =
        _mm512_cmpeq_epu64_mask(position, rangeStart) |
        (_mm512_cmple_epu64_mask(t, Splat(8)) &
         _mm512_cmpeq_epu64_mask(_mm512_and_si512(_mm512_srlv_epi64(before, t), Splat(7)),
                                 Splat(7)));
    const __m512i info = _mm512_or_si512(
        _mm512_or_si512(sliceType,
                        _mm512_maskz_mov_epi64(picture, Splat(TFoundCandidate::kPictureStart))),
        _mm512_maskz_mov_epi64(audio, Splat(TFoundCandidate::kAudioEndsBefore)));
    const __m512i second = _mm512_or_si512(_mm512_or_si512(length, _mm512_slli_epi64(header, 32)),
                                           _mm512_slli_epi64(info, 40));
    // The kept ones' two words, side by side in record order.
    const __m512i positions = _mm512_maskz_compress_epi64(kept, position);
    const __m512i seconds = _mm512_maskz_compress_epi64(kept, second);
    const __m512i low = _mm512_unpacklo_epi64(positions, seconds);
    const __m512i high = _mm512_unpackhi_epi64(positions, seconds);
    TFoundCandidate* to = out + found;
    _mm512_storeu_si512(to, _mm512_permutex2var_epi64(low, firstFour, high));
    _mm512_storeu_si512(to + 4, _mm512_permutex2var_epi64(low, lastFour, high));
    found += size_t(std::popcount(unsigned(kept)));
  }
  for (; k < count; ++k)
    alone(hits[k], found);
  return found;
}
#endif

template <int Wide>
[[gnu::always_inline]] inline size_t Search(size_t from, size_t to, const TScan& s, uint32_t* hits,
                                            TFoundCandidate* out) {
  const uint8_t* buf = s.Window.get();
  size_t found = 0;
  while (from < to) {
    const size_t batchEnd = std::min(to, from + kBatch);
    size_t count = 0;
    size_t q = from;
    for (; q + 64 <= batchEnd; q += 64)
      count += WriteIndices(CandidateMarks<Wide>(buf + q), uint32_t(q), hits + count);
    for (; q < batchEnd; ++q) {
      hits[count] = uint32_t(q);
      count += MayStartCandidate(buf + q);
    }
#if defined(CLW_HAS_X86_VECTORS)
    if constexpr (Wide == 2) {
      found += TryInEights(hits, count, s, out + found);
      from = batchEnd;
      continue;
    }
#endif
    size_t fitting = 0;
    for (size_t k = 0; k < count; ++k) {
      hits[fitting] = hits[k];
      fitting += s.LengthFitsAt(buf + hits[k]);
    }
    for (size_t k = 0; k < fitting; ++k)
      found += TryCandidate(hits[k], s, out[found]);
    from = batchEnd;
  }
  return found;
}

#if defined(CLW_HAS_X86_VECTORS)
__attribute__((target("avx2,bmi,bmi2,popcnt"))) size_t
SearchWide(size_t from, size_t to, const TScan& s, uint32_t* hits, TFoundCandidate* out) {
  return Search<1>(from, to, s, hits, out);
}
__attribute__((target(CLW_SCAN_AVX512))) size_t SearchWidest(size_t from, size_t to, const TScan& s,
                                                             uint32_t* hits, TFoundCandidate* out) {
  return Search<2>(from, to, s, hits, out);
}
#endif

size_t SearchNarrow(size_t from, size_t to, const TScan& s, uint32_t* hits, TFoundCandidate* out) {
  return Search<0>(from, to, s, hits, out);
}

} // namespace

size_t FindCandidatesAs(TSearchWidth Width, size_t From, size_t To, const TScan& S, uint32_t* Hits,
                        TFoundCandidate* Out) {
#if defined(CLW_HAS_X86_VECTORS)
  if (Width == TSearchWidth::Avx512) return SearchWidest(From, To, S, Hits, Out);
  if (Width == TSearchWidth::Avx2) return SearchWide(From, To, S, Hits, Out);
#endif
  return SearchNarrow(From, To, S, Hits, Out);
}

size_t FindCandidates(size_t From, size_t To, const TScan& S, uint32_t* Hits,
                      TFoundCandidate* Out) {
  return FindCandidatesAs(WidestSearch(), From, To, S, Hits, Out);
}

} // namespace clw::scan
