// The box writers against boxes built apart from the field lists they share with the readers.
#include "mp4/Mp4BoxWriters.h"

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

// What a writer put into memory: complete boxes, the first one's size field covering it all.
TBytes Written(const TWrite& Write) {
  TMemoryStream memory;
  THgMp4Stream out(&memory);
  EXPECT_TRUE(Write(out));
  EXPECT_EQ(out.Depth, 0u);
  EXPECT_EQ(ReadBE32(memory.Data.data()), memory.Data.size());
  return memory.Data;
}

template <typename TRecord>
TBytes Written(bool (*Write)(THgMp4Stream&, const TRecord&),
               const std::type_identity_t<TRecord>& R) {
  return Written([&](THgMp4Stream& out) { return Write(out, R); });
}

// The project's reader set on the one box in Bytes, with a track to read into.
struct TReadBack : TMp4InMemory {
  explicit TReadBack(const TBytes& Bytes) : TMp4InMemory(Bytes) {
    Reader.AddTrack(-1);
    Atoms.SetRoot(ReadLE32(&Bytes.at(4)), Bytes.size(), 8);
  }
  TMp4Trak& Trak() { return Reader.Traks.back(); }
};

// The writer gives back the very bytes the record was read from, but for the version: 64-bit
// values make version 1, a version byte never read (or unknown) version 0.
TEST(Mp4BoxWriters, HeadersRoundTrip) {
  for (const auto& [name, v, duration, recordVersion] :
       {std::tuple("v0", 0, 5000ull, 0), std::tuple("v1", 1, 5000ull, 1),
        std::tuple("grown to 64 bits", 1, 0x123456789ull, 0),
        std::tuple("never read", 0, 5000ull, int(kNotRead)),
        std::tuple("unknown", 0, 5000ull, 2)}) {
    SCOPED_TRACE(name);
    const TBytes mvhd = BuildMp4({Box("mvhd", MvhdPayload(v, 90000, duration, 0x1020, 7))}).Bytes;
    const TBytes tkhd = BuildMp4({Box("tkhd", TkhdPayload(v, 5, duration, 1920, 1080))}).Bytes;
    const TBytes mdhd = BuildMp4({Box("mdhd", MdhdPayload(v, 48000, duration, 0x15C7))}).Bytes;
    TReadBack m(mvhd), t(tkhd), d(mdhd);
    ASSERT_EQ(m.Reader.ReadMvhd() | t.Reader.ReadTkhd() | d.Reader.ReadMdhd(), 0);
    m.Reader.Mvhd.Version = t.Trak().tkhd.Version = d.Trak().mdhd.Version = uint8_t(recordVersion);
    EXPECT_EQ(Written(WriteMvhd, m.Reader.Mvhd), mvhd);
    EXPECT_EQ(Written(WriteTkhd, t.Trak().tkhd), tkhd);
    EXPECT_EQ(Written(WriteMdhd, d.Trak().mdhd), mdhd);
  }
}

// ISO names end in a zero; QuickTime names are Pascal strings without one and keep their
// last character. The writer adds one zero and the reader takes one off again.
TEST(Mp4BoxWriters, HandlerNamesRoundTrip) {
  for (const std::string& name :
       {std::string("\x0cSoundHandler"), std::string(), std::string("ends in zero\0", 13)}) {
    SCOPED_TRACE(name);
    const TMp4_hdlr hdlr{{0, {0, 0, 1}, MakeFourCC("mhlr"), MakeFourCC("soun"), {0x5A}}, name};
    TReadBack back(Written(WriteHdlr, hdlr));
    EXPECT_EQ(back.Memory.Data.size(), 8 + 24 + name.size() + 1);
    ASSERT_EQ(back.Reader.ReadHdlr(), 0);
    const TMp4_hdlrFixed &read = back.Trak().hdlr, &fixed = hdlr;
    EXPECT_EQ(std::memcmp(&read, &fixed, sizeof fixed), 0);
    EXPECT_EQ(back.Trak().hdlr.Name, name);
  }
}

