#include "mp4/Mp4Dump.h"

#include "streams/Endian.h"
#include "support/Mp4Builder.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace clw {
namespace {

using namespace test;

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
    Reader.Scan.MDATChunks.Add({pos, length, flags, header, sliceType, neighbour, run});
  }
  void Slice(std::vector<int32_t> members, uint64_t start, uint64_t size) {
    TMDATSlice s;
    s.Members.assign(members.begin(), members.end());
    s.Count = int32_t(members.size());
    s.Start = start;
    s.Size = size;
    Reader.MDATSlices.push_back(s);
  }
  std::string Info() {
    EXPECT_EQ(Reader.WriteInfo((Dir / "clip.log").string()), 0);
    return ReadFile(Dir / "clip.log");
  }

  const std::filesystem::path Dir = ScratchDir();
  TMp4InMemory In{TBytes(64)};
  THgMP4FileReader& Reader = In.Reader;
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
  Candidate(1000, 20, 0x65, 7, 0xE1, 1);
  Candidate(1024, 30, 0x41, 0, 0x5A, 1);
  Candidate(1058, 10, 0x41, 0, 0xE0, 2, TMDATChunk::kRejected);
  Candidate(1500, 10, 0x06, 15, 0xE0, 0);
  Candidate(2000, 96, 0x25, 2, 0xE0, 1);
  Reader.Scan.NullBlocks.Add({3000, 600});
  Reader.Scan.NullBlocks.Add({4000, 1024});
  Slice({0, 1}, 1000, 58);
  Slice({4}, 2000, 100);
  WriteFile(Dir / "clip.log", std::string(5000, 'x'));
  EXPECT_EQ(Info(), "FileSize: 5000\r\n"
                    "FTYP: isom, 512, isomavc1\r\n"
                    "Track Count: 1\r\n"
                    "Atom Count: 5\r\n"
                    "moov,  - 40, 900\r\n"
                    " trak,  - 48, 200\r\n"
                    "   mdhd,  - 60, 32\r\n"
                    "*free,  - 950, 16\r\n"
                    "smdat,  - 974, 3000\r\n"
                    "MDat Chunk Count: 5\r\n"
                    "1000, 20, NAL [5|7/AFE|7|0], RCount: 1\r\n"
                    "1024, 30, NAL [1|0/2|13], RCount: 1\r\n"
                    "2000, 96, NAL [5|2/7|0], RCount: 1\r\n"
                    "NullBlock Chunk Count: 2 [1624]\r\n"
                    "3000, 600\r\n"
                    "4000, 1024\r\n"
                    "------ Found video chunks -------\r\n"
                    "1024 - 1000, 20, NAL [5|7/AFE|7|0]\r\n"
                    "1058 - 1024, 30, NAL [1|0/2|13]\r\n"
                    "2100 - 2000, 96, NAL [5|2/7|0]\r\n"
                    "------ Found video & audio slices -------\r\n"
                    "[V]1000 - 1058 [58]\r\n"
                    "[A]1058 - 2000 [942]\r\n"
                    "[V]2000 - 2100 [100]\r\n");
}

// Damaged state must not reach outside the lists: members past the candidate list or past
// the member array are skipped, and the member-less slice that closes audio-first media
// data shows its gap instead of a start of all bits set.
TEST_F(Mp4InfoDump, OddSlicesStayInBounds) {
  Candidate(100, 10, 0x65, 7, 0xE0, 1);
  Slice({0, 7, -1}, 100, 14);
  Reader.MDATSlices[0].Count = 5;
  Reader.MDATSlices.push_back({{}, 0, 0, -1, UINT64_MAX, 0, 114, 886});
  const std::string text = Info();
  EXPECT_NE(text.find("------ Found video chunks -------\r\n"
                      "114 - 100, 10, NAL [5|7/7|0]\r\n"
                      "------ Found video & audio slices -------\r\n"
                      "[V]100 - 114 [14]\r\n[A]114 - 1000 [886]\r\n"),
            std::string::npos)
      << text;
}

// The walk of a tag-stream image: each element's tag, body offset and body size.
struct TElement {
  uint16_t Tag;
  size_t Body, Size;
};

std::vector<TElement> Elements(const TBytes& b, size_t from, size_t to) {
  std::vector<TElement> out;
  while (to - from >= 2) {
    const bool odd = b[from] & 1;
    const uint16_t tag = odd ? ReadLE16(&b[from]) >> 1 : b[from] >> 1;
    const size_t body = from + (!odd ? 2 : tag < 16384 ? 4 : 6);
    if (body > to) break;
    const size_t size = !odd          ? b[from + 1]
                        : tag < 16384 ? ReadLE16(&b[from + 2])
                                      : ReadLE32(&b[from + 2]);
    if (size > to - body) break;
    out.push_back({tag, body, size});
    from = body + size;
  }
  EXPECT_EQ(from, to) << "an element runs past " << to;
  return out;
}

std::vector<uint16_t> Tags(const std::vector<TElement>& elements) {
  std::vector<uint16_t> tags;
  for (const TElement& e : elements)
    tags.push_back(e.Tag);
  return tags;
}

TBytes Le(uint64_t v, int n) {
  TBytes b(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i)
    b[size_t(i)] = uint8_t(v >> (8 * i));
  return b;
}

TBytes Part(const TBytes& b, size_t at, size_t n) {
  return TBytes(b.begin() + ptrdiff_t(at), b.begin() + ptrdiff_t(at + n));
}

