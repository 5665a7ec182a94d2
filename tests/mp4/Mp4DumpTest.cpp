#include "mp4/Mp4Dump.h"

#include "streams/Endian.h"
#include "support/MemoryStream.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace clw {
namespace {

using Bytes = std::vector<uint8_t>;

// A reader whose analysis state the tests fill by hand.
class Mp4DumpFixture : public ::testing::Test {
protected:
  int32_t Node(const char (&type)[5], uint32_t level, int64_t pos, int64_t size, int32_t flags,
               int32_t parent = -1) {
    const int32_t n = Reader.AddNode(parent, MakeFourCC(type), level, pos, size);
    Reader.SetFlags(n, flags);
    return n;
  }
  void Candidate(uint64_t pos, uint32_t length, uint8_t header, uint8_t sliceType,
                 uint8_t neighbour, int32_t run, uint16_t flags = 0) {
    Reader.MDATChunks.Add({pos, length, flags, header, sliceType, neighbour, run});
  }
  void Slice(std::vector<int32_t> members, uint64_t start, uint64_t size) {
    TMDATSlice s;
    s.Count = int32_t(members.size());
    s.Members = std::move(members);
    s.Start = start;
    s.Size = size;
    Reader.MDATSlices.push_back(s);
  }
  std::string Info() {
    EXPECT_EQ(Reader.WriteInfo((Dir / "clip.log").string()), 0);
    return test::ReadFile(Dir / "clip.log");
  }
  // The lines after the first one that starts with Heading, up to the next "------".
  std::string Section(const std::string& text, const std::string& heading) {
    const size_t at = text.find(heading);
    if (at == std::string::npos) return "<missing>";
    const size_t from = text.find("\r\n", at) + 2;
    return text.substr(from, text.find("------", from) - from);
  }