// Counts come from the tables, never from a wrong EntryCount; one size for every sample lists
// no sizes. Offsets widen to "co64" from 2^32 on, an edit list to version 1 for a segment or a
// media time beyond 32 bits; an empty edit (media time -1) stays version 0.
TEST(Mp4BoxWriters, TablesAreWrittenFieldForField) {
  auto edts = [](const TBytes& Elst) { return Container("edts", {Box("elst", Elst)}); };
  const std::tuple<const char*, TBytes, TMp4Box> cases[] = {
      {"stts", Written(WriteStts, {0, {}, 99, {{10, 1001}, {1, 2002}}}),
       Box("stts", TablePayload(2, Words({10, 1001, 1, 2002})))},
      {"stsc", Written(WriteStsc, {0, {}, 0, {{1, 30, 1}, {7, 12, 2}}}),
       Box("stsc", TablePayload(2, Words({1, 30, 1, 7, 12, 2})))},
      {"stss", Written(WriteStss, {0, {}, 1, {1, 31, 61}}),
       Box("stss", TablePayload(3, Words({1, 31, 61})))},
      {"stsz listed", Written(WriteStsz, {0, {}, 0, 7, {700, 0, 0xFFFFFFFF}}),
       Box("stsz", StszPayload(0, 3, {700, 0, 0xFFFFFFFF}))},
      {"stsz uniform", Written(WriteStsz, {0, {}, 1024, 5000, {1, 2, 3}}),
       Box("stsz", StszPayload(1024, 5000))},
      {"stco", Written(WriteStco, {0, {}, 0, {48, 0xFFFFFFFF}}),
       Box("stco", TablePayload(2, Words({48, 0xFFFFFFFF})))},
      {"co64", Written(WriteStco, {0, {}, 0, {48, 0x100000000}}),
       Box("co64", TablePayload(2, Join({BE64(48), BE64(0x100000000)})))},
      {"empty edit", Written(WriteEdts, {0, {}, 0, {{1000, -1, 1, 0}, {5000, 2048, 1, 0}}}),
       edts(Join(
           {FullBoxHead(0), BE32(2), Words({1000, 0xFFFFFFFF, 0x10000, 5000, 2048, 0x10000})}))},
      {"long segment", Written(WriteEdts, {0, {}, 0, {{0x100000000, 0, 1, 0}}}),
       edts(Join({FullBoxHead(1), BE32(1), BE64(0x100000000), BE64(0), BE32(0x10000)}))},
      {"late media time", Written(WriteEdts, {0, {}, 0, {{90, 0x80000000ll, -1, 0x4000}}}),
       edts(Join({FullBoxHead(1), BE32(1), BE64(90), BE64(0x80000000), BE32(0xFFFF4000)}))},
      {"dinf", Written([](THgMp4Stream& out) { return WriteDinf(out); }),
       Container("dinf", {Box("dref", Join({FullBoxHead(0), BE32(1),
                                            BuildMp4({Box("url ", FullBoxHead(0, 1))}).Bytes}))})},
  };
  for (const auto& [name, written, box] : cases)
    EXPECT_EQ(written, BuildMp4({box}).Bytes) << name;
}

// A full disk at any point of a box, nested boxes included: the writer fails, no box left open.
TEST(Mp4BoxWriters, RefusedWriteFails) {
  const TMp4_stsz sizes{0, {}, 0, 0, TMp4_stsz_table(40000, 9)}; // more than one block
  const TMp4_elst edits{0, {}, 0, {{1, -1, 1, 0}}};
  const std::tuple<const char*, TWrite> writers[] = {
      {"mvhd", [](THgMp4Stream& o) { return WriteMvhd(o, TMp4_mvhd{}); }},
      {"hdlr", [](THgMp4Stream& o) { return WriteHdlr(o, TMp4_hdlr{}); }},
      {"dinf", [](THgMp4Stream& o) { return WriteDinf(o); }},
      {"stsz", [&](THgMp4Stream& o) { return WriteStsz(o, sizes); }},
      {"edts", [&](THgMp4Stream& o) { return WriteEdts(o, edits); }}};
  for (const auto& [name, write] : writers) {
    const size_t full = Written(write).size();
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
