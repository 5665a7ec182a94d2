#include "mp4/NalUnitCheck.h"

#include "streams/Endian.h"

#include <algorithm>

namespace clw {

namespace {

// Coded slices, and SEI, parameter sets, delimiters, end of sequence and stream, filler.
constexpr uint32_t kAlwaysAllowed = NalTypeBit(1) | NalTypeBit(5) | NalTypeBit(6) | NalTypeBit(7) |
                                    NalTypeBit(8) | NalTypeBit(9) | NalTypeBit(10) |
                                    NalTypeBit(11) | NalTypeBit(12);

// A macroblock uncompressed: 256 luma samples and the chroma of its format (none, a half,
// the same, twice as many again), each sample in whole bytes.
uint32_t RawMacroblockBytes(const TH264Sps& Sps) {
  static constexpr uint32_t kHalves[4] = {2, 3, 4, 6};
  const uint32_t depth = std::max(Sps.BitDepthLuma, Sps.BitDepthChroma);
  return 256 * kHalves[std::min<uint32_t>(Sps.ChromaFormatIdc, 3)] / 2 * ((depth + 7) / 8);
}

bool NeedsReference(uint8_t Type) {
  return Type == 5 || Type == 7 || Type == 8;
}
bool NeverReference(uint8_t Type) {
  return Type == 6 || (Type >= 9 && Type <= 12);
}

bool LengthFits(uint8_t Type, uint64_t Length, const TNalLimits& Limits) {
  switch (Type) {
  case 1:
  case 5:
    return Length >= kMinSliceLength && Length <= Limits.MaxSliceLength;
  case 7:
    return Length >= kMinSpsLength && Length <= kMaxSpsLength;
  case 8:
    return Length >= kMinPpsLength && Length <= kMaxPpsLength;
  case 9:
    return Length == kAudLength;
  default:
    return Length <= kMaxOtherLength;
  }
}

TNalVerdict CheckSliceStart(const uint8_t* Unit, size_t Size, uint8_t Type,
                            const TNalLimits& Limits) {
  TRbspReader r(Unit + 1, Size - 1);
  const uint32_t firstMb = r.Ue();
  const uint32_t sliceType = r.Ue();
  const uint32_t ppsId = r.Ue();
  if (r.Failed()) return nvSliceHeader;
  if (firstMb >= Limits.Macroblocks) return nvFirstMb;
  if (sliceType > 9 || (Type == 5 && sliceType % 5 != 2 && sliceType % 5 != 4)) return nvSliceType;
  if (ppsId > kMaxPpsId || !Limits.PpsIds[ppsId]) return nvPpsId;
  return nvAccepted;
}

// Non-zero when one of the 8 bytes of V is zero.
inline uint64_t ZeroByteBits(uint64_t V) {
  return (V - 0x0101010101010101ull) & ~V & 0x8080808080808080ull;
}

// An encoder escapes every 00 00 followed by 00..03 with an inserted 03, so none of
// 00 00 00/01/02 remains and an escape is always followed by 00..03 again. The rules only
// look at bytes after two zeros, so stretches without a zero byte, which make up nearly
// all of a coded slice, are passed over 32 bytes at a time.
bool ObeysEmulationPrevention(const uint8_t* P, size_t Size) {
  uint32_t zeros = 0;
  for (size_t i = 0; i < Size; ++i) {
    if (zeros == 0) {
      while (i + 32 <= Size &&
             (ZeroByteBits(ReadLE64(P + i)) | ZeroByteBits(ReadLE64(P + i + 8)) |
              ZeroByteBits(ReadLE64(P + i + 16)) | ZeroByteBits(ReadLE64(P + i + 24))) == 0)
        i += 32;
      if (i == Size) break;
    }
    const uint8_t b = P[i];
    if (zeros >= 2 && b <= 3) {
      if (b < 3) return false;
      if (i + 1 < Size && P[i + 1] > 3) return false;
      zeros = 0;
      continue;
    }
    zeros = b == 0 ? zeros + 1 : 0;
  }
  return true;
}

} // namespace

bool MakeNalLimits(const TAvcConfig& Config, uint32_t SampleNalTypes, TNalLimits& Out) {
  TNalLimits limits;
  limits.NalLengthSize = Config.NalLengthSize;
  limits.AllowedTypes = kAlwaysAllowed | SampleNalTypes;
  for (const std::vector<uint8_t>& unit : Config.Sps) {
    TH264Sps sps;
    if (!ReadSps(unit.data(), unit.size(), sps)) continue;
    limits.Macroblocks = std::max(limits.Macroblocks, sps.FrameMacroblocks());
    limits.RawMacroblockBytes = std::max(limits.RawMacroblockBytes, RawMacroblockBytes(sps));
  }
  for (const std::vector<uint8_t>& unit : Config.Pps) {
    TH264Pps pps;
    if (ReadPps(unit.data(), unit.size(), pps)) limits.PpsIds.set(pps.Id);
  }
  if (limits.Macroblocks == 0 || limits.PpsIds.none()) return false;
  // An encoder's worst slice is the raw picture plus a little per macroblock; half as much
  // again and a few kilobytes of headers bound what any encoder writes.
  limits.MaxSliceLength =
      limits.Macroblocks * (uint64_t(limits.RawMacroblockBytes) + 16) * 3 / 2 + 4096;
  Out = limits;
  return true;
}

bool MakeNalLimits(const uint8_t* AvcC, size_t Size, uint32_t SampleNalTypes, TNalLimits& Out) {
  TAvcConfig config;
  return ReadAvcConfig(AvcC, Size, config) && MakeNalLimits(config, SampleNalTypes, Out);
}

TNalVerdict CheckNalUnit(const uint8_t* Unit, size_t Available, uint64_t Length,
                         const TNalLimits& Limits) {
  if (Length == 0 || Available == 0) return nvEmpty;
  const size_t held = size_t(std::min<uint64_t>(Available, Length));
  const uint8_t header = Unit[0];
  const uint8_t type = header & 0x1F;
  const uint8_t refIdc = (header >> 5) & 3;
  if (header & 0x80) return nvForbiddenBit;
  if (!(Limits.AllowedTypes & NalTypeBit(type))) return nvTypeNotAllowed;
  if ((NeedsReference(type) && refIdc == 0) || (NeverReference(type) && refIdc != 0))
    return nvRefIdc;
  if (!LengthFits(type, Length, Limits)) return nvLength;
  if (type == 1 || type == 5) {
    const TNalVerdict slice = CheckSliceStart(Unit, held, type, Limits);
    if (slice != nvAccepted) return slice;
  }
  if (!ObeysEmulationPrevention(Unit, held)) return nvEmulation;
  if (held == Length && Unit[held - 1] == 0) return nvTrailingZero;
  return nvAccepted;
}

TNalVerdict CheckSample(const uint8_t* Sample, size_t Size, const TNalLimits& Limits,
                        size_t* FailedAt) {
  const size_t field = Limits.NalLengthSize;
  size_t at = 0;
  const auto fail = [&](TNalVerdict Verdict) {
    if (FailedAt) *FailedAt = at;
    return Verdict;
  };
  if (Size == 0 || field == 0 || field > 4) return fail(nvSampleSize);
  while (at < Size) {
    if (Size - at < field) return fail(nvSampleSize);
    uint64_t length = 0;
    for (size_t i = 0; i < field; ++i)
      length = length << 8 | Sample[at + i];
    const size_t body = at + field;
    if (length > Size - body) return fail(nvSampleSize);
    const TNalVerdict verdict = CheckNalUnit(Sample + body, size_t(length), length, Limits);
    if (verdict != nvAccepted) return fail(verdict);
    at = body + size_t(length);
  }
  return nvAccepted;
}

} // namespace clw
