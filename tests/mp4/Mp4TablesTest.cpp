#include "mp4/HgMP4File.h"
#include "mp4/Mp4BoxTypes.h"
#include "streams/Endian.h"
#include "support/MemoryStream.h"
#include "support/Mp4Builder.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace clw {
namespace {

using namespace test;

// One box read by one reader: the box stands between two others, so a read that slips
// past its end meets bytes of 0x11 rather than the end of the file.
class TOneBox {
public:
  // Keep cuts the file this many bytes into the box's payload.
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

TEST(Mp4Headers, MovieHeaderWidensVersion0) {
  for (uint8_t version : {0, 1}) {
    SCOPED_TRACE(int(version));
    const uint64_t duration = version == 0 ? 0xFFFFFFFFu : 0x123456789ull;
    TOneBox box(Box("mvhd", MvhdPayload(version, 90000, duration, 0x1020, 7)));
    ASSERT_EQ(box.Reader->ReadMvhd(), 0);
    const TMp4_mvhd& m = box.Reader->Mvhd;
    EXPECT_EQ(m.Version, version);
    EXPECT_EQ(m.CreationTime, 0x1020u);
    EXPECT_EQ(m.ModificationTime, 0x1021u);
    EXPECT_EQ(m.TimeScale, 90000u);
    EXPECT_EQ(m.Duration, duration);
    EXPECT_EQ(m.Rate, 0x10000u);
    EXPECT_EQ(m.Volume, 0x100u);
    EXPECT_EQ(m.Matrix[0], 0x10000u);
    EXPECT_EQ(m.Matrix[8], 0x40000000u);
    EXPECT_EQ(m.NextTrackId, 7u);
  }
}

TEST(Mp4Headers, TrackAndMediaHeaders) {
  for (uint8_t version : {0, 1}) {
    SCOPED_TRACE(int(version));
    const uint64_t duration = version == 0 ? 0xFFFFFFFFu : 0x100000000ull;
    TOneBox tkhd(Box("tkhd", TkhdPayload(version, 5, duration, 1920, 1080)));
    ASSERT_EQ(tkhd.Reader->ReadTkhd(), 0);
    const TMp4_tkhd& t = tkhd.Trak().tkhd;
    EXPECT_EQ(t.Version, version);
    EXPECT_EQ(t.Flags[2], 3);
    EXPECT_EQ(t.CreationTime, 0x22u);
    EXPECT_EQ(t.TrackId, 5u);
    EXPECT_EQ(t.Duration, duration);
    EXPECT_EQ(t.Matrix[4], 0x10000u);
    EXPECT_EQ(t.Width, 1920u << 16);
    EXPECT_EQ(t.Height, 1080u << 16);

    TOneBox mdhd(Box("mdhd", MdhdPayload(version, 48000, duration, 0x15C7)));
    ASSERT_EQ(mdhd.Reader->ReadMdhd(), 0);
    const TMp4_mdhd& m = mdhd.Trak().mdhd;
    EXPECT_EQ(m.Version, version);
    EXPECT_EQ(m.ModificationTime, 0x34u);
    EXPECT_EQ(m.TimeScale, 48000u);
    EXPECT_EQ(m.Duration, duration);
    EXPECT_EQ(m.Language, 0x15C7);
  }
}

TEST(Mp4Headers, FileTypeAndHandler) {
  TOneBox ftyp(Box("ftyp", Join({BytesOf("mp42"), BE32(512), BytesOf("isomavc1")})));
  ASSERT_EQ(ftyp.Reader->ReadFtyp(), 0);
  EXPECT_EQ(ftyp.Reader->Ftyp.MajorBrand, MakeFourCC("mp42"));
  EXPECT_EQ(ftyp.Reader->Ftyp.MinorVersion, 512u);
  EXPECT_EQ(ftyp.Reader->Ftyp.CompatibleBrands, "isomavc1");

  TOneBox hdlr(Box("hdlr", HdlrPayload("soun", "SoundHandler")));
  ASSERT_EQ(hdlr.Reader->ReadHdlr(), 0);
  EXPECT_EQ(hdlr.Trak().hdlr.Version, 0);
  EXPECT_EQ(hdlr.Trak().hdlr.HandlerType, MakeFourCC("soun"));
  EXPECT_EQ(hdlr.Trak().hdlr.Name, "SoundHandler");

  // A name of one byte is only its terminator.
  TOneBox bare(Box("hdlr", HdlrPayload("vide", "")));
  ASSERT_EQ(bare.Reader->ReadHdlr(), 0);
  EXPECT_EQ(bare.Trak().hdlr.Name, "");

  // A name cut by the end of the file is not padded out to what the box claims.
  TOneBox cut(Box("hdlr", HdlrPayload("vide", "VideoHandler")), 24 + 5);
  ASSERT_EQ(cut.Reader->ReadHdlr(), 0);
  EXPECT_EQ(cut.Trak().hdlr.Name, "Video");
}

// Every reader on a box cut right after its version and flags: nothing is believed.
struct TCutCase {
  const char* Name;
  const char* Type;
  std::function<int32_t(THgMP4FileReader&)> Read;
  std::function<uint8_t(THgMP4FileReader&)> Version;
};

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
    type, type, [](THgMP4FileReader& r) { return r.call; },                                        \
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
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(Mp4Headers, OneByteShortIsNotRead) {
  TBytes payload = MvhdPayload(0, 600, 60);
  payload.pop_back();
  TOneBox box(Box("mvhd", payload));
  EXPECT_EQ(box.Reader->ReadMvhd(), -1);
  EXPECT_EQ(box.Reader->Mvhd.Version, kNotRead);
}

TEST(Mp4Headers, TrackReadersNeedATrack) {
  TOneBox box(Box("stco", StcoPayload({8})));
  box.Reader->Traks.clear();
  EXPECT_EQ(box.Reader->ReadStco(), -1);
  EXPECT_EQ(box.Reader->ReadTkhd(), -1);
  EXPECT_EQ(box.Reader->ReadStsd(0), -1);
}

class Mp4SampleDescriptionTest : public ::testing::Test {
protected:
  static const TChunkNode& Node(TMp4Trak& trak, int32_t i) {
    return trak.SampleDescriptions.Node(i);
  }
};

TEST_F(Mp4SampleDescriptionTest, VideoEntryWithConfiguration) {
  TOneBox box(Box("stsd", StsdPayload({VisualSampleEntry("avc1", 1280, 720,
                                                         {Box("avcC", 30), Box("btrt", 12)})})));
  ASSERT_EQ(box.Reader->ReadStsd(42), 0);
  TMp4Trak& trak = box.Trak();
  EXPECT_EQ(trak.stsd.Version, 0);
  EXPECT_EQ(trak.MediaKind, mkVideo);
  EXPECT_EQ(trak.StsdNode, 42);
  ASSERT_EQ(trak.stsd.EntryCount, 1u);
  const TMp4_SampleEntry& entry = trak.stsd.Entries[0];
  EXPECT_EQ(entry.Size, 8u + 78 + 38 + 20);
  EXPECT_EQ(entry.Type, MakeFourCC("avc1"));
  EXPECT_EQ(entry.FixedLength, 78u);
  const TMp4_VisualEntry v = VisualEntry(entry);
  EXPECT_EQ(v.DataReferenceIndex, 1);
  EXPECT_EQ(v.SpatialQuality, 0x200u);
  EXPECT_EQ(v.Width, 1280);
  EXPECT_EQ(v.Height, 720);
  EXPECT_EQ(v.HorizontalResolution, 0x480000u);
  EXPECT_EQ(v.FrameCount, 1);
  EXPECT_EQ(v.Depth, 24);
  EXPECT_EQ(v.ColorTableId, 0xFFFF);

  ASSERT_EQ(trak.SampleDescriptions.Count(), 3u);
  const TChunkNode& root = Node(trak, 0);
  EXPECT_EQ(root.Id, MakeFourCC("avc1"));
  EXPECT_EQ(root.Size, 78);
  EXPECT_EQ(root.DataPosition, box.Placed.Data);
  EXPECT_EQ(root.ListType, 0u);
  EXPECT_EQ(root.ChildCount, 2);
  EXPECT_EQ(Node(trak, root.FirstChild).Id, MakeFourCC("avcC"));
  EXPECT_EQ(Node(trak, root.FirstChild).Size, 38);
  EXPECT_EQ(Node(trak, root.FirstChild).DataPosition, box.Placed.Data + 78);
  EXPECT_EQ(Node(trak, root.FirstChild).ListType, 1u);
  EXPECT_EQ(Node(trak, 2).Id, MakeFourCC("btrt"));
  EXPECT_EQ(Node(trak, 2).DataPosition, box.Placed.Data + 78 + 38);
}

TEST_F(Mp4SampleDescriptionTest, SoundEntries) {
  TOneBox aac(
      Box("stsd", StsdPayload({SoundSampleEntry("mp4a", 2, 16, 44100, {Box("esds", 20)})})));
  ASSERT_EQ(aac.Reader->ReadStsd(1), 0);
  EXPECT_EQ(aac.Trak().MediaKind, mkSound);
  const TMp4_SoundEntry s = SoundEntry(aac.Trak().stsd.Entries[0]);
  EXPECT_EQ(s.DataReferenceIndex, 1);
  EXPECT_EQ(s.ChannelCount, 2);
  EXPECT_EQ(s.SampleSize, 16);
  EXPECT_EQ(s.SampleRate, 44100u << 16);
  EXPECT_EQ(aac.Trak().SampleDescriptions.Count(), 2u);

  // Uncompressed sound: the whole payload is the fixed part, there are no children.
  TOneBox pcm(Box("stsd", StsdPayload({SoundSampleEntry("sowt", 2, 16, 48000)})));
  ASSERT_EQ(pcm.Reader->ReadStsd(1), 0);
  EXPECT_EQ(pcm.Trak().MediaKind, mkSound);
  EXPECT_EQ(pcm.Trak().stsd.Entries[0].Size, 36u);
  EXPECT_EQ(pcm.Trak().stsd.Entries[0].FixedLength, 28u);
  EXPECT_EQ(SoundEntry(pcm.Trak().stsd.Entries[0]).SampleRate, 48000u << 16);
  EXPECT_EQ(pcm.Trak().SampleDescriptions.Count(), 1u);
}

TEST_F(Mp4SampleDescriptionTest, ChildClaimingTooMuchStaysInsideItsEntry) {
  // A QuickTime version 1 sound entry carries 16 more bytes before its children; read as a
  // child header they claim 1024 bytes. The second entry must still be found.
  const TBytes extra = Join({BE32(1024), BE32(0xEEEEEEEE), BE32(2), BE32(2)});
  TOneBox box(Box("stsd", StsdPayload({SoundSampleEntry("mp4a", 1, 16, 8000, {}, extra),
                                       SoundSampleEntry("sowt", 2, 16, 8000)})));
  ASSERT_EQ(box.Reader->ReadStsd(1), 0);
  ASSERT_EQ(box.Trak().stsd.EntryCount, 2u);
  EXPECT_EQ(box.Trak().stsd.Entries[1].Type, MakeFourCC("sowt"));
  EXPECT_EQ(SoundEntry(box.Trak().stsd.Entries[1]).ChannelCount, 2);
}

TEST_F(Mp4SampleDescriptionTest, DamagedEntriesAreNotRead) {
  const TBytes avc = VisualSampleEntry("avc1", 640, 480, {Box("avcC", 30)});
  // Cut inside the fixed part, by the end of the box or of the file.
  TBytes cutEntry = avc;
  cutEntry.resize(8 + 40);
  TOneBox inBox(Box("stsd", StsdPayload({cutEntry})));
  EXPECT_EQ(inBox.Reader->ReadStsd(1), -1);
  EXPECT_EQ(inBox.Trak().stsd.Version, kNotRead);
  TOneBox inFile(Box("stsd", StsdPayload({avc})), 8 + 60);
  EXPECT_EQ(inFile.Reader->ReadStsd(1), -1);
  EXPECT_EQ(inFile.Trak().stsd.Version, kNotRead);

  // An entry shorter than its own fixed part.
  TBytes shortEntry = avc;
  WriteBE32(shortEntry.data(), 8 + 20);
  TOneBox tooShort(Box("stsd", StsdPayload({shortEntry})));
  EXPECT_EQ(tooShort.Reader->ReadStsd(1), -1);

  // A count no box can hold is bounded before anything is allocated; the entries that are
  // not there make the box unread.
  TOneBox huge(Box("stsd", StsdPayload({avc}, 0xFFFFFFFF)));
  EXPECT_EQ(huge.Reader->ReadStsd(1), -1);
  EXPECT_LE(huge.Trak().stsd.Entries.size(), (avc.size() + 7) / 8);
}

TEST(Mp4SampleTables, EntriesAreConverted) {
  TOneBox stts(Box("stts", SttsPayload({{10, 1001}, {1, 2002}})));
  ASSERT_EQ(stts.Reader->ReadStts(), 0);
  ASSERT_EQ(stts.Trak().stts.EntryCount, 2u);
  EXPECT_EQ(stts.Trak().stts.Table[0].SampleCount, 10u);
  EXPECT_EQ(stts.Trak().stts.Table[1].SampleDelta, 2002u);

  TOneBox stsc(Box("stsc", StscPayload({{1, 30, 1}, {7, 12, 2}})));
  ASSERT_EQ(stsc.Reader->ReadStsc(), 0);
  ASSERT_EQ(stsc.Trak().stsc.Table.size(), 2u);
  EXPECT_EQ(stsc.Trak().stsc.Table[1].FirstChunk, 7u);
  EXPECT_EQ(stsc.Trak().stsc.Table[1].SamplesPerChunk, 12u);
  EXPECT_EQ(stsc.Trak().stsc.Table[1].SampleDescriptionIndex, 2u);

  TOneBox stss(Box("stss", StssPayload({1, 31, 61})));
  ASSERT_EQ(stss.Reader->ReadStss(), 0);
  EXPECT_EQ(stss.Trak().stss.Table, (TMp4_stss_table{1, 31, 61}));

  TOneBox stco(Box("stco", StcoPayload({0x30, 0xFFFFFFF0})));
  ASSERT_EQ(stco.Reader->ReadStco(), 0);
  EXPECT_EQ(stco.Trak().stco.Table, (TMp4_stco_table{0x30, 0xFFFFFFF0}));
  EXPECT_GE(stco.Reader->Stco32.size(), 2u);

  TOneBox co64(Box("co64", Co64Payload({0x100000000ull, 0x123456789Aull})));
  ASSERT_EQ(co64.Reader->ReadCo64(), 0);
  EXPECT_EQ(co64.Trak().stco.Table, (TMp4_stco_table{4294967296ull, 0x123456789Aull}));

  TOneBox sizes(Box("stsz", StszPayload(0, 3, {100, 200, 300})));
  ASSERT_EQ(sizes.Reader->ReadStsz(), 0);
  EXPECT_EQ(sizes.Trak().stsz.SampleCount, 3u);
  EXPECT_EQ(sizes.Trak().stsz.Table, (TMp4_stsz_table{100, 200, 300}));

  // One size for all samples: no table, the count stays.
  TOneBox uniform(Box("stsz", StszPayload(1024, 5000)));
  ASSERT_EQ(uniform.Reader->ReadStsz(), 0);
  EXPECT_EQ(uniform.Trak().stsz.SampleSize, 1024u);
  EXPECT_EQ(uniform.Trak().stsz.SampleCount, 5000u);
  EXPECT_TRUE(uniform.Trak().stsz.Table.empty());
}

// Counts far beyond what the box holds: the table holds what is there, plus one partial
// entry padded with zeros, and the count says what the table holds.
TEST(Mp4SampleTables, CountsAreBoundedByTheBox) {
  TBytes payload = StcoPayload({0x10, 0x20, 0x30}, 0x40000000);
  payload.push_back(0x12);
  payload.push_back(0x34);
  TOneBox stco(Box("stco", payload));
  ASSERT_EQ(stco.Reader->ReadStco(), 0);
  EXPECT_EQ(stco.Trak().stco.Version, 0);
  EXPECT_EQ(stco.Trak().stco.EntryCount, 4u);
  EXPECT_EQ(stco.Trak().stco.Table, (TMp4_stco_table{0x10, 0x20, 0x30, 0x12340000}));
  EXPECT_LT(stco.Reader->Stco32.size(), 16u);

  TOneBox stsz(Box("stsz", StszPayload(0, 0xFFFFFFFF, {7, 8})));
  ASSERT_EQ(stsz.Reader->ReadStsz(), 0);
  EXPECT_EQ(stsz.Trak().stsz.SampleCount, 2u);
  EXPECT_EQ(stsz.Trak().stsz.Table, (TMp4_stsz_table{7, 8}));

  // The box claims its full size, but the file ends two entries in.
  TBytes entries;
  for (uint32_t i = 1; i <= 100; ++i)
    entries = Join({entries, BE32(i), BE32(i * 10)});
  TOneBox stts(Box("stts", Join({FullBoxHead(0), BE32(100), entries})), 8 + 16);
  ASSERT_EQ(stts.Reader->ReadStts(), 0);
  EXPECT_EQ(stts.Trak().stts.EntryCount, 2u);
  EXPECT_EQ(stts.Trak().stts.Table[1].SampleDelta, 20u);

  TOneBox empty(Box("stsc", Join({FullBoxHead(0), BE32(0xFFFFFFFF)})));
  ASSERT_EQ(empty.Reader->ReadStsc(), 0);
  EXPECT_EQ(empty.Trak().stsc.EntryCount, 0u);
  EXPECT_TRUE(empty.Trak().stsc.Table.empty());
}

} // namespace
} // namespace clw
