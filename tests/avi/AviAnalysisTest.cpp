#include "avi/HgAVIFile.h"

#include "support/AviBuilder.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstring>

namespace clw::test {
namespace {

TAviPart StreamList(const char (&Type)[5], const char (&Handler)[5], const char* Compression = "") {
  TBytes strh(56, 0);
  std::copy(Type, Type + 4, strh.begin());
  std::copy(Handler, Handler + 4, strh.begin() + 4);
  strh[20] = 1;  // scale
  strh[24] = 25; // rate
  TBytes strf(40, 0);
  std::copy(Compression, Compression + std::strlen(Compression), strf.begin() + 16);
  return List("strl", {Chunk("strh", strh), Chunk("strf", strf)});
}

TAviPart Header(const char (&Handler)[5] = "XVID", bool Audio = true,
                const char* Compression = "") {
  std::vector<TAviPart> parts{Chunk("avih", 56, 0), StreamList("vids", Handler, Compression)};
  if (Audio) parts.push_back(StreamList("auds", "\0\0\0\0"));
  return List("hdrl", std::move(parts));
}

class AviAnalysisTest : public ::testing::Test {
protected:
  // Writes the file and runs a full check on it.
  void Check(const TAviFile& File, uint8_t Mode = 2) {
    Built = File;
    const auto path = ScratchDir() / "input.avi";
    const std::string bytes(File.Bytes.begin(), File.Bytes.end());
    WriteFile(path, bytes);
    // Every input checked here also seeds the fuzzer's corpus.
    const auto seeds = std::filesystem::path(CLIPWRIGHT_TEST_WORK_DIR) / "fuzz-seeds" / "avi";
    std::filesystem::create_directories(seeds);
    WriteFile(seeds / path.parent_path().filename(), bytes);
    Reader = std::make_unique<THgAVIFileReader>(path.string());
    ASSERT_EQ(Reader->Analyze(Mode), kDone);
  }
  // The node whose data starts where the labelled part's data landed.
  int32_t NodeOf(const std::string& Label) const {
    const int64_t data = Built.At.at(Label).Data;
    for (int32_t i = 0; i < int32_t(Reader->Count()); ++i)
      if (Reader->DataPosition(i) == data) return i;
    return -1;
  }
  bool Good(const std::string& Label) const { return IsGoodChunk(Reader->Flags(NodeOf(Label))); }
  bool Key(const std::string& Label) const { return Reader->Flags(NodeOf(Label)) & cfKeyFrame; }
  bool Emptied(const std::string& Label) const {
    return Reader->Flags(NodeOf(Label)) & cfEmptyFrame;
  }

