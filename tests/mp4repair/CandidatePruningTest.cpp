// A scan that lets go of candidates must leave slice detection and the repair exactly what
// a scan that keeps them all leaves: the same slices, statistics, verdict and repaired
// bytes, on real encoder output with its movie header cut off. The dense case is CAVLC
// video of a clean picture at near-lossless quality, a candidate every hundred bytes.
// Also: a cancel reaches the check wherever it falls, the walk finds a box behind a long
// stretch of zeros where it found it before it learnt to skip them, and the scan that
// passes over a stretch the walk measured finds what reading it finds.
#include "mp4/Mp4BoxTypes.h"
#include "mp4repair/HgMP4FileWriter.h"
#include "mp4repair/MediaDataAnalysis.h"

#include "support/MediaTools.h"
#include "support/MemoryStream.h"
#include "support/Mp4Builder.h"
#include "support/Mp4Clips.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

namespace clw::test {
namespace {

constexpr TMp4Clip kCavlcClip = {
    "h264_cavlc_dense_mp4", "h264_cavlc_dense.mp4",
    CLW_VIDEO_IN CLW_SINE_IN
    "-c:v libx264 -preset ultrafast -crf 1 -g 30 -t 12 " CLW_AAC CLW_SECOND_CHUNKS,
    TLayout::CameraChunks, true};

// The clip with everything from its movie header on cut away; "" when ffmpeg failed.
std::string CutClip(const TMp4Clip& Clip) {
  return CutAtMovieHeader(MakeClip(Clip.File, Clip.Arguments), ScratchDir());
}

// Where the payload of the top-level "mdat" begins, or 0.
uint64_t MediaDataStart(const std::string& Bytes) {
  const int64_t at = TopLevelBoxOffset(Bytes, "mdat");
  return at < 0 ? 0 : uint64_t(at) + 8;
}

using TSliceRecord =
    std::tuple<uint64_t, uint64_t, int32_t, int32_t, uint64_t, int64_t, std::vector<uint64_t>>;

std::vector<TSliceRecord> Slices(const THgMP4FileReader& Reader) {
  std::vector<TSliceRecord> out;
  for (const TMDATSlice& s : Reader.MDATSlices) {
    std::vector<uint64_t> members;
    for (int32_t k = 0; k < s.Count && size_t(k) < s.Members.size(); ++k)
      members.push_back(uint64_t(Reader.Scan.MDATChunks[uint32_t(s.Members[size_t(k)])].Position));
    out.emplace_back(s.Start, s.Size, s.Count, s.VCLCount, s.GapStart, s.GapLength, members);
  }
  return out;
}

std::vector<uint32_t> Statistics(const TSliceStatistics& S) {
  return {S.AudioMarker,       S.TypicalNALSize[0],    S.TypicalNALSize[1],    S.TypicalNALSize[2],
          S.TypicalNALSize[3], S.TypicalNALSize[4],    S.TypicalCandidateSize, S.TypicalGap,
          S.TypicalVCLCount,   S.SingleFrameInterleave};
}

// What the check and the repair of one file leave.
struct TOutcome {
  int32_t Result = 0;
  int32_t Error = 0;
  std::vector<TSliceRecord> Slices;
  std::vector<uint32_t> Statistics;
  int32_t WriteResult = 0;
  std::vector<uint8_t> Copy;
  uint64_t Dropped = 0;
  uint32_t Candidates = 0;
  uint64_t ListedAlone = 0;
};

TOutcome CheckAndRepair(const std::string& Path, uint32_t PruneAbove, uint8_t ListedMarker = 255) {
  TOutcome out;
  THgMP4FileReader reader(Path, &MediaDataAnalysis());
  reader.Scan.PruneAbove = PruneAbove;
  reader.Scan.ListedMarker = ListedMarker;
  reader.Analyze(0);
  out.Result = reader.Analyze(reader.Error == kDamagedData ? 3 : 2);
  out.Error = reader.Error;
  out.Slices = Slices(reader);
  out.Statistics = Statistics(reader.SliceStatistics);
  out.Dropped = reader.Scan.Dropped.Count();
  out.Candidates = reader.Scan.MDATChunks.Count();
  out.ListedAlone = reader.Scan.ListedAlone;
  TMemoryStream copy;
  {
    THgMP4FileWriter writer(reader, copy);
    out.WriteResult = writer.Write();
  }
  out.Copy = std::move(copy.Data);
  return out;
}

class CandidatePruningTest : public ::testing::TestWithParam<TMp4Clip> {};

// Pruning from the first read on (a limit of 0) or later against no pruning at all; the
// candidates that could stand alone listed by the marker the scan guesses, or by a marker
// set beforehand that may be the file's or another. A wrong marker (and the guess from no
// candidates at all) makes the check scan again with the file's.
TEST_P(CandidatePruningTest, KeepsSlicesVerdictAndRepairedBytes) {
  const std::string cut = CutClip(GetParam());
  ASSERT_FALSE(cut.empty()) << "ffmpeg could not make " << GetParam().File;
  const TOutcome whole = CheckAndRepair(cut, UINT32_MAX);
  ASSERT_EQ(whole.Dropped, 0u);
  ASSERT_FALSE(whole.Slices.empty());
  const std::pair<uint32_t, uint8_t> variants[] = {{0, 255}, {2000, 255}, {0, 0}, {0, 0x10}};
  for (const auto& [limit, listed] : variants) {
    SCOPED_TRACE(testing::Message() << "limit " << limit << ", listed marker " << int(listed));
    const TOutcome pruned = CheckAndRepair(cut, limit, listed);
    if (limit == 0) {
      EXPECT_GT(pruned.Dropped, 0u) << "nothing was let go of; the comparison proves nothing";
    }
    if (listed < kMarkers) {
      EXPECT_GT(pruned.ListedAlone, 0u) << "nothing was listed by the marker";
    }
    EXPECT_EQ(pruned.Result, whole.Result);
    EXPECT_EQ(pruned.Error, whole.Error);
    EXPECT_EQ(pruned.Statistics, whole.Statistics);
    ASSERT_EQ(pruned.Slices.size(), whole.Slices.size());
    for (size_t k = 0; k < whole.Slices.size(); ++k)
      ASSERT_EQ(pruned.Slices[k], whole.Slices[k]) << "slice " << k;
    EXPECT_EQ(pruned.WriteResult, whole.WriteResult);
    EXPECT_TRUE(pruned.Copy == whole.Copy) << "the repaired copies differ";
  }
}

std::vector<TMp4Clip> PruningClips() {
  std::vector<TMp4Clip> clips(std::begin(kMp4Clips), std::end(kMp4Clips));
  clips.push_back(kCavlcClip);
  return clips;
}

INSTANTIATE_TEST_SUITE_P(Clips, CandidatePruningTest, ::testing::ValuesIn(PruningClips()),
                         [](const auto& Info) { return std::string(Info.param.Name); });

// Media data scanned in two calls: units of the first call whose successor lies in the
// second keep it there, pruned or not. (Split points inside the dense video.)
TEST(CandidatePruningTwoScans, KeepWhereEarlierUnitsEnd) {
  const std::string cut = CutClip(kCavlcClip);
  ASSERT_FALSE(cut.empty());
  const std::string text = ReadFile(cut);
  const TBytes bytes(text.begin(), text.end());
  for (const double split : {0.3, 0.5, 0.77}) {
    SCOPED_TRACE(split);
    std::vector<TSliceRecord> results[2];
    for (const uint32_t limit : {UINT32_MAX, 0u}) {
      // Scanned again with the file's marker listed when slice detection asks, as a check
      // does.
      for (uint8_t listed = 255;;) {
        TMp4InMemory held(bytes);
        THgMP4FileReader& r = held.Reader;
        r.Scan.PruneAbove = limit;
        r.Scan.ListedMarker = listed;
        const uint64_t start = MediaDataStart(text);
        ASSERT_GT(start, 0u);
        const uint64_t middle = uint64_t(double(bytes.size()) * split);
        ASSERT_EQ(r.ScanMediaData(-1, middle - start, start), kDone);
        ASSERT_EQ(r.ScanMediaData(-1, bytes.size() - middle, middle), kDone);
        r.FindSlices(-1, true);
        if (r.Scan.ScanAgainFor >= kMarkers) {
          results[limit == 0] = Slices(r);
          break;
        }
        ASSERT_EQ(listed, 255) << "asked to scan again twice";
        listed = r.Scan.ScanAgainFor;
      }
    }
    ASSERT_FALSE(results[0].empty());
    EXPECT_EQ(results[1], results[0]);
  }
}

// A cancel at any progress report, from the scan through slice detection, ends the full
// check with kCancelled and at most a few reports later.
TEST(CheckCancel, EndsTheCheckWhereverItFalls) {
  const std::string cut = CutClip(kCavlcClip);
  ASSERT_FALSE(cut.empty());
  for (const uint32_t limit : {UINT32_MAX, 0u}) {
    SCOPED_TRACE(limit == 0 ? "pruned" : "whole");
    int64_t reports = 0;
    {
      THgMP4FileReader reader(cut, &MediaDataAnalysis());
      reader.Scan.PruneAbove = limit;
      reader.Analyze(0);
      reader.OnProgress = [&](const void*, int64_t) { ++reports; };
      ASSERT_EQ(reader.Analyze(3), kDone);
    }
    ASSERT_GT(reports, 16);
    for (int64_t at = 1; at <= reports; at += reports / 16) {
      THgMP4FileReader reader(cut, &MediaDataAnalysis());
      reader.Scan.PruneAbove = limit;
      reader.Analyze(0);
      int64_t seen = 0;
      reader.OnProgress = [&](const void*, int64_t) {
        if (++seen == at) reader.Cancel(true);
      };
      EXPECT_EQ(reader.Analyze(3), kCancelled) << "cancelled at report " << at << " of " << reports;
      EXPECT_LE(seen, at + 4) << "the check went on after the cancel at report " << at;
    }
  }
}

// After a header of zeros the walk finds the next box where a search four bytes at a time
// finds it, whatever the length of the stretch and its phase against the words.
TEST(WalkZeroStretch, FindsTheBoxBehindIt) {
  for (const size_t zeros :
       {8u, 63u, 64u, 65u, 66u, 67u, 0xFFFDu, 0x10001u, 300001u, 300002u, 300003u, 300004u}) {
    TBytes bytes = {0, 0, 0, 16, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm', 0, 0, 2, 0};
    bytes.resize(bytes.size() + zeros, 0);
    const uint64_t box = bytes.size();
    bytes.insert(bytes.end(), {0, 0, 0, 16, 'f', 'r', 'e', 'e', 1, 2, 3, 4, 5, 6, 7, 8});
    TMp4InMemory held(bytes);
    held.Reader.Analyze(0);
    int32_t found = -1;
    for (int32_t i = 0; i < int32_t(held.Reader.Count()); ++i)
      if (held.Reader.Id(i) == kfree) found = i;
    ASSERT_GE(found, 0) << zeros << " zeros";
    EXPECT_EQ(held.Reader.DataPosition(found), int64_t(box + 8)) << zeros << " zeros";
  }
}

// Real media data, a stretch of zeros long enough to be passed over, then media data again
// from mid-unit: the scan that takes the stretch as measured leaves the same candidates,
// links, zero runs and slices as the scan that reads every byte. False candidates near the
// end of the first part run into the zeros, so their ends are resolved inside the stretch.
TEST(ScanZeroStretch, PassingOverItChangesNothing) {
  const std::string cut = CutClip(kMp4Clips[0]);
  ASSERT_FALSE(cut.empty());
  const std::string text = ReadFile(cut);
  const uint64_t start = MediaDataStart(text);
  ASSERT_GT(start, 0u);
  for (const size_t zeros : {size_t(0x300005), size_t(0x20000), size_t(0x1000000)}) {
    SCOPED_TRACE(zeros);
    TBytes bytes(text.begin(), text.end());
    const auto header = int64_t(bytes.size());
    bytes.resize(bytes.size() + zeros, 0);
    const auto end = int64_t(bytes.size());
    bytes.insert(bytes.end(), text.begin() + int64_t(start) + 1001, text.end());
    using TLinks = std::vector<int32_t>;
    std::tuple<std::vector<TSliceRecord>, uint32_t, TLinks, std::vector<uint64_t>> results[2];
    for (const bool known : {false, true}) {
      TMp4InMemory held(bytes);
      THgMP4FileReader& r = held.Reader;
      if (known) r.KnownZeroStretch = TZeroStretch{header, header, end, int64_t(bytes.size())};
      ASSERT_EQ(r.ScanMediaData(-1, bytes.size() - start, start), kDone);
      r.FindSlices(-1, true);
      std::vector<uint64_t> runs;
      for (uint32_t k = 0; k < r.Scan.NullBlocks.Count(); ++k)
        runs.insert(runs.end(), {r.Scan.NullBlocks[k].Start, r.Scan.NullBlocks[k].Length});
      results[known] = {Slices(r), r.Scan.MDATChunks.Count(),
                        TLinks(r.Scan.ChunkSuccessors.begin(), r.Scan.ChunkSuccessors.end()), runs};
    }
    ASSERT_FALSE(std::get<0>(results[0]).empty());
    EXPECT_EQ(std::get<1>(results[1]), std::get<1>(results[0]));
    EXPECT_TRUE(std::get<2>(results[1]) == std::get<2>(results[0])) << "candidate links differ";
    EXPECT_EQ(std::get<3>(results[1]), std::get<3>(results[0]));
    EXPECT_EQ(std::get<0>(results[1]), std::get<0>(results[0]));
  }
}

} // namespace
} // namespace clw::test
