// The search for candidates in the window, the hot loop of a check: gigabytes pass through
// it, and encoder output with many zero bytes yields a candidate every few dozen bytes.
// Three passes over each batch of positions keep every step free of branches the data
// decides: the prefilter marks 64 positions at a time and their indices are written out
// eight at a time; the length test keeps the indices whose length fits their header byte;
// the full test writes every record and keeps it by advancing the count or not.
//
// Processors with AVX2 and the bit instructions that came with it run the same passes 32
// positions at a time; the choice is made once, at the first scan.
#include "mp4repair/ScanState.h"

#include "streams/Endian.h"

#include <algorithm>
#include <bit>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define CLW_SCAN_HAS_AVX2 1
#endif

namespace clw::scan {

namespace {

#if defined(CLW_SCAN_HAS_AVX2)
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
template <bool Wide> [[gnu::always_inline]] inline uint64_t CandidateMarks(const uint8_t* P) {
#if defined(CLW_SCAN_HAS_AVX2)
  if constexpr (Wide) return CandidateLanes32(P) | uint64_t(CandidateLanes32(P + 32)) << 32;
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

// Whether the length field and header byte at P fit each other.
inline bool LengthFitsHeader(const uint8_t* p, const TScan& s) {
  const uint32_t length = ReadBE32(p);
  const TLengthRange& r = s.Ranges[p[4]];
  return (length >= r.Min) & (length <= r.Max);
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

template <bool Wide>
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
    size_t fitting = 0;
    for (size_t k = 0; k < count; ++k) {
      hits[fitting] = hits[k];
      fitting += LengthFitsHeader(buf + hits[k], s);
    }
    for (size_t k = 0; k < fitting; ++k)
      found += TryCandidate(hits[k], s, out[found]);
    from = batchEnd;
  }
  return found;
}

#if defined(CLW_SCAN_HAS_AVX2)
__attribute__((target("avx2,bmi,bmi2,popcnt"))) size_t
SearchWide(size_t from, size_t to, const TScan& s, uint32_t* hits, TFoundCandidate* out) {
  return Search<true>(from, to, s, hits, out);
}
#endif

size_t SearchNarrow(size_t from, size_t to, const TScan& s, uint32_t* hits, TFoundCandidate* out) {
  return Search<false>(from, to, s, hits, out);
}

} // namespace

size_t FindCandidates(size_t From, size_t To, const TScan& S, uint32_t* Hits,
                      TFoundCandidate* Out) {
#if defined(CLW_SCAN_HAS_AVX2)
  static const bool wide = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
                           __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
  if (wide) return SearchWide(From, To, S, Hits, Out);
#endif
  return SearchNarrow(From, To, S, Hits, Out);
}

} // namespace clw::scan
