#include "avi/HgAVIFile.h"

#include "support/AviBuilder.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>

namespace clw {
namespace {

using test::Chunk;
using test::List;
using test::Riff;
using test::TAviPart;
using test::TBytes;
namespace fs = std::filesystem;

TFourCC Code(std::string_view text) {
  uint8_t c[4] = {};
  for (size_t i = 0; i < text.size() && i < 4; ++i)
    c[i] = uint8_t(text[i]);
  return ReadLE32(c);
}

TAviPart ChunkOf(std::string_view id, TBytes data) {
  TAviPart part;
  part.Id = Code(id);
  part.Data = std::move(data);
  return part;
}

TBytes StrhBytes(std::string_view type, std::string_view handler) {
  TBytes b(56, 0);
  WriteLE32(b.data(), Code(type));
  WriteLE32(b.data() + 4, Code(handler));
  WriteLE32(b.data() + 20, 1);
  WriteLE32(b.data() + 24, 25);
  return b;
}

// One data chunk of the movie data. With an MS-MPEG-4 handler a first byte of 0x00 is a
// key frame and 0xEE (the builder's fill) a delta frame.
struct TMovieChunk {
  std::string Id;
  size_t Size;
  uint8_t Fill = 0xEE;
};

// An AVI file and the copy the writer must make of it, built from one description.
struct TAviCase {
  std::string Handler = "div3";
  std::vector<char> Streams{'v', 'a'};            // 'v' video, 'a' audio, in "strl" order
  std::vector<std::vector<TMovieChunk>> Segments; // one movie list per RIFF segment
  // Parts after the first movie list; the copy has them after the rebuilt "idx1".
  std::vector<TAviPart> ExtraIn, ExtraOut;
  int DroppedMovi = -1; // segment whose movie list the test marks as not written
};

bool AllKey(const TAviCase& c) {
  return c.Handler != "div3";
}
bool IsKey(const TAviCase& c, const TMovieChunk& m) {
  return AllKey(c) || m.Id.substr(2) == "wb" || m.Fill == 0x00;
}
bool HasData(const TAviCase& c, size_t stream) {
  for (const auto& segment : c.Segments)
    for (const auto& m : segment)
      if (size_t(StreamNumberOf(Code(m.Id))) == stream && m.Id.substr(2) != "pc") return true;
  return false;
}
std::string Digits(size_t stream) {
  return std::string(1, char('0' + stream / 10)) + char('0' + stream % 10);
}
std::string DataIdOf(const TAviCase& c, size_t stream) {
  return Digits(stream) + (c.Streams[stream] == 'v' ? "dc" : "wb");
}
size_t SegmentsWritten(const TAviCase& c) {
  return c.Segments.size() - (c.DroppedMovi >= 0 ? 1 : 0);
}

std::vector<TAviPart> HeaderList(const TAviCase& c, bool output) {
  std::vector<TAviPart> hdrl{Chunk("avih", 56)};
  if (!output) hdrl.push_back(Chunk("JUNK", 7));
  const bool openDml = c.Segments.size() > 1;
  for (size_t s = 0; s < c.Streams.size(); ++s) {
    std::vector<TAviPart> strl{
        Chunk("strh", StrhBytes(c.Streams[s] == 'v' ? "vids" : "auds", c.Handler)),
        Chunk("strf", 40, 0)};
    if (openDml && !output) strl.push_back(Chunk("indx", 56, 0));
    if (openDml && output && HasData(c, s))
      strl.push_back(Chunk("indx", 24 + 16 * SegmentsWritten(c), 0).Named("indx" + Digits(s)));
    hdrl.push_back(List("strl", std::move(strl)));
  }
  return hdrl;
}

// The input: every segment carries stale standard indexes and the first an "idx1", none
// of which match the data; the writer must rebuild them all.
TBytes InputOf(const TAviCase& c) {
  std::vector<TAviPart> riffs;
  for (size_t g = 0; g < c.Segments.size(); ++g) {
    std::vector<TAviPart> movi;
    for (const TMovieChunk& m : c.Segments[g])
      movi.push_back(ChunkOf(m.Id, TBytes(m.Size, m.Fill)));
    if (c.Segments.size() > 1)
      for (size_t s = 0; s < c.Streams.size(); ++s)
        if (HasData(c, s)) movi.push_back(ChunkOf("ix" + Digits(s), TBytes(32, 0)));
    std::vector<TAviPart> riff;
    if (g == 0) riff.push_back(List("hdrl", HeaderList(c, false)));
    riff.push_back(List("movi", std::move(movi)));
    if (g == 0) {
      for (const TAviPart& p : c.ExtraIn)
        riff.push_back(p);
      riff.push_back(test::Idx1({{Code("00dc"), 0x10, 4, 1}}));
    }
    riffs.push_back(g == 0 ? Riff("AVI ", std::move(riff)) : Riff("AVIX", std::move(riff)));
  }
  return test::BuildAvi(riffs).Bytes;
}

// The copy the writer must make, with every index worked out from where the chunks land.
TBytes ExpectedOutputOf(const TAviCase& c) {
  const bool openDml = c.Segments.size() > 1;
  auto label = [](size_t g, size_t i) { return "c" + std::to_string(g) + "_" + std::to_string(i); };
  auto entries = [&](size_t g, size_t s) {
    size_t n = 0;
    for (const TMovieChunk& m : c.Segments[g])
      n += m.Id == DataIdOf(c, s);
    return n;
  };
  std::vector<TAviPart> riffs;
  for (size_t g = 0; g < c.Segments.size(); ++g) {
    std::vector<TAviPart> movi;
    for (size_t i = 0; i < c.Segments[g].size(); ++i) {
      const TMovieChunk& m = c.Segments[g][i];
      movi.push_back(ChunkOf(m.Id, TBytes(m.Size, m.Fill)).Named(label(g, i)));
    }
    if (openDml)
      for (size_t s = 0; s < c.Streams.size(); ++s)
        if (const size_t n = entries(g, s); n > 0)
          movi.push_back(ChunkOf("ix" + Digits(s), TBytes(24 + 8 * n, 0))
                             .Named("ix" + std::to_string(g) + "_" + Digits(s)));
    std::vector<TAviPart> riff;
    if (g == 0) riff.push_back(List("hdrl", HeaderList(c, true)));
    if (int(g) != c.DroppedMovi)
      riff.push_back(List("movi", std::move(movi)).Named("movi" + std::to_string(g)));
    if (g == 0) {
      riff.push_back(Chunk("idx1", 16 * c.Segments[0].size()).Named("idx1"));
      for (const TAviPart& p : c.ExtraOut)
        riff.push_back(p);
    }
    riffs.push_back(g == 0 ? Riff("AVI ", std::move(riff)) : Riff("AVIX", std::move(riff)));
  }
  test::TAviFile file = test::BuildAvi(riffs);
  TBytes& out = file.Bytes;

  const int64_t moviCode = file.At["movi0"].Data - 4;
  for (size_t i = 0; i < c.Segments[0].size(); ++i) {
    const TMovieChunk& m = c.Segments[0][i];
    const uint32_t flags = m.Id.substr(2) == "pc" ? 0x10000u : IsKey(c, m) ? 0x10u : 0u;
    TAviIndexEntry e{Code(m.Id), flags, uint32_t(file.At[label(0, i)].Header - moviCode),
                     uint32_t(m.Size)};
    e.Serialize(out.data() + file.At["idx1"].Data + 16 * int64_t(i));
  }
  if (!openDml) return out;
  for (size_t s = 0; s < c.Streams.size(); ++s) {
    if (!HasData(c, s)) continue;
    TAviSuperIndexHeader super;
    super.ChunkId = kindx;
    super.ChunkSize = uint32_t(24 + 16 * SegmentsWritten(c));
    super.DataChunkId = Code(DataIdOf(c, s));
    const int64_t indx = file.At["indx" + Digits(s)].Header;
    for (size_t g = 0; g < c.Segments.size(); ++g) {
      const size_t n = entries(g, s);
      if (n == 0 || int(g) == c.DroppedMovi) continue;
      const test::TPlacedPart ix = file.At["ix" + std::to_string(g) + "_" + Digits(s)];
      TAviStdIndexHeader h;
      h.ChunkId = Code("ix" + Digits(s));
      h.ChunkSize = uint32_t(24 + 8 * n);
      h.EntriesInUse = uint32_t(n);
      h.DataChunkId = super.DataChunkId;
      int64_t k = 0;
      for (size_t i = 0; i < c.Segments[g].size(); ++i) {
        const TMovieChunk& m = c.Segments[g][i];
        if (m.Id != DataIdOf(c, s)) continue;
        const int64_t data = file.At[label(g, i)].Data;
        if (k == 0) h.BaseOffset = uint64_t(data);
        TAVISTDINDEX e{uint32_t(data - int64_t(h.BaseOffset)), uint32_t(m.Size)};
        if (!IsKey(c, m)) e.Size |= TAVISTDINDEX::kNotKeyFrame;
        e.Serialize(out.data() + ix.Header + 32 + 8 * k++);
      }
      h.Serialize(out.data() + ix.Header);
      TAVISUPERINDEX entry{uint64_t(ix.Header), uint32_t(ix.Size + 8), uint32_t(n)};
      entry.Serialize(out.data() + indx + 32 + 16 * int64_t(super.EntriesInUse++));
    }
    super.Serialize(out.data() + indx);
  }
  return out;
}

class AviWriterFiles : public ::testing::Test {
protected:
  void SetUp() override { Dir = test::ScratchDir(); }

