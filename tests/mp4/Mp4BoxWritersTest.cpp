#include "mp4/Mp4BoxWriters.h"

#include "mp4/Mp4BoxTypes.h"
#include "streams/Endian.h"
#include "support/Mp4Builder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <tuple>

namespace clw {
namespace {

using namespace test;

using TWrite = std::function<bool(THgMp4Stream&)>;

// What a writer put into memory, with the project's reader set on the box it wrote (or on
// that box's first child when Nested) and one track to read into.
struct TWritten : TMp4InMemory {
  explicit TWritten(const TWrite& write, bool nested = false) : TMp4InMemory(Write(write)) {
    Reader.AddTrack(-1);
    const size_t at = nested ? 8 : 0;
    Atoms.SetRoot(Type(at), ReadBE32(&Memory.Data.at(at)), int64_t(at) + 8);
  }
  static TBytes Write(const TWrite& write) {
    TMemoryStream memory;
    THgMp4Stream out(&memory);
    EXPECT_TRUE(write(out));
    EXPECT_EQ(out.Depth, 0u);
    // The box is complete: its size field covers everything written.
    EXPECT_EQ(ReadBE32(memory.Data.data()), memory.Data.size());
    return memory.Data;
  }
  TFourCC Type(size_t at = 0) const { return ReadLE32(&Memory.Data.at(at + 4)); }
  TBytes Payload() const { return TBytes(Memory.Data.begin() + 8, Memory.Data.end()); }
  TMp4Trak& Trak() { return Reader.Traks.back(); }
};

// A record as the reader makes it from a box built independently of the field lists.
template <typename TRecord>
TRecord ReadRecord(const char (&type)[5], const TBytes& payload,
                   int32_t (THgMP4FileReader::*read)(), TRecord TMp4Trak::*field) {
  TMp4InMemory in(BuildMp4({Box(type, payload)}).Bytes);
  in.Reader.AddTrack(-1);
  in.Atoms.SetRoot(MakeFourCC(type), payload.size() + 8, 8);
  EXPECT_EQ((in.Reader.*read)(), 0);
  return in.Reader.Traks.back().*field;
}

template <typename TRecord> bool SameBytes(const TRecord& a, const TRecord& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

struct THeaderCase {
  const char* Name;
  uint8_t FileVersion; // the version of the box the record is read from
  uint64_t Duration;
  uint8_t RecordVersion; // put into the record before it is written
  uint8_t WrittenVersion;
};

// The writer gives back the very bytes the record was read from, except for a version that
// must change: a record of version 0 with a 64-bit duration is written as version 1, a
// version byte never read (or unknown) as version 0.
TEST(Mp4BoxWriters, HeadersRoundTrip) {
  const uint64_t big = 0x123456789ull;
  for (const THeaderCase& c : {THeaderCase{"v0", 0, 5000, 0, 0}, THeaderCase{"v1", 1, 5000, 1, 1},
                               THeaderCase{"v0 grown to 64 bits", 1, big, 0, 1},
                               THeaderCase{"never read", 0, 5000, kNotRead, 0},
                               THeaderCase{"unknown version", 0, 5000, 2, 0}}) {
    SCOPED_TRACE(c.Name);
    const TBytes mvhdBox = MvhdPayload(c.FileVersion, 90000, c.Duration, 0x1020, 7);
    const TBytes tkhdBox = TkhdPayload(c.FileVersion, 5, c.Duration, 1920, 1080);
    const TBytes mdhdBox = MdhdPayload(c.FileVersion, 48000, c.Duration, 0x15C7);

    TMp4InMemory movie(BuildMp4({Box("mvhd", mvhdBox)}).Bytes);
    movie.Atoms.SetRoot(kmvhd, mvhdBox.size() + 8, 8);
    ASSERT_EQ(movie.Reader.ReadMvhd(), 0);
    TMp4_mvhd mvhd = movie.Reader.Mvhd;
    TMp4_tkhd tkhd = ReadRecord("tkhd", tkhdBox, &THgMP4FileReader::ReadTkhd, &TMp4Trak::tkhd);
    TMp4_mdhd mdhd = ReadRecord("mdhd", mdhdBox, &THgMP4FileReader::ReadMdhd, &TMp4Trak::mdhd);
    mvhd.Version = tkhd.Version = mdhd.Version = c.RecordVersion;

    TWritten m([&](THgMp4Stream& out) { return WriteMvhd(out, mvhd); });
    TWritten t([&](THgMp4Stream& out) { return WriteTkhd(out, tkhd); });
    TWritten d([&](THgMp4Stream& out) { return WriteMdhd(out, mdhd); });
    EXPECT_EQ(m.Payload(), mvhdBox);
    EXPECT_EQ(t.Payload(), tkhdBox);
    EXPECT_EQ(d.Payload(), mdhdBox);

    ASSERT_EQ(m.Reader.ReadMvhd(), 0);
    ASSERT_EQ(t.Reader.ReadTkhd(), 0);
    ASSERT_EQ(d.Reader.ReadMdhd(), 0);
    mvhd.Version = tkhd.Version = mdhd.Version = c.WrittenVersion;
    EXPECT_TRUE(SameBytes(m.Reader.Mvhd, mvhd));
    EXPECT_TRUE(SameBytes(t.Trak().tkhd, tkhd));
    EXPECT_TRUE(SameBytes(d.Trak().mdhd, mdhd));
  }
}

// ISO names end in a zero; QuickTime names are Pascal strings without one and keep their
// last character. Either way the writer adds one zero and the reader takes it off again.
TEST(Mp4BoxWriters, HandlerNamesRoundTrip) {
  for (const std::string& name : {std::string("SoundHandler"), std::string("\x0cSoundHandler"),
                                  std::string(), std::string("ends in zero\0", 13)}) {
    SCOPED_TRACE(name);
    TMp4_hdlr hdlr;
    hdlr.Version = 0;
    hdlr.Flags[2] = 1;
    hdlr.PreDefined = MakeFourCC("mhlr");
    hdlr.HandlerType = MakeFourCC("soun");
    hdlr.Reserved[11] = 0x5A;
    hdlr.Name = name;
    TWritten w([&](THgMp4Stream& out) { return WriteHdlr(out, hdlr); });
    EXPECT_EQ(w.Memory.Data.size(), 8 + 24 + name.size() + 1);
    EXPECT_EQ(w.Memory.Data.back(), 0);
    ASSERT_EQ(w.Reader.ReadHdlr(), 0);
    const TMp4_hdlr& back = w.Trak().hdlr;
    EXPECT_TRUE(SameBytes<TMp4_hdlrFixed>(back, hdlr));
    EXPECT_EQ(back.Name, name);
  }
}

TEST(Mp4BoxWriters, DataReferencePointsIntoThisFile) {
  TMp4Box dref = Box("dref", Join({FullBoxHead(0), BE32(1)}));
  dref.Children = {Box("url ", FullBoxHead(0, 1))};
  TWritten w([](THgMp4Stream& out) { return WriteDinf(out); });
  EXPECT_EQ(w.Memory.Data, BuildMp4({Container("dinf", {dref})}).Bytes);
}

// Each table written with a wrong EntryCount (the count comes from the table) and read back.
TEST(Mp4BoxWriters, SampleTablesRoundTrip) {
  TMp4_stts stts{0, {}, 99, {{10, 1001}, {1, 2002}}};
  TWritten sttsOut([&](THgMp4Stream& out) { return WriteStts(out, stts); });
  ASSERT_EQ(sttsOut.Reader.ReadStts(), 0);
  const TMp4_stts& sttsBack = sttsOut.Trak().stts;
  EXPECT_EQ(std::tuple(sttsBack.Version, sttsBack.EntryCount), std::tuple(0, 2u));
  EXPECT_EQ(std::memcmp(sttsBack.Table.data(), stts.Table.data(), 16), 0);

  TMp4_stsc stsc{0, {}, 0, {{1, 30, 1}, {7, 12, 2}}};
  TWritten stscOut([&](THgMp4Stream& out) { return WriteStsc(out, stsc); });
  ASSERT_EQ(stscOut.Reader.ReadStsc(), 0);
  EXPECT_EQ(stscOut.Trak().stsc.EntryCount, 2u);
  EXPECT_EQ(std::memcmp(stscOut.Trak().stsc.Table.data(), stsc.Table.data(), 24), 0);

  TMp4_stss stss{0, {}, 1, {1, 31, 61}};
  TWritten stssOut([&](THgMp4Stream& out) { return WriteStss(out, stss); });
  ASSERT_EQ(stssOut.Reader.ReadStss(), 0);
  EXPECT_EQ(stssOut.Trak().stss.Table, stss.Table);
  EXPECT_EQ(stssOut.Trak().stss.EntryCount, 3u);

  // One size for every sample: the count is the record's and no table is written, even
  // when the record still holds one.
  for (const TMp4_stsz& stsz :
       {TMp4_stsz{0, {}, 1024, 5000, {1, 2, 3}}, TMp4_stsz{0, {}, 0, 7, {700, 0, 0xFFFFFFFF}}}) {
    TWritten out([&](THgMp4Stream& o) { return WriteStsz(o, stsz); });
    ASSERT_EQ(out.Reader.ReadStsz(), 0);
    const TMp4_stsz& back = out.Trak().stsz;
    EXPECT_EQ(back.SampleSize, stsz.SampleSize);
    EXPECT_EQ(back.SampleCount, stsz.SampleSize ? 5000u : 3u);
    EXPECT_EQ(back.Table, stsz.SampleSize ? TMp4_stsz_table{} : stsz.Table);
  }
}

// "stco" up to the last 32-bit offset, "co64" from 2^32 on.
TEST(Mp4BoxWriters, ChunkOffsetsWidenAtFourGiB) {
  for (const auto& [last, type] :
       {std::tuple(0xFFFFFFFFull, kstco), std::tuple(0x100000000ull, kco64)}) {
    const TMp4_stco stco{0, {}, 0, {48, 0x7FFFFFFF, last}};
    TWritten out([&](THgMp4Stream& o) { return WriteStco(o, stco); });
    ASSERT_EQ(out.Type(), type);
    ASSERT_EQ(type == kco64 ? out.Reader.ReadCo64() : out.Reader.ReadStco(), 0);
    EXPECT_EQ(out.Trak().stco.Table, stco.Table);
  }
}

// An empty edit (media time -1) survives version 0; a segment longer than 32 bits or a
// media time beyond them makes version 1.
TEST(Mp4BoxWriters, EditListsRoundTrip) {
  for (const auto& [name, entries, version] :
       {std::tuple("empty edit, v0",
                   std::vector<TMp4_elst_entry>{{1000, -1, 1, 0}, {5000, 2048, 1, 0}}, 0),
        std::tuple("long segment", std::vector<TMp4_elst_entry>{{0x100000000ull, 0, 1, 0}}, 1),
        std::tuple("late media time", std::vector<TMp4_elst_entry>{{90, 0x80000000ll, -1, 0x4000}},
                   1)}) {
    SCOPED_TRACE(name);
    TMp4_elst elst;
    elst.Version = 0;
    elst.Table = entries;
    TWritten out([&](THgMp4Stream& o) { return WriteEdts(o, elst); }, true);
    ASSERT_EQ(out.Type(), kedts);
    ASSERT_EQ(out.Reader.ReadElst(), 0);
    EXPECT_EQ(out.Trak().elst.Version, version);
    EXPECT_EQ(out.Trak().elst.EntryCount, entries.size());
    EXPECT_EQ(out.Trak().elst.Table, entries);
  }
}

// A full disk at any point of a box, its nested boxes included: the writer says so and
// leaves no box open.
TEST(Mp4BoxWriters, RefusedWriteFails) {
  TMp4_stsz sizes{0, {}, 0, 0, TMp4_stsz_table(40000, 9)}; // more than one block
  TMp4_elst edits;
  edits.Table = {{1, -1, 1, 0}};
  const std::tuple<const char*, TWrite> writers[] = {
      {"mvhd", [](THgMp4Stream& o) { return WriteMvhd(o, TMp4_mvhd{}); }},
      {"hdlr", [](THgMp4Stream& o) { return WriteHdlr(o, TMp4_hdlr{}); }},
      {"dinf", [](THgMp4Stream& o) { return WriteDinf(o); }},
      {"stsz", [&](THgMp4Stream& o) { return WriteStsz(o, sizes); }},
      {"edts", [&](THgMp4Stream& o) { return WriteEdts(o, edits); }}};
  for (const auto& [name, write] : writers) {
    const size_t full = TWritten::Write(write).size();
    for (const size_t limit : {size_t(0), size_t(12), size_t(20), full - 1}) {
      SCOPED_TRACE(std::string(name) + " limit " + std::to_string(limit));
      TMemoryStream memory;
      memory.WriteLimit = int64_t(limit);
      THgMp4Stream out(&memory);
      EXPECT_FALSE(write(out));
      EXPECT_EQ(out.Depth, 0u);
    }
  }
}

} // namespace
} // namespace clw
