#include "streams/Endian.h"
#include "support/Mp4Builder.h"

#include <gtest/gtest.h>

#include <tuple>

namespace clw {
namespace {

using namespace test;

// One box read by one reader; its payload starts at 20, after a "free" box. A box of 0x11
// bytes follows it, so a read that slips past its end shows; Keep cuts the file there.
struct TOneBox : TMp4InMemory {
  explicit TOneBox(const TMp4Box& box, std::optional<size_t> keep = {})
      : TMp4InMemory(BuildMp4({Box("free", 4), box, Box("free", 64, 0x11)}).Bytes) {
    if (keep) Memory.Data.resize(20 + *keep);
    Atoms.StreamSize = int64_t(Memory.Data.size());
    Reader.AddTrack(-1);
    Atoms.SetRoot(box.Type, BuildMp4({box}).Bytes.size(), 20);
  }
  TMp4Trak& Trak() { return Reader.Traks.back(); }
};

// Version 0 has 32-bit times; a duration of all ones stays all ones in 64 bits.
TEST(Mp4Headers, VersionZeroFieldsAreWidened) {
  for (uint8_t v : {0, 1}) {
    SCOPED_TRACE(int(v));
    const uint64_t duration = v == 0 ? 0xFFFFFFFFu : 0x123456789ull;
    TOneBox mvhd(Box("mvhd", MvhdPayload(v, 90000, duration, 0x1020, 7)));
    ASSERT_EQ(mvhd.Reader.ReadMvhd(), 0);
    const TMp4_mvhd& m = mvhd.Reader.Mvhd;
    EXPECT_EQ(std::tuple(+m.ModificationTime, +m.TimeScale, +m.Duration, +m.NextTrackId),
              std::tuple(0x1021ull, 90000u, duration, 7u));
    TOneBox tkhd(Box("tkhd", TkhdPayload(v, 5, duration, 1920, 1080)));
    ASSERT_EQ(tkhd.Reader.ReadTkhd(), 0);
    const TMp4_tkhd& k = tkhd.Trak().tkhd;
    EXPECT_EQ(std::tuple(+k.TrackId, +k.Duration, +k.Height),
              std::tuple(5u, duration, 1080u << 16));
    TOneBox mdhd(Box("mdhd", MdhdPayload(v, 48000, duration, 0x15C7)));
    ASSERT_EQ(mdhd.Reader.ReadMdhd(), 0);
    const TMp4_mdhd& d = mdhd.Trak().mdhd;
    EXPECT_EQ(std::tuple(+d.TimeScale, +d.Duration, +d.Language),
              std::tuple(48000u, duration, uint16_t(0x15C7)));
  }
}

TEST(Mp4Headers, FileTypeAndHandlerName) {
  TOneBox ftyp(Box("ftyp", Join({BytesOf("mp42"), BE32(512), BytesOf("isomavc1")})));
  ASSERT_EQ(ftyp.Reader.ReadFtyp(), 0);
  EXPECT_EQ(ftyp.Reader.Ftyp.MinorVersion, 512u);
  EXPECT_EQ(ftyp.Reader.Ftyp.CompatibleBrands, "isomavc1");

  TOneBox hdlr(Box("hdlr", HdlrPayload("soun", "SoundHandler")));
  ASSERT_EQ(hdlr.Reader.ReadHdlr(), 0);
  EXPECT_EQ(+hdlr.Trak().hdlr.HandlerType, MakeFourCC("soun"));
  EXPECT_EQ(hdlr.Trak().hdlr.Name, "SoundHandler");
  // Cut by the end of the file: no padding out to what the box claims.
  TOneBox cut(Box("hdlr", HdlrPayload("vide", "VideoHandler")), 24 + 5);
  ASSERT_EQ(cut.Reader.ReadHdlr(), 0);
  EXPECT_EQ(cut.Trak().hdlr.Name, "Video");
}

using TRead = int32_t (*)(THgMP4FileReader&);
using TVersion = uint8_t (*)(THgMP4FileReader&);
#define CUT_CASE(type, call, record)                                                               \
  std::tuple<const char*, TRead, TVersion> {                                                       \
    type, [](THgMP4FileReader& r) { return r.call; },                                              \
        [](THgMP4FileReader& r) { return uint8_t(r.record.Version); }                              \
  }

// Every reader on a box cut right after its version and flags: nothing is believed.
TEST(Mp4Tables, CutBoxLeavesRecordNotRead) {
  for (const auto& [type, read, version] :
       {CUT_CASE("mvhd", ReadMvhd(), Mvhd), CUT_CASE("tkhd", ReadTkhd(), Traks.back().tkhd),
        CUT_CASE("mdhd", ReadMdhd(), Traks.back().mdhd),
        CUT_CASE("hdlr", ReadHdlr(), Traks.back().hdlr),
        CUT_CASE("stsd", ReadStsd(3), Traks.back().stsd),
        CUT_CASE("stco", ReadStco(), Traks.back().stco),
        CUT_CASE("co64", ReadCo64(), Traks.back().stco),
        CUT_CASE("stts", ReadStts(), Traks.back().stts),
        CUT_CASE("stss", ReadStss(), Traks.back().stss),
        CUT_CASE("stsc", ReadStsc(), Traks.back().stsc),
        CUT_CASE("stsz", ReadStsz(), Traks.back().stsz)}) {
    TOneBox one(Box(MakeFourCC(type[0], type[1], type[2], type[3]), FullBoxHead(1)));
    EXPECT_EQ(read(one.Reader), -1) << type;
    EXPECT_EQ(version(one.Reader), kNotRead) << type;
  }
}

TEST(Mp4SampleDescription, EntriesTheirKindsAndChildren) {
  TOneBox video(Box(
      "stsd",
      TablePayload(1, VisualSampleEntry("avc1", 1280, 720, {Box("avcC", 30), Box("btrt", 12)}))));
  ASSERT_EQ(video.Reader.ReadStsd(42), 0);
  TMp4Trak& v = video.Trak();
  EXPECT_EQ(v.MediaKind, mkVideo);
  EXPECT_EQ(+v.stsd.Entries[0].FixedLength, 78u);
  EXPECT_EQ(+VisualEntry(v.stsd.Entries[0]).Width, 1280);
  EXPECT_EQ(+VisualEntry(v.stsd.Entries[0]).ColorTableId, 0xFFFF);
  const THgChunkTree& tree = v.SampleDescriptions;
  ASSERT_EQ(tree.Count(), 3u);
  EXPECT_EQ(std::tuple(tree.Id(0), tree.DataPosition(0), tree.Size(0)),
            std::tuple(MakeFourCC("avc1"), 20, int64_t(78)));
  EXPECT_EQ(tree.ListType(1), 1u);
  EXPECT_EQ(tree.DataPosition(2), 20 + 78 + 38);

  TOneBox aac(
      Box("stsd", TablePayload(1, SoundSampleEntry("mp4a", 2, 16, 44100, {Box("esds", 9)}))));
  ASSERT_EQ(aac.Reader.ReadStsd(1), 0);
  EXPECT_EQ(aac.Trak().MediaKind, mkSound);
  EXPECT_EQ(+SoundEntry(aac.Trak().stsd.Entries[0]).ChannelCount, 2);
  EXPECT_EQ(+SoundEntry(aac.Trak().stsd.Entries[0]).SampleRate, 44100u << 16);

  // Uncompressed sound: its whole payload is the fixed part.
  TOneBox pcm(Box("stsd", TablePayload(1, SoundSampleEntry("sowt", 2, 16, 48000))));
  ASSERT_EQ(pcm.Reader.ReadStsd(1), 0);
  EXPECT_EQ(
      std::tuple(+pcm.Trak().stsd.Entries[0].FixedLength, pcm.Trak().SampleDescriptions.Count()),
      std::tuple(28u, 1u));

  // A QuickTime version 1 sound entry has 16 more bytes before its children; read as a
  // child header they claim 1024 bytes. The next entry is still read from its start.
  const TBytes extra = Words({1024, 0xEEEEEEEE, 2, 2});
  TOneBox v1(Box("stsd", TablePayload(2, Join({SoundSampleEntry("mp4a", 1, 16, 8000, {}, extra),
                                               SoundSampleEntry("sowt", 2, 16, 8000)}))));
  ASSERT_EQ(v1.Reader.ReadStsd(1), 0);
  EXPECT_EQ(+v1.Trak().stsd.Entries[1].Type, MakeFourCC("sowt"));
}

TEST(Mp4SampleDescription, DamagedEntriesAreNotRead) {
  const TBytes avc = VisualSampleEntry("avc1", 640, 480, {Box("avcC", 30)});
  TBytes cut = avc;
  cut.resize(8 + 40);
  TBytes tooShort = avc;
  WriteBE32(tooShort.data(), 8 + 20); // shorter than its own fixed part
  // A count no box can hold is bounded before anything is allocated.
  for (const auto& [entries, count, keep] :
       {std::tuple(cut, 1u, std::optional<size_t>()),
        std::tuple(avc, 1u, std::optional<size_t>(68)),
        std::tuple(tooShort, 1u, std::optional<size_t>()),
        std::tuple(avc, 0xFFFFFFFFu, std::optional<size_t>())}) {
    TOneBox box(Box("stsd", TablePayload(count, entries)), keep);
    EXPECT_EQ(box.Reader.ReadStsd(1), -1);
    EXPECT_EQ(box.Trak().stsd.Version, kNotRead);
    EXPECT_LE(box.Trak().stsd.Entries.size(), (avc.size() + 7) / 8);
  }
}

// Chunk offsets and sample sizes are read by the analysis of a whole file.
TEST(Mp4SampleTables, EntriesAreConverted) {
  TOneBox stts(Box("stts", TablePayload(2, Words({10, 1001, 1, 2002}))));
  ASSERT_EQ(stts.Reader.ReadStts(), 0);
  EXPECT_EQ(stts.Trak().stts.Table[1].SampleDelta, 2002u);
  TOneBox stsc(Box("stsc", TablePayload(2, Words({1, 30, 1, 7, 12, 2}))));
  ASSERT_EQ(stsc.Reader.ReadStsc(), 0);
  EXPECT_EQ(stsc.Trak().stsc.Table[1].SampleDescriptionIndex, 2u);
  TOneBox stss(Box("stss", TablePayload(3, Words({1, 31, 61}))));
  ASSERT_EQ(stss.Reader.ReadStss(), 0);
  EXPECT_EQ(stss.Trak().stss.Table, (TMp4_stss_table{1, 31, 61}));
  // One size for every sample: no table, and the count stays.
  TOneBox uniform(Box("stsz", StszPayload(1024, 5000)));
  ASSERT_EQ(uniform.Reader.ReadStsz(), 0);
  EXPECT_EQ(uniform.Trak().stsz.SampleCount, 5000u);
  EXPECT_TRUE(uniform.Trak().stsz.Table.empty());
}

// Counts far beyond the box: the table holds what is there plus a last partial entry,
// zero-padded, and the count says what the table holds.
TEST(Mp4SampleTables, CountsAreBoundedByTheBox) {
  TOneBox stco(
      Box("stco", TablePayload(0x40000000, Join({Words({0x10, 0x20, 0x30}), {0x12, 0x34}}))));
  ASSERT_EQ(stco.Reader.ReadStco(), 0);
  EXPECT_EQ(stco.Trak().stco.EntryCount, 4u);
  EXPECT_EQ(stco.Trak().stco.Table, (TMp4_stco_table{0x10, 0x20, 0x30, 0x12340000}));
  EXPECT_LT(stco.Reader.Stco32.size(), 16u);

  TOneBox stsz(Box("stsz", StszPayload(0, 0xFFFFFFFF, {7, 8})));
  ASSERT_EQ(stsz.Reader.ReadStsz(), 0);
  EXPECT_EQ(stsz.Trak().stsz.SampleCount, 2u);

  // The box claims 100 entries; the file ends after two.
  std::vector<uint32_t> entries;
  for (uint32_t i = 1; i <= 100; ++i)
    entries.insert(entries.end(), {i, i * 10});
  TOneBox stts(Box("stts", TablePayload(100, Words(entries))), 8 + 16);
  ASSERT_EQ(stts.Reader.ReadStts(), 0);
  EXPECT_EQ(stts.Trak().stts.EntryCount, 2u);
  EXPECT_EQ(stts.Trak().stts.Table[1].SampleDelta, 20u);
}

} // namespace
} // namespace clw
