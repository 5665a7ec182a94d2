// Composition offsets of rebuilt video: the picture order count rule (wraps against the
// last reference picture, reset at IDR pictures), display ranks and offsets, and the walk
// over samples held in memory: in-band parameter sets, slices after long SEI, and the
// streams that get no offsets.
#include "mp4repair/CompositionTimes.h"

#include "support/H264Builder.h"
#include "support/MemoryStream.h"

#include <gtest/gtest.h>

#include <tuple>

namespace clw::test {
namespace {

TEST(CompositionTimesTest, PictureOrderWrapsAgainstReferencesAndResetsAtIdr) {
  // Four bits of order count: the low part wraps every 16.
  struct TStep {
    const char* Name;
    TH264SliceHeader Slice; // NalRefIdc, NalType, ... PicOrderCntLsb, DeltaPicOrderCntBottom
    int64_t Order;
    uint32_t Period;
  };
  const auto pic = [](uint8_t RefIdc, uint8_t Type, uint32_t Lsb, int32_t Delta = 0,
                      bool Field = false) {
    TH264SliceHeader h;
    h.NalRefIdc = RefIdc;
    h.NalType = Type;
    h.PicOrderCntLsb = Lsb;
    h.DeltaPicOrderCntBottom = Delta;
    h.FieldPic = Field;
    return h;
  };
  const TStep steps[] = {
      {"first IDR", pic(3, 5, 0), 0, 0},
      {"reference", pic(2, 1, 8), 8, 0},
      {"non-reference", pic(0, 1, 4), 4, 0},
      {"reference before the wrap", pic(2, 1, 14), 14, 0},
      {"reference after the wrap", pic(2, 1, 2), 18, 0},
      {"non-reference after the wrap", pic(0, 1, 0), 16, 0},
      {"non-reference shown before the wrap", pic(0, 1, 12), 12, 0},
      // Had the picture before moved the reference point, this would read as 10.
      {"reference after non-references", pic(2, 1, 10), 26, 0},
      {"frame whose bottom field comes first", pic(2, 1, 12, -1), 27, 0},
      {"bottom field: its delta is not read", pic(2, 1, 14, -5, true), 30, 0},
      {"next IDR", pic(3, 5, 0), 0, 1},
      {"after the reset", pic(2, 1, 6), 6, 1},
      {"IDR of a large count", pic(3, 5, 12), -4, 2},
  };
  TPictureOrderCounter counter;
  for (const TStep& s : steps) {
    SCOPED_TRACE(s.Name);
    EXPECT_EQ(counter.Next(s.Slice, 4), s.Order);
    EXPECT_EQ(counter.Period(), s.Period);
  }
}

TEST(CompositionTimesTest, OffsetsShowEachPictureAtItsRank) {
  struct TCase {
    const char* Name;
    std::vector<uint32_t> Periods;
    std::vector<int64_t> Orders;
    std::vector<uint32_t> Durations;
    std::vector<int32_t> Offsets;
  };
  const TCase cases[] = {
      // I P B b b in decoding order, shown I b B b P: two frames of delay.
      {"pyramid", {0, 0, 0, 0, 0}, {0, 8, 4, 2, 6}, {10, 10, 10, 10, 10}, {20, 50, 20, 0, 10}},
      {"in order", {0, 0, 0}, {0, 2, 4}, {10, 10, 10}, {0, 0, 0}},
      // A picture shown at the decoding time of the sample of its rank, not rank x duration.
      {"uneven durations", {0, 0, 0}, {0, 4, 2}, {10, 30, 20}, {30, 60, 0}},
      // The next period's IDR comes after every picture of the one before, whatever its count.
      {"two periods", {0, 0, 0, 1, 1}, {0, 4, 2, -2, 2}, {10, 10, 10, 10, 10}, {10, 20, 0, 10, 10}},
      {"equal counts keep decoding order", {0, 0, 0}, {0, 2, 2}, {10, 10, 10}, {0, 0, 0}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<int32_t> offsets;
    ASSERT_TRUE(OffsetsFromRanks(DisplayRanks(c.Periods, c.Orders), c.Durations, offsets));
    EXPECT_EQ(offsets, c.Offsets);
  }
  // An offset beyond 32 bits is no offset.
  std::vector<int32_t> offsets;
  EXPECT_FALSE(OffsetsFromRanks({1, 0}, {0x80000000u, 10}, offsets));
}

// A stream of samples in memory, each [units...] in 4-byte framing, as a rebuilt track.
struct TStream {
  std::vector<uint8_t> Bytes;
  TRebuiltTrack Track;
  void Add(const std::vector<std::vector<uint8_t>>& Units, uint32_t Duration = 0) {
    TNewChunk sample{Bytes.size(), 0, Duration, 0};
    for (const auto& u : Units) {
      for (int i = 3; i >= 0; --i)
        Bytes.push_back(uint8_t(u.size() >> (8 * i)));
      Bytes.insert(Bytes.end(), u.begin(), u.end());
    }
    sample.Size = uint32_t(Bytes.size() - sample.Offset);
    if (Track.Chunks.empty()) Track.Chunks.emplace_back();
    Track.Chunks.back().Samples.push_back(sample);
  }
};

const std::vector<uint8_t> kAud = {0x09, 0xF0};

TEST(CompositionTimesTest, SamplesReadFromTheStream) {
  const TSpsFields described = {.Log2MaxPocLsb = 4};
  const TSpsFields inBand = {.Log2MaxFrameNum = 8, .Log2MaxPocLsb = 10};
  const std::vector<uint8_t> pps = MakePps(0, 0, false);
  // SEI longer than a read, then the slice.
  std::vector<uint8_t> longSei = {0x06, 0x05, 0xFF, 0xFF, 0x02};
  longSei.resize(600, 0x55);
  longSei.push_back(0x80);
  const auto slice = [](const TSpsFields& Sps, uint8_t Type, uint32_t Lsb, uint8_t RefIdc = 2) {
    return MakeSlice({.RefIdc = RefIdc,
                      .Type = Type,
                      .SliceType = Type == 5 ? 7u : 0u,
                      .PocLsb = Lsb,
                      .PayloadBytes = 40},
                     Sps);
  };
  struct TCase {
    const char* Name;
    TSpsFields Described;
    std::vector<std::vector<std::vector<uint8_t>>> Samples;
    TCompositionOutcome Outcome;
    std::vector<int32_t> Offsets;
  };
  const TSpsFields typeOne = {.PocType = 1, .PocCycle = 1};
  const TSpsFields typeTwo = {.PocType = 2};
  const TCase cases[] = {
      {"described sets",
       described,
       {{kAud, slice(described, 5, 0)},
        {kAud, slice(described, 1, 4)},
        {kAud, slice(described, 1, 2, 0)}},
       coWritten,
       {10, 20, 0}},
      // With the described sets the 10-bit counts and 8-bit frame numbers would misread.
      {"in-band sets win",
       described,
       {{kAud, MakeSps(inBand), pps, longSei, slice(inBand, 5, 0)},
        {slice(inBand, 1, 400)},
        {slice(inBand, 1, 200, 0)}},
       coWritten,
       {10, 20, 0}},
      {"in order", described, {{slice(described, 5, 0)}, {slice(described, 1, 2)}}, coInOrder, {}},
      {"a sample without a slice",
       described,
       {{slice(described, 5, 0)}, {kAud}, {slice(described, 1, 2)}},
       coUnreadable,
       {}},
      {"a slice of an unknown picture set",
       described,
       {{slice(described, 5, 0)}, {MakeSlice({.PpsId = 4}, described)}},
       coUnreadable,
       {}},
      {"order from a frame-number cycle", typeOne, {{slice(typeOne, 5, 0)}}, coPocType1, {}},
      {"order of decoding", typeTwo, {{slice(typeTwo, 5, 0)}}, coInOrder, {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TStream stream;
    for (const auto& units : c.Samples)
      stream.Add(units);
    stream.Track.DefaultSampleDuration = 10;
    stream.Track.CompositionOffsets = {7}; // left from before: replaced or cleared
    TMemoryStream source(stream.Bytes);
    source.Seek(3, soBeginning); // where the writer's other steps left it
    const std::vector<uint8_t> avcC = MakeAvcC(4, {MakeSps(c.Described)}, {pps});
    EXPECT_EQ(AssignCompositionOffsets(source, avcC, stream.Track), c.Outcome);
    EXPECT_EQ(source.Position(), 3);
    EXPECT_EQ(stream.Track.CompositionOffsets, c.Offsets);
    EXPECT_EQ(stream.Track.CompositionVersion, 0);
  }
}

TEST(CompositionTimesTest, CutSamplesGiveNoOffsets) {
  // A sample whose length field runs past its end, and one the file no longer holds.
  const TSpsFields sps;
  const std::vector<uint8_t> pps = MakePps(0, 0, false);
  const std::vector<uint8_t> avcC = MakeAvcC(4, {MakeSps(sps)}, {pps});
  for (const bool pastFile : {false, true}) {
    TStream stream;
    stream.Add({MakeSlice({.Type = 5, .SliceType = 7}, sps)});
    stream.Add({MakeSlice({.PocLsb = 4}, sps)});
    stream.Add({MakeSlice({.RefIdc = 0, .PocLsb = 2}, sps)});
    TNewChunk& last = stream.Track.Chunks[0].Samples.back();
    if (pastFile)
      stream.Bytes.resize(size_t(last.Offset) + 6);
    else
      --last.Size;
    stream.Track.DefaultSampleDuration = 10;
    TMemoryStream source(stream.Bytes);
    EXPECT_EQ(AssignCompositionOffsets(source, avcC, stream.Track), coUnreadable) << pastFile;
    EXPECT_TRUE(stream.Track.CompositionOffsets.empty());
  }
}

} // namespace
} // namespace clw::test
