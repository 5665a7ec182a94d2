// The H.264 syntax readers: escaped payload bits, parameter sets of the profiles cameras
// use, slice headers up to the picture order fields, and "avcC" payloads, each whole,
// cut short or out of range.
#include "mp4/H264Syntax.h"

#include "support/H264Builder.h"

#include <gtest/gtest.h>

#include <tuple>

namespace clw::test {
namespace {

TEST(H264SyntaxTest, BitReaderRemovesEscapesAndStopsAtTheEnd) {
  struct TCase {
    const char* Name;
    std::vector<uint8_t> Bytes;
    uint32_t Count; // bits read at once
    uint32_t Value;
    bool Failed;
  };
  const TCase cases[] = {
      {"escape removed", {0x00, 0x00, 0x03, 0x01}, 24, 0x000001, false},
      {"03 after one zero kept", {0x00, 0x03, 0x01}, 24, 0x000301, false},
      {"escape after escape", {0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x02}, 40, 0x02, false},
      {"escape as the last byte", {0x00, 0x00, 0x03}, 16, 0x0000, false},
      {"one bit past the end", {0xFF}, 9, 0, true},
      {"empty", {}, 1, 0, true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TRbspReader r(c.Bytes.data(), c.Bytes.size());
    uint64_t value = 0;
    for (uint32_t left = c.Count; left > 0;) {
      const uint32_t n = left > 32 ? 32 : left;
      value = value << n | r.Bits(n);
      left -= n;
    }
    EXPECT_EQ(value, c.Value);
    EXPECT_EQ(r.Failed(), c.Failed);
  }
}

TEST(H264SyntaxTest, ExpGolombCodes) {
  // Codes written by the builder and read back, at the edges of their lengths.
  const std::tuple<uint64_t, int64_t> values[] = {
      {0, 0}, {1, 1}, {2, -1}, {254, 127}, {255, -128}, {65535, 40000}, {0xFFFFFFFE, -0x7FFFFFFF}};
  for (const auto& [ue, se] : values) {
    SCOPED_TRACE(ue);
    TBitWriter w;
    const std::vector<uint8_t> bytes = Escape(w.Ue(ue).Se(se).Finish());
    TRbspReader r(bytes.data(), bytes.size());
    EXPECT_EQ(r.Ue(), ue);
    EXPECT_EQ(r.Se(), se);
    EXPECT_FALSE(r.Failed());
  }
  // 32 leading zeros make no 32-bit value; a code cut short fails; a bound fails.
  const std::vector<uint8_t> tooLong = {0, 0, 0, 0, 0x80, 0, 0, 0, 0};
  TRbspReader a(tooLong.data(), tooLong.size());
  a.Ue();
  EXPECT_TRUE(a.Failed());
  const std::vector<uint8_t> cut = {0x00, 0x01}; // 15 zeros, the one, no suffix
  TRbspReader b(cut.data(), cut.size());
  EXPECT_EQ(b.Ue(), 0u);
  EXPECT_TRUE(b.Failed());
  const std::vector<uint8_t> seven = TBitWriter().Ue(7).Finish();
  TRbspReader c(seven.data(), seven.size());
  c.Ue(6);
  EXPECT_TRUE(c.Failed());
}

auto SpsFields(const TH264Sps& s) {
  return std::tuple(s.Id, s.ChromaFormatIdc, s.SeparateColourPlane, s.BitDepthLuma,
                    s.BitDepthChroma, s.Log2MaxFrameNum, s.PicOrderCntType, s.Log2MaxPicOrderCntLsb,
                    s.PicWidthInMbs, s.PicHeightInMapUnits, s.FrameMbsOnly, s.FrameMacroblocks());
}

TEST(H264SyntaxTest, SequenceParameterSets) {
  TSpsFields high10 = {.Id = 3, .BitDepthLuma = 10, .BitDepthChroma = 10, .Log2MaxFrameNum = 9};
  TSpsFields lists444 = {
      .Profile = 244, .ChromaFormat = 3, .SeparateColourPlane = true, .ScalingLists = true};
  // Baseline carries no chroma fields: the format stays 4:2:0.
  TSpsFields baseline = {.Profile = 66, .PocType = 2, .WidthMbs = 22, .HeightMapUnits = 18};
  TSpsFields pocCycle = {.PocType = 1, .PocCycle = 3, .MaxRefFrames = 1};
  TSpsFields interlaced = {.Log2MaxPocLsb = 16, .HeightMapUnits = 34, .FrameMbsOnly = false};
  const std::tuple<const char*, TSpsFields, uint32_t, uint32_t, uint64_t> cases[] = {
      {"high 10", high10, 1, 6, 8160},          {"4:4:4 with scaling lists", lists444, 3, 6, 8160},
      {"baseline", baseline, 1, 4, 396},        {"type 1 cycle", pocCycle, 1, 4, 8160},
      {"field pairs", interlaced, 1, 16, 8160},
  };
  for (const auto& [name, fields, chroma, lsb, mbs] : cases) {
    SCOPED_TRACE(name);
    const std::vector<uint8_t> unit = MakeSps(fields);
    TH264Sps sps;
    ASSERT_TRUE(ReadSps(unit.data(), unit.size(), sps));
    const TSpsFields& f = fields;
    EXPECT_EQ(SpsFields(sps), std::tuple(f.Id, chroma, f.SeparateColourPlane, f.BitDepthLuma,
                                         f.BitDepthChroma, f.Log2MaxFrameNum, f.PocType, lsb,
                                         f.WidthMbs, f.HeightMapUnits, f.FrameMbsOnly, mbs));
    // Every piece that ends before the last field read is refused (the flags after it and
    // the stop bit take at most the last byte and a half).
    for (size_t size = 0; size + 2 <= unit.size(); ++size) {
      std::vector<uint8_t> piece(unit.begin(), unit.begin() + ptrdiff_t(size));
      TH264Sps cut;
      EXPECT_FALSE(ReadSps(piece.data(), piece.size(), cut)) << size;
    }
  }
  // Values out of their range make no set.
  const TSpsFields outOfRange[] = {{.Id = 32},           {.ChromaFormat = 4},
                                   {.BitDepthLuma = 15}, {.Log2MaxFrameNum = 17},
                                   {.PocType = 3},       {.WidthMbs = 65537}};
  for (const TSpsFields& f : outOfRange) {
    const std::vector<uint8_t> unit = MakeSps(f);
    TH264Sps sps;
    EXPECT_FALSE(ReadSps(unit.data(), unit.size(), sps));
  }
}

// The picture shown: the coded macroblocks less the cropping, counted in chroma samples.
TEST(H264SyntaxTest, PictureSizeAfterCropping) {
  const std::tuple<const char*, TSpsFields, uint32_t, uint32_t> cases[] = {
      {"1080p, 4:2:0", {.CropBottom = 4}, 1920, 1080},
      {"1080i field pairs",
       {.HeightMapUnits = 34, .FrameMbsOnly = false, .CropBottom = 2},
       1920,
       1080},
      {"4:4:4, one sample a unit", {.Profile = 244, .ChromaFormat = 3, .CropRight = 8}, 1912, 1088},
      {"cropping past the frame", {.WidthMbs = 1, .CropRight = 9}, 0, 1088},
  };
  for (const auto& [name, fields, width, height] : cases) {
    SCOPED_TRACE(name);
    const std::vector<uint8_t> unit = MakeSps(fields);
    TH264Sps sps;
    ASSERT_TRUE(ReadSps(unit.data(), unit.size(), sps));
    EXPECT_EQ(sps.Width(), width);
    EXPECT_EQ(sps.Height(), height);
  }
}

TEST(H264SyntaxTest, SliceHeadersUpToThePictureOrder) {
  const TSpsFields frames = {.Log2MaxFrameNum = 5, .Log2MaxPocLsb = 8};
  const TSpsFields fields = {.FrameMbsOnly = false};
  const TSpsFields planes = {.ChromaFormat = 3, .SeparateColourPlane = true, .Log2MaxPocLsb = 16};
  struct TCase {
    const char* Name;
    TSpsFields Sps;
    bool BottomPresent;
    TSliceFields Slice;
  };
  const TCase cases[] = {
      {"IDR frame",
       frames,
       false,
       {.Type = 5, .SliceType = 7, .FrameNum = 0, .IdrPicId = 3, .PocLsb = 0}},
      {"B frame with bottom delta",
       frames,
       true,
       {.RefIdc = 0,
        .FirstMb = 4000,
        .SliceType = 1,
        .FrameNum = 31,
        .PocLsb = 254,
        .DeltaBottom = -1}},
      {"bottom field",
       fields,
       true,
       {.SliceType = 0, .FrameNum = 9, .FieldPic = true, .BottomField = true, .PocLsb = 33}},
      {"frame of a field stream", fields, false, {.SliceType = 5, .FrameNum = 1, .PocLsb = 62}},
      {"colour plane", planes, false, {.SliceType = 2, .ColourPlane = 2, .PocLsb = 65535}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TH264ParameterSets sets;
    const std::vector<uint8_t> sps = MakeSps(c.Sps);
    const std::vector<uint8_t> pps = MakePps(0, 0, c.BottomPresent);
    ASSERT_TRUE(sets.Add(sps.data(), sps.size()));
    ASSERT_TRUE(sets.Add(pps.data(), pps.size()));
    const std::vector<uint8_t> unit = MakeSlice(c.Slice, c.Sps, c.BottomPresent);
    TH264SliceHeader h;
    ASSERT_TRUE(ReadSliceHeader(unit.data(), unit.size(), sets, h));
    const TSliceFields& s = c.Slice;
    EXPECT_EQ(std::tuple(h.NalRefIdc, h.NalType, h.FirstMbInSlice, h.SliceType, h.ColourPlaneId,
                         h.FrameNum, h.FieldPic, h.BottomField, h.IdrPicId, h.PicOrderCntLsb,
                         h.DeltaPicOrderCntBottom),
              std::tuple(s.RefIdc, s.Type, s.FirstMb, s.SliceType, s.ColourPlane, s.FrameNum,
                         s.FieldPic, s.BottomField, s.IdrPicId, s.PocLsb, s.DeltaBottom));
  }
}

TEST(H264SyntaxTest, SliceHeadersRefused) {
  const TSpsFields f;
  TH264ParameterSets sets;
  const std::vector<uint8_t> sps = MakeSps(f);
  const std::vector<uint8_t> pps = MakePps(1, 0, false);
  ASSERT_TRUE(sets.Add(sps.data(), sps.size()) && sets.Add(pps.data(), pps.size()));
  const std::vector<uint8_t> good = MakeSlice({.PpsId = 1, .PocLsb = 5, .PayloadBytes = 0}, f);
  TH264SliceHeader h;
  ASSERT_TRUE(ReadSliceHeader(good.data(), good.size(), sets, h));
  const std::tuple<const char*, std::vector<uint8_t>> cases[] = {
      {"unknown picture set", MakeSlice({.PpsId = 2}, f)},
      {"picture set of a missing sequence set", MakeSlice({.PpsId = 7}, f)},
      {"slice type 10", MakeSlice({.SliceType = 10, .PpsId = 1}, f)},
      {"not a slice", MakeSlice({.Type = 6, .PpsId = 1}, f)},
      {"cut inside frame_num", {good.begin(), good.end() - 1}},
  };
  const std::vector<uint8_t> orphan = MakePps(7, 5, false);
  ASSERT_TRUE(sets.Add(orphan.data(), orphan.size()));
  for (const auto& [name, unit] : cases) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(ReadSliceHeader(unit.data(), unit.size(), sets, h));
  }
}

TEST(H264SyntaxTest, AvcConfigurations) {
  const std::vector<uint8_t> sps = MakeSps({});
  const std::vector<uint8_t> pps = MakePps(0, 0, false);
  for (uint32_t lengthSize : {1u, 2u, 4u}) {
    const std::vector<uint8_t> payload = MakeAvcC(lengthSize, {sps}, {pps, pps});
    TAvcConfig config;
    ASSERT_TRUE(ReadAvcConfig(payload.data(), payload.size(), config));
    EXPECT_EQ(config.NalLengthSize, lengthSize);
    EXPECT_EQ(config.Sps, std::vector<std::vector<uint8_t>>{sps});
    EXPECT_EQ(config.Pps, (std::vector<std::vector<uint8_t>>{pps, pps}));
  }
  const std::vector<uint8_t> whole = MakeAvcC(4, {sps}, {pps});
  std::vector<uint8_t> threeBytes = whole;
  threeBytes[4] = 0xFE;
  std::vector<uint8_t> emptyUnit = MakeAvcC(4, {{}}, {pps});
  const std::tuple<const char*, std::vector<uint8_t>> refused[] = {
      {"length size 3", threeBytes},
      {"unit of length 0", emptyUnit},
      {"picture set cut short", {whole.begin(), whole.end() - 1}},
      {"no picture set count", {whole.begin(), whole.begin() + ptrdiff_t(8 + sps.size())}},
      {"header only", {whole.begin(), whole.begin() + 5}},
  };
  for (const auto& [name, payload] : refused) {
    SCOPED_TRACE(name);
    TAvcConfig config;
    EXPECT_FALSE(ReadAvcConfig(payload.data(), payload.size(), config));
  }
}

// A configuration written from a stream's own sets reads back as those sets; the high
// profiles add their chroma format and bit depths after the picture sets.
TEST(H264SyntaxTest, AvcConfigurationsWritten) {
  const std::vector<uint8_t> pps = MakePps(0, 0, false);
  for (const uint32_t profile : {66u, 100u}) {
    SCOPED_TRACE(profile);
    TAvcConfig config;
    config.NalLengthSize = 2;
    config.Sps = {MakeSps({.Profile = profile, .BitDepthLuma = profile == 100 ? 10u : 8u})};
    config.Pps = {pps, pps};
    const std::vector<uint8_t> payload = WriteAvcConfig(config);
    TAvcConfig read;
    ASSERT_TRUE(ReadAvcConfig(payload.data(), payload.size(), read));
    EXPECT_EQ(read.NalLengthSize, 2u);
    EXPECT_EQ(read.Sps, config.Sps);
    EXPECT_EQ(read.Pps, config.Pps);
    const std::vector<uint8_t> tail(payload.end() - 4, payload.end());
    if (profile == 100) {
      EXPECT_EQ(tail, (std::vector<uint8_t>{0xFD, 0xFA, 0xF8, 0}));
    }
  }
  TAvcConfig none;
  EXPECT_TRUE(WriteAvcConfig(none).empty());
}

} // namespace
} // namespace clw::test
