// Damage inside samples whose tables survived: the lost-sector rule at its boundaries, the
// H.264 unit rule, and taking damaged samples out of a track with its tables kept whole.
#include "mp4repair/SampleDamage.h"

#include "support/MemoryStream.h"
#include "support/Mp4Builder.h"

#include <gtest/gtest.h>

#include <functional>

namespace clw::test {
namespace {

// A stretch of media data that a case damages, and the sample judged in it.
struct TDamageCase {
  const char* Name;
  std::function<void(TBytes&)> Damage;
  uint64_t Offset, Size;
  TSampleRules Rules;
  bool Damaged;
};

void PrintTo(const TDamageCase& Case, std::ostream* Out) {
  *Out << Case.Name;
}

std::function<void(TBytes&)> Zeros(size_t From, size_t To) {
  return [=](TBytes& b) { std::fill(b.begin() + long(From), b.begin() + long(To), 0); };
}

// Units in MP4 framing with LengthSize-byte length fields, from Start on.
std::function<void(TBytes&)> Units(size_t Start, uint32_t LengthSize,
                                   std::vector<std::pair<uint32_t, uint8_t>> Units) {
  return [=](TBytes& b) {
    size_t at = Start;
    for (auto [length, header] : Units) {
      for (uint32_t i = 0; i < LengthSize; ++i)
        b[at + i] = uint8_t(length >> (8 * (LengthSize - 1 - i)));
      if (length > 0) b[at + LengthSize] = header;
      at += LengthSize + length;
    }
  };
}

constexpr TSampleRules kZeros{true, 0};
constexpr TSampleRules kH264{true, 4};
constexpr TSampleRules kPcm{false, 0};

const TDamageCase kDamageCases[] = {
    {"sector_inside", Zeros(1024, 1536), 1000, 1000, kZeros, true},
    {"exactly_one_sector", Zeros(1536, 2048), 1000, 1000, kZeros, true},
    {"one_byte_short_of_a_sector", Zeros(1024, 1535), 1000, 1000, kZeros, false},
    {"unaligned_run_longer_than_a_sector", Zeros(1100, 2000), 1000, 1100, kZeros, false},
    {"unaligned_run_holding_a_whole_sector", Zeros(1100, 2100), 1000, 1100, kZeros, true},
    {"sample_ends_where_the_run_starts", Zeros(1024, 1536), 500, 524, kZeros, false},
    {"last_byte_of_the_sample_in_the_run", Zeros(1024, 1536), 500, 525, kZeros, true},
    {"sample_starts_where_the_run_ends", Zeros(1024, 1536), 1536, 500, kZeros, false},
    {"sample_inside_a_run_that_began_before", Zeros(1024, 2560), 1600, 100, kZeros, true},
    {"spill_into_the_next_length_field", Zeros(1024, 1538), 1536, 500, kZeros, false},
    {"run_reaching_past_the_sample", Zeros(1536, 2048), 1000, 537, kZeros, true},
    {"pcm_silence", Zeros(1024, 2048), 1000, 1000, kPcm, false},
    {"compressed_sound_in_a_lost_sector", Zeros(1024, 2048), 1000, 1000, kZeros, true},
    {"units_add_up", Units(1000, 4, {{20, kSps}, {100, kIdr}}), 1000, 128, kH264, false},
    {"bytes_after_the_last_unit", Units(1000, 4, {{20, kSps}, {100, kIdr}}), 1000, 131, kH264,
     true},
    {"unit_past_the_sample", Units(1000, 4, {{20, kSps}, {100, kIdr}}), 1000, 127, kH264, true},
    {"unit_of_length_zero", Units(1000, 4, {{20, kSps}, {0, 0}, {100, kIdr}}), 1000, 132, kH264,
     true},
    {"forbidden_bit", Units(1000, 4, {{20, kSps}, {100, 0x80 | kIdr}}), 1000, 128, kH264, true},
    {"two_byte_length_fields", Units(1000, 2, {{20, kSps}, {100, kIdr}}), 1000, 124,
     TSampleRules{true, 2}, false},
};

class SampleDamageRules : public ::testing::TestWithParam<TDamageCase> {};

TEST_P(SampleDamageRules, JudgeTheSample) {
  const TDamageCase& c = GetParam();
  TMemoryStream stream;
  stream.Data.assign(4096, kFiller);
  c.Damage(stream.Data);
  TSampleJudge judge(stream, stream.Data.size(), [] { return true; });
  judge.FindLostSectors(c.Offset, c.Offset + c.Size + kSectorSize);
  EXPECT_EQ(judge.IsDamaged(c.Offset, c.Size, c.Rules), c.Damaged);
  // A cancel stops the reading: nothing is found, and nothing is judged damaged.
  TSampleJudge cancelled(stream, stream.Data.size(), [] { return false; });
  cancelled.FindLostSectors(c.Offset, c.Offset + c.Size + kSectorSize);
  EXPECT_TRUE(cancelled.LostSectors().empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, SampleDamageRules, ::testing::ValuesIn(kDamageCases),
                         [](const auto& Info) { return std::string(Info.param.Name); });

// Twelve samples of 100 ticks in three chunks of four, each chunk a group of pictures that
// opens with a sync sample, composition offsets 10 * n.
TRebuiltTrack Groups() {
  TRebuiltTrack t;
  t.MediaKind = mkVideo;
  for (int c = 0; c < 3; ++c) {
    TSlice chunk;
    for (int s = 0; s < 4; ++s)
      chunk.Samples.push_back(
          {uint64_t(1000 * c + 100 * s), 100, 100, uint16_t(s == 0 ? TNewChunk::kSync : 0)});
    chunk.Offset = chunk.Samples.front().Offset;
    chunk.Size = 400;
    chunk.SampleCount = 4;
    t.Chunks.push_back(chunk);
  }
  return t;
}

struct TRemovalCase {
  const char* Name;
  std::vector<int> Damaged;
  bool WholeGroups;
  uint64_t Leading;
  TMp4_stco_table Stco;
  std::vector<std::pair<uint32_t, uint32_t>> Stsc; // first chunk, samples per chunk
  TMp4_stts_table Stts;
  TMp4_stss_table Stss;
  std::vector<int32_t> Ctts;
};

void PrintTo(const TRemovalCase& Case, std::ostream* Out) {
  *Out << Case.Name;
}

const TRemovalCase kRemovalCases[] = {
    {"rest_of_the_group",
     {5},
     true,
     0,
     {0, 1000, 2000},
     {{1, 4}, {2, 1}, {3, 4}},
     {{4, 100}, {1, 400}, {4, 100}},
     {1, 5, 6},
     {0, 10, 20, 30, 40, 80, 90, 100, 110}},
    {"first_group",
     {0},
     true,
     400,
     {1000, 2000},
     {{1, 4}},
     {{8, 100}},
     {1, 5},
     {40, 50, 60, 70, 80, 90, 100, 110}},
    {"damaged_sync_sample_takes_its_group",
     {4},
     true,
     0,
     {0, 2000},
     {{1, 4}},
     {{3, 100}, {1, 500}, {4, 100}},
     {1, 5},
     {0, 10, 20, 30, 80, 90, 100, 110}},
    {"sound_samples_alone",
     {6, 7},
     false,
     0,
     {0, 1000, 2000},
     {{1, 4}, {2, 2}, {3, 4}},
     {{5, 100}, {1, 300}, {4, 100}},
     {1, 5, 7},
     {0, 10, 20, 30, 40, 50, 80, 90, 100, 110}},
};

class SampleRemoval : public ::testing::TestWithParam<TRemovalCase> {};

TEST_P(SampleRemoval, TablesStayConsistent) {
  const TRemovalCase& c = GetParam();
  TMp4InMemory in(TBytes(64, 0));
  TMemoryStream out;
  THgMP4FileWriter writer(in.Reader, out);
  writer.Tracks.push_back(Groups());
  std::vector<bool> damaged(12, false);
  for (int k : c.Damaged)
    damaged[size_t(k)] = true;
  std::vector<int32_t> ctts;
  for (int32_t k = 0; k < 12; ++k)
    ctts.push_back(10 * k);
  const TSampleRemoval removal = RemoveSamples(writer.Tracks[0], damaged, c.WholeGroups, &ctts);
  writer.BuildTrackTables(0);
  const TRebuiltTrack& t = writer.Tracks[0];
  EXPECT_EQ(removal.LeadingDuration, c.Leading);
  EXPECT_EQ(removal.Removed, 12 - ctts.size());
  EXPECT_EQ(t.stco.Table, c.Stco);
  std::vector<std::pair<uint32_t, uint32_t>> stsc;
  for (const TMp4_stsc_entry& e : t.stsc.Table)
    stsc.emplace_back(e.FirstChunk, e.SamplesPerChunk);
  EXPECT_EQ(stsc, c.Stsc);
  ASSERT_EQ(t.stts.Table.size(), c.Stts.size());
  uint64_t total = 0;
  for (size_t i = 0; i < c.Stts.size(); ++i) {
    EXPECT_EQ(t.stts.Table[i].SampleCount, c.Stts[i].SampleCount) << i;
    EXPECT_EQ(t.stts.Table[i].SampleDelta, c.Stts[i].SampleDelta) << i;
    total += uint64_t(t.stts.Table[i].SampleCount) * t.stts.Table[i].SampleDelta;
  }
  // Every tick of the track is either in a kept sample or before the first one.
  EXPECT_EQ(total + removal.LeadingDuration, 1200u);
  EXPECT_EQ(t.stss.Table, c.Stss);
  EXPECT_EQ(ctts, c.Ctts);
  EXPECT_EQ(t.stsz.Table.size(), ctts.size());
}

INSTANTIATE_TEST_SUITE_P(Cases, SampleRemoval, ::testing::ValuesIn(kRemovalCases),
                         [](const auto& Info) { return std::string(Info.param.Name); });

} // namespace
} // namespace clw::test
