#include "mp4/HgMP4File.h"
#include "streams/Endian.h"
#include "support/MemoryStream.h"
#include "support/Mp4Builder.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace clw {
namespace {

using namespace test;

// One box read by one reader. A box of 0x11 bytes follows it, so a read that slips past
// its end shows; Keep cuts the file that many bytes into the payload.
struct TOneBox {
  explicit TOneBox(TMp4Box box, std::optional<size_t> keep = {}) {
    const TFourCC type = box.Type;
    TMp4File file = BuildMp4({Box("free", 4), std::move(box).Named("b"), Box("free", 64, 0x11)});
    Placed = file.At["b"];
    if (keep) file.Bytes.resize(size_t(Placed.Data) + *keep);
    Memory = std::make_unique<TMemoryStream>(file.Bytes);
    Atoms = std::make_unique<THgMp4Stream>(Memory.get());
    Reader = std::make_unique<THgMP4FileReader>(*Atoms);
    Reader->AddTrack(-1);
    Atoms->SetRoot(type, Placed.Size, Placed.Data);
  }
  TMp4Trak& Trak() { return Reader->Traks.back(); }

  TPlacedBox Placed;
  std::unique_ptr<TMemoryStream> Memory;
  std::unique_ptr<THgMp4Stream> Atoms;
  std::unique_ptr<THgMP4FileReader> Reader;
};

TEST(Mp4Headers, VersionZeroFieldsAreWidened) {
  for (uint8_t v : {0, 1}) {
    SCOPED_TRACE(int(v));
    const uint64_t duration = v == 0 ? 0xFFFFFFFFu : 0x123456789ull;
    TOneBox mvhd(Box("mvhd", MvhdPayload(v, 90000, duration, 0x1020, 7)));
    ASSERT_EQ(mvhd.Reader->ReadMvhd(), 0);
    const TMp4_mvhd& m = mvhd.Reader->Mvhd;
    EXPECT_EQ(+m.Version, v);
    EXPECT_EQ(+m.ModificationTime, 0x1021u);
    EXPECT_EQ(+m.TimeScale, 90000u);
    EXPECT_EQ(+m.Duration, duration);
    EXPECT_EQ(+m.Matrix[8], 0x40000000u);
    EXPECT_EQ(+m.NextTrackId, 7u);

    TOneBox tkhd(Box("tkhd", TkhdPayload(v, 5, duration, 1920, 1080)));
    ASSERT_EQ(tkhd.Reader->ReadTkhd(), 0);
    EXPECT_EQ(+tkhd.Trak().tkhd.TrackId, 5u);
    EXPECT_EQ(+tkhd.Trak().tkhd.Duration, duration);
    EXPECT_EQ(+tkhd.Trak().tkhd.Height, 1080u << 16);

    TOneBox mdhd(Box("mdhd", MdhdPayload(v, 48000, duration, 0x15C7)));
    ASSERT_EQ(mdhd.Reader->ReadMdhd(), 0);
    EXPECT_EQ(+mdhd.Trak().mdhd.TimeScale, 48000u);
    EXPECT_EQ(+mdhd.Trak().mdhd.Duration, duration);
    EXPECT_EQ(+mdhd.Trak().mdhd.Language, 0x15C7);
  }
}

TEST(Mp4Headers, FileTypeAndHandlerName) {
  TOneBox ftyp(Box("ftyp", Join({BytesOf("mp42"), BE32(512), BytesOf("isomavc1")})));
  ASSERT_EQ(ftyp.Reader->ReadFtyp(), 0);
  EXPECT_EQ(ftyp.Reader->Ftyp.MinorVersion, 512u);
  EXPECT_EQ(ftyp.Reader->Ftyp.CompatibleBrands, "isomavc1");

  TOneBox hdlr(Box("hdlr", HdlrPayload("soun", "SoundHandler")));
  ASSERT_EQ(hdlr.Reader->ReadHdlr(), 0);
  EXPECT_EQ(+hdlr.Trak().hdlr.HandlerType, MakeFourCC("soun"));
  EXPECT_EQ(hdlr.Trak().hdlr.Name, "SoundHandler");
  // Cut by the end of the file: no padding out to what the box claims.
  TOneBox cut(Box("hdlr", HdlrPayload("vide", "VideoHandler")), 24 + 5);
  ASSERT_EQ(cut.Reader->ReadHdlr(), 0);
  EXPECT_EQ(cut.Trak().hdlr.Name, "Video");
}

// Every reader on a box cut right after its version and flags: nothing is believed.
struct TCutCase {
  const char* Type;
  std::function<int32_t(THgMP4FileReader&)> Read;
  std::function<uint8_t(THgMP4FileReader&)> Version;
};
void PrintTo(const TCutCase& c, std::ostream* os) {
  *os << c.Type;
}

class Mp4CutBoxTest : public ::testing::TestWithParam<TCutCase> {};

TEST_P(Mp4CutBoxTest, LeavesRecordNotRead) {
  const TCutCase& c = GetParam();
  TMp4Box box = Box(MakeFourCC(c.Type[0], c.Type[1], c.Type[2], c.Type[3]), 0);
  box.Data = FullBoxHead(1);
  TOneBox one(std::move(box));
  EXPECT_EQ(c.Read(*one.Reader), -1);
  EXPECT_EQ(c.Version(*one.Reader), kNotRead);
}

#define CUT_CASE(type, call, record)                                                               \
  TCutCase {                                                                                       \
    type, [](THgMP4FileReader& r) { return r.call; },                                              \
        [](THgMP4FileReader& r) { return r.record.Version; }                                       \
  }

INSTANTIATE_TEST_SUITE_P(Mp4Tables, Mp4CutBoxTest,
                         ::testing::Values(CUT_CASE("mvhd", ReadMvhd(), Mvhd),
                                           CUT_CASE("tkhd", ReadTkhd(), Traks.back().tkhd),
                                           CUT_CASE("mdhd", ReadMdhd(), Traks.back().mdhd),
                                           CUT_CASE("hdlr", ReadHdlr(), Traks.back().hdlr),
                                           CUT_CASE("stsd", ReadStsd(3), Traks.back().stsd),
                                           CUT_CASE("stco", ReadStco(), Traks.back().stco),
                                           CUT_CASE("co64", ReadCo64(), Traks.back().stco),
                                           CUT_CASE("stts", ReadStts(), Traks.back().stts),
                                           CUT_CASE("stss", ReadStss(), Traks.back().stss),
                                           CUT_CASE("stsc", ReadStsc(), Traks.back().stsc),
                                           CUT_CASE("stsz", ReadStsz(), Traks.back().stsz)),
                         [](const auto& info) { return std::string(info.param.Type); });

TEST(Mp4SampleDescription, EntriesTheirKindsAndChildren) {
  TOneBox video(Box("stsd", StsdPayload({VisualSampleEntry("avc1", 1280, 720,
                                                           {Box("avcC", 30), Box("btrt", 12)})})));
  ASSERT_EQ(video.Reader->ReadStsd(42), 0);
  TMp4Trak& v = video.Trak();
  EXPECT_EQ(v.MediaKind, mkVideo);
  EXPECT_EQ(v.StsdNode, 42);
  EXPECT_EQ(+v.stsd.Entries[0].FixedLength, 78u);
  EXPECT_EQ(+VisualEntry(v.stsd.Entries[0]).Width, 1280);
  EXPECT_EQ(+VisualEntry(v.stsd.Entries[0]).HorizontalResolution, 0x480000u);
  EXPECT_EQ(+VisualEntry(v.stsd.Entries[0]).ColorTableId, 0xFFFF);
  const THgChunkTree& tree = v.SampleDescriptions;
  ASSERT_EQ(tree.Count(), 3u);
  EXPECT_EQ(tree.Id(0), MakeFourCC("avc1"));
  EXPECT_EQ(tree.Size(0), 78);
  EXPECT_EQ(tree.DataPosition(0), video.Placed.Data);
  EXPECT_EQ(tree.ChildCount(0), 2);
  EXPECT_EQ(tree.Id(tree.FirstChild(0)), MakeFourCC("avcC"));
  EXPECT_EQ(tree.ListType(1), 1u);
  EXPECT_EQ(tree.DataPosition(2), video.Placed.Data + 78 + 38);

  TOneBox aac(Box("stsd", StsdPayload({SoundSampleEntry("mp4a", 2, 16, 44100, {Box("esds", 9)})})));
  ASSERT_EQ(aac.Reader->ReadStsd(1), 0);
  EXPECT_EQ(aac.Trak().MediaKind, mkSound);
  EXPECT_EQ(+SoundEntry(aac.Trak().stsd.Entries[0]).ChannelCount, 2);
  EXPECT_EQ(+SoundEntry(aac.Trak().stsd.Entries[0]).SampleRate, 44100u << 16);

  // Uncompressed sound: its whole payload is the fixed part.
  TOneBox pcm(Box("stsd", StsdPayload({SoundSampleEntry("sowt", 2, 16, 48000)})));
  ASSERT_EQ(pcm.Reader->ReadStsd(1), 0);
  EXPECT_EQ(pcm.Trak().MediaKind, mkSound);
  EXPECT_EQ(+pcm.Trak().stsd.Entries[0].FixedLength, 28u);
  EXPECT_EQ(pcm.Trak().SampleDescriptions.Count(), 1u);

  // A QuickTime version 1 sound entry has 16 more bytes before its children; read as a
  // child header they claim 1024 bytes. The next entry is still read from its start.
  const TBytes extra = Join({BE32(1024), BE32(0xEEEEEEEE), BE32(2), BE32(2)});
  TOneBox v1(Box("stsd", StsdPayload({SoundSampleEntry("mp4a", 1, 16, 8000, {}, extra),
                                      SoundSampleEntry("sowt", 2, 16, 8000)})));
  ASSERT_EQ(v1.Reader->ReadStsd(1), 0);
  EXPECT_EQ(+v1.Trak().stsd.Entries[1].Type, MakeFourCC("sowt"));
}

TEST(Mp4SampleDescription, DamagedEntriesAreNotRead) {
  const TBytes avc = VisualSampleEntry("avc1", 640, 480, {Box("avcC", 30)});
  TBytes cut = avc;
  cut.resize(8 + 40);
  TBytes tooShort = avc;
  WriteBE32(tooShort.data(), 8 + 20); // shorter than its own fixed part
  std::vector<std::unique_ptr<TOneBox>> boxes;
  boxes.push_back(std::make_unique<TOneBox>(Box("stsd", StsdPayload({cut}))));
  boxes.push_back(std::make_unique<TOneBox>(Box("stsd", StsdPayload({avc})), 8 + 60));
  boxes.push_back(std::make_unique<TOneBox>(Box("stsd", StsdPayload({tooShort}))));
  // A count no box can hold is bounded before anything is allocated.
  boxes.push_back(std::make_unique<TOneBox>(Box("stsd", StsdPayload({avc}, 0xFFFFFFFF))));
  for (auto& box : boxes) {
    EXPECT_EQ(box->Reader->ReadStsd(1), -1);
    EXPECT_EQ(box->Trak().stsd.Version, kNotRead);
    EXPECT_LE(box->Trak().stsd.Entries.size(), (avc.size() + 7) / 8);
  }
}

TEST(Mp4SampleTables, EntriesAreConverted) {
  TOneBox stts(Box("stts", SttsPayload({{10, 1001}, {1, 2002}})));
  ASSERT_EQ(stts.Reader->ReadStts(), 0);
  EXPECT_EQ(stts.Trak().stts.Table[1].SampleDelta, 2002u);
  TOneBox stsc(Box("stsc", StscPayload({{1, 30, 1}, {7, 12, 2}})));
  ASSERT_EQ(stsc.Reader->ReadStsc(), 0);
  EXPECT_EQ(stsc.Trak().stsc.Table[1].SampleDescriptionIndex, 2u);
  TOneBox stss(Box("stss", StssPayload({1, 31, 61})));
  ASSERT_EQ(stss.Reader->ReadStss(), 0);
  EXPECT_EQ(stss.Trak().stss.Table, (TMp4_stss_table{1, 31, 61}));
  TOneBox stco(Box("stco", StcoPayload({0x30, 0xFFFFFFF0})));
  ASSERT_EQ(stco.Reader->ReadStco(), 0);
  EXPECT_EQ(stco.Trak().stco.Table, (TMp4_stco_table{0x30, 0xFFFFFFF0}));
  TOneBox co64(Box("co64", Co64Payload({0x100000000ull, 0x123456789Aull})));
  ASSERT_EQ(co64.Reader->ReadCo64(), 0);
  EXPECT_EQ(co64.Trak().stco.Table, (TMp4_stco_table{4294967296ull, 0x123456789Aull}));
  TOneBox sizes(Box("stsz", StszPayload(0, 3, {100, 200, 300})));
  ASSERT_EQ(sizes.Reader->ReadStsz(), 0);
  EXPECT_EQ(sizes.Trak().stsz.Table, (TMp4_stsz_table{100, 200, 300}));
  // One size for every sample: no table, and the count stays.
  TOneBox uniform(Box("stsz", StszPayload(1024, 5000)));
  ASSERT_EQ(uniform.Reader->ReadStsz(), 0);
  EXPECT_EQ(uniform.Trak().stsz.SampleCount, 5000u);
  EXPECT_TRUE(uniform.Trak().stsz.Table.empty());
}

// Counts far beyond the box: the table holds what is there plus a last partial entry,
// zero-padded, and the count says what the table holds.
TEST(Mp4SampleTables, CountsAreBoundedByTheBox) {
  TOneBox stco(Box("stco", Join({StcoPayload({0x10, 0x20, 0x30}, 0x40000000), {0x12, 0x34}})));
  ASSERT_EQ(stco.Reader->ReadStco(), 0);
  EXPECT_EQ(stco.Trak().stco.EntryCount, 4u);
  EXPECT_EQ(stco.Trak().stco.Table, (TMp4_stco_table{0x10, 0x20, 0x30, 0x12340000}));
  EXPECT_LT(stco.Reader->Stco32.size(), 16u);

  TOneBox stsz(Box("stsz", StszPayload(0, 0xFFFFFFFF, {7, 8})));
  ASSERT_EQ(stsz.Reader->ReadStsz(), 0);
  EXPECT_EQ(stsz.Trak().stsz.SampleCount, 2u);

  // The box claims 100 entries; the file ends after two.
  TBytes entries;
  for (uint32_t i = 1; i <= 100; ++i)
    entries = Join({entries, BE32(i), BE32(i * 10)});
  TOneBox stts(Box("stts", Join({FullBoxHead(0), BE32(100), entries})), 8 + 16);
  ASSERT_EQ(stts.Reader->ReadStts(), 0);
  EXPECT_EQ(stts.Trak().stts.EntryCount, 2u);
  EXPECT_EQ(stts.Trak().stts.Table[1].SampleDelta, 20u);
}

} // namespace
} // namespace clw
