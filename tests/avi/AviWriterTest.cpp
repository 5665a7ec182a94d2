#include "avi/HgAVIFile.h"

#include "support/AviBuilder.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace clw {
namespace {

using namespace test;
namespace fs = std::filesystem;

TFourCC Code(const std::string& text) {
  return MakeFourCC(text[0], text[1], text[2], text[3]);
}
std::string S(size_t n) {
  return std::to_string(n);
}
const std::string kDataIds[2] = {"00dc", "01wb"};

// One chunk of the movie data. With the MS-MPEG-4 handler "div3" a first byte of 0x00 is a
// key frame and 0xEE (the builder's fill) a delta frame.
struct TMovieChunk {
  std::string Id;
  size_t Size;
  uint8_t Fill = 0xEE;
};

// A file of a video and an audio stream, OpenDML when it has several segments, and the copy
// the writer must make of it. Each input segment carries stale standard indexes and the
// first a stale "idx1", which the writer must rebuild. Chunk i of segment g is "c<g>_<i>".
struct TAviCase {
  const char* Name = "";
  std::vector<std::vector<TMovieChunk>> Segments;
  std::string Handler = "div3";
  std::vector<TAviPart> Extra; // after the first movie list; in the copy, after "idx1"
  // Labels of input parts the test marks damaged (so not written), or whose node it makes
  // claim the rest of the file (a size the analysis trusted, then the file shrank under it).
  std::string NotWritten, CutShort;
};

void PrintTo(const TAviCase& c, std::ostream* os) {
  *os << c.Name;
}

bool IsKey(const TAviCase& c, const TMovieChunk& m) {
  return c.Handler != "div3" || m.Id == "01wb" || m.Fill == 0x00;
}

// The input, or the copy the writer must make of it. The copy's indexes point where its
// chunks land, which a first build of it (placed) tells.
TAviFile Layout(const TAviCase& c, bool output, const TAviFile* placed = nullptr) {
  auto at = [&](const std::string& label) {
    return placed && placed->At.count(label) ? placed->At.at(label) : TPlacedPart{};
  };
  const bool openDml = c.Segments.size() > 1;
  std::vector<TAviPart> hdrl{Chunk("avih", 56)}, riffs;
  if (!output) hdrl.push_back(Chunk("JUNK", 7));
  for (size_t s = 0; s < 2; ++s) {
    const std::string strh = (s == 0 ? "vids" : "auds") + c.Handler + std::string(48, '\0');
    std::vector<TAviPart> strl{Chunk("strh", BytesOf(strh)), Chunk("strf", 40, 0)};
    // One entry per written movie list that holds the stream's standard index.
    TBytes indx(32 + 16 * (c.Segments.size() - c.NotWritten.starts_with("movi")), 0);
    uint32_t k = 0;
    for (size_t g = 0; g < c.Segments.size(); ++g)
      if (const TPlacedPart ix = at("ix" + S(g) + S(s)); ix.Size > 0)
        TAVISUPERINDEX{uint64_t(ix.Header), uint32_t(ix.Size + 8), uint32_t(ix.Size - 24) / 8}
            .Serialize(indx.data() + 32 + 16 * k++);
    TAviSuperIndexHeader{.ChunkId = kindx,
                         .ChunkSize = uint32_t(indx.size() - 8),
                         .EntriesInUse = k,
                         .DataChunkId = Code(kDataIds[s])}
        .Serialize(indx.data());
    if (openDml)
      strl.push_back(Chunk("indx", output ? TBytes(indx.begin() + 8, indx.end()) : TBytes(56, 0)));
    hdrl.push_back(List("strl", std::move(strl)));
  }
  for (size_t g = 0; g < c.Segments.size(); ++g) {
    std::vector<TAviPart> movi, riff;
    std::vector<TIdx1Entry> idx1;
    std::vector<std::pair<int64_t, uint32_t>> entries[2]; // data position, size and key bit
    for (size_t i = 0; i < c.Segments[g].size(); ++i) {
      const TMovieChunk& m = c.Segments[g][i];
      const std::string label = "c" + S(g) + "_" + S(i);
      if (output && c.NotWritten == label) continue;
      TBytes data(m.Size, m.Fill);
      if (output && c.CutShort == label) { // the copy runs on to the end of the input
        const TAviFile in = Layout(c, false);
        const int64_t end = in.At.at(label).Data + int64_t(m.Size + m.Size % 2);
        data.insert(data.end(), in.Bytes.begin() + end, in.Bytes.end());
      }
      const uint32_t size = uint32_t(data.size());
      const uint32_t flags = m.Id == "00pc" ? 0x10000 : IsKey(c, m) ? 0x10 : 0;
      idx1.push_back({Code(m.Id), flags, uint32_t(at(label).Header - at("movi0").Data + 4), size});
      for (size_t s = 0; s < 2; ++s)
        if (m.Id == kDataIds[s])
          entries[s].push_back({at(label).Data, size | (flags ? 0 : TAVISTDINDEX::kNotKeyFrame)});
      movi.push_back(Chunk("00dc", std::move(data)).Named(label));
      movi.back().Id = Code(m.Id);
    }
    for (size_t s = 0; s < 2 && openDml; ++s) {
      const size_t n = entries[s].size();
      if (output && n == 0) continue;
      const int64_t base = n > 0 ? entries[s][0].first : 0;
      TBytes ix(32 + 8 * n, 0);
      TAviStdIndexHeader{.ChunkId = Code("ix0" + S(s)),
                         .ChunkSize = uint32_t(24 + 8 * n),
                         .EntriesInUse = uint32_t(n),
                         .DataChunkId = Code(kDataIds[s]),
                         .BaseOffset = uint64_t(base)}
          .Serialize(ix.data());
      for (size_t k = 0; k < n; ++k)
        TAVISTDINDEX{uint32_t(entries[s][k].first - base), entries[s][k].second}.Serialize(
            ix.data() + 32 + 8 * k);
      movi.push_back(Chunk("ix00", output ? TBytes(ix.begin() + 8, ix.end()) : TBytes(32, 0))
                         .Named("ix" + S(g) + S(s)));
      movi.back().Id = Code("ix0" + S(s));
    }
    if (g == 0) riff.push_back(List("hdrl", hdrl));
    if (!output || c.NotWritten != "movi" + S(g))
      riff.push_back(List("movi", movi).Named("movi" + S(g)));
    if (g == 0 && output && c.NotWritten != "movi0") riff.push_back(Idx1(idx1));
    for (const TAviPart& p : c.Extra)
      if (g == 0 && (!output || p.Label != c.NotWritten)) riff.push_back(p);
    if (g == 0 && !output) riff.push_back(Idx1({{Code("00dc"), 0x10, 4, 1}}));
    riffs.push_back(g == 0 ? Riff("AVI ", std::move(riff)) : Riff("AVIX", std::move(riff)));
  }
  return BuildAvi(riffs);
}

TBytes ExpectedOutputOf(const TAviCase& c) {
  const TAviFile placed = Layout(c, true);
  return Layout(c, true, &placed).Bytes;
}

// The node of the analysed tree whose data starts where that of the labelled input part does.
int32_t NodeOf(const THgAVIFileReader& reader, const TAviFile& in, const std::string& label) {
  for (int32_t n = 0; n < int32_t(reader.Count()); ++n)
    if (reader.DataPosition(n) == in.At.at(label).Data) return n;
  throw std::runtime_error("no node for " + label);
}

class AviWriterFiles : public ::testing::Test {
protected:
  void SetUp() override { Dir = ScratchDir(); }