  std::string Put(const TBytes& bytes) {
    const fs::path path = Dir / ("in" + std::to_string(++Files) + ".avi");
    test::WriteFile(path, std::string(bytes.begin(), bytes.end()));
    return path.string();
  }

  // Analyses Bytes as the job does before a repair; Adjust may then mark nodes the way a
  // damaged file leaves them.
  std::unique_ptr<THgAVIFileReader> Analysed(const TBytes& bytes) {
    auto reader = std::make_unique<THgAVIFileReader>(Put(bytes));
    EXPECT_EQ(reader->OpenError, kOpened);
    EXPECT_EQ(reader->Analyze(2), kDone);
    return reader;
  }

  // Writes the repaired copy and returns its bytes.
  TBytes Repair(THgAVIFileReader& reader, int32_t expectedResult = kDone) {
    const fs::path out = Dir / ("out" + std::to_string(++Files) + ".avi");
    {
      THgAVIFileWriter writer(reader, out.string());
      EXPECT_EQ(writer.Write(), expectedResult);
    }
    const std::string text = test::ReadFile(out);
    return TBytes(text.begin(), text.end());
  }

  // Error of a full check of Bytes, as the job would give it for the repaired copy.
  int32_t VerdictOf(const TBytes& bytes) {
    THgAVIFileReader reader(Put(bytes));
    EXPECT_EQ(reader.Analyze(2), kDone);
    return reader.Error;
  }