  const std::filesystem::path Dir = test::ScratchDir();
  test::TMemoryStream File{Bytes(64)};
  THgMp4Stream Atoms{&File};
  THgMP4FileReader Reader{Atoms};
};

using Mp4InfoDump = Mp4DumpFixture;

// Markers ("s" wins over "*"), indentation by level, minor version 512, candidates that are
// rejected or in no run left out, the sum of the zero runs, and the slices with their gaps.
// An older, longer dump under the same name must not show through.
TEST_F(Mp4InfoDump, Golden) {
  Reader.FileSize = 5000;
  Reader.Ftyp = {MakeFourCC("isom"), 512, "isomavc1"};
  Reader.AddTrack(2);
  const int32_t moov = Node("moov", 0, 40, 900, 0);
  Node("mdhd", 3, 60, 32, 0, Node("trak", 1, 48, 200, nfEncloses, moov));
  Node("free", 0, 950, 16, nfMediaData);
  Node("mdat", 0, 974, 3000, nfMediaData | nfDropped);
  Node("udta", 0, 3982, 8, nfDropped);
  Candidate(1000, 20, 0x65, 7, 0xE1, 1);
  Candidate(1024, 30, 0x41, 0, 0x5A, 1);
  Candidate(1058, 10, 0x41, 0, 0xE0, 2, TMDATChunk::kRejected);
  Candidate(1500, 10, 0x06, 15, 0xE0, 0);
  Candidate(2000, 96, 0x25, 2, 0xE0, 1);
  Candidate(2100, 100, 0x21, 5, 0xE1, 1);
  Reader.NullBlocks.Add({3000, 600});
  Reader.NullBlocks.Add({4000, 1024});
  Slice({0, 1}, 1000, 58);
  Slice({4, 5}, 2000, 204);
  test::WriteFile(Dir / "clip.log", std::string(5000, 'x'));
  EXPECT_EQ(Info(), "FileSize: 5000\r\n"
                    "FTYP: isom, 512, isomavc1\r\n"
                    "Track Count: 1\r\n"
                    "Atom Count: 6\r\n"
                    "moov,  - 40, 900\r\n"
                    " trak,  - 48, 200\r\n"
                    "   mdhd,  - 60, 32\r\n"
                    "*free,  - 950, 16\r\n"
                    "smdat,  - 974, 3000\r\n"
                    "sudta,  - 3982, 8\r\n"
                    "MDat Chunk Count: 6\r\n"
                    "1000, 20, NAL [5|7/AFE|7|0], RCount: 1\r\n"
                    "1024, 30, NAL [1|0/2|13], RCount: 1\r\n"
                    "2000, 96, NAL [5|2/7|0], RCount: 1\r\n"
                    "2100, 100, NAL [1|5/AFE|7|0], RCount: 1\r\n"
                    "NullBlock Chunk Count: 2 [1624]\r\n"
                    "3000, 600\r\n"
                    "4000, 1024\r\n"
                    "------ Found video chunks -------\r\n"
                    "1024 - 1000, 20, NAL [5|7/AFE|7|0]\r\n"
                    "1058 - 1024, 30, NAL [1|0/2|13]\r\n"
                    "2100 - 2000, 96, NAL [5|2/7|0]\r\n"
                    "2204 - 2100, 100, NAL [1|5/AFE|7|0]\r\n"
                    "------ Found video & audio slices -------\r\n"
                    "[V]1000 - 1058 [58]\r\n"
                    "[A]1058 - 2000 [942]\r\n"
                    "[V]2000 - 2204 [204]\r\n");
}

TEST_F(Mp4InfoDump, NoSlicesGivesBothHeadingsAlone) {
  const std::string text = Info();
  EXPECT_NE(text.find("NullBlock Chunk Count: 0 [0]\r\n------ Found video chunks -------\r\n"
                      "------ Found video & audio slices -------\r\n"),
            std::string::npos);
  EXPECT_EQ(text.find("[V]"), std::string::npos);
  EXPECT_EQ(text.find("[A]"), std::string::npos);
}

// Damaged state must not reach outside the lists: members past the candidate list or past
// the member array are skipped, and the member-less slice that closes audio-first media
// data shows its gap instead of a start of all bits set.
TEST_F(Mp4InfoDump, OddSlicesStayInBounds) {
  Candidate(100, 10, 0x65, 7, 0xE0, 1);
  Slice({0, 7, -1}, 100, 14);
  Reader.MDATSlices[0].Count = 5;
  TMDATSlice tail;
  tail.Start = UINT64_MAX;
  tail.GapStart = 114;
  tail.GapLength = 886;
  Reader.MDATSlices.push_back(tail);
  const std::string text = Info();
  EXPECT_EQ(Section(text, "------ Found video chunks"), "114 - 100, 10, NAL [5|7/7|0]\r\n");
  EXPECT_EQ(Section(text, "------ Found video & audio"),
            "[V]100 - 114 [14]\r\n[A]114 - 1000 [886]\r\n");
}

TEST_F(Mp4InfoDump, UncreatableFileIsReportedNotRaised) {
  EXPECT_EQ(Reader.WriteInfo((Dir / "missing" / "clip.log").string()), -1);
  EXPECT_NO_THROW(Reader.DumpInfo((Dir / "missing" / "clip.log").string()));
}

// The walk of a tag-stream image: each element's tag, body offset and body size.
struct TElement {
  uint16_t Tag;
  size_t Body;
  size_t Size;
};

std::vector<TElement> Elements(const Bytes& b, size_t from, size_t to) {
  std::vector<TElement> out;
  while (from < to) {
    TElement e{};
    if ((b[from] & 1) == 0) {
      e = {uint16_t(b[from] / 2), from + 2, to - from >= 2 ? b[from + 1] : size_t(-1)};
    } else {
      const uint16_t tag = ReadLE16(&b[from]) >> 1;
      const bool wide = tag >= 16384;
      e = {tag, from + (wide ? 6 : 4),
           wide ? ReadLE32(&b[from + 2]) : size_t(ReadLE16(&b[from + 2]))};
    }
    if (e.Body > to || e.Size > to - e.Body) {
      ADD_FAILURE() << "element " << e.Tag << " at " << from << " runs past " << to;
      break;
    }
    out.push_back(e);
    from = e.Body + e.Size;
  }
  return out;
}

std::vector<uint16_t> Tags(const std::vector<TElement>& elements) {
  std::vector<uint16_t> tags;
  for (const TElement& e : elements)
    tags.push_back(e.Tag);
  return tags;
}

class Mp4DebugDump : public Mp4DumpFixture {
protected:
  Bytes Dump(uint64_t limit = kDebugDumpLimit, bool whole = true) {
    test::TMemoryStream out;
    EXPECT_EQ(WriteMp4DebugDump(Reader, out, limit), whole);
    return out.Data;
  }
  // The body of the top-level element with that tag.
  Bytes Body(const Bytes& dump, uint16_t tag) {
    for (const TElement& e : Elements(dump, 0, dump.size()))
      if (e.Tag == tag)
        return Bytes(dump.begin() + ptrdiff_t(e.Body), dump.begin() + ptrdiff_t(e.Body + e.Size));
    return {};
  }
  static Bytes Le(uint64_t v, int n) {
    Bytes b(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
      b[size_t(i)] = uint8_t(v >> (8 * i));
    return b;
  }
  static Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts)
      all.insert(all.end(), p.begin(), p.end());
    return all;
  }
  static Bytes Part(const Bytes& b, size_t at, size_t n) {
    return Bytes(b.begin() + ptrdiff_t(at), b.begin() + ptrdiff_t(at + n));
  }
};

