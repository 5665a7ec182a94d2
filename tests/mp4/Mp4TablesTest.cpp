#include "mp4/Mp4BoxTypes.h"
#include "streams/Endian.h"
#include "support/MediaTools.h"
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
  // A QuickTime name is a Pascal string without a terminator: its last character stays.
  TOneBox pascal(Box("hdlr", Join({FullBoxHead(0), BytesOf("mhlrsoun"), TBytes(12, 0),
                                   BytesOf("\x0cSoundHandler")})));
  ASSERT_EQ(pascal.Reader.ReadHdlr(), 0);
  EXPECT_EQ(pascal.Trak().hdlr.Name, "\x0cSoundHandler");
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
        CUT_CASE("stsz", ReadStsz(), Traks.back().stsz),
        CUT_CASE("elst", ReadElst(), Traks.back().elst)}) {
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

  // Uncompressed sound is an ordinary sound entry: 28 fixed bytes, then its boxes.
  TOneBox pcm(
      Box("stsd", TablePayload(1, SoundSampleEntry("sowt", 2, 16, 48000, {Box("chan", 16)}))));
  ASSERT_EQ(pcm.Reader.ReadStsd(1), 0);
  EXPECT_EQ(+pcm.Trak().stsd.Entries[0].FixedLength, 28u);
  EXPECT_EQ(pcm.Trak().SampleDescriptions.FindChild(0, MakeFourCC("chan")), 1);
}

// Node types of a sample-description tree in order, with their levels.
std::vector<std::pair<std::string, uint32_t>> Shape(const THgChunkTree& Tree) {
  std::vector<std::pair<std::string, uint32_t>> shape;
  for (int32_t i = 0; i < int32_t(Tree.Count()); ++i)
    shape.emplace_back(FourCCToString(Tree.Id(i)), Tree.ListType(i));
  return shape;
}

// QuickTime sound descriptions of version 1 and 2 carry more fixed fields before their
// boxes; taken for a box header, they would hide "wave" and the "esds" in it.
TEST(Mp4SampleDescription, QuickTimeSoundVersionsAreFields) {
  const TMp4Box wave =
      Container("wave", {Box("frma", BytesOf("mp4a")), Box("mp4a", 4, 0), Box("esds", 30),
                         Box(TFourCC(0), TBytes{})}); // the terminator ffmpeg writes
  TOneBox box(Box(
      "stsd",
      TablePayload(
          2, Join({SoundSampleEntryV1("mp4a", 2, 44100, {1024, 0, 0, 2}, {wave, Box("chan", 16)}),
                   SoundSampleEntryV2("lpcm", {96000, 6, 24, 0xC}, {Box("chan", 16)})}))));
  ASSERT_EQ(box.Reader.ReadStsd(1), 0);
  const TMp4Trak& t = box.Trak();
  const TMp4_SoundEntryV1 aac = SoundEntryV1(t.stsd.Entries[0]);
  EXPECT_EQ(+t.stsd.Entries[0].FixedLength, 44u);
  EXPECT_EQ(std::tuple(+aac.Head.Version, +aac.Head.ChannelCount, +aac.Head.SampleRate,
                       +aac.SamplesPerPacket, +aac.BytesPerSample),
            std::tuple(1, 2, 44100u << 16, 1024u, 2u));
  const TMp4_SoundEntryV2 lpcm = SoundEntryV2(t.stsd.Entries[1]);
  EXPECT_EQ(+t.stsd.Entries[1].FixedLength, 64u);
  EXPECT_EQ(std::tuple(+lpcm.Head.Version, +lpcm.AudioSampleRate, +lpcm.NumAudioChannels,
                       +lpcm.Always7F000000, +lpcm.ConstBitsPerChannel, +lpcm.FormatSpecificFlags),
            std::tuple(2, 96000.0, 6u, 0x7F000000u, 24u, 0xCu));
  using TShape = std::vector<std::pair<std::string, uint32_t>>;
  EXPECT_EQ(Shape(t.SampleDescriptions), (TShape{{"mp4a", 0},
                                                 {"wave", 1},
                                                 {"frma", 2},
                                                 {"mp4a", 2},
                                                 {"esds", 2},
                                                 {"chan", 1},
                                                 {"lpcm", 0},
                                                 {"chan", 1}}));

  // An ISO entry marked version 1 stands only in a version 1 "stsd" and keeps the version
  // 0 layout: its "esds" follows the 28 fixed bytes.
  TBytes iso = SoundSampleEntry("mp4a", 2, 16, 48000, {Box("esds", 20)});
  iso[8 + 9] = 1;
  TOneBox v1(Box("stsd", Join({FullBoxHead(1), BE32(1), iso})));
  ASSERT_EQ(v1.Reader.ReadStsd(1), 0);
  EXPECT_EQ(+v1.Trak().stsd.Entries[0].FixedLength, 28u);
  EXPECT_EQ(v1.Trak().SampleDescriptions.FindChild(0, kesds), 1);
}

