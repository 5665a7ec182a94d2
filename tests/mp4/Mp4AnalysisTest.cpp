#include "mp4/HgMP4File.h"
#include "mp4/Mp4BoxTypes.h"
#include "support/MemoryStream.h"
#include "support/Mp4Builder.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>
#include <random>

namespace clw {
namespace {

using namespace test;

const size_t kMiB = 0x100000;

// A reader analysed over bytes in memory.
struct TAnalysed {
  TAnalysed(const TBytes& bytes, uint8_t mode,
            const std::function<void(THgMP4FileReader&)>& prepare = {})
      : Memory(std::make_unique<TMemoryStream>(bytes)),
        Atoms(std::make_unique<THgMp4Stream>(Memory.get())),
        R(std::make_unique<THgMP4FileReader>(*Atoms)), Size(int64_t(bytes.size())) {
    if (prepare) prepare(*R);
    Result = R->Analyze(mode);
  }
  // The nth node of a type, or -1.
  int32_t Find(const char (&type)[5], int nth = 0) const {
    for (int32_t i = 0; i < int32_t(R->Count()); ++i)
      if (R->Id(i) == MakeFourCC(type) && nth-- == 0) return i;
    return -1;
  }
  int32_t Media() const { return R->MediaDataNode; }

  std::unique_ptr<TMemoryStream> Memory;
  std::unique_ptr<THgMp4Stream> Atoms;
  std::unique_ptr<THgMP4FileReader> R;
  int64_t Size;
  int32_t Result = 0;
};

TMp4Box Ftyp() {
  return Box("ftyp", Join({BytesOf("isom"), BE32(512), BytesOf("isomavc1")}));
}

// Four bytes that claim a box of 5 bytes: no box is that small.
TMp4Box ShortSize() {
  return RawBytes({0, 0, 0, 5, 0xEE, 0xEE, 0xEE, 0xEE});
}

std::vector<TMp4Box> Tables(bool video) {
  if (video)
    return {Box("stsd", StsdPayload({VisualSampleEntry("avc1", 320, 240, {Box("avcC", 20)})})),
            Box("stsz", StszPayload(0, 3, {10, 20, 30})), Box("stco", StcoPayload({1000}))};
  return {Box("stsd", StsdPayload({SoundSampleEntry("mp4a", 2, 16, 44100, {Box("esds", 20)})})),
          Box("stts", SttsPayload({{2, 1024}})), Box("co64", Co64Payload({0x100000000ull}))};
}

TMp4Box Movie() {
  // QuickTime puts a data handler into "minf"; it does not name the track's media.
  TMp4Box video = Trak(true, 1, Tables(true));
  video.Children[1].Children[2].Children.push_back(Box("hdlr", HdlrPayload("dhlr", "")));
  return Container("moov", {Box("mvhd", MvhdPayload(0, 1000, 5000)), std::move(video),
                            Trak(false, 2, Tables(false))});
}

class Mp4CleanFileTest : public ::testing::TestWithParam<uint8_t> {};

TEST_P(Mp4CleanFileTest, ReadsEveryTableWithoutDamage) {
  const uint8_t mode = GetParam();
  TMp4File file = BuildMp4({Ftyp(), Movie(), Box("mdat", 4096).Named("mdat")});
  TAnalysed a(file.Bytes, mode);
  EXPECT_EQ(a.Result, kDone);
  EXPECT_EQ(a.R->Error, kNoDamage);
  EXPECT_EQ(+a.R->Mvhd.TimeScale, 1000u);
  EXPECT_EQ(a.R->NodeLevel(a.Find("stsd")), 5);
  ASSERT_EQ(a.R->TrackCount(), 2);
  const TMp4Trak& video = a.R->Traks[0];
  EXPECT_EQ(video.TrakNode, a.Find("trak"));
  EXPECT_EQ(video.MediaKind, mkVideo);
  EXPECT_EQ(+video.hdlr.HandlerType, MakeFourCC("vide"));
  EXPECT_EQ(video.stsz.Table, (TMp4_stsz_table{10, 20, 30}));
  EXPECT_EQ(a.R->Traks[1].SmhdNode, a.Find("smhd"));
  EXPECT_EQ(a.R->Traks[1].stco.Table, (TMp4_stco_table{0x100000000ull}));
  // Only the full checks scan the media data.
  EXPECT_EQ(a.Media(), mode >= 2 ? a.Find("mdat") : -1);
  EXPECT_EQ(a.R->MediaDataStart, mode >= 2 ? file.At["mdat"].Data : 0);
}

INSTANTIATE_TEST_SUITE_P(Mp4Analysis, Mp4CleanFileTest, ::testing::Values(0, 1, 2, 3));

// The result of one analysis and the verdict it leaves in Error.
struct TVerdictCase {
  const char* Name;
  std::function<TBytes()> File;
  uint8_t Mode;
  int32_t Result;
  int32_t Error;
};
void PrintTo(const TVerdictCase& c, std::ostream* os) {
  *os << c.Name;
}

class Mp4VerdictTest : public ::testing::TestWithParam<TVerdictCase> {};

TEST_P(Mp4VerdictTest, JudgesTheStructure) {
  const TVerdictCase& c = GetParam();
  TAnalysed a(c.File(), c.Mode);
  EXPECT_EQ(a.Result, c.Result);
  EXPECT_EQ(a.R->Error, c.Error);
}

TBytes Around(TMp4Box box) {
  return BuildMp4({Ftyp(), Movie(), std::move(box)}).Bytes;
}
TBytes InTrack(TMp4Box table) {
  return BuildMp4({Ftyp(), Container("moov", {Trak(true, 1, {std::move(table)})})}).Bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Mp4Damage, Mp4VerdictTest,
    ::testing::Values(
        TVerdictCase{"free_1MiB", [] { return Around(Box("free", kMiB - 8)); }, 0, 0, 0},
        TVerdictCase{"free_1MiB_and_1", [] { return Around(Box("free", kMiB - 7)); }, 0, 0, -1},
        TVerdictCase{"mdat_3MiB", [] { return Around(Box("mdat", 3 * kMiB)); }, 0, 0, 0},
        TVerdictCase{"stsz_8MiB", [] { return InTrack(Box("stsz", 8 * kMiB - 8)); }, 0, 0, 0},
        TVerdictCase{"stsz_9MiB", [] { return InTrack(Box("stsz", 9 * kMiB)); }, 0, 0, -1},
        TVerdictCase{"size0_last", [] { return Around(Box("mdat", 99).WithSizeField(0)); }, 2, 0,
                     0},
        TVerdictCase{"large_size", [] { return Around(Box("mdat", 99).AsLarge()); }, 2, 0, 0},
        TVerdictCase{"size5", [] { return Around(ShortSize()); }, 0, 0, -1},
        TVerdictCase{"past_end", [] { return Around(Box("mdat", 9).WithSizeField(99)); }, 2, 0, -1},
        TVerdictCase{"past_parent",
                     [] {
                       return BuildMp4({Container("moov", {Box("udta", 8).WithSizeField(40)}),
                                        Box("mdat", 64)})
                           .Bytes;
                     },
                     2, 0, -1},
        TVerdictCase{"unknown_type", [] { return Around(Box("abcd", 16)); }, 2, 0, -1},
        TVerdictCase{"table_without_track",
                     [] { return BuildMp4({Container("moov", {Box("stco", 8)})}).Bytes; }, 0, 0,
                     -2},
        // Without a top-level box first there is nothing to walk, and a quick analysis
        // must not hand the file to the full check as undamaged.
        TVerdictCase{"empty", [] { return TBytes{}; }, 3, -2, -1},
        TVerdictCase{"all_zero", [] { return TBytes(4096, 0); }, 0, -2, -1},
        TVerdictCase{"all_zero_mode3", [] { return TBytes(4096, 0); }, 3, 0, -1},
        TVerdictCase{"trak_first", [] { return BuildMp4({Trak(true, 1, {})}).Bytes; }, 0, -2, -1},
        // The search past a broken first header finds "moov": top-level, but not first.
        TVerdictCase{"first_found_by_search",
                     [] {
                       return BuildMp4({Box("ftyp", 16).WithSizeField(1 << 30), Movie()}).Bytes;
                     },
                     0, -2, -1}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(Mp4Analysis, ProgressAndCancel) {
  const TBytes bytes = BuildMp4({Ftyp(), Box("mdat", 3 * kMiB), Movie()}).Bytes;
  std::vector<int64_t> reports;
  TAnalysed watched(bytes, 0, [&](THgMP4FileReader& r) {
    r.Cancelled = true; // a new analysis forgets an old request
    r.OnProgress = [&](const void*, int64_t percent) { reports.push_back(percent); };
  });
  EXPECT_EQ(watched.Result, kDone);
  ASSERT_GE(reports.size(), 2u);
  EXPECT_GT(reports[0], 90);
  EXPECT_EQ(reports.back(), 100);

  // Cancelled from inside a report: the walk stops at the next box.
  TAnalysed cancelled(bytes, 0, [](THgMP4FileReader& r) {
    r.OnProgress = [&r](const void*, int64_t) { r.Cancel(true); };
  });
  EXPECT_EQ(cancelled.Result, kCancelled);
  EXPECT_EQ(cancelled.Find("moov"), -1);
}

// A sparse file with 5 GiB of media data: positions past 4 GiB survive the walk.
TEST(Mp4Analysis, FileBeyondFourGiB) {
  const auto path = ScratchDir() / "long.mp4";
  const TBytes head = BuildMp4({Ftyp(), Movie()}).Bytes;
  const int64_t mdatAt = int64_t(head.size());
  const int64_t mdatSize = (int64_t(5) << 30) + 16;
  {
    std::ofstream out(path, std::ios::binary);
    const TBytes mdat = Join({head, BE32(1), BytesOf("mdat"), BE64(uint64_t(mdatSize))});
    out.write(reinterpret_cast<const char*>(mdat.data()), std::streamsize(mdat.size()));
    out.seekp(mdatAt + mdatSize);
    const TBytes tail = BuildMp4({Box("free", 8)}).Bytes;
    out.write(reinterpret_cast<const char*>(tail.data()), std::streamsize(tail.size()));
  }
  THgMP4FileReader reader(path.string());
  ASSERT_EQ(reader.Analyze(0), kDone);
  EXPECT_EQ(reader.Error, kNoDamage);
  EXPECT_EQ(reader.TrackCount(), 2);
  const int32_t free = reader.FindChild(-1, kfree);
  EXPECT_EQ(reader.NodeEnd(reader.FindChild(-1, kmdat)), mdatAt + mdatSize);
  EXPECT_EQ(reader.DataPosition(free), mdatAt + mdatSize + 8);
  EXPECT_EQ(reader.NodeEnd(free), int64_t(reader.FileSize));
  std::filesystem::remove(path);
}

// Media data after damage: the node and the scanned range both run from the payload of
// the box that cannot be trusted (labelled "x") to the end of the file.
struct TMediaCase {
  const char* Name;
  TMp4Box Tail;
  uint8_t Mode;
  int64_t HeaderLength;
};
void PrintTo(const TMediaCase& c, std::ostream* os) {
  *os << c.Name;
}

class Mp4MediaRangeTest : public ::testing::TestWithParam<TMediaCase> {};

TEST_P(Mp4MediaRangeTest, NodeAndScanReachTheEndOfTheFile) {
  const TMediaCase& c = GetParam();
  TMp4File file = BuildMp4({Ftyp(), Movie(), TMp4Box(c.Tail).Named("x")});
  TAnalysed a(file.Bytes, c.Mode);
  EXPECT_EQ(a.R->Error, kDamagedData);
  ASSERT_TRUE(a.R->IsNode(a.Media()));
  EXPECT_EQ(a.R->Id(a.Media()), kmdat);
  EXPECT_EQ(a.R->NodeStart(a.Media()), file.At["x"].Header);
  EXPECT_EQ(a.R->DataPosition(a.Media()), file.At["x"].Header + c.HeaderLength);
  EXPECT_EQ(a.R->NodeEnd(a.Media()), a.Size);
  EXPECT_EQ(a.R->MediaDataStart, file.At["x"].Header + c.HeaderLength);
}

INSTANTIATE_TEST_SUITE_P(
    Mp4Damage, Mp4MediaRangeTest,
    ::testing::Values(TMediaCase{"mdat_mode3", Box("mdat", 64).WithSizeField(5000), 3, 8},
                      TMediaCase{"mdat_mode2", Box("mdat", 64).WithSizeField(5000), 2, 8},
                      TMediaCase{"large_mdat", Box("mdat", 64).AsLarge().WithSizeField(1ull << 40),
                                 3, 16},
                      // Not media data by its type, but nothing from it on can be trusted.
                      TMediaCase{"free_mode3", Box("free", 64).WithSizeField(5000), 3, 8},
                      TMediaCase{"free_mode2", Box("free", 64).WithSizeField(5000), 2, 8}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(Mp4MediaRange, ShortHeaderTrustedBoxAndWholeFile) {
  const int64_t header = int64_t(BuildMp4({Ftyp(), Movie()}).Bytes.size());
  TAnalysed cut(BuildMp4({Ftyp(), Movie(), ShortSize(), Box("free", 64)}).Bytes, 3);
  EXPECT_EQ(cut.R->NodeStart(cut.Media()), header);
  EXPECT_EQ(cut.R->MediaDataStart, header + 8);
  EXPECT_EQ(cut.R->NodeEnd(cut.Media()), cut.Size);

  // A sound "mdat" keeps its own box; mode 2 walks on past it, mode 3 scans the rest.
  TMp4File file = BuildMp4({Ftyp(), Box("mdat", 500).Named("mdat"), Movie()});
  for (uint8_t mode : {2, 3}) {
    TAnalysed a(file.Bytes, mode);
    EXPECT_EQ(a.Media(), a.Find("mdat"));
    EXPECT_EQ(a.R->NodeEnd(a.Media()), file.At["mdat"].Header + 508);
    EXPECT_EQ(a.R->TrackCount(), mode == 2 ? 2 : 0);
  }

  // No structure at all: the node's data starts at the first byte, where the scan starts.
  TAnalysed whole(BuildMp4({Trak(true, 1, {}), Box("mdat", 64)}).Bytes, 3);
  ASSERT_EQ(whole.Media(), 0);
  EXPECT_EQ(whole.R->DataPosition(0), 0);
  EXPECT_EQ(whole.R->NodeEnd(0), whole.Size);
  EXPECT_EQ(whole.R->Error, kDamagedData);
}

// Trees after damage, walked strictly (mode 1) or after the media data (mode 2): what the
// scan found is judged and nested again by position.
TEST(Mp4TreeJudge, MediaDataEndingTheFileIsSoundWhenSmall) {
  for (size_t size : {size_t(512 * 1024), 2 * kMiB}) {
    SCOPED_TRACE(size);
    TBytes payload(size, 0xEE);
    const TBytes inner = Join({BE32(64), BytesOf("free")});
    std::copy(inner.begin(), inner.end(), payload.begin() + 1000);
    TAnalysed a(
        BuildMp4({Ftyp(), ShortSize(), Container("moov", {Box("mvhd", 100)}), Box("mdat", payload)})
            .Bytes,
        1);
    // Inside a sound region a box-like header is just data.
    EXPECT_EQ(a.Find("free") >= 0, size > kMiB);
    // "mvhd" ends where "mdat" starts: sound, and "moov" encloses it again.
    EXPECT_EQ(a.R->NodeLevel(a.Find("mvhd")), 1);
  }
}

TEST(Mp4TreeJudge, OutOfOrderAndOverlappingBoxesAreDropped) {
  // "trak" right after the type code of "moov": it starts before the data of "moov".
  TAnalysed order(Join({BuildMp4({Ftyp(), ShortSize()}).Bytes, BE32(0x20C), BytesOf("moovtrak"),
                        BuildMp4({Box("free", 0x1F8)}).Bytes}),
                  1);
  EXPECT_GE(order.Find("moov"), 0);
  EXPECT_EQ(order.Find("trak"), -1);

  // The search past "abcd" leaves the scan to restart just after the "skip" it found, so
  // the scan after the damage finds the "trak" inside "skip": "skip" cannot be a box.
  TBytes skip = Join({TBytes(16, 0xEE), BE32(16), BytesOf("trak"), TBytes(0x200, 0xEE)});
  TAnalysed overlap(
      BuildMp4({Ftyp(), Box("abcd", 16), Box("skip", skip), ShortSize(), Box("free", 8)}).Bytes, 1);
  EXPECT_EQ(overlap.Find("skip"), -1);
  EXPECT_EQ(overlap.R->TrackCount(), 1);
}

TEST(Mp4TreeJudge, TablesOfLostTracksOpenTracksOfTheirOwn) {
  auto lostTrack = [](bool video) {
    std::vector<TMp4Box> tables = Tables(video);
    tables.insert(tables.begin(), video ? Box("vmhd", Join({FullBoxHead(0, 1), TBytes(8, 0)}))
                                        : Box("smhd", Join({FullBoxHead(0), TBytes(4, 0)})));
    TMp4Box stbl = Container("stbl", std::move(tables));
    TMp4Box trak = Container("trak", {std::move(stbl)});
    trak.Type = trak.Children[0].Type = 0xEEEEEEEE; // headers wiped out
    return trak;
  };
  TMp4File file = BuildMp4({Ftyp(), Box("mdat", 256),
                            Container("moov", {ShortSize(), lostTrack(true), lostTrack(false)}),
                            Box("mdat", 256).Named("mdat")});
  TAnalysed a(file.Bytes, 2);
  EXPECT_EQ(a.R->Error, kDamagedData);
  EXPECT_EQ(a.R->NodeLevel(a.Find("stsd", 1)), 1);
  ASSERT_EQ(a.R->TrackCount(), 2);
  EXPECT_EQ(a.R->Traks[0].TrakNode, -1);
  EXPECT_EQ(a.R->Traks[0].stsz.Table, (TMp4_stsz_table{10, 20, 30}));
  EXPECT_EQ(a.R->Traks[1].MediaKind, mkSound);
  EXPECT_EQ(a.R->Traks[1].StsdNode, a.Find("stsd", 1));
  EXPECT_EQ(a.R->Traks[1].stco.Table, (TMp4_stco_table{0x100000000ull}));
  // The media node is found again in the new tree, after the boxes it dropped.
  EXPECT_EQ(a.Media(), a.Find("mdat", 1));
  EXPECT_EQ(a.R->DataPosition(a.Media()), file.At["mdat"].Data);
}

// Random and half-structured bytes in every mode: the analysis ends, and keeps no node
// outside the file.
TEST(Mp4AnalysisFuzz, GarbageNeverEscapesTheFile) {
  std::mt19937 random(11);
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
      for (int32_t i = 0; i < int32_t(a.R->Count()); ++i)
        EXPECT_LE(a.R->DataPosition(i), a.Size + 16) << round << " " << i;
    }
  }
}

} // namespace
} // namespace clw