TEST_F(Mp4DebugDump, HeadElements) {
  Reader.MediaDataStart = 0x123456789;
  Reader.MediaDataNewOffset = 48;
  Reader.FileSize = 0x200000000;
  Reader.MediaDataNode = 3;
  Reader.Ftyp = {MakeFourCC("mp42"), 512, "isom"};
  Reader.Mvhd.Version = 0;
  Reader.Mvhd.TimeScale = 600;
  const Bytes dump = Dump();
  EXPECT_EQ(Tags(Elements(dump, 0, dump.size())),
            (std::vector<uint16_t>{0, 16384, 16385, 16386, 16387, 16388, 16389, 16390, 16391}));
  EXPECT_EQ(Part(dump, 0, 20),
            Cat({{0x00, 18, 12, 0},
                 Bytes{'C', 'L', 'W', '_', 'M', 'P', '4', '_', 'D', 'U', 'M', 'P'},
                 Le(1, 4)}));
  EXPECT_EQ(Body(dump, 16384), Cat({Le(0x123456789, 8), Le(48, 8), Le(0x200000000, 8), Le(3, 4)}));
  EXPECT_EQ(Body(dump, 16385),
            Cat({Bytes{'m', 'p', '4', '2'}, Le(512, 4), Le(4, 2), Bytes{'i', 's', 'o', 'm'}}));
  const Bytes mvhd = Body(dump, 16386);
  ASSERT_EQ(mvhd.size(), 112u);
  EXPECT_EQ(Part(mvhd, 0, 1), Bytes{0});
  EXPECT_EQ(Part(mvhd, 20, 4), Le(600, 4));
  EXPECT_EQ(Body(dump, 16388), Le(0, 4)); // no candidate: the count and no page
}