class Mp4DebugDump : public Mp4DumpFixture {
protected:
  TBytes Dump(uint64_t limit = kDebugDumpLimit, bool whole = true) {
    TMemoryStream out;
    EXPECT_EQ(WriteMp4DebugDump(Reader, out, limit), whole);
    return out.Data;
  }
  // The body of the top-level element with that tag.
  TBytes Body(const TBytes& dump, uint16_t tag) {
    for (const TElement& e : Elements(dump, 0, dump.size()))
      if (e.Tag == tag) return Part(dump, e.Body, e.Size);
    return {};
  }
};

// Lists of records go out in whole pages of 512, the last one padded with zeros even where
// memory still holds records of an earlier analysis; an empty list is its count alone.
TEST_F(Mp4DebugDump, PagedListsAndTree) {
  EXPECT_EQ(Body(Dump(), 16388), Le(0, 4));
  for (int i = 0; i < 700; ++i)
    Candidate(uint64_t(i), 99, 0x65, 7, 0xE0, 0);
  Reader.Scan.MDATChunks.Reset();
  for (int i = 0; i < 513; ++i)
    Candidate(0x100000000 + uint64_t(i), 20, 0x65, 7, 0xE1, 3, 2);
  Reader.Scan.NullBlocks.Add({4096, 1024});
  const int32_t moov = Node("moov", 0, 8, 1000, nfEncloses);
  for (int i = 0; i < 512; ++i)
    Node("trak", 1, 16 + 8 * i, 8, 0, moov);
  const TBytes dump = Dump();
  const TBytes chunks = Body(dump, 16388);
  ASSERT_EQ(chunks.size(), 4 + 2 * 10752u);
  EXPECT_EQ(Part(chunks, 0, 4), Le(513, 4));
  EXPECT_EQ(Part(chunks, 4 + 10752, 21),
            Join({Le(0x100000200, 8), Le(20, 4), Le(2, 2), {0x65, 7, 0xE1}, Le(3, 4)}));
  EXPECT_EQ(Part(chunks, 4 + 10752 + 21, 10752 - 21), TBytes(10752 - 21, 0));
  EXPECT_EQ(Body(dump, 16389), Join({Le(1, 4), Le(4096, 8), Le(1024, 8), TBytes(8192 - 16, 0)}));
  const TBytes tree = Body(dump, 16391);
  ASSERT_EQ(tree.size(), 4 + 2 * 26624u);
  EXPECT_EQ(Part(tree, 0, 4), Le(513, 4));
  EXPECT_EQ(Part(tree, 4 + 26624, 12), Join({BytesOf("trak"), Le(16 + 8 * 511, 8)}));
  EXPECT_EQ(Part(tree, 4 + 26624 + 52, 26624 - 52), TBytes(26624 - 52, 0));
}

// The empty tag 0 stands between two tracks, not after the last; a name longer than a
// 16-bit element is cut, so the elements after it still parse. A dump cut by its size
// limit, or by a disk that fills, is still a sequence of whole elements; nothing raises.
TEST_F(Mp4DebugDump, StaysWellFormed) {
  Reader.Traks[size_t(Reader.AddTrack(5))].hdlr.Name = std::string(70000, 'n');
  Reader.AddTrack(-1);
  for (int i = 0; i < 600; ++i)
    Node("free", 0, 8 * i, 8, 0);
  const TBytes dump = Dump();
  const auto top = Elements(dump, 0, dump.size());
  ASSERT_EQ(Tags(top),
            (std::vector<uint16_t>{0, 16384, 16385, 16386, 16387, 16388, 16389, 16390, 16391}));
  EXPECT_EQ(Part(dump, 0, 20), Join({{0x00, 18, 12, 0}, BytesOf("CLW_MP4_DUMP"), Le(1, 4)}));
  const auto tracks = Elements(dump, top[4].Body + 4, top[4].Body + top[4].Size);
  ASSERT_EQ(tracks.size(), 25u);
  EXPECT_EQ(std::tuple(tracks[3].Tag, tracks[3].Size), std::tuple(131, 65535u));
  EXPECT_EQ(std::tuple(tracks[12].Tag, tracks[12].Size, tracks[13].Tag), std::tuple(0, 0u, 128));
  for (const uint64_t limit : {uint64_t(0), uint64_t(1), uint64_t(200), uint64_t(90000)}) {
    const TBytes cut = Dump(limit, false);
    EXPECT_LE(cut.size(), limit);
    Elements(cut, 0, cut.size());
  }
  TMemoryStream full;
  full.WriteLimit = 300;
  EXPECT_FALSE(WriteMp4DebugDump(Reader, full));
}

// The debug dump replaces an older, longer file; a file that cannot be created is reported
// by the text dump and skipped by the debug dump, never raised.
TEST_F(Mp4DebugDump, DumpFiles) {
  Reader.DumpFileName = (Dir / "clip.dmp").string();
  WriteFile(Dir / "clip.dmp", std::string(100000, 'x'));
  Reader.WriteDebugDump();
  const std::string file = ReadFile(Dir / "clip.dmp");
  EXPECT_EQ(TBytes(file.begin(), file.end()), Dump());

  Reader.DumpFileName = (Dir / "missing" / "clip.dmp").string();
  EXPECT_NO_THROW(Reader.WriteDebugDump());
  EXPECT_FALSE(std::filesystem::exists(Reader.DumpFileName));
  EXPECT_EQ(Reader.WriteInfo((Dir / "missing" / "clip.log").string()), -1);
  EXPECT_NO_THROW(Reader.DumpInfo((Dir / "missing" / "clip.log").string()));
}

} // namespace
} // namespace clw