  TAviFile Built;
  std::unique_ptr<THgAVIFileReader> Reader;
};

TEST_F(AviAnalysisTest, CleanFileIsUndamagedWithKeyFramesFromTheBitstream) {
  Check(BuildAvi(
      {Riff("AVI ",
            {Header(),
             List("movi", {Chunk("00dc", Vop(true)).Named("i"), Chunk("01wb", 20).Named("a"),
                           Chunk("00dc", Vop(false)).Named("p"), Chunk("00dc", 0).Named("empty")}),
             Idx1({})})}));
  EXPECT_EQ(Reader->Error, kNoDamage);
  EXPECT_EQ(Reader->AudioStreamCount, 1);
  EXPECT_EQ(Reader->CodecFamily, kFamilyMpeg4);
  for (const char* label : {"i", "a", "p", "empty"})
    EXPECT_TRUE(Good(label)) << label;
  EXPECT_TRUE(Key("i"));
  EXPECT_TRUE(Key("a"));
  EXPECT_FALSE(Key("p"));
  EXPECT_FALSE(Key("empty")); // a dropped-frame placeholder is no key frame
  EXPECT_EQ(Reader->MoviStreamCount, 2);
}

TEST_F(AviAnalysisTest, ListsAfterTheHeaderListKeepTheirLevel) {
  Check(BuildAvi({Riff("AVI ", {Header(), List("INFO", {Chunk("ISFT", 6)}),
                                List("movi", {Chunk("00dc", Vop(true)),
                                              List("rec ", {Chunk("01wb", 20)}).Named("rec")}),
                                Idx1({})})}));
  const int32_t riff = Reader->FindChild(-1, kRIFF);
  EXPECT_GE(Reader->FindChildWithListType(riff, kLIST, kINFO), 0);
  const int32_t movi = Reader->FindChildWithListType(riff, kLIST, kmovi);
  EXPECT_GE(Reader->FindChildWithListType(movi, kLIST, krec), 0);
}

TEST_F(AviAnalysisTest, QuickAnalysisStopsAtTheMovieData) {
  Check(BuildAvi({Riff("AVI ", {Header(), List("movi", {Chunk("00dc", Vop(true))})})}), 0);
  EXPECT_TRUE(Reader->HeadersRead);
  EXPECT_EQ(Reader->FindChild(Reader->FindChildWithListType(0, kLIST, kmovi), MakeFourCC("00dc")),
            -1);
}

TEST_F(AviAnalysisTest, MissingIndexIsWrongIndexAndACutFileToo) {
  Check(BuildAvi({Riff("AVI ", {Header(), List("movi", {Chunk("00dc", Vop(true))})})}));
  EXPECT_EQ(Reader->Error, kDamagedIndex);
  TAviFile cut = BuildAvi(
      {Riff("AVI ",
            {Header(),
             List("movi", {Chunk("00dc", Vop(true)), Chunk("00dc", Vop(false, 400)).Named("last")}),
             Idx1({})})});
  cut.Bytes.resize(size_t(cut.At["last"].Data + 100));
  Check(cut);
  EXPECT_EQ(Reader->Error, kDamagedIndex);
  EXPECT_FALSE(Good("last")); // runs past the end of the file
}

TEST_F(AviAnalysisTest, GarbageEmptiesVideoUpToTheNextKeyFrameAndKeepsTheAudio) {
  TAviFile file = BuildAvi({Riff(
      "AVI ",
      {Header(),
       List("movi", {Chunk("00dc", Vop(true)).Named("i1"), Chunk("00dc", Vop(false)).Named("p1"),
                     Chunk("01wb", 20).Named("a1"), Chunk("00dc", Vop(false)).Named("p2"),
                     Chunk("01wb", 20).Named("a2"), Chunk("00dc", Vop(true)).Named("i2"),
                     Chunk("01wb", 20).Named("a3").WithSizeField(30),
                     Chunk("00dc", Vop(false)).Named("p3")}),
       Idx1({})})});
  // Garbage over the header of p1: i1's end no longer meets a header.
  Overwrite(file.Bytes, file.At["p1"].Header, "\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF");
  Check(file);
  EXPECT_EQ(Reader->Error, kDamagedData);
  // The damaged frame and the one that refers to it stay in the timeline as empty frames;
  // the sound between them is intact and kept.
  for (const char* dropped : {"i1", "p2"})
    EXPECT_TRUE(!Good(dropped) && Emptied(dropped) && !Key(dropped)) << dropped;
  for (const char* kept : {"a1", "a2"})
    EXPECT_TRUE(Good(kept)) << kept;
  EXPECT_TRUE(Good("i2") && Key("i2") && !Emptied("i2"));
  // A damaged audio chunk is lost alone: the video after it still has its references.
  EXPECT_FALSE(Good("a3") || Emptied("a3"));
  EXPECT_TRUE(Good("p3"));
}

// A lost sector reads back as zeros from a 512-byte boundary of the file on. In a compressed
// frame a whole such sector is damage, and the frames that refer to it go with it; raw video
// may hold it as a black picture.
TEST_F(AviAnalysisTest, ZeroedSectorDamagesOnlyCompressedFrames) {
  struct TRow {
    const char* Name;
    const char* Compression;
    int64_t Lead; // from the first sector boundary inside the frame
    size_t Zeros;
    bool Damaged;
  };
  for (const TRow& row :
       {TRow{"whole_sector", "XVID", 0, 512, true}, TRow{"one_byte_short", "XVID", 0, 511, false},
        TRow{"off_the_boundary", "XVID", 1, 1022, false}, TRow{"raw_video", "", 0, 1024, false}}) {
    SCOPED_TRACE(row.Name);
    TAviFile file =
        BuildAvi({Riff("AVI ", {Header("XVID", false, row.Compression),
                                List("movi", {Chunk("00dc", Vop(true, 3000)).Named("hit"),
                                              Chunk("00dc", Vop(false)).Named("after"),
                                              Chunk("00dc", Vop(true)).Named("key")}),
                                Idx1({})})});
    const int64_t sector = (file.At["hit"].Data + 16 + 511) / 512 * 512;
    std::fill_n(file.Bytes.begin() + sector + row.Lead, row.Zeros, 0);
    Check(file);
    EXPECT_EQ(Reader->Error == kDamagedData, row.Damaged);
    for (const char* lost : {"hit", "after"})
      EXPECT_EQ(Emptied(lost), row.Damaged) << lost;
    EXPECT_TRUE(Good("key"));
  }
}

// A compressed frame of 60 bytes whose size field damage raised ("hit"), and an index that
// lists the frames where they are with their true sizes, or with its first entry off.
TAviFile SizeHitFile(bool Consistent, uint32_t SizeField = 4000, size_t SecondSize = 40) {
  const auto build = [&](const std::vector<TIdx1Entry>& Entries) {
    return BuildAvi({Riff(
        "AVI ", {Header("XVID", false, "XVID"),
                 List("movi", {Chunk("00dc", Vop(true)).Named("i1"),
                               Chunk("00dc", Vop(false, 60)).Named("hit").WithSizeField(SizeField),
                               Chunk("00dc", Vop(false, SecondSize)).Named("p2"),
                               Chunk("00dc", Vop(true)).Named("i2")}),
                 Idx1(Entries)})});
  };
  const TAviFile plan = build(std::vector<TIdx1Entry>(4));
  const int64_t base = plan.At.at("i1").Header - 4; // the movie list's type field
  std::vector<TIdx1Entry> entries;
  for (const std::string label : {"i1", "hit", "p2", "i2"}) {
    const size_t size = label == "hit" ? 60 : label == "p2" ? SecondSize : 40;
    entries.push_back(
        {MakeFourCC("00dc"), 0x10, uint32_t(plan.At.at(label).Header - base), uint32_t(size)});
  }
  if (!Consistent) entries[0].Offset += 2;
  return build(entries);
}

// A size field hit by damage: an intact index whose entries around the chunk lead to the
// chunks the walk found gives the chunk its size back and keeps it; an index whose entries
// disagree with the data is no witness.
TEST_F(AviAnalysisTest, IntactIndexWitnessesADamagedSize) {
  for (const bool consistent : {true, false}) {
    SCOPED_TRACE(consistent ? "consistent" : "neighbour_off");
    Check(SizeHitFile(consistent));
    EXPECT_EQ(Good("hit") && !Emptied("hit"), consistent);
    EXPECT_EQ(Good("p2"), consistent);
    EXPECT_TRUE(Good("i2"));
  }
}

// The walk tests a frame for lost sectors as it passes it, over the size its header gives
// (within the file); once the index gives the frame its true size, a zeroed sector of the
// next frame that lay within the false size damages the next frame only.
TEST_F(AviAnalysisTest, ZeroedSectorIsJudgedOnTheSizeTheIndexGives) {
  TAviFile file = SizeHitFile(true, 1000, 3000);
  const int64_t sector = (file.At["p2"].Data + 16 + 511) / 512 * 512;
  ASSERT_LT(sector + 512, file.At["hit"].Data + 1000);
  std::fill_n(file.Bytes.begin() + sector, 512, 0);
  Check(file);
  EXPECT_TRUE(Good("hit") && !Emptied("hit"));
  EXPECT_TRUE(Emptied("p2"));
  EXPECT_TRUE(Good("i2"));
}

TEST_F(AviAnalysisTest, RestoredKeyFrameKeepsItsMarkAndEndsTheDrop) {
  TBytes frame = Vop(true, 200);
  // Frame bytes that spell a header whose size leads exactly to the next real one.
  const TBytes falseHeader = BytesOf("00dc\x2A\0\0\0");
  std::copy(falseHeader.begin(), falseHeader.end(), frame.begin() + 150);
  Check(BuildAvi(
      {Riff("AVI ",
            {Header(),
             List("movi", {Chunk("00dc", Vop(true)).Named("i1"),
                           Chunk("00dc", Vop(false)).Named("bad").WithSizeField(140),
                           Chunk("00dc", frame).Named("i2"), Chunk("00dc", Vop(false)).Named("p")}),
             Idx1({})})}));
  EXPECT_EQ(Reader->Error, kDamagedData);
  EXPECT_FALSE(Good("bad"));
  EXPECT_TRUE(Good("i2"));
  EXPECT_TRUE(Key("i2"));
  EXPECT_TRUE(Good("p"));
  int32_t falseChunks = 0;
  for (int32_t i = 0; i < int32_t(Reader->Count()); ++i)
    if (Reader->Flags(i) & cfFalseChunk) ++falseChunks;
  EXPECT_EQ(falseChunks, 1);
}

TEST_F(AviAnalysisTest, EmptyChunkDoesNotEndADrop) {
  TAviFile file = BuildAvi({Riff(
      "AVI ", {Header("XVID", false),
               List("movi", {Chunk("00dc", Vop(true)), Chunk("00dc", Vop(false)).Named("bad"),
                             Chunk("00dc", 0).Named("empty"), Chunk("00dc", Vop(false)).Named("p"),
                             Chunk("00dc", Vop(true)).Named("i")}),
               Idx1({})})});
  Overwrite(file.Bytes, file.At["bad"].Header, "\xFF\xFF\xFF\xFF");
  Check(file);
  EXPECT_FALSE(Good("empty"));
  EXPECT_FALSE(Good("p"));
  EXPECT_TRUE(Good("i"));
}

struct TFamilyCase {
  const char* Handler;
  TBytes Frame;
  bool Key;
};

class KeyFrameRuleTest : public AviAnalysisTest,
                         public ::testing::WithParamInterface<TFamilyCase> {};

TEST_P(KeyFrameRuleTest, FollowsTheCodecFamily) {
  const TFamilyCase& c = GetParam();
  TAviPart header = List("hdrl", {Chunk("avih", 56, 0), StreamList("vids", "XVID")});
  std::copy(c.Handler, c.Handler + 4, header.Children[1].Children[0].Data.begin() + 4);
  Check(BuildAvi(
      {Riff("AVI ", {header, List("movi", {Chunk("00dc", c.Frame).Named("f")}), Idx1({})})}));
  EXPECT_EQ(Key("f"), c.Key);
}

INSTANTIATE_TEST_SUITE_P(Families, KeyFrameRuleTest,
                         ::testing::Values(TFamilyCase{"div3", BytesOf("\x3f\xEE"), true},
                                           TFamilyCase{"DIV3", BytesOf("\x7f\xEE"), false},
                                           TFamilyCase{"xvid", Vop(false), false},
                                           TFamilyCase{"FMP4", Vop(true), true},
                                           TFamilyCase{"MJPG", Vop(false), true},
                                           TFamilyCase{"MJPG", TBytes{}, true}));

TEST_F(AviAnalysisTest, StreamTableCoversEverySegment) {
  // A capture cut just after its second segment began: audio only in the first.
  Check(BuildAvi({Riff("AVI ", {Header(), List("movi", {Chunk("00dc", Vop(true)), Chunk("01wb", 20),
                                                        Chunk("00pc", 4)})}),
                  Riff("AVIX", {List("movi", {Chunk("00dc", Vop(true))})})}));
  EXPECT_TRUE(Reader->IsOpenDML);
  ASSERT_EQ(Reader->MoviStreamCount, 2);
  EXPECT_EQ(Reader->MoviStreams[0].DataChunkId, MakeFourCC("00dc")); // not the palette change
  EXPECT_EQ(Reader->MoviStreams[1].DataChunkId, MakeFourCC("01wb"));
  EXPECT_EQ(Reader->Error, kDamagedIndex); // no standard indexes
}

// Segments of a capture past 4 GiB, written sparse: positions must stay 64-bit from the
// chunk stream through the tree to the key-frame test.
TEST_F(AviAnalysisTest, SegmentsBeyond4GiB) {
  const TAviFile first = BuildAvi(
      {Riff("AVI ", {Header("XVID", false), List("movi", {Chunk("00dc", Vop(true))}), Idx1({})})});
  const auto path = ScratchDir() / "big.avi";
  WriteFile(path, std::string(first.Bytes.begin(), first.Bytes.end()));
  const int64_t last = AppendSparseSegments(path, 3, 2000000000, Vop(false)) + 32;
  AppendSparseSegments(path, 1, 40, Vop(true));
  ASSERT_GT(last, int64_t(1) << 32);

  Reader = std::make_unique<THgAVIFileReader>(path.string());
  ASSERT_EQ(Reader->Analyze(1), kDone);
  EXPECT_EQ(Reader->Error, kNoDamage);
  EXPECT_TRUE(Reader->IsOpenDML);
  int32_t found = -1;
  for (int32_t i = 0; i < int32_t(Reader->Count()); ++i)
    if (Reader->DataPosition(i) == last) found = i;
  ASSERT_GE(found, 0);
  EXPECT_TRUE(Reader->Flags(found) & cfKeyFrame);
  EXPECT_TRUE(IsGoodChunk(Reader->Flags(found)));
}

TEST_F(AviAnalysisTest, OnlyGoodListsMakeAMovieOfRecordLists) {
  THgAVIFileReader reader((ScratchDir() / "none.avi").string());
  const int32_t movi = reader.AddNode(-1, kLIST, kmovi, 12, 1000);
  const int32_t a = reader.AddNode(movi, MakeFourCC("00dc"), 0, 20, 10);
  const int32_t junkList = reader.AddNode(movi, kLIST, krec, 40, 10);
  reader.SetFlags(junkList, cfExcluded); // a false list header found in frame data
  const int32_t b = reader.AddNode(movi, MakeFourCC("00dc"), 0, 60, 10);
  reader.CheckMovi(movi);
  EXPECT_TRUE(IsGoodChunk(reader.Flags(a)) && IsGoodChunk(reader.Flags(b)));
  reader.SetFlags(junkList, 0);
  reader.AddNode(junkList, MakeFourCC("00dc"), 0, 52, 4);
  reader.CheckMovi(movi);
  EXPECT_FALSE(IsGoodChunk(reader.Flags(a)));
  EXPECT_TRUE(IsGoodChunk(reader.Flags(junkList)));
}

} // namespace
} // namespace clw::test