// The per-track sequence, with the empty tag 0 only between tracks; the track fields,
// tables as long as their counts, the slices' heads and first samples.
TEST_F(Mp4DebugDump, Tracks) {
  TMp4Trak& a = Reader.Traks[size_t(Reader.AddTrack(5))];
  a.MediaKind = mkVideo;
  a.ReferenceTrackIndex = -1;
  a.VmhdNode = 9;
  a.StsdNode = 11;
  a.DefaultSampleDuration = 1001;
  a.TableFlags = tfChunkOffsets | tfSampleSizes;
  a.WriterValue = 0x0102030405060708;
  a.stco = {0, {0, 0, 1}, 2, {0x100000000, 7}};
  a.stsz = {0, {}, 0, 3, {10, 20, 30}};
  a.hdlr.HandlerType = MakeFourCC("vide");
  a.hdlr.Name = std::string(70000, 'n');
  a.SampleDescriptions.AddNode(-1, MakeFourCC("avc1"), 0, 300, 78);
  a.SliceCount = 2;
  a.Slices.resize(3);
  a.Slices[0] = {0x1000, 500, 0, 0, 1, {{0x1000, 500, 1001, TNewChunk::kSync}}};
  a.Slices[1] = {0x2000, 0, 1, 40, 0, {}};
  Reader.AddTrack(-1);
  const Bytes dump = Dump();
  const TElement tracks = Elements(dump, 0, dump.size())[4];
  ASSERT_EQ(tracks.Tag, 16387);
  EXPECT_EQ(Part(dump, tracks.Body, 4), Le(2, 4));
  const auto inner = Elements(dump, tracks.Body + 4, tracks.Body + tracks.Size);
  const std::vector<uint16_t> one = {128,   129,   130,   131,   16400, 16401,
                                     16402, 16403, 16404, 16405, 16406, 16407};
  std::vector<uint16_t> both = one;
  both.push_back(0);
  both.insert(both.end(), one.begin(), one.end());
  ASSERT_EQ(Tags(inner), both);
  EXPECT_EQ(inner[12].Size, 0u);

  auto body = [&](size_t i) { return Part(dump, inner[i].Body, inner[i].Size); };
  // Trak node, media kind, reference track, vmhd, smhd, stsd, default duration, table flags,
  // writer value.
  EXPECT_EQ(body(0), Cat({Le(5, 4), Le(mkVideo, 1), Le(0xFFFF, 2), Le(9, 4), Le(uint32_t(-1), 4),
                          Le(11, 4), Le(1001, 4), Le(3, 2), Le(0x0102030405060708, 8)}));
  EXPECT_EQ(inner[1].Size, 96u);
  EXPECT_EQ(inner[2].Size, 36u);
  // The name is cut where the 16-bit element size ends; the elements after it still parse.
  EXPECT_EQ(inner[3].Size, 65535u);
  EXPECT_EQ(Part(dump, inner[3].Body + 8, 4), Bytes({'v', 'i', 'd', 'e'}));
  EXPECT_EQ(Part(dump, inner[3].Body + 24, 2), Le(65535 - 26, 2));
  EXPECT_EQ(body(5), Cat({{0, 0, 0, 1}, Le(2, 4), Le(0x100000000, 8), Le(7, 8)}));
  EXPECT_EQ(body(7), Cat({{0, 0, 0, 0}, Le(0, 4), Le(3, 4), Le(10, 4), Le(20, 4), Le(30, 4)}));
  EXPECT_EQ(body(4), Cat({{kNotRead, 0, 0, 0}, Le(0, 4)}));
  EXPECT_EQ(body(10).size(), 4 + 26624u);
  EXPECT_EQ(Part(body(10), 4, 4), Bytes({'a', 'v', 'c', '1'}));
  EXPECT_EQ(body(11), Cat({Le(2, 4),                                                        //
                           Le(0x1000, 8), Le(500, 8), Le(0, 2), Le(0, 4), Le(1, 4),         //
                           Le(0x1000, 8), Le(500, 4), Le(1001, 4), Le(TNewChunk::kSync, 2), //
                           Le(0x2000, 8), Le(0, 8), Le(1, 2), Le(40, 4), Le(0, 4)}));
  EXPECT_EQ(Part(dump, inner[13].Body, 4), Le(uint32_t(-1), 4));
}

