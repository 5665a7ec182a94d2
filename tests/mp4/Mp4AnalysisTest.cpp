#include "mp4/Mp4BoxTypes.h"
#include "support/Mp4Builder.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <tuple>

namespace clw {
namespace {

using namespace test;

const size_t kMiB = 0x100000;

// A reader analysed over bytes in memory.
struct TAnalysed : TMp4InMemory {
  TAnalysed(const TBytes& bytes, uint8_t mode,
            const std::function<void(THgMP4FileReader&)>& prepare = {})
      : TMp4InMemory(bytes) {
    if (prepare) prepare(Reader);
    Result = Reader.Analyze(mode);
  }
  // The nth node of a type, or -1.
  int32_t Find(const char (&type)[5], int nth = 0) const {
    for (int32_t i = 0; i < int32_t(Reader.Count()); ++i)
      if (Reader.Id(i) == MakeFourCC(type) && nth-- == 0) return i;
    return -1;
  }
  int32_t Media() const { return Reader.Scan.MediaDataNode; }
  int64_t Size() const { return int64_t(Memory.Data.size()); }
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
    return {Box("stsd", TablePayload(1, VisualSampleEntry("avc1", 320, 240, {Box("avcC", 20)}))),
            Box("stsz", StszPayload(0, 3, {10, 20, 30})), Box("stco", TablePayload(1, BE32(1000)))};
  return {Box("stsd", TablePayload(1, SoundSampleEntry("mp4a", 2, 16, 44100, {Box("esds", 20)}))),
          Box("stts", TablePayload(1, Words({2, 1024}))),
          Box("co64", TablePayload(1, BE64(0x100000000ull)))};
}

TMp4Box Movie() {
  // QuickTime puts a data handler into "minf"; it does not name the track's media.
  TMp4Box video = Trak(true, 1, Tables(true));
  video.Children[1].Children[2].Children.push_back(Box("hdlr", HdlrPayload("dhlr", "")));
  return Container("moov", {Box("mvhd", MvhdPayload(0, 1000, 5000)), std::move(video),
                            Trak(false, 2, Tables(false))});
}

TEST(Mp4Analysis, ReadsEveryTableOfACleanFile) {
  const TMp4File file = BuildMp4({Ftyp(), Movie(), Box("mdat", 4096).Named("mdat")});
  for (uint8_t mode = 0; mode < 4; ++mode) {
    SCOPED_TRACE(int(mode));
    TAnalysed a(file.Bytes, mode);
    const THgMP4FileReader& r = a.Reader;
    EXPECT_EQ(a.Result, kDone);
    EXPECT_EQ(r.Error, kNoDamage);
    ASSERT_EQ(r.TrackCount(), 2);
    EXPECT_EQ(r.Traks[0].TrakNode, a.Find("trak"));
    EXPECT_EQ(+r.Traks[0].hdlr.HandlerType, MakeFourCC("vide"));
    EXPECT_EQ(r.Traks[0].stsz.Table, (TMp4_stsz_table{10, 20, 30}));
    EXPECT_EQ(r.Traks[1].MediaKind, mkSound);
    EXPECT_EQ(r.Traks[1].stco.Table, (TMp4_stco_table{0x100000000ull}));
    // Only the full checks scan the media data.
    EXPECT_EQ(a.Media(), mode >= 2 ? a.Find("mdat") : -1);
    EXPECT_EQ(r.Scan.MediaDataStart, mode >= 2 ? file.At.at("mdat").Data : 0);
  }
}

TBytes Around(TMp4Box box) {
  return BuildMp4({Ftyp(), Movie(), std::move(box)}).Bytes;
}
TBytes InTrack(TMp4Box table) {
  return BuildMp4({Ftyp(), Container("moov", {Trak(true, 1, {std::move(table)})})}).Bytes;
}

// The result of one analysis and the verdict it leaves in Error.
TEST(Mp4Analysis, JudgesTheStructure) {
  // clang-format off
  const std::tuple<const char*, TBytes, uint8_t, int32_t, int32_t> cases[] = {
      {"free_1MiB", Around(Box("free", kMiB - 8)), 0, kDone, kNoDamage},
      {"free_1MiB_and_1", Around(Box("free", kMiB - 7)), 0, kDone, kDamagedData},
      {"mdat_3MiB", Around(Box("mdat", 3 * kMiB)), 0, kDone, kNoDamage},
      {"stsz_8MiB", InTrack(Box("stsz", 8 * kMiB - 8)), 0, kDone, kNoDamage},
      {"stsz_8MiB_and_1", InTrack(Box("stsz", 8 * kMiB - 7)), 0, kDone, kDamagedData},
      // A long variable-frame-rate or B-frame recording: its other sample tables grow too.
      {"stts_2MiB", InTrack(Box("stts", 2 * kMiB)), 0, kDone, kNoDamage},
      {"ctts_8MiB", InTrack(Box("ctts", 8 * kMiB - 8)), 0, kDone, kNoDamage},
      {"size5", Around(ShortSize()), 0, kDone, kDamagedData},
      {"past_end", Around(Box("mdat", 9).WithSizeField(99)), 2, kDone, kDamagedData},
      {"past_parent", BuildMp4({Container("moov", {Box("udta", 8).WithSizeField(40)}),
                                Box("mdat", 64)}).Bytes, 2, kDone, kDamagedData},
      {"unknown_type", Around(Box("abcd", 16)), 2, kDone, kDamagedData},
      {"table_without_track", BuildMp4({Container("moov", {Box("stco", 8)})}).Bytes,
       0, kDone, kDamagedIndex},
      // A recording stopped before its movie header was written: every box is sound, but
      // nothing says where a frame lies.
      {"moov_missing", BuildMp4({Ftyp(), Box("mdat", 64)}).Bytes, 0, kDone, kDamagedData},
      // Without a top-level box first there is nothing to walk, and a quick analysis must
      // not hand the file to the full check as undamaged.
      {"empty", TBytes{}, 3, kNothingToAnalyse, kDamagedData},
      {"all_zero", TBytes(4096, 0), 0, kNothingToAnalyse, kDamagedData},
      {"all_zero_mode3", TBytes(4096, 0), 3, kDone, kDamagedData},
      {"trak_first", BuildMp4({Trak(true, 1, {})}).Bytes, 0, kNothingToAnalyse, kDamagedData},
      // The search past a broken first header finds "moov": top-level, but not first.
      {"first_found_by_search", BuildMp4({Box("ftyp", 16).WithSizeField(1 << 30), Movie()}).Bytes,
       0, kNothingToAnalyse, kDamagedData}};
  // clang-format on
  for (const auto& [name, bytes, mode, result, error] : cases) {
    TAnalysed a(bytes, mode);
    EXPECT_EQ(std::pair(a.Result, a.Reader.Error), std::pair(result, error)) << name;
  }
}

// A new analysis forgets an old request to cancel and reports up to 100 %; cancelled from
// inside a report, the walk stops at the next box.
TEST(Mp4Analysis, ProgressAndCancel) {
  const TBytes bytes = BuildMp4({Ftyp(), Box("mdat", 3 * kMiB), Movie()}).Bytes;
  int64_t last = 0;
  TAnalysed watched(bytes, 0, [&](THgMP4FileReader& r) {
    r.Cancelled = true;
    r.OnProgress = [&](const void*, int64_t percent) { last = percent; };
  });
  EXPECT_EQ(std::pair(watched.Result, last), std::pair(int32_t(kDone), int64_t(100)));
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
  const int64_t mdatAt = int64_t(head.size()), mdatEnd = mdatAt + (int64_t(5) << 30) + 16;
  const TBytes mdat = Join({head, BE32(1), BytesOf("mdat"), BE64(uint64_t(mdatEnd - mdatAt))});
  WriteFile(path, std::string(mdat.begin(), mdat.end()));
  std::filesystem::resize_file(path, uint64_t(mdatEnd));
  std::ofstream(path, std::ios::binary | std::ios::app) << std::string("\0\0\0\10free", 8);
  THgMP4FileReader reader(path.string(), &MediaDataAnalysis());
  ASSERT_EQ(reader.Analyze(0), kDone);
  EXPECT_EQ(reader.Error, kNoDamage);
  EXPECT_EQ(reader.TrackCount(), 2);
  EXPECT_EQ(reader.NodeEnd(reader.FindChild(-1, kmdat)), mdatEnd);
  EXPECT_EQ(reader.DataPosition(reader.FindChild(-1, kfree)), mdatEnd + 8);
  std::filesystem::remove(path);
}

// Media data after damage: the node and the scanned range both run from the payload of
// the box that cannot be trusted to the end of the file. A "free" box is not media data by
// its type, but nothing from it on can be trusted either.
TEST(Mp4MediaRange, NodeAndScanReachTheEndOfTheFile) {
  for (const auto& [box, mode, headerLength] :
       {std::tuple(Box("mdat", 64).WithSizeField(5000), 3, 8),
        std::tuple(Box("mdat", 64).AsLarge().WithSizeField(1ull << 40), 3, 16),
        std::tuple(Box("free", 64).WithSizeField(5000), 3, 8),
        std::tuple(Box("free", 64).WithSizeField(5000), 2, 8)}) {
    SCOPED_TRACE(FourCCToString(box.Type) + " " + std::to_string(headerLength));
    TMp4File file = BuildMp4({Ftyp(), Movie(), TMp4Box(box).Named("x")});
    TAnalysed a(file.Bytes, uint8_t(mode));
    const THgMP4FileReader& r = a.Reader;
    const int32_t m = a.Media();
    ASSERT_TRUE(r.IsNode(m));
    const int64_t data = file.At["x"].Header + headerLength;
    EXPECT_EQ(std::tuple(r.Error, r.Id(m), r.NodeStart(m), r.DataPosition(m), r.NodeEnd(m)),
              std::tuple(kDamagedData, kmdat, file.At["x"].Header, data, a.Size()));
    EXPECT_EQ(r.Scan.MediaDataStart, data);
  }
}

TEST(Mp4MediaRange, ShortHeaderTrustedBoxAndWholeFile) {
  const int64_t header = int64_t(BuildMp4({Ftyp(), Movie()}).Bytes.size());
  TAnalysed cut(BuildMp4({Ftyp(), Movie(), ShortSize(), Box("free", 64)}).Bytes, 3);
  EXPECT_EQ(std::tuple(cut.Reader.NodeStart(cut.Media()), cut.Reader.Scan.MediaDataStart,
                       cut.Reader.NodeEnd(cut.Media())),
            std::tuple(header, header + 8, cut.Size()));

  // A sound "mdat" keeps its own box; mode 2 walks on past it, mode 3 scans on to the end
  // of the file, through the zeros after the box.
  TMp4File file = BuildMp4({Ftyp(), Box("mdat", 500).Named("mdat"), Box("free", 600, 0), Movie()});
  for (uint8_t mode : {2, 3}) {
    TAnalysed a(file.Bytes, mode);
    EXPECT_EQ(a.Media(), a.Find("mdat"));
    EXPECT_EQ(std::tuple(a.Reader.NodeEnd(a.Media()), a.Reader.TrackCount(),
                         a.Reader.Scan.NullBlocks.Count()),
              std::tuple(file.At["mdat"].Header + 508, mode == 2 ? 2 : 0, mode == 2 ? 0u : 1u));
  }

  // No structure at all: the node's data starts at the first byte, where the scan starts.
  TAnalysed whole(BuildMp4({Trak(true, 1, {}), Box("mdat", 64)}).Bytes, 3);
  ASSERT_EQ(whole.Media(), 0);
  EXPECT_EQ(std::tuple(whole.Reader.DataPosition(0), whole.Reader.NodeEnd(0), whole.Reader.Error),
            std::tuple(0, whole.Size(), kDamagedData));
}

// Trees after damage: what the scan found is judged and nested again by position.
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
    EXPECT_EQ(a.Reader.NodeLevel(a.Find("mvhd")), 1);
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
  EXPECT_EQ(overlap.Reader.TrackCount(), 1);
}

TEST(Mp4TreeJudge, TablesOfLostTracksOpenTracksOfTheirOwn) {
  auto lostTrack = [](bool video) {
    std::vector<TMp4Box> tables = Tables(video);
    tables.insert(tables.begin(), MediaHeader(video));
    TMp4Box trak = Container("trak", {Container("stbl", std::move(tables))});
    trak.Type = trak.Children[0].Type = 0xEEEEEEEE; // headers wiped out
    return trak;
  };
  TMp4File file = BuildMp4({Ftyp(), Box("mdat", 256),
                            Container("moov", {ShortSize(), lostTrack(true), lostTrack(false)}),
                            Box("mdat", 256).Named("mdat")});
  TAnalysed a(file.Bytes, 2);
  const THgMP4FileReader& r = a.Reader;
  ASSERT_EQ(r.TrackCount(), 2);
  EXPECT_EQ(r.Traks[0].TrakNode, -1);
  EXPECT_EQ(r.Traks[0].stsz.Table, (TMp4_stsz_table{10, 20, 30}));
  EXPECT_EQ(r.Traks[1].MediaKind, mkSound);
  EXPECT_EQ(r.Traks[1].StsdNode, a.Find("stsd", 1));
  // The media node is found again in the new tree, after the boxes it dropped.
  EXPECT_EQ(a.Media(), a.Find("mdat", 1));
  EXPECT_EQ(r.DataPosition(a.Media()), file.At["mdat"].Data);
}

} // namespace
} // namespace clw