TEST(Mp4SampleDescription, PcmFrameSizeOfEachVersion) {
  for (const auto& [name, entry, frame] :
       {std::tuple("sowt v0 stereo", SoundSampleEntry("sowt", 2, 16, 48000), 4u),
        std::tuple("twos v0 8-bit mono", SoundSampleEntry("twos", 1, 8, 8000), 1u),
        std::tuple("in24 v1", SoundSampleEntryV1("in24", 2, 48000, {1, 3, 6, 3}), 6u),
        std::tuple("lpcm v2", SoundSampleEntryV2("lpcm", {96000, 6, 24}), 18u),
        std::tuple("64 doubles", SoundSampleEntryV2("fl64", {48000, 64, 64}), 512u),
        std::tuple("65 doubles", SoundSampleEntryV2("fl64", {48000, 65, 64}), 0u),
        std::tuple("no channels", SoundSampleEntry("sowt", 0, 16, 48000), 0u),
        std::tuple("compressed", SoundSampleEntry("mp4a", 2, 16, 48000), 0u)}) {
    TOneBox box(Box("stsd", TablePayload(1, entry)));
    ASSERT_EQ(box.Reader.ReadStsd(1), 0) << name;
    EXPECT_EQ(PcmFrameSize(box.Trak().stsd.Entries[0]), frame) << name;
  }
}

// What ffmpeg writes into MOV: AAC as a version 1 description with "esds" inside "wave",
// 16-bit PCM as a version 0 "sowt", and above 65535 Hz as a version 2 "lpcm". Each track
// has an edit list (AAC's skips the encoder's 1024 priming samples) and a QuickTime name.
TEST(Mp4SampleDescription, FfmpegMovSound) {
  struct {
    const char* File;
    const char* Arguments;
    const char* Type;
    uint16_t Version;
    uint32_t FrameSize;
    int64_t MediaTime;
  } const clips[] = {
      {"sound_aac.mov", "-f lavfi -i sine=sample_rate=48000:duration=1 -ac 2 -c:a aac", "mp4a", 1,
       0, 1024},
      {"sound_pcm.mov", "-f lavfi -i sine=sample_rate=48000:duration=1 -ac 2 -c:a pcm_s16le",
       "sowt", 0, 4, 0},
      {"sound_pcm96k.mov", "-f lavfi -i sine=sample_rate=96000:duration=1 -ac 2 -c:a pcm_s16le",
       "lpcm", 2, 4, 0}};
  for (const auto& clip : clips) {
    SCOPED_TRACE(clip.File);
    const std::string path = MakeClip(clip.File, clip.Arguments);
    ASSERT_FALSE(path.empty());
    THgMP4FileReader reader(path, nullptr);
    ASSERT_EQ(reader.Analyze(0), kDone);
    EXPECT_EQ(reader.Error, kNoDamage);
    ASSERT_EQ(reader.TrackCount(), 1);
    const TMp4Trak& t = reader.Traks[0];
    const TMp4_SampleEntry& entry = t.stsd.Entries.at(0);
    EXPECT_EQ(FourCCToString(entry.Type), clip.Type);
    EXPECT_EQ(+SoundEntry(entry).Version, clip.Version);
    EXPECT_EQ(PcmFrameSize(entry), clip.FrameSize);
    const THgChunkTree& tree = t.SampleDescriptions;
    const int32_t wave = tree.FindChild(0, kwave);
    EXPECT_EQ(wave >= 0 && tree.FindChild(wave, kesds) >= 0, clip.Version == 1);
    EXPECT_EQ(t.hdlr.Name, "\x0cSoundHandler");
    EXPECT_EQ(t.elst.Table, (std::vector<TMp4_elst_entry>{{1000, clip.MediaTime, 1, 0}}));
  }
}

TEST(Mp4SampleDescription, DamagedEntriesAreNotRead) {
  const TBytes avc = VisualSampleEntry("avc1", 640, 480, {Box("avcC", 30)});
  TBytes cut = avc;
  cut.resize(8 + 40);
  TBytes tooShort = avc;
  WriteBE32(tooShort.data(), 8 + 20); // shorter than its own fixed part
  TBytes shortV1 = SoundSampleEntryV1("mp4a", 2, 48000, {});
  WriteBE32(shortV1.data(), 8 + 36); // room for version 0 fields, not for version 1 ones
  // A count no box can hold is bounded before anything is allocated.
  for (const auto& [entries, count, keep] :
       {std::tuple(cut, 1u, std::optional<size_t>()),
        std::tuple(avc, 1u, std::optional<size_t>(68)),
        std::tuple(tooShort, 1u, std::optional<size_t>()),
        std::tuple(shortV1, 1u, std::optional<size_t>()),
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

  // Edit-list segments are 12 bytes in version 0 and 20 in version 1: 40 bytes hold three
  // and a partial one, or two.
  for (const auto& [version, count] : {std::tuple(0, 4u), std::tuple(1, 2u)}) {
    TOneBox elst(
        Box("elst", Join({FullBoxHead(uint8_t(version)), BE32(0xFFFFFFFF), TBytes(40, 0xFF)})));
    ASSERT_EQ(elst.Reader.ReadElst(), 0);
    EXPECT_EQ(elst.Trak().elst.EntryCount, count);
    EXPECT_EQ(elst.Trak().elst.Table[0].MediaTime, -1);
  }
}

} // namespace
} // namespace clw