  fs::path Dir;
  int Files = 0;
};

int32_t FindList(const THgAVIFileReader& r, TFourCC listType) {
  for (int32_t i = 0; i < int32_t(r.Count()); ++i)
    if (r.Id(i) == kLIST && r.ListType(i) == listType) return i;
  return -1;
}

// --- Whole files, byte for byte ----------------------------------------------------------

struct TLayoutCase {
  const char* Name;
  TAviCase Avi;
};

class AviWriterLayout : public AviWriterFiles, public ::testing::WithParamInterface<TLayoutCase> {};

TEST_P(AviWriterLayout, CopyAndIndexesByteForByte) {
  const TAviCase& c = GetParam().Avi;
  auto reader = Analysed(InputOf(c));
  const TBytes out = Repair(*reader);
  EXPECT_EQ(out, ExpectedOutputOf(c));
  EXPECT_EQ(VerdictOf(out), kNoDamage);
}

const std::vector<TMovieChunk> kPlainMovie{{"00dc", 9, 0x00}, {"01wb", 4}, {"00pc", 6},
                                           {"00dc", 10},      {"01wb", 3}, {"00dc", 8, 0x00}};

INSTANTIATE_TEST_SUITE_P(
    AviWriter, AviWriterLayout,
    ::testing::Values(
        // JUNK and the old "idx1" dropped, odd chunks padded, palette changes flagged and
        // key frames from the analysis.
        TLayoutCase{"plain", {.Segments = {kPlainMovie}}},
        TLayoutCase{"plain_all_key_family", {.Handler = "MJPG", .Segments = {kPlainMovie}}},
        // Two segments, two streams: "ix00" then "ix01" closing each movie list, each
        // "indx" pointing at both; "idx1" covers the first segment only.
        TLayoutCase{"opendml_two_segments",
                    {.Segments = {{{"00dc", 9, 0x00}, {"01wb", 4}, {"00dc", 7}, {"01wb", 5}},
                                  {{"00dc", 6, 0x00}, {"00dc", 11}, {"01wb", 2}}}}},
        TLayoutCase{"opendml_all_key_family",
                    {.Handler = "MJPG",
                     .Segments = {{{"00dc", 9, 0x00}, {"01wb", 4}, {"00dc", 7}},
                                  {{"00dc", 6}, {"01wb", 2}}}}},
        // The second stream has no data chunks: its "indx" is not written, and the third
        // stream's index is found by its stream list's place, not by the stream table.
        TLayoutCase{"opendml_silent_stream",
                    {.Streams = {'v', 'a', 'a'},
                     .Segments = {{{"00dc", 9, 0x00}, {"02wb", 4}}, {{"00dc", 6}, {"02wb", 2}}}}},
        // A stream absent from one segment has one entry in use, not a zero entry.
        TLayoutCase{"opendml_stream_missing_in_a_segment",
                    {.Segments = {{{"00dc", 9, 0x00}, {"01wb", 4}}, {{"00dc", 6, 0x00}}}}},
        // A written list without children is closed at once; sizes around it stay right.
        TLayoutCase{"empty_list_kept",
                    {.Segments = {kPlainMovie},
                     .ExtraIn = {List("INFO", {})},
                     .ExtraOut = {List("INFO", {})}}}),
    [](const auto& info) { return std::string(info.param.Name); });

// --- Trees with parts that are not written -------------------------------------------------

TEST_F(AviWriterFiles, ListNotWrittenTakesItsChildren) {
  TAviCase c{.Segments = {kPlainMovie},
             .ExtraIn = {List("INFO", {Chunk("ISFT", 5), Chunk("ICMT", 3)}), List("INFO", {})},
             .ExtraOut = {List("INFO", {})}};
  auto reader = Analysed(InputOf(c));
  const int32_t info = FindList(*reader, kINFO);
  ASSERT_GE(info, 0);
  ASSERT_GE(reader->FirstChild(info), 0);
  reader->SetFlags(info, reader->Flags(info) | cfDamaged);
  const TBytes out = Repair(*reader);
  EXPECT_EQ(out, ExpectedOutputOf(c));
  EXPECT_EQ(VerdictOf(out), kNoDamage);
}

TEST_F(AviWriterFiles, MovieListNotWrittenGetsNoIndexes) {
  const std::vector<std::vector<TMovieChunk>> segments{{{"00dc", 9, 0x00}, {"01wb", 4}},
                                                       {{"00dc", 6, 0x00}, {"01wb", 2}}};
  for (const int dropped : {0, 1}) {
    SCOPED_TRACE(dropped);
    TAviCase c{.Segments = segments, .DroppedMovi = dropped};
    auto reader = Analysed(InputOf(c));
    ASSERT_TRUE(reader->IsOpenDML);
    int32_t riff = reader->FindChild(-1, kRIFF);
    for (int k = 0; k < dropped; ++k)
      riff = reader->FindNext(riff, kRIFF);
    const int32_t movi = reader->FindChildWithListType(riff, kLIST, kmovi);
    ASSERT_GE(movi, 0);
    reader->SetFlags(movi, reader->Flags(movi) | cfDamaged);
    const TBytes out = Repair(*reader);
    if (dropped == 1) {
      // The super indexes have one entry each, for the segment that was written.
      EXPECT_EQ(out, ExpectedOutputOf(c));
    } else {
      // Without the first movie list there is no "idx1" and nothing of its segment is
      // indexed: the only "ix00" and "ix01" are the second segment's.
      const std::string text(out.begin(), out.end());
      EXPECT_EQ(text.find("idx1"), std::string::npos);
      EXPECT_EQ(text.find("ix00"), text.rfind("ix00"));
      EXPECT_GT(text.find("ix00"), text.find("AVIX"));
      const size_t indx = text.find("indx");
      ASSERT_NE(indx, std::string::npos);
      EXPECT_EQ(TAviSuperIndexHeader::Parse(out.data() + indx).EntriesInUse, 1u);
      EXPECT_EQ(TAVISUPERINDEX::Parse(out.data() + indx + 32).Offset, uint64_t(text.find("ix00")));
    }
  }
}

// --- Damaged input --------------------------------------------------------------------------

TEST_F(AviWriterFiles, DamagedChunkIsDroppedAndCopyChecksClean) {
  TAviCase c{.Segments = {{{"00dc", 9, 0x00},
                           {"01wb", 4},
                           {"00dc", 10},
                           {"00dc", 8, 0x00},
                           {"01wb", 4},
                           {"00dc", 6}}}};
  TBytes bytes = InputOf(c);
  // Garbage where the third chunk's header was: the scan must search for the next one.
  const std::string text(bytes.begin(), bytes.end());
  size_t third = text.find("00dc");
  third = text.find("00dc", third + 1);
  third = text.find("00dc", third + 1);
  ASSERT_NE(third, std::string::npos);
  test::Overwrite(bytes, int64_t(third), TBytes{0x11, 0x11, 0x11, 0x11, 0xFF, 0xFF, 0xFF, 0x7F});
  auto reader = Analysed(bytes);
  EXPECT_NE(reader->Error, kNoDamage);
  const TBytes out = Repair(*reader);
  EXPECT_LT(out.size(), bytes.size());
  EXPECT_EQ(VerdictOf(out), kNoDamage);
}

TEST_F(AviWriterFiles, ChunkCutByTheEndOfTheFileIsIndexedAsCopied) {
  TAviCase c{.Segments = {{{"00dc", 9, 0x00}, {"01wb", 4}, {"00dc", 8, 0x00}}}};
  const TBytes bytes = InputOf(c);
  auto reader = Analysed(bytes);
  // The tree claims more than the file holds for the last video chunk (a size the
  // analysis trusted, then the file shrank under it): the copy and the index agree.
  int32_t last = -1;
  for (int32_t i = 0; i < int32_t(reader->Count()); ++i)
    if (reader->Id(i) == Code("00dc")) last = i;
  ASSERT_GE(last, 0);
  reader->Node(last).Size = reader->FileSize;
  const TBytes out = Repair(*reader);
  const std::string text(out.begin(), out.end());
  // The copied tail holds the old index; the new one is the last.
  const size_t idx1 = text.rfind("idx1");
  ASSERT_NE(idx1, std::string::npos);
  const TAviIndexEntry entry = TAviIndexEntry::Parse(out.data() + idx1 + 8 + 32);
  EXPECT_EQ(entry.ChunkId, Code("00dc"));
  const size_t header = text.find("movi") + entry.Offset;
  EXPECT_EQ(ReadLE32(out.data() + header + 4), entry.Length);
  EXPECT_EQ(header + 8 + entry.Length + (entry.Length & 1), idx1);
  EXPECT_EQ(VerdictOf(out), kNoDamage);
}

// --- Output failures ------------------------------------------------------------------------

TEST_F(AviWriterFiles, FullDeviceIsAFailureNotAResult) {
  if (!fs::exists("/dev/full")) GTEST_FAIL() << "/dev/full is needed to simulate a full disk";
  auto reader = Analysed(InputOf(TAviCase{.Segments = {kPlainMovie}}));
  THgAVIFileWriter writer(*reader, "/dev/full");
  const int32_t result = writer.Write();
  EXPECT_NE(result, kDone);
  EXPECT_NE(result, kCancelled);
}

TEST_F(AviWriterFiles, CancelStopsTheWalkAndStillFillsSuperIndexes) {
  TAviCase c{.Segments = {{{"00dc", 3 << 20, 0x00}, {"01wb", 4}, {"00dc", 9, 0x00}},
                          {{"00dc", 6, 0x00}, {"01wb", 2}}}};
  auto reader = Analysed(InputOf(c));
  const fs::path out = Dir / "cancelled.avi";
  THgAVIFileWriter writer(*reader, out.string());
  int calls = 0;
  writer.OnProgress = [&](const void*, int64_t percent) {
    if (percent < 100 && ++calls == 1) writer.Cancel(true);
  };
  EXPECT_EQ(writer.Write(), kCancelled);
  EXPECT_EQ(calls, 1);
  // The walk stopped right after the large chunk: nothing of the second segment exists.
  EXPECT_EQ(test::ReadFile(out).find("AVIX"), std::string::npos);
}

} // namespace
} // namespace clw
