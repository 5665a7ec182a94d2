// The NAL unit check: one case per rule, each just inside and just outside it, on units
// written for a 1920x1088 High profile stream with picture sets 0 and 3.
#include "mp4/NalUnitCheck.h"

#include "support/H264Builder.h"

#include <gtest/gtest.h>

#include <tuple>

namespace clw::test {
namespace {

constexpr uint64_t kMacroblocks = 120 * 68;
// 8160 macroblocks of 384 bytes, plus 16 each, half as much again, and 4 KiB.
constexpr uint64_t kLongestSlice = 4900096;

TNalLimits Limits(uint32_t SampleTypes = 0, uint32_t LengthSize = 4) {
  const std::vector<uint8_t> avcC =
      MakeAvcC(LengthSize, {MakeSps({})}, {MakePps(0, 0, false), MakePps(3, 0, false)});
  TNalLimits limits;
  EXPECT_TRUE(MakeNalLimits(avcC.data(), avcC.size(), SampleTypes, limits));
  return limits;
}

std::vector<uint8_t> Slice(TSliceFields F) {
  return MakeSlice(F, TSpsFields{});
}

std::vector<uint8_t> Append(std::vector<uint8_t> Unit, const std::vector<uint8_t>& Tail) {
  Unit.insert(Unit.end(), Tail.begin(), Tail.end());
  return Unit;
}

constexpr uint64_t kWhole = UINT64_MAX;

struct TCase {
  const char* Name;
  std::vector<uint8_t> Unit;
  TNalVerdict Verdict = nvAccepted;
  uint64_t Length = kWhole;  // the length field's value
  size_t Available = kWhole; // how much of the unit is in memory
  uint32_t SampleTypes = 0;
};

TEST(NalUnitCheckTest, EachRuleAtItsEdge) {
  const std::vector<uint8_t> pSlice = Slice({});
  const std::vector<uint8_t> idr = Slice({.Type = 5, .SliceType = 7, .PpsId = 3});
  const std::vector<uint8_t> sps = MakeSps({});
  const std::vector<uint8_t> pps = MakePps(0, 0, false);
  const std::vector<uint8_t> sei = {0x06, 0x05, 0x01, 0xAA, 0x80};
  const size_t held = pSlice.size();
  const TCase cases[] = {
      {"P slice", pSlice},
      {"IDR slice", idr},
      {"length 0", {0x41}, nvEmpty, 0},
      {"forbidden bit", {0xE5, 0x88, 0x84, 0x80}, nvForbiddenBit},
      {"type 0", {0x00, 0x88, 0x80}, nvTypeNotAllowed},
      {"partition A unseen", {0x42, 0x88, 0x80}, nvTypeNotAllowed},
      {"partition A seen", {0x42, 0x88, 0x80}, nvAccepted, kWhole, kWhole, NalTypeBit(2)},
      {"type 20 unseen", {0x74, 0x88, 0x80}, nvTypeNotAllowed, kWhole, kWhole, NalTypeBit(14)},
      {"IDR of nal_ref_idc 0", Slice({.RefIdc = 0, .Type = 5, .SliceType = 2}), nvRefIdc},
      {"SPS of nal_ref_idc 0", Append({0x07}, {sps.begin() + 1, sps.end()}), nvRefIdc},
      {"PPS of nal_ref_idc 0", Append({0x08}, {pps.begin() + 1, pps.end()}), nvRefIdc},
      {"SEI of nal_ref_idc 1", Append({0x26}, {sei.begin() + 1, sei.end()}), nvRefIdc},
      {"delimiter of nal_ref_idc 3", {0x69, 0xF0}, nvRefIdc},
      {"end of stream of nal_ref_idc 2", {0x4B}, nvRefIdc},
      {"filler of nal_ref_idc 1", {0x2C, 0xFF, 0x80}, nvRefIdc},
      {"SEI", sei},
      {"slice of 3 bytes", {0x41, 0x9A, 0x80}, nvLength},
      {"longest slice", pSlice, nvAccepted, kLongestSlice, held},
      {"slice one byte longer", pSlice, nvLength, kLongestSlice + 1, held},
      {"longest SPS", sps, nvAccepted, 8592, sps.size()},
      {"SPS one byte longer", sps, nvLength, 8593, sps.size()},
      {"SPS of 3 bytes", {0x67, 0x64, 0x80}, nvLength},
      {"longest PPS", pps, nvAccepted, 5320, pps.size()},
      {"PPS one byte longer", pps, nvLength, 5321, pps.size()},
      {"delimiter", {0x09, 0xF0}},
      {"delimiter of 3 bytes", {0x09, 0xF0, 0x80}, nvLength},
      {"SEI of 1 MiB", sei, nvAccepted, 1 << 20, sei.size()},
      {"SEI one byte longer", sei, nvLength, (1 << 20) + 1, sei.size()},
      {"last macroblock", Slice({.FirstMb = kMacroblocks - 1})},
      {"past the last macroblock", Slice({.FirstMb = kMacroblocks}), nvFirstMb},
      {"slice type 9", Slice({.SliceType = 9})},
      {"slice type 10", Slice({.SliceType = 10}), nvSliceType},
      {"IDR of P slices", Slice({.Type = 5, .SliceType = 5}), nvSliceType},
      {"IDR of SI slices", Slice({.Type = 5, .SliceType = 4})},
      {"picture set 1", Slice({.PpsId = 1}), nvPpsId},
      {"picture set 256", Slice({.PpsId = 256}), nvPpsId},
      {"header cut in memory", {0x65, 0x00}, nvSliceHeader, 64},
      {"start code inside", Append(pSlice, {0x00, 0x00, 0x01, 0x80}), nvEmulation},
      {"zeros inside", Append(pSlice, {0x00, 0x00, 0x00, 0x80}), nvEmulation},
      {"00 00 02 inside", Append(pSlice, {0x00, 0x00, 0x02, 0x80}), nvEmulation},
      {"escape before 04", Append(pSlice, {0x00, 0x00, 0x03, 0x04}), nvEmulation},
      {"escape before 01", Append(pSlice, {0x00, 0x00, 0x03, 0x01, 0x80})},
      {"escape at the end", Append(pSlice, {0x00, 0x00, 0x03})},
      {"start code past what is held", Append(pSlice, {0x00, 0x00, 0x01}), nvAccepted, kWhole,
       held + 2},
      {"last byte zero", Append(pSlice, {0x00}), nvTrailingZero},
      {"last byte zero not held", Append(pSlice, {0x00}), nvAccepted, kWhole, held},
      {"more held than the length", Append(pSlice, {0x00, 0x00, 0x01}), nvAccepted, held},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const uint64_t length = c.Length == kWhole ? c.Unit.size() : c.Length;
    const size_t available = std::min(c.Available, c.Unit.size());
    EXPECT_EQ(CheckNalUnit(c.Unit.data(), available, length, Limits(c.SampleTypes)), c.Verdict);
  }
}

TEST(NalUnitCheckTest, LongestSliceFollowsChromaFormatAndBitDepth) {
  // The bound for each format of the 8160-macroblock picture: 256 luma bytes and none,
  // half, the same or twice as many chroma bytes, two bytes a sample above 8 bits.
  const std::tuple<const char*, TSpsFields, uint64_t> cases[] = {
      {"monochrome", {.ChromaFormat = 0}, 3333376},
      {"4:2:2", {.ChromaFormat = 2}, 6466816},
      {"4:4:4", {.Profile = 244, .ChromaFormat = 3}, 9600256},
      {"4:2:0, 10 bits", {.BitDepthLuma = 10, .BitDepthChroma = 10}, 9600256},
      {"4:2:0, chroma 9 bits", {.BitDepthChroma = 9}, 9600256},
      {"field pairs", {.HeightMapUnits = 34, .FrameMbsOnly = false}, kLongestSlice},
  };
  for (const auto& [name, fields, longest] : cases) {
    SCOPED_TRACE(name);
    const std::vector<uint8_t> avcC = MakeAvcC(4, {MakeSps(fields)}, {MakePps(0, 0, false)});
    TNalLimits limits;
    ASSERT_TRUE(MakeNalLimits(avcC.data(), avcC.size(), 0, limits));
    const std::vector<uint8_t> unit = MakeSlice({}, fields);
    EXPECT_EQ(CheckNalUnit(unit.data(), unit.size(), longest, limits), nvAccepted);
    EXPECT_EQ(CheckNalUnit(unit.data(), unit.size(), longest + 1, limits), nvLength);
  }
  // Without a set that reads there are no limits.
  const std::vector<uint8_t> noPps = MakeAvcC(4, {MakeSps({})}, {});
  const std::vector<uint8_t> badSps = MakeAvcC(4, {{0x67, 0x64}}, {MakePps(0, 0, false)});
  for (const std::vector<uint8_t>& avcC : {noPps, badSps}) {
    TNalLimits limits;
    EXPECT_FALSE(MakeNalLimits(avcC.data(), avcC.size(), 0, limits));
  }
}

std::vector<uint8_t> Framed(const std::vector<std::vector<uint8_t>>& Units, uint32_t Size) {
  std::vector<uint8_t> out;
  for (const auto& u : Units) {
    for (uint32_t i = Size; i-- > 0;)
      out.push_back(uint8_t(u.size() >> (8 * i)));
    out.insert(out.end(), u.begin(), u.end());
  }
  return out;
}

TEST(NalUnitCheckTest, WholeSamples) {
  const std::vector<uint8_t> aud = {0x09, 0xF0};
  const std::vector<uint8_t> idr = Slice({.Type = 5, .SliceType = 7});
  const std::vector<uint8_t> second = Slice({.Type = 5, .FirstMb = 4080, .SliceType = 7});
  const std::vector<uint8_t> good = Framed({aud, idr, second}, 4);
  std::vector<uint8_t> longer = good;
  longer.push_back(0x80);
  std::vector<uint8_t> overrun = Framed({aud, idr}, 4);
  overrun[6 + 3] += 1; // the last unit's length field claims one byte more
  const size_t secondAt = 6 + 4 + idr.size();
  const std::tuple<const char*, std::vector<uint8_t>, uint32_t, TNalVerdict, size_t> cases[] = {
      {"delimiter and two slices", good, 4, nvAccepted, 0},
      {"two-byte lengths", Framed({aud, idr, second}, 2), 2, nvAccepted, 0},
      {"one-byte lengths", Framed({aud, idr}, 1), 1, nvAccepted, 0},
      {"a byte after the last unit", longer, 4, nvSampleSize, good.size()},
      {"a length past the end", overrun, 4, nvSampleSize, 6},
      {"a refused unit", Framed({aud, idr, Slice({.FirstMb = 9000})}, 4), 4, nvFirstMb, secondAt},
      {"a unit of length 0", Framed({aud, {}}, 4), 4, nvEmpty, 6},
      {"empty", {}, 4, nvSampleSize, 0},
  };
  for (const auto& [name, sample, lengthSize, verdict, at] : cases) {
    SCOPED_TRACE(name);
    size_t failedAt = 0;
    EXPECT_EQ(CheckSample(sample.data(), sample.size(), Limits(0, lengthSize), &failedAt), verdict);
    EXPECT_EQ(failedAt, at);
  }
}

// The escape rules hold wherever their bytes fall in a long slice: at every phase of the
// search that passes over bytes without a zero, and across its steps.
TEST(NalUnitCheckTest, EscapesAreJudgedAtEveryOffset) {
  const std::vector<uint8_t> pSlice = Slice({});
  const std::pair<std::vector<uint8_t>, TNalVerdict> patterns[] = {
      {{0x00, 0x00, 0x01}, nvEmulation},       {{0x00, 0x00, 0x00, 0x80}, nvEmulation},
      {{0x00, 0x00, 0x03, 0x04}, nvEmulation}, {{0x00, 0x00, 0x03, 0x01}, nvAccepted},
      {{0x00, 0x00, 0x04}, nvAccepted},        {{0x00, 0x80, 0x00, 0x01}, nvAccepted}};
  for (const auto& [pattern, verdict] : patterns)
    for (size_t at = 0; at < 72; ++at) {
      std::vector<uint8_t> unit = Append(pSlice, std::vector<uint8_t>(at, 0x80));
      unit = Append(Append(unit, pattern), std::vector<uint8_t>(40, 0x80));
      EXPECT_EQ(CheckNalUnit(unit.data(), unit.size(), unit.size(), Limits()), verdict)
          << "pattern " << int(pattern[2]) << " at " << at;
    }
}

} // namespace
} // namespace clw::test