// Lists of records go out in whole pages of 512, the last one padded with zeros even where
// memory still holds records of an earlier analysis.
TEST_F(Mp4DebugDump, PagedListsAndTree) {
  for (int i = 0; i < 700; ++i)
    Candidate(uint64_t(i), 99, 0x65, 7, 0xE0, 0);
  Reader.MDATChunks.Reset();
  for (int i = 0; i < 513; ++i)
    Candidate(0x100000000 + uint64_t(i), 20, 0x65, 7, 0xE1, 3, 2);
  Reader.NullBlocks.Add({4096, 1024});
  const int32_t moov = Node("moov", 0, 8, 1000, nfEncloses | nfMediaData);
  Reader.SetNewOffset(moov, 77);
  for (int i = 0; i < 512; ++i)
    Node("trak", 1, 16 + 8 * i, 8, 0, moov);
  const Bytes dump = Dump();

  const Bytes chunks = Body(dump, 16388);
  ASSERT_EQ(chunks.size(), 4 + 2 * 10752u);
  EXPECT_EQ(Part(chunks, 0, 4), Le(513, 4));
  EXPECT_EQ(Part(chunks, 4 + 10752, 21),
            Cat({Le(0x100000200, 8), Le(20, 4), Le(2, 2), {0x65, 7, 0xE1}, Le(3, 4)}));
  EXPECT_EQ(Part(chunks, 4 + 10752 + 21, 10752 - 21), Bytes(10752 - 21, 0));

  EXPECT_EQ(Body(dump, 16389), Cat({Le(1, 4), Le(4096, 8), Le(1024, 8), Bytes(8192 - 16, 0)}));

  const Bytes tree = Body(dump, 16391);
  ASSERT_EQ(tree.size(), 4 + 2 * 26624u);
  EXPECT_EQ(Part(tree, 0, 4), Le(513, 4));
  EXPECT_EQ(Part(tree, 4, 52),
            Cat({Bytes{'m', 'o', 'o', 'v'}, Le(8, 8), Le(77, 8), Le(1000, 8), Le(uint32_t(-1), 4),
                 Le(6, 4), Le(0, 4), Le(1, 4), Le(512, 4), Le(512, 4)}));
  EXPECT_EQ(Part(tree, 4 + 52 + 28, 4), Le(2, 4)) << "node 1's next sibling";
  EXPECT_EQ(Part(tree, 4 + 26624 + 4, 8), Le(16 + 8 * 511, 8)) << "node 512 opens page 2";
  EXPECT_EQ(Part(tree, 4 + 26624 + 52, 26624 - 52), Bytes(26624 - 52, 0));
}

// Five values in one block: a run of 4 that moved to a run of 8, the first on free list 1.
TEST_F(Mp4DebugDump, OffsetIndexLayout) {
  for (uint32_t v = 1; v <= 5; ++v)
    Reader.BlocksOfOffset->Add(v, 1000);
  Bytes page = Cat(
      {Le(0, 4), Le(2, 4), Le(3, 4), Le(4, 4), Le(1, 4), Le(2, 4), Le(3, 4), Le(4, 4), Le(5, 4)});
  page.resize(2048);
  EXPECT_EQ(Body(Dump(), 16390), Cat({Le(17, 4), Le(12, 4), Le(2, 4), Le(1, 4), page, //
                                      Le(2, 4), Le(0, 4), Le(1, 4), Le(1, 4), Le(4, 4), Le(5, 4)}));
}

// A dump cut by its size limit, or by a disk that fills, is still a sequence of whole
// elements; nothing raises.
TEST_F(Mp4DebugDump, CutDumpStaysWellFormed) {
  Reader.AddTrack(-1);
  for (int i = 0; i < 600; ++i)
    Node("free", 0, 8 * i, 8, 0);
  for (const uint64_t limit : {uint64_t(0), uint64_t(1), uint64_t(200), uint64_t(30000)}) {
    const Bytes dump = Dump(limit, false);
    EXPECT_LE(dump.size(), limit);
    const auto top = Elements(dump, 0, dump.size());
    if (limit >= 30000) {
      ASSERT_FALSE(top.empty());
      EXPECT_EQ(top.back().Tag, 16391);
    }
  }
  test::TMemoryStream full;
  full.WriteLimit = 300;
  EXPECT_FALSE(WriteMp4DebugDump(Reader, full));
}

TEST_F(Mp4DebugDump, ToDumpFileName) {
  Reader.DumpFileName = (Dir / "clip.dmp").string();
  test::WriteFile(Dir / "clip.dmp", std::string(100000, 'x'));
  Reader.WriteDebugDump();
  const std::string file = test::ReadFile(Dir / "clip.dmp");
  EXPECT_EQ(Bytes(file.begin(), file.end()), Dump());
  Reader.DumpFileName = (Dir / "missing" / "clip.dmp").string();
  EXPECT_NO_THROW(Reader.WriteDebugDump());
  EXPECT_FALSE(std::filesystem::exists(Reader.DumpFileName));
}

} // namespace
} // namespace clw
