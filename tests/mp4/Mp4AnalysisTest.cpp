#include "mp4/HgMP4File.h"
#include "mp4/Mp4BoxTypes.h"
#include "support/MemoryStream.h"
#include "support/Mp4Builder.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>

namespace clw {
namespace {

using namespace test;

// A reader analysed over bytes in memory.
struct TAnalysed {
  TAnalysed(const TBytes& bytes, uint8_t mode,
            const std::function<void(THgMP4FileReader&)>& prepare = {})
      : Memory(std::make_unique<TMemoryStream>(bytes)),
        Atoms(std::make_unique<THgMp4Stream>(Memory.get())),
        Reader(std::make_unique<THgMP4FileReader>(*Atoms)), Size(int64_t(bytes.size())) {
    if (prepare) prepare(*Reader);
    Result = Reader->Analyze(mode);
  }
  THgMP4FileReader& R() { return *Reader; }
  // The nth node of a type, or -1.
  int32_t Find(const char (&type)[5], int nth = 0) const {
    for (uint32_t i = 0; i < Reader->Count(); ++i)
      if (Reader->Id(int32_t(i)) == MakeFourCC(type) && nth-- == 0) return int32_t(i);
    return -1;
  }

  std::unique_ptr<TMemoryStream> Memory;
  std::unique_ptr<THgMp4Stream> Atoms;
  std::unique_ptr<THgMP4FileReader> Reader;
  int64_t Size;
  int32_t Result = 0;
};

TMp4Box Ftyp() {
  return Box("ftyp", Join({BytesOf("isom"), BE32(512), BytesOf("isomavc1")}));
}

// A box whose type the scan cannot take for one: a container header wiped by damage.
TMp4Box Wiped(TMp4Box box) {
  box.Type = 0xEEEEEEEE;
  return box;
}

// Four bytes that claim a box of 5 bytes: no box is that small.
TMp4Box ShortSize() {
  return RawBytes({0, 0, 0, 5, 0xEE, 0xEE, 0xEE, 0xEE});
}

std::vector<TMp4Box> VideoTables() {
  return {Box("stsd", StsdPayload({VisualSampleEntry("avc1", 320, 240, {Box("avcC", 20)})})),
          Box("stts", SttsPayload({{3, 100}})),
          Box("stss", StssPayload({1})),
          Box("stsc", StscPayload({{1, 3, 1}})),
          Box("stsz", StszPayload(0, 3, {10, 20, 30})),
          Box("stco", StcoPayload({1000}))};
}

std::vector<TMp4Box> SoundTables() {
  return {Box("stsd", StsdPayload({SoundSampleEntry("mp4a", 2, 16, 44100, {Box("esds", 20)})})),
          Box("stts", SttsPayload({{2, 1024}})), Box("stsc", StscPayload({{1, 2, 1}})),
          Box("stsz", StszPayload(0, 2, {5, 6})), Box("co64", Co64Payload({0x100000000ull}))};
}

TMp4Box Movie() {
  return Container("moov", {Box("mvhd", MvhdPayload(0, 1000, 5000)), Trak(true, 1, VideoTables()),
                            Trak(false, 2, SoundTables())});
}

// A sound file: header, movie, then the media data.
TMp4File CleanFile(size_t mdatSize = 4096) {
  return BuildMp4({Ftyp(), Movie(), Box("mdat", mdatSize).Named("mdat")});
}

class Mp4CleanFileTest : public ::testing::TestWithParam<uint8_t> {};

TEST_P(Mp4CleanFileTest, ReadsEveryTableWithoutDamage) {
  const uint8_t mode = GetParam();
  TMp4File file = CleanFile();
  TAnalysed a(file.Bytes, mode);
  THgMP4FileReader& r = a.R();
  EXPECT_EQ(a.Result, kDone);
  EXPECT_EQ(r.Error, kNoDamage);
  EXPECT_EQ(r.FileSize, file.Bytes.size());
  EXPECT_EQ(r.Ftyp.MajorBrand, MakeFourCC("isom"));
  EXPECT_EQ(r.Mvhd.TimeScale, 1000u);
  for (uint32_t i = 0; i < r.Count(); ++i)
    EXPECT_EQ(r.Flags(int32_t(i)), 0) << i;

  ASSERT_EQ(r.TrackCount(), 2);
  const TMp4Trak& video = r.Traks[0];
  EXPECT_EQ(video.TrakNode, a.Find("trak"));
  EXPECT_EQ(video.MediaKind, mkVideo);
  EXPECT_EQ(video.VmhdNode, a.Find("vmhd"));
  EXPECT_EQ(video.StsdNode, a.Find("stsd"));
  EXPECT_EQ(video.tkhd.TrackId, 1u);
  EXPECT_EQ(video.mdhd.TimeScale, 600u);
  EXPECT_EQ(video.hdlr.HandlerType, MakeFourCC("vide"));
  EXPECT_EQ(video.stsz.Table, (TMp4_stsz_table{10, 20, 30}));
  EXPECT_EQ(video.stss.EntryCount, 1u);
  EXPECT_EQ(video.stco.Table, (TMp4_stco_table{1000}));
  const TMp4Trak& sound = r.Traks[1];
  EXPECT_EQ(sound.MediaKind, mkSound);
  EXPECT_EQ(sound.SmhdNode, a.Find("smhd"));
  EXPECT_EQ(sound.stts.Table[0].SampleDelta, 1024u);
  EXPECT_EQ(sound.stco.Table, (TMp4_stco_table{0x100000000ull}));
  EXPECT_EQ(sound.stss.Version, kNotRead);

  // Levels: moov 0, trak 1, mdia 2, minf 3, stbl 4, tables 5.
  EXPECT_EQ(r.NodeLevel(a.Find("moov")), 0);
  EXPECT_EQ(r.NodeLevel(a.Find("hdlr")), 3);
  EXPECT_EQ(r.NodeLevel(a.Find("stsd")), 5);

  // Media data is scanned only by the full checks.
  if (mode == 2 || mode == 3) {
    EXPECT_EQ(r.MediaDataNode, a.Find("mdat"));
    EXPECT_EQ(r.MediaDataStart, file.At["mdat"].Data);
  } else {
    EXPECT_EQ(r.MediaDataNode, -1);
  }
}

INSTANTIATE_TEST_SUITE_P(Mp4Analysis, Mp4CleanFileTest, ::testing::Values(0, 1, 2, 3));

// The verdict of one analysis: its result and what it leaves in Error.
struct TVerdictCase {
  const char* Name;
  std::function<TBytes()> File;
  uint8_t Mode;
  int32_t Result;
  int32_t Error;
};

class Mp4VerdictTest : public ::testing::TestWithParam<TVerdictCase> {};

TEST_P(Mp4VerdictTest, JudgesTheStructure) {
  const TVerdictCase& c = GetParam();
  TAnalysed a(c.File(), c.Mode);
  EXPECT_EQ(a.Result, c.Result);
  EXPECT_EQ(a.R().Error, c.Error);
}

TBytes WithBox(TMp4Box box) {
  return BuildMp4({Ftyp(), Movie(), std::move(box), Box("mdat", 64)}).Bytes;
}

TBytes WithTable(TMp4Box table) {
  return BuildMp4(
             {Ftyp(),
              Container("moov", {Box("mvhd", MvhdPayload(0, 1000, 5000)),
                                 Trak(true, 1, {Box("stco", StcoPayload({1})), std::move(table)})}),
              Box("mdat", 64)})
      .Bytes;
}

const size_t kMiB = 0x100000;

INSTANTIATE_TEST_SUITE_P(
    Mp4Damage, Mp4VerdictTest,
    ::testing::Values(
        TVerdictCase{"free_1MiB", [] { return WithBox(Box("free", kMiB - 8)); }, 0, 0, 0},
        TVerdictCase{"free_1MiB_plus_1", [] { return WithBox(Box("free", kMiB - 7)); }, 0, 0, -1},
        TVerdictCase{"free_2MiB", [] { return WithBox(Box("free", 2 * kMiB)); }, 0, 0, -1},
        TVerdictCase{"mdat_3MiB", [] { return WithBox(Box("mdat", 3 * kMiB)); }, 0, 0, 0},
        TVerdictCase{"stsz_8MiB", [] { return WithTable(Box("stsz", 8 * kMiB - 8)); }, 0, 0, 0},
        TVerdictCase{"stsz_9MiB", [] { return WithTable(Box("stsz", 9 * kMiB)); }, 0, 0, -1},
        TVerdictCase{"size0_last_box",
                     [] {
                       return BuildMp4({Ftyp(), Movie(), Box("mdat", 100).WithSizeField(0)}).Bytes;
                     },
                     2, 0, 0},
        TVerdictCase{"large_header", [] { return WithBox(Box("free", 100).AsLarge()); }, 2, 0, 0},
        TVerdictCase{"size5_quick", [] { return WithBox(ShortSize()); }, 0, 0, -1},
        TVerdictCase{"size5_full", [] { return WithBox(ShortSize()); }, 2, 0, -1},
        TVerdictCase{
            "past_end_of_file",
            [] {
              return BuildMp4({Ftyp(), Movie(), Box("mdat", 64).WithSizeField(5000)}).Bytes;
            },
            2, 0, -1},
        TVerdictCase{"past_parent",
                     [] {
                       return BuildMp4({Ftyp(),
                                        Container("moov", {Box("mvhd", MvhdPayload(0, 1, 1)),
                                                           Box("udta", 8).WithSizeField(40)}),
                                        Box("mdat", 64)})
                           .Bytes;
                     },
                     2, 0, -1},
        TVerdictCase{"unknown_type", [] { return WithBox(Box("abcd", 16)); }, 2, 0, -1},
        // Tables outside any track: the index is damaged, the data is not.
        TVerdictCase{"table_without_track",
                     [] {
                       return BuildMp4({Ftyp(), Container("moov", {Box("stco", StcoPayload({1}))}),
                                        Box("mdat", 64)})
                           .Bytes;
                     },
                     0, 0, -2},
        // A file that does not open with a top-level box has nothing to walk, and is not
        // sound: a quick analysis must not pass it to a full check as undamaged.
        TVerdictCase{"empty", [] { return TBytes{}; }, 0, -2, -1},
        TVerdictCase{"empty_mode3", [] { return TBytes{}; }, 3, -2, -1},
        TVerdictCase{"all_zero", [] { return TBytes(4096, 0); }, 0, -2, -1},
        TVerdictCase{"all_zero_mode2", [] { return TBytes(4096, 0); }, 2, -2, -1},
        TVerdictCase{"all_zero_mode3", [] { return TBytes(4096, 0); }, 3, 0, -1},
        TVerdictCase{"trak_first",
                     [] {
                       return BuildMp4({Trak(true, 1, {}), Box("mdat", 64)}).Bytes;
                     },
                     0, -2, -1},
        TVerdictCase{
            "first_header_found_by_search",
            [] {
              return BuildMp4({Ftyp().WithSizeField(0x7FFFFFFF), Movie(), Box("mdat", 64)}).Bytes;
            },
            0, -2, -1}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(Mp4Analysis, FileReaderAndMissingFile) {
  const auto dir = ScratchDir();
  TMp4File file = CleanFile();
  WriteFile(dir / "clip.mp4", std::string(file.Bytes.begin(), file.Bytes.end()));
  THgMP4FileReader reader((dir / "clip.mp4").string());
  ASSERT_EQ(reader.OpenError, kOpened);
  EXPECT_EQ(reader.Analyze(0), kDone);
  EXPECT_EQ(reader.TrackCount(), 2);
  // A second analysis starts from nothing.
  EXPECT_EQ(reader.Analyze(2), kDone);
  EXPECT_EQ(reader.TrackCount(), 2);
  EXPECT_EQ(reader.Error, kNoDamage);

  THgMP4FileReader missing((dir / "none.mp4").string());
  EXPECT_EQ(missing.OpenError, kNotFound);
  EXPECT_EQ(missing.Analyze(2), kNothingToAnalyse);
}

TEST(Mp4Analysis, ProgressAndCancel) {
  const TBytes bytes = BuildMp4({Ftyp(), Box("mdat", 3 * kMiB), Movie(), Box("free", 8)}).Bytes;
  std::vector<int64_t> reports;
  TAnalysed watched(bytes, 0, [&](THgMP4FileReader& r) {
    r.Cancelled = true; // a new analysis forgets an old request
    r.OnProgress = [&](const void*, int64_t percent) { reports.push_back(percent); };
  });
  EXPECT_EQ(watched.Result, kDone);
  ASSERT_GE(reports.size(), 2u);
  EXPECT_EQ(reports.back(), 100);
  for (size_t i = 1; i < reports.size(); ++i)
    EXPECT_LE(reports[i - 1], reports[i]);

  // Cancelled from inside the progress report: the walk stops at the next box.
  TAnalysed cancelled(bytes, 0, [](THgMP4FileReader& r) {
    r.OnProgress = [&r](const void*, int64_t) { r.Cancel(true); };
  });
  EXPECT_EQ(cancelled.Result, kCancelled);
  EXPECT_EQ(cancelled.Find("moov"), -1);
  EXPECT_EQ(cancelled.R().TrackCount(), 0);
}

// Where the media data is taken to lie after damage: the node and the scanned range both
// run from the payload of the box that could not be trusted to the end of the file.
struct TMediaCase {
  const char* Name;
  std::function<TMp4File()> File; // the box that cannot be trusted is labelled "x"
  uint8_t Mode;
  int64_t HeaderLength;
};

class Mp4MediaRangeTest : public ::testing::TestWithParam<TMediaCase> {};

TEST_P(Mp4MediaRangeTest, NodeAndScanReachTheEndOfTheFile) {
  const TMediaCase& c = GetParam();
  TMp4File file = c.File();
  TAnalysed a(file.Bytes, c.Mode);
  THgMP4FileReader& r = a.R();
  EXPECT_EQ(a.Result, kDone);
  EXPECT_EQ(r.Error, kDamagedData);
  const int64_t start = file.At["x"].Header;
  ASSERT_TRUE(r.IsNode(r.MediaDataNode));
  EXPECT_EQ(r.Id(r.MediaDataNode), kmdat);
  EXPECT_EQ(r.NodeStart(r.MediaDataNode), start);
  EXPECT_EQ(r.DataPosition(r.MediaDataNode), start + c.HeaderLength);
  EXPECT_EQ(r.NodeEnd(r.MediaDataNode), a.Size);
  EXPECT_EQ(r.MediaDataStart, start + c.HeaderLength);
}

TMp4File TailAfterMovie(TMp4Box tail) {
  return BuildMp4({Ftyp(), Movie(), std::move(tail).Named("x")});
}

INSTANTIATE_TEST_SUITE_P(
    Mp4Damage, Mp4MediaRangeTest,
    ::testing::Values(
        TMediaCase{"mdat_past_end_mode3",
                   [] { return TailAfterMovie(Box("mdat", 64).WithSizeField(5000)); }, 3, 8},
        TMediaCase{"mdat_past_end_mode2",
                   [] { return TailAfterMovie(Box("mdat", 64).WithSizeField(5000)); }, 2, 8},
        TMediaCase{
            "large_mdat_past_end",
            [] { return TailAfterMovie(Box("mdat", 64).AsLarge().WithSizeField(1ull << 40)); }, 3,
            16},
        // Not media data by its type, but nothing after it can be trusted.
        TMediaCase{"free_past_end_mode3",
                   [] { return TailAfterMovie(Box("free", 64).WithSizeField(5000)); }, 3, 8},
        TMediaCase{"free_past_end_mode2",
                   [] { return TailAfterMovie(Box("free", 64).WithSizeField(5000)); }, 2, 8}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(Mp4MediaRange, ShortHeaderStartsTheMediaData) {
  const int64_t header = int64_t(BuildMp4({Ftyp(), Movie()}).Bytes.size());
  TAnalysed a(BuildMp4({Ftyp(), Movie(), ShortSize(), Box("free", 64)}).Bytes, 3);
  THgMP4FileReader& r = a.R();
  ASSERT_TRUE(r.IsNode(r.MediaDataNode));
  EXPECT_EQ(r.NodeStart(r.MediaDataNode), header);
  EXPECT_EQ(r.MediaDataStart, header + 8);
  EXPECT_EQ(r.NodeEnd(r.MediaDataNode), a.Size);
}

TEST(Mp4MediaRange, TrustedMediaDataKeepsItsBox) {
  TMp4File file = BuildMp4({Ftyp(), Box("mdat", 500).Named("mdat"), Movie()});
  for (uint8_t mode : {2, 3}) {
    TAnalysed a(file.Bytes, mode);
    THgMP4FileReader& r = a.R();
    EXPECT_EQ(r.MediaDataNode, a.Find("mdat"));
    EXPECT_EQ(r.NodeEnd(r.MediaDataNode), file.At["mdat"].Header + 508);
    EXPECT_EQ(r.MediaDataStart, file.At["mdat"].Data);
    // Mode 2 walks on past the media data; mode 3 scans the rest as media data.
    EXPECT_EQ(r.TrackCount(), mode == 2 ? 2 : 0);
  }
}

TEST(Mp4MediaRange, WholeFileNode) {
  TAnalysed a(BuildMp4({Trak(true, 1, {}), Box("mdat", 64)}).Bytes, 3);
  THgMP4FileReader& r = a.R();
  EXPECT_EQ(a.Result, kDone);
  EXPECT_EQ(r.Error, kDamagedData);
  ASSERT_EQ(r.MediaDataNode, 0);
  EXPECT_EQ(r.DataPosition(0), 0);
  EXPECT_EQ(r.NodeEnd(0), a.Size);
  EXPECT_EQ(r.MediaDataStart, 0);
}

// Judging the boxes a walk after damage found by scanning.
class Mp4TreeJudgeTest : public ::testing::Test {};

TEST_F(Mp4TreeJudgeTest, MediaDataEndingTheFileIsSoundWhenSmall) {
  // A box-like header inside the media data: part of a sound region, a box of its own in
  // one too large to believe.
  for (size_t size : {size_t(512 * 1024), 2 * kMiB}) {
    SCOPED_TRACE(size);
    TBytes payload(size, 0xEE);
    const TBytes inner = Join({BE32(64), BytesOf("free")});
    std::copy(inner.begin(), inner.end(), payload.begin() + 1000);
    TAnalysed a(
        BuildMp4({Ftyp(), ShortSize(), Container("moov", {Box("mvhd", MvhdPayload(0, 1000, 1))}),
                  Box("mdat", payload)})
            .Bytes,
        1);
    EXPECT_EQ(a.R().Error, kDamagedData);
    ASSERT_GE(a.Find("mdat"), 0);
    EXPECT_EQ(a.Find("free") >= 0, size > kMiB);
    // "mvhd" ends where "mdat" starts: it is sound, and "moov" encloses it again.
    EXPECT_EQ(a.R().NodeLevel(a.Find("mvhd")), 1);
    EXPECT_EQ(a.R().Mvhd.TimeScale, 1000u);
  }
}

TEST_F(Mp4TreeJudgeTest, BoxStartingBeforeTheDataOfTheOneBeforeIsDropped) {
  // "trak" right after the type of "moov": its size field would be "moov" itself.
  TBytes bytes = BuildMp4({Ftyp(), ShortSize()}).Bytes;
  bytes = Join({bytes, BE32(0x20C), BytesOf("moovtrak"), BuildMp4({Box("free", 0x200 - 8)}).Bytes});
  TAnalysed a(bytes, 1);
  EXPECT_GE(a.Find("moov"), 0);
  EXPECT_EQ(a.Find("trak"), -1);
  EXPECT_EQ(a.R().TrackCount(), 0);
}

TEST_F(Mp4TreeJudgeTest, BoxHoldingAnotherIsDropped) {
  // The search past an unknown box leaves the scan to restart right after the "skip" it
  // found, so the scan after the damage finds the "trak" inside that "skip" again.
  TBytes skip = Join({TBytes(16, 0xEE), BE32(16), BytesOf("trak"), TBytes(0x200, 0xEE)});
  TAnalysed a(BuildMp4({Ftyp(), Box("abcd", 16), Box("skip", skip), ShortSize(),
                        RawBytes(TBytes(32, 0xEE))})
                  .Bytes,
              1);
  EXPECT_EQ(a.Find("skip"), -1);
  EXPECT_GE(a.Find("trak"), 0);
  EXPECT_EQ(a.R().TrackCount(), 1);
}

// Damage inside the movie after the media data: the track boxes are gone, their tables are
// found by scanning and end up directly inside "moov"; every second set opens a new track.
TEST_F(Mp4TreeJudgeTest, TablesOfLostTracksOpenTracksOfTheirOwn) {
  auto lostTrack = [](bool video) {
    std::vector<TMp4Box> tables = video ? VideoTables() : SoundTables();
    tables.insert(tables.begin(), video ? Box("vmhd", Join({FullBoxHead(0, 1), TBytes(8, 0)}))
                                        : Box("smhd", Join({FullBoxHead(0), TBytes(4, 0)})));
    return Wiped(Container("trak", {Wiped(Container("stbl", std::move(tables)))}));
  };
  TMp4File file = BuildMp4({Ftyp(), Box("mdat", 256).Named("mdat"),
                            Container("moov", {ShortSize(), lostTrack(true), lostTrack(false)})});
  TAnalysed a(file.Bytes, 2);
  THgMP4FileReader& r = a.R();
  EXPECT_EQ(a.Result, kDone);
  EXPECT_EQ(r.Error, kDamagedData);
  EXPECT_EQ(r.NodeLevel(a.Find("stsd", 1)), 1);
  ASSERT_EQ(r.TrackCount(), 2);
  EXPECT_EQ(r.Traks[0].TrakNode, -1);
  EXPECT_EQ(r.Traks[0].MediaKind, mkVideo);
  EXPECT_EQ(r.Traks[0].stsz.Table, (TMp4_stsz_table{10, 20, 30}));
  EXPECT_EQ(r.Traks[1].TrakNode, -1);
  EXPECT_EQ(r.Traks[1].MediaKind, mkSound);
  EXPECT_EQ(r.Traks[1].StsdNode, a.Find("stsd", 1));
  EXPECT_EQ(r.Traks[1].stco.Table, (TMp4_stco_table{0x100000000ull}));
  // The media data scanned before the damage is still the media node of the new tree.
  EXPECT_EQ(r.MediaDataNode, a.Find("mdat"));
  EXPECT_EQ(r.DataPosition(r.MediaDataNode), file.At["mdat"].Data);
}

// Random and half-structured bytes in every mode: the analysis ends, and every node it
// keeps lies within the file.
TEST(Mp4AnalysisFuzz, GarbageNeverEscapesTheFile) {
  std::mt19937 random(11);
  const TBytes head = Ftyp().Data;
  for (int round = 0; round < 120; ++round) {
    TBytes bytes(size_t(random() % 3000));
    for (auto& b : bytes) {
      const uint32_t pick = random() % 8;
      b = uint8_t(pick < 3   ? "moovtrakstblmdatstsdstcofree"[random() % 28]
                  : pick < 6 ? random() % 4
                             : random());
    }
    if (round % 2 == 0) bytes = Join({BuildMp4({Ftyp()}).Bytes, bytes});
    for (uint8_t mode = 0; mode < 4; ++mode) {
      TAnalysed a(bytes, mode);
      EXPECT_TRUE(a.Result == kDone || a.Result == kNothingToAnalyse) << round;
      for (uint32_t i = 0; i < a.R().Count(); ++i)
        EXPECT_LE(a.R().DataPosition(int32_t(i)), a.Size + 16) << round << " " << i;
    }
  }
}

} // namespace
} // namespace clw
