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
  explicit TOneBox(const TMp4Box& box, size_t keep = SIZE_MAX)
      : TMp4InMemory(BuildMp4({Box("free", 4), box, Box("free", 64, 0x11)}).Bytes) {
    if (keep != SIZE_MAX) Memory.Data.resize(20 + keep);
    Atoms.StreamSize = int64_t(Memory.Data.size());
    Reader.AddTrack(-1);
    Atoms.SetRoot(box.Type, BuildMp4({box}).Bytes.size(), 20);
  }
  TMp4Trak& Trak() { return Reader.Traks.back(); }
};

// Version 0 has 32-bit times; a duration of all ones stays all ones in 64 bits.
TEST(Mp4Headers, VersionZeroFieldsAreWidened) {
  for (uint8_t v : {0, 1}) {
    const uint64_t duration = v == 0 ? 0xFFFFFFFFu : 0x123456789ull;
    TOneBox mvhd(Box("mvhd", MvhdPayload(v, 90000, duration, 0x1020, 7))),
        tkhd(Box("tkhd", TkhdPayload(v, 5, duration, 1920, 1080))),
        mdhd(Box("mdhd", MdhdPayload(v, 48000, duration, 0x15C7)));
    ASSERT_EQ(mvhd.Reader.ReadMvhd() | tkhd.Reader.ReadTkhd() | mdhd.Reader.ReadMdhd(), 0);
    const TMp4_mvhd& m = mvhd.Reader.Mvhd;
    const TMp4_tkhd& k = tkhd.Trak().tkhd;
    const TMp4_mdhd& d = mdhd.Trak().mdhd;
    EXPECT_EQ(std::tuple(+m.ModificationTime, +m.TimeScale, +m.Duration, +m.NextTrackId),
              std::tuple(0x1021ull, 90000u, duration, 7u));
    EXPECT_EQ(
        std::tuple(+k.TrackId, +k.Duration, +k.Height, +d.TimeScale, +d.Duration, +d.Language),
        std::tuple(5u, duration, 1080u << 16, 48000u, duration, uint16_t(0x15C7)));
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

// Every reader on a box cut right after its version and flags: nothing is believed. (tkhd and
// mdhd share mvhd's reader, stss and stsc that of stts.)
TEST(Mp4Tables, CutBoxLeavesRecordNotRead) {
  using TRead = std::pair<int32_t, uint8_t*> (*)(THgMP4FileReader&);
  const std::pair<const char*, TRead> readers[] = {
      {"mvhd", [](auto& r) { return std::pair(r.ReadMvhd(), &r.Mvhd.Version); }},
      {"hdlr", [](auto& r) { return std::pair(r.ReadHdlr(), &r.Traks.back().hdlr.Version); }},
      {"stsd", [](auto& r) { return std::pair(r.ReadStsd(3), &r.Traks.back().stsd.Version); }},
      {"stco", [](auto& r) { return std::pair(r.ReadStco(), &r.Traks.back().stco.Version); }},
      {"co64", [](auto& r) { return std::pair(r.ReadCo64(), &r.Traks.back().stco.Version); }},
      {"stts", [](auto& r) { return std::pair(r.ReadStts(), &r.Traks.back().stts.Version); }},
      {"stsz", [](auto& r) { return std::pair(r.ReadStsz(), &r.Traks.back().stsz.Version); }},
      {"elst", [](auto& r) { return std::pair(r.ReadElst(), &r.Traks.back().elst.Version); }},
  };
  for (const auto& [type, read] : readers) {
    TOneBox one(Box(MakeFourCC(type[0], type[1], type[2], type[3]), FullBoxHead(1)));
    const auto [result, version] = read(one.Reader);
    EXPECT_EQ(std::pair(result, *version), std::pair(-1, kNotRead)) << type;
  }
}

// Node types of a sample-description tree in order, each after its level.
std::string Shape(const THgChunkTree& Tree) {
  std::string shape;
  for (int32_t i = 0; i < int32_t(Tree.Count()); ++i)
    shape += std::to_string(Tree.ListType(i)) + FourCCToString(Tree.Id(i)) + " ";
  return shape;
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
  EXPECT_EQ(Shape(tree), "0avc1 1avcC 1btrt ");
  EXPECT_EQ(std::tuple(tree.DataPosition(0), tree.Size(0), tree.DataPosition(2)),
            std::tuple(20, int64_t(78), 20 + 78 + 38));

  // Uncompressed sound is an ordinary sound entry: 28 fixed bytes, then its boxes.
  TOneBox sound(Box(
      "stsd", TablePayload(2, Join({SoundSampleEntry("mp4a", 2, 16, 44100),
                                    SoundSampleEntry("sowt", 1, 16, 48000, {Box("chan", 16)})}))));
  ASSERT_EQ(sound.Reader.ReadStsd(1), 0);
  const TMp4Trak& s = sound.Trak();
  EXPECT_EQ(s.MediaKind, mkSound);
  const TMp4_SoundEntry aac = SoundEntry(s.stsd.Entries[0]);
  EXPECT_EQ(std::tuple(+aac.ChannelCount, +aac.SampleRate), std::tuple(2, 44100u << 16));
  EXPECT_EQ(+s.stsd.Entries[1].FixedLength, 28u);
  EXPECT_EQ(s.SampleDescriptions.FindChild(1, MakeFourCC("chan")), 2);
}

// QuickTime sound descriptions of version 1 and 2 carry more fixed fields before their
// boxes; taken for a box header, they would hide "wave" and the "esds" in it.
TEST(Mp4SampleDescription, QuickTimeSoundVersionsAreFields) {
  const TMp4Box wave =
      Container("wave", {Box("frma", BytesOf("mp4a")), Box("mp4a", 4, 0), Box("esds", 30),
                         Box(TFourCC(0), TBytes{})}); // the terminator ffmpeg writes
  const TBytes entries =
      Join({SoundSampleEntryV1("mp4a", 2, 44100, {1024, 0, 0, 2}, {wave, Box("chan", 16)}),
            SoundSampleEntryV2("lpcm", {96000, 6, 24, 0xC}, {Box("chan", 16)})});
  TOneBox box(Box("stsd", TablePayload(2, entries)));
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
  EXPECT_EQ(Shape(t.SampleDescriptions), "0mp4a 1wave 2frma 2mp4a 2esds 1chan 0lpcm 1chan ");

  // An ISO entry marked version 1 stands only in a version 1 "stsd" and keeps the version
  // 0 layout: its "esds" follows the 28 fixed bytes.
  TBytes iso = SoundSampleEntry("mp4a", 2, 16, 48000, {Box("esds", 20)});
  iso[8 + 9] = 1;
  TOneBox v1(Box("stsd", Join({FullBoxHead(1), BE32(1), iso})));
  ASSERT_EQ(v1.Reader.ReadStsd(1), 0);
  EXPECT_EQ(+v1.Trak().stsd.Entries[0].FixedLength, 28u);
  EXPECT_EQ(v1.Trak().SampleDescriptions.FindChild(0, kesds), 1);
}

// Version 0 (sowt), 2 (lpcm) and a compressed entry are pinned on ffmpeg's clips below.
TEST(Mp4SampleDescription, PcmFrameSizeOfEachVersion) {
  for (const auto& [name, entry, frame] :
       {std::tuple("in24 v1", SoundSampleEntryV1("in24", 2, 48000, {1, 3, 6, 3}), 6u),
        std::tuple("v2, 64 doubles", SoundSampleEntryV2("fl64", {48000, 64, 64}), 512u),
        std::tuple("65 doubles", SoundSampleEntryV2("fl64", {48000, 65, 64}), 0u),
        std::tuple("no channels", SoundSampleEntry("sowt", 0, 16, 48000), 0u)}) {
    TOneBox box(Box("stsd", TablePayload(1, entry)));
    ASSERT_EQ(box.Reader.ReadStsd(1), 0) << name;
    EXPECT_EQ(PcmFrameSize(box.Trak().stsd.Entries[0]), frame) << name;
  }
}

// What ffmpeg writes into MOV: AAC as a version 1 description with "esds" inside "wave",
// 16-bit PCM as a version 0 "sowt", and above 65535 Hz as a version 2 "lpcm". Each track
// has an edit list (AAC's skips the encoder's 1024 priming samples) and a QuickTime name.
TEST(Mp4SampleDescription, FfmpegMovSound) {
  for (const auto& [file, rate, codec, type, version, frameSize, mediaTime] :
       {std::tuple("sound_aac.mov", "48000", "aac", "mp4a", 1, 0u, 1024),
        std::tuple("sound_pcm.mov", "48000", "pcm_s16le", "sowt", 0, 4u, 0),
        std::tuple("sound_pcm96k.mov", "96000", "pcm_s16le", "lpcm", 2, 4u, 0)}) {
    SCOPED_TRACE(file);
    const std::string path = MakeClip(file, std::string("-f lavfi -i sine=sample_rate=") + rate +
                                                ":duration=1 -ac 2 -c:a " + codec);
    ASSERT_FALSE(path.empty());
    THgMP4FileReader reader(path, nullptr);
    ASSERT_EQ(reader.Analyze(0), kDone);
    EXPECT_EQ(reader.Error, kNoDamage);
    ASSERT_EQ(reader.TrackCount(), 1);
    const TMp4Trak& t = reader.Traks[0];
    const TMp4_SampleEntry& entry = t.stsd.Entries.at(0);
    EXPECT_EQ(FourCCToString(entry.Type), type);
    EXPECT_EQ(+SoundEntry(entry).Version, version);
    EXPECT_EQ(PcmFrameSize(entry), frameSize);
    // AAC's "esds" a level down, inside "wave".
    EXPECT_EQ(Shape(t.SampleDescriptions).find("2esds") != std::string::npos, version == 1);
    EXPECT_EQ(t.hdlr.Name, "\x0cSoundHandler");
    EXPECT_EQ(t.elst.Table, (std::vector<TMp4_elst_entry>{{1000, mediaTime, 1, 0}}));
  }
}

TEST(Mp4SampleDescription, DamagedEntriesAreNotRead) {
  const TBytes avc = VisualSampleEntry("avc1", 640, 480, {Box("avcC", 30)});
  const TBytes cut(avc.begin(), avc.begin() + 8 + 40);
  TBytes tooShort = avc;
  WriteBE32(tooShort.data(), 8 + 20); // shorter than its own fixed part
  TBytes shortV1 = SoundSampleEntryV1("mp4a", 2, 48000, {});
  WriteBE32(shortV1.data(), 8 + 36); // room for version 0 fields, not for version 1 ones
  // A count no box can hold is bounded before anything is allocated.
  for (const auto& [entries, count, keep] :
       {std::tuple(cut, 1u, SIZE_MAX), std::tuple(avc, 1u, size_t(68)),
        std::tuple(tooShort, 1u, SIZE_MAX), std::tuple(shortV1, 1u, SIZE_MAX),
        std::tuple(avc, 0xFFFFFFFFu, SIZE_MAX)}) {
    TOneBox box(Box("stsd", TablePayload(count, entries)), keep);
    EXPECT_EQ(box.Reader.ReadStsd(1), -1);
    EXPECT_EQ(box.Trak().stsd.Version, kNotRead);
    EXPECT_LE(box.Trak().stsd.Entries.size(), (avc.size() + 7) / 8);
  }
}

// Counts far beyond the box: the table holds what is there plus a last partial entry,
// zero-padded, and the count says what the table holds. Entries come out in host order.
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
  // One size for every sample: no table, and the count stays.
  TOneBox uniform(Box("stsz", StszPayload(1024, 5000)));
  ASSERT_EQ(uniform.Reader.ReadStsz(), 0);
  EXPECT_EQ(std::tuple(uniform.Trak().stsz.SampleCount, uniform.Trak().stsz.Table.size()),
            std::tuple(5000u, 0u));

  TOneBox stsc(Box("stsc", TablePayload(0xFFFFFFFF, Words({1, 30, 1, 7, 12, 2}))));
  ASSERT_EQ(stsc.Reader.ReadStsc(), 0);
  EXPECT_EQ(stsc.Trak().stsc.EntryCount, 2u);
  EXPECT_EQ(stsc.Trak().stsc.Table[1].SampleDescriptionIndex, 2u);
  // The box claims 100 entries and holds three; the file ends after two.
  TOneBox stts(Box("stts", TablePayload(100, Words({1, 10, 2, 20, 3, 30}))), 8 + 16);
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