  // Analyses bytes as the job does before a repair and after it.
  std::unique_ptr<THgAVIFileReader> Analysed(const TBytes& bytes) {
    const fs::path path = Dir / ("in" + S(++Files) + ".avi");
    WriteFile(path, std::string(bytes.begin(), bytes.end()));
    auto reader = std::make_unique<THgAVIFileReader>(path.string());
    EXPECT_EQ(reader->Analyze(2), kDone);
    return reader;
  }

  fs::path Dir;
  int Files = 0;
};

class AviWriterLayout : public AviWriterFiles, public ::testing::WithParamInterface<TAviCase> {};

// The copy is byte for byte what the description says, and a check of it finds no damage.
TEST_P(AviWriterLayout, CopyAndIndexesByteForByte) {
  const TAviCase& c = GetParam();
  const TAviFile in = Layout(c, false);
  auto reader = Analysed(in.Bytes);
  if (!c.NotWritten.empty()) {
    const int32_t node = NodeOf(*reader, in, c.NotWritten);
    reader->SetFlags(node, reader->Flags(node) | cfDamaged);
  }
  if (!c.CutShort.empty()) reader->Node(NodeOf(*reader, in, c.CutShort)).Size = reader->FileSize;
  const fs::path path = Dir / "out.avi";
  EXPECT_EQ(THgAVIFileWriter(*reader, path.string()).Write(), kDone);
  const std::string text = ReadFile(path);
  const TBytes out(text.begin(), text.end());
  EXPECT_EQ(out, ExpectedOutputOf(c));
  // A segment without movie data is damage in its own right.
  if (!c.NotWritten.starts_with("movi")) {
    EXPECT_EQ(Analysed(out)->Error, kNoDamage);
  }
}

const std::vector<TMovieChunk> kPlainMovie{{"00dc", 9, 0x00}, {"01wb", 4}, {"00pc", 6},
                                           {"00dc", 10},      {"01wb", 3}, {"00dc", 8, 0x00}};
const std::vector<std::vector<TMovieChunk>> kTwoSegments{
    {{"00dc", 9, 0x00}, {"01wb", 4}, {"00dc", 7}, {"01wb", 5}},
    {{"00dc", 6, 0x00}, {"00dc", 11}, {"01wb", 2}}};

INSTANTIATE_TEST_SUITE_P(
    AviWriter, AviWriterLayout,
    ::testing::Values(
        // JUNK and the old "idx1" dropped, the new one right after the movie list; odd chunks
        // padded, palette changes flagged, key frames from the analysis.
        TAviCase{"plain", {kPlainMovie}},
        // "ix00" then "ix01" closing each movie list, each "indx" pointing at both; "idx1"
        // covers the first segment only.
        TAviCase{"opendml_two_segments", kTwoSegments},
        // Every frame a key frame: no bit 31 in the standard indexes, 0x10 on every "idx1" entry.
        TAviCase{"opendml_all_key_family", kTwoSegments, "MJPG"},
        // A stream absent from one segment has one super index entry in use, not a zero entry.
        TAviCase{"opendml_stream_missing_in_a_segment",
                 {{{"00dc", 9, 0x00}, {"01wb", 4}}, {{"00dc", 6, 0x00}}}},
        // A list not written takes its children with it; a written empty list is closed at once.
        TAviCase{.Name = "list_not_written_and_empty_list",
                 .Segments = {kPlainMovie},
                 .Extra = {List("INFO", {Chunk("ISFT", 5), Chunk("ICMT", 3)}).Named("info"),
                           List("INFO", {})},
                 .NotWritten = "info"},
        TAviCase{.Name = "frame_not_written", .Segments = kTwoSegments, .NotWritten = "c0_0"},
        // A movie list not written gets no indexes, and without the first there is no "idx1".
        TAviCase{.Name = "first_movi_not_written", .Segments = kTwoSegments, .NotWritten = "movi0"},
        TAviCase{
            .Name = "second_movi_not_written", .Segments = kTwoSegments, .NotWritten = "movi1"},
        // The input ends inside the last frame as the tree has it: "idx1" records what was copied.
        TAviCase{.Name = "short_copy", .Segments = {kPlainMovie}, .CutShort = "c0_5"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(AviWriterFiles, FullDeviceIsAFailureNotAResult) {
  ASSERT_TRUE(fs::exists("/dev/full")) << "/dev/full is needed to simulate a full disk";
  auto reader = Analysed(Layout({.Segments = {kPlainMovie}}, false).Bytes);
  EXPECT_EQ(THgAVIFileWriter(*reader, "/dev/full").Write(), THgAVIFileWriter::kWriteFailed);
}

TEST_F(AviWriterFiles, CancelStopsTheWalk) {
  auto reader = Analysed(
      Layout({.Segments = {{{"00dc", 3 << 20, 0x00}, {"01wb", 4}}, {{"00dc", 6, 0x00}}}}, false)
          .Bytes);
  THgAVIFileWriter writer(*reader, (Dir / "cancelled.avi").string());
  writer.OnProgress = [&](const void*, int64_t percent) {
    if (percent < 100) writer.Cancel(true);
  };
  EXPECT_EQ(writer.Write(), kCancelled);
  // The walk stopped right after the large chunk: nothing of the second segment exists.
  EXPECT_EQ(ReadFile(Dir / "cancelled.avi").find("AVIX"), std::string::npos);
}

} // namespace
} // namespace clw
