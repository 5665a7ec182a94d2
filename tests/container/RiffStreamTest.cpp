#include "container/HgRIFFStream.h"

#include "container/RiffFourCC.h"
#include "streams/Endian.h"
#include "support/AviBuilder.h"
#include "support/MemoryStream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace clw {
namespace {

using test::BuildAvi;
using test::BytesOf;
using test::Chunk;
using test::List;
using test::Overwrite;
using test::Raw;
using test::Riff;
using test::TAviFile;
using test::TAviPart;
using test::TBytes;
using test::TMemoryStream;

constexpr int64_t kPastHeaders = 0x20000; // first position where the movie-data rules hold

// Headers of two streams, the given movie data and a legacy index; `junk` bytes before the
// movie data put it past the first 128 KiB.
TAviFile SmallAvi(std::vector<TAviPart> movi, size_t junk = 0) {
  std::vector<TAviPart> segment{List(
      "hdrl", {Chunk("avih", 56, 0), List("strl", {Chunk("strh", 56, 0), Chunk("strf", 40, 0)}),
               List("strl", {Chunk("strh", 56, 0), Chunk("strf", 18, 0)})})};
  if (junk > 0) segment.push_back(Chunk("JUNK", junk, 0));
  segment.push_back(List("movi", std::move(movi)));
  segment.push_back(
      test::Idx1({{MakeFourCC("00dc"), 0x10, 4, 10}, {MakeFourCC("01wb"), 0x10, 22, 7}}));
  return BuildAvi({Riff("AVI ", std::move(segment))});
}

// Frames of odd and even sizes; the fourth is long enough to swallow a size 100 too large.
std::vector<TAviPart> Frames() {
  return {Chunk("00dc", 10), Chunk("01wb", 7), Chunk("00dc", 12), Chunk("00dc", 200),
          Chunk("01wb", 9)};
}

// Drives the stream as the AVI analysis does: enter lists, skip plain chunks, leave lists
// when exhausted. Each chunk reads "id[/type]@header:size dDepth", with "*" when it was
// found by scanning. A walk that does not end within the bound fails instead of hanging.
std::vector<std::string> Walk(THGRIFFStream& riff) {
  std::vector<std::string> seen;
  const int64_t bound = 4 * riff.FileSize + 64;
  for (int64_t step = 0; !riff.AtEndOfFile; ++step) {
    if (step > bound) {
      ADD_FAILURE() << "walk does not end";
      break;
    }
    if (riff.ChunkExhausted) {
      riff.Ascend();
      continue;
    }
    if (!riff.Descend()) break;
    const bool list = riff.ChunkId == kRIFF || riff.ChunkId == kLIST;
    std::string text = FourCCToString(riff.ChunkId);
    if (list) text += "/" + FourCCToString(riff.ListType);
    text += "@" + std::to_string(riff.DataPosition - (list ? 12 : 8)) + ":" +
            std::to_string(riff.ChunkSize) + " d" + std::to_string(riff.Depth);
    seen.push_back(text + (riff.Resync ? "*" : ""));
    if (!list) riff.Ascend();
  }
  return seen;
}

std::vector<std::string> WalkBytes(const TBytes& bytes, int64_t streamCount = 2) {
  TMemoryStream stream(bytes);
  THGRIFFStream riff(stream);
  riff.StreamCount = streamCount;
  return Walk(riff);
}

bool Contains(const std::vector<std::string>& seen, const std::string& text) {
  return std::find(seen.begin(), seen.end(), text) != seen.end();
}

bool AnyStartsWith(const std::vector<std::string>& seen, const std::string& prefix) {
  return std::any_of(seen.begin(), seen.end(),
                     [&](const std::string& s) { return s.rfind(prefix, 0) == 0; });
}

TEST(RiffWalk, WellFormedTreeInFileOrder) {
  EXPECT_EQ(WalkBytes(SmallAvi(Frames()).Bytes),
            (std::vector<std::string>{
                "RIFF/AVI @0:634 d1", "LIST/hdrl@12:290 d2", "avih@24:56 d3", "LIST/strl@88:112 d3",
                "strh@100:56 d4", "strf@164:40 d4", "LIST/strl@212:90 d3", "strh@224:56 d4",
                "strf@288:18 d4", "LIST/movi@314:280 d2", "00dc@326:10 d3", "01wb@344:7 d3",
                "00dc@360:12 d3", "00dc@380:200 d3", "01wb@588:9 d3", "idx1@606:32 d2"}));
}

TEST(RiffWalk, AscendSeeksPastThePadOnlyWhenNeeded) {
  TMemoryStream stream(BuildAvi({Chunk("JUNK", 7), Chunk("JUNK", 0), Chunk("JUNK", 2)}).Bytes);
  THGRIFFStream riff(stream);
  ASSERT_TRUE(riff.Descend());
  EXPECT_FALSE(riff.ChunkExhausted);
  EXPECT_EQ(riff.Ascend(), 16); // 7 data bytes and the pad
  ASSERT_TRUE(riff.Descend());
  EXPECT_TRUE(riff.ChunkExhausted);
  EXPECT_EQ(riff.Ascend(), -1); // already at its end
  EXPECT_EQ(riff.ChunkId, THGRIFFStream::kNoChunk);
  ASSERT_TRUE(riff.Descend());
  EXPECT_FALSE(riff.AtEndOfFile);
  EXPECT_EQ(riff.Ascend(), 34);
  EXPECT_TRUE(riff.AtEndOfFile);
  EXPECT_FALSE(riff.Descend());
}

// Rules for ids, at a given list context and position.
struct TIdCase {
  const char* Name;
  TFourCC Context;
  int64_t Position;
  const char* Id;
  int64_t StreamCount;
  bool Plausible;
  TFourCC ContextAfter;
};

void PrintTo(const TIdCase& c, std::ostream* os) {
  *os << c.Name;
}

class RiffIds : public ::testing::TestWithParam<TIdCase> {};

TEST_P(RiffIds, PlausibilityAndContext) {
  const TIdCase& c = GetParam();
  TMemoryStream stream;
  THGRIFFStream riff(stream);
  riff.StreamCount = c.StreamCount;
  riff.ContextList = c.Context;
  riff.Seek(c.Position, soBeginning);
  EXPECT_EQ(riff.IsPlausibleChunkId(MakeFourCC(c.Id[0], c.Id[1], c.Id[2], c.Id[3])), c.Plausible);
  EXPECT_EQ(FourCCToString(riff.ContextList), FourCCToString(c.ContextAfter));
}

constexpr int64_t kFar = kPastHeaders;
INSTANTIATE_TEST_SUITE_P(
    Riff, RiffIds,
    ::testing::Values(TIdCase{"audio_with_two_streams", kmovi, kFar, "01wb", 2, true, kmovi},
                      TIdCase{"audio_with_one_stream", kmovi, kFar, "01wb", 1, false, kmovi},
                      TIdCase{"stream_12_of_13", kmovi, kFar, "12wb", 13, true, kmovi},
                      TIdCase{"stream_12_of_12", kmovi, kFar, "12dc", 12, false, kmovi},
                      TIdCase{"palette_change", kmovi, kFar, "00pc", 1, true, kmovi},
                      TIdCase{"std_index", kmovi, kFar, "ix01", 2, true, kmovi},
                      TIdCase{"std_index_no_stream", kmovi, kFar, "ix02", 2, false, kmovi},
                      TIdCase{"letters_in_movi", kmovi, kFar, "abcd", 2, false, kmovi},
                      TIdCase{"letters_outside", 0, kFar, "abcd", 2, true, 0},
                      TIdCase{"letters_just_below_128k", kmovi, kFar - 1, "abcd", 2, true, 0},
                      TIdCase{"space_is_not_alnum", 0, kFar, "AVI ", 2, false, 0},
                      TIdCase{"frame_id_enters_movi", 0, kFar, "00dc", 1, true, kmovi},
                      TIdCase{"no_such_stream_stays", 0, kFar, "05dc", 2, true, 0},
                      TIdCase{"idx1_anywhere", kmovi, kFar, "idx1", 0, true, kidx1},
                      TIdCase{"junk_leaves_movi", kmovi, kFar, "JUNK", 0, true, 0},
                      TIdCase{"frame_in_idx1", kidx1, kFar, "00dc", 1, true, kidx1},
                      TIdCase{"letters_in_idx1", kidx1, kFar, "abcd", 1, true, kidx1},
                      TIdCase{"binary_in_idx1", kidx1, kFar, "\x10\0\0\0", 1, false, kidx1}),
    [](const auto& info) { return std::string(info.param.Name); });

// The frame id starts 2 bytes into the scan: the first window is implausible, its last two
// characters are kept and completed by the next two bytes.
class RiffTwoByteStep : public ::testing::TestWithParam<std::pair<const char*, TFourCC>> {};

TEST_P(RiffTwoByteStep, FindsHeaderTwoBytesOn) {
  TBytes bytes(kPastHeaders, 0);
  const TBytes tail = BuildAvi({Raw(BytesOf(GetParam().first)), Chunk("00dc", 6)}).Bytes;
  bytes.insert(bytes.end(), tail.begin(), tail.end());
  TMemoryStream stream(bytes);
  THGRIFFStream riff(stream);
  riff.StreamCount = 1;
  riff.ContextList = GetParam().second;
  riff.Seek(kPastHeaders, soBeginning);
  EXPECT_EQ(riff.ScanForChunk(), kPastHeaders + 2);
  EXPECT_EQ(FourCCToString(riff.ChunkId), "00dc");
  EXPECT_EQ(riff.ChunkSize, 6);
  EXPECT_TRUE(riff.Resync);
  EXPECT_EQ(stream.Pos, kPastHeaders + 10);
}

INSTANTIATE_TEST_SUITE_P(Riff, RiffTwoByteStep,
                         ::testing::Values(std::make_pair("\xFF\xFF", TFourCC(0)),
                                           std::make_pair("ab", kmovi)));

TEST(RiffScan, ListsOfUnknownTypeAreSteppedIntoKnownOnesFound) {
  // A camera's private list is no resynchronisation point; the chunk inside it is.
  TMemoryStream stream(BuildAvi({List("ncdt", {Chunk("JUNK", 4)}), List("movi", {})}).Bytes);
  THGRIFFStream riff(stream);
  EXPECT_EQ(riff.ScanForChunk(), 12);
  EXPECT_EQ(riff.ChunkId, kJUNK);
  EXPECT_EQ(riff.ListType, 0u); // not the type of the list rejected on the way
  riff.Seek(24, soBeginning);
  EXPECT_EQ(riff.ScanForChunk(), 24);
  EXPECT_EQ(riff.ChunkSize, 0);
  EXPECT_EQ(riff.ContextList, kmovi);
}

// The third frame claims 100 bytes more than it has: the normal walk lands inside the fourth
// frame, scans from the third frame's data, and from then on finds every header by scanning.
// After the index header the scan reads the idx1 entries as frames whose size is the flags.
TEST(RiffDamage, FrameSizeTooLargeIsResynchronised) {
  std::vector<TAviPart> frames = Frames();
  frames[2] = Chunk("00dc", 12).WithSizeField(112);
  EXPECT_EQ(WalkBytes(SmallAvi(std::move(frames)).Bytes),
            (std::vector<std::string>{"RIFF/AVI @0:634 d1", "LIST/hdrl@12:290 d2", "avih@24:56 d3",
                                      "LIST/strl@88:112 d3", "strh@100:56 d4", "strf@164:40 d4",
                                      "LIST/strl@212:90 d3", "strh@224:56 d4", "strf@288:18 d4",
                                      "LIST/movi@314:280 d2", "00dc@326:10 d3", "01wb@344:7 d3",
                                      "00dc@360:112 d3", "00dc@380:200 d3*", "01wb@588:9 d3*",
                                      "idx1@606:32 d2*", "00dc@614:16 d2*", "01wb@630:16 d2*"}));
}

// Garbage between two frames: the frame after it is found by the scan at its own header.
class RiffGarbage : public ::testing::TestWithParam<std::string> {};

TEST_P(RiffGarbage, NextFrameFound) {
  const TAviFile file = SmallAvi({Chunk("00dc", 10), Chunk("01wb", 7), Raw(BytesOf(GetParam())),
                                  Chunk("00dc", 12).Named("after")});
  const auto seen = WalkBytes(file.Bytes);
  EXPECT_TRUE(Contains(seen, "00dc@" + std::to_string(file.At.at("after").Header) + ":12 d3*"));
}

INSTANTIATE_TEST_SUITE_P(Riff, RiffGarbage,
                         ::testing::Values(std::string(2, '\xAB'), std::string(6, '\xAB'),
                                           std::string("--00zz"), std::string(30, '\0')));

// Which ids the movie data admits once it lies beyond the header region.
struct TMoviIdCase {
  char Id[5];
  size_t Junk;
  int64_t StreamCount;
  bool Accepted;
};

void PrintTo(const TMoviIdCase& c, std::ostream* os) {
  *os << c.Id << (c.Junk > 0 ? " past headers" : " near start") << ", streams " << c.StreamCount;
}

class RiffMoviIds : public ::testing::TestWithParam<TMoviIdCase> {};

TEST_P(RiffMoviIds, AcceptedOrSkippedByScan) {
  const TMoviIdCase& c = GetParam();
  const TAviFile file = SmallAvi(
      {Chunk("00dc", 10), Chunk(c.Id, 20).Named("id"), Chunk("00dc", 12).Named("after")}, c.Junk);
  const auto seen = WalkBytes(file.Bytes, c.StreamCount);
  EXPECT_EQ(
      Contains(seen, std::string(c.Id) + "@" + std::to_string(file.At.at("id").Header) + ":20 d3"),
      c.Accepted);
  const std::string after = "00dc@" + std::to_string(file.At.at("after").Header) + ":12 d3";
  EXPECT_TRUE(Contains(seen, c.Accepted ? after : after + "*"));
}

INSTANTIATE_TEST_SUITE_P(Riff, RiffMoviIds,
                         ::testing::Values(TMoviIdCase{"abcd", kPastHeaders, 2, false},
                                           TMoviIdCase{"abcd", 0, 2, true},
                                           TMoviIdCase{"01wb", kPastHeaders, 2, true},
                                           TMoviIdCase{"01wb", kPastHeaders, 1, false},
                                           TMoviIdCase{"00pc", kPastHeaders, 1, true}));

// An implausible header always ends the trust in sizes, even when the scan from the data of
// the chunk before finds a header at once: here the video stream header starts with "vids"
// and a handler word that, read as a size, jumps exactly over the damaged header.
TEST(RiffDamage, ImplausibleHeaderAlwaysSwitchesToScanning) {
  TBytes strh = BytesOf("vids");
  strh.resize(56, 0);
  WriteLE32(strh.data() + 4, 96); // from strh's data + 8 to the end of the stream list
  TAviFile file = SmallAvi(Frames());
  std::copy(strh.begin(), strh.end(), file.Bytes.begin() + 108);
  Overwrite(file.Bytes, 164, "\x01\x02\x03\x04"); // strf id
  const auto seen = WalkBytes(file.Bytes);
  EXPECT_TRUE(Contains(seen, "vids@108:96 d4*"));
  EXPECT_TRUE(Contains(seen, "00dc@326:10 d3*"));
}

// A standard index that overruns the movie data: the scan that follows skips the index
// header, whose copy of the stream's chunk id would otherwise be taken for a frame.
TEST(RiffDamage, OverrunningIndexIsScannedFromItsEntries) {
  TBytes ix(32 + 16, 0x01);
  WriteLE16(ix.data(), 2);
  Overwrite(ix, 4,
            "\x02\0\0\0"
            "00dc"); // entries in use, then the chunk id
  const TAviFile file =
      SmallAvi({Chunk("00dc", 10), Chunk("ix00", ix).WithSizeField(48 + 100).Named("ix")});
  const int64_t data = file.At.at("ix").Data;
  const auto seen = WalkBytes(file.Bytes);
  EXPECT_TRUE(Contains(seen, "ix00@" + std::to_string(data - 8) + ":148 d3*"));
  EXPECT_FALSE(AnyStartsWith(seen, "00dc@" + std::to_string(data + 8) + ":"));
  EXPECT_TRUE(Contains(seen, "idx1@" + std::to_string(data + 48) + ":32 d2*"));
}

TEST(RiffDamage, ResetForgetsTheEarlierWalk) {
  TMemoryStream stream(BuildAvi({Raw(TBytes(8, 1)), Chunk("JUNK", 4), Chunk("JUNK", 6)}).Bytes);
  THGRIFFStream riff(stream);
  EXPECT_EQ(Walk(riff), (std::vector<std::string>{"JUNK@8:4 d1*", "JUNK@20:6 d1*"}));
  riff.Reset();
  riff.Seek(0, soBeginning);
  ASSERT_TRUE(riff.Descend());
  EXPECT_EQ(riff.DataPosition, 16);
  // Leaving the outermost chunk twice while scanning must neither underflow the depth nor
  // lose the next header.
  riff.Ascend();
  riff.Ascend();
  EXPECT_EQ(riff.Depth, 0u);
  EXPECT_EQ(riff.ChunkId, THGRIFFStream::kNoChunk);
  ASSERT_TRUE(riff.Descend());
  EXPECT_EQ(riff.DataPosition, 28);
}

// Every cut of a clean and of a damaged file, and random byte damage: the walk ends, and
// further calls come to rest at the end of the file. (A scanning Ascend reads the next
// header, so a header that ends exactly at the cut may still be descended into once.)
void ExpectWalkEnds(const TBytes& bytes) {
  TMemoryStream stream(bytes);
  THGRIFFStream riff(stream);
  riff.StreamCount = 2;
  Walk(riff);
  EXPECT_TRUE(riff.AtEndOfFile);
  for (int i = 0; i < 3; ++i) {
    riff.Descend();
    riff.Ascend();
    EXPECT_LE(riff.Depth, riff.ChunkStack.size());
  }
  EXPECT_FALSE(riff.Descend());
  EXPECT_TRUE(riff.AtEndOfFile);
}

class RiffTruncated : public ::testing::TestWithParam<bool> {};

TEST_P(RiffTruncated, EveryCutEnds) {
  std::vector<TAviPart> frames = Frames();
  if (GetParam()) frames[2] = Chunk("00dc", 12).WithSizeField(112);
  const TBytes whole = SmallAvi(std::move(frames)).Bytes;
  for (size_t cut = 0; cut <= whole.size(); ++cut) {
    SCOPED_TRACE(cut);
    ExpectWalkEnds(TBytes(whole.begin(), whole.begin() + int64_t(cut)));
  }
}

INSTANTIATE_TEST_SUITE_P(Riff, RiffTruncated, ::testing::Values(false, true));

TEST(RiffDamage, RandomByteDamageEnds) {
  const TBytes whole = SmallAvi(Frames()).Bytes;
  std::mt19937 random(20240601);
  for (int round = 0; round < 300; ++round) {
    TBytes bytes = whole;
    for (int n = 1 + int(random() % 8); n > 0; --n)
      bytes[random() % bytes.size()] = uint8_t(random());
    SCOPED_TRACE(round);
    ExpectWalkEnds(bytes);
  }
}

TEST(RiffWrite, OddChunkIsPaddedListSizeCountsItsType) {
  TMemoryStream stream;
  THGRIFFStream riff(stream);
  EXPECT_EQ(riff.WriteChunk(MakeFourCC("00dc"), 0, 3, "abc"), 3);
  EXPECT_EQ(stream.Data, BytesOf(std::string("00dc\x03\0\0\0abc\0", 12)));
  EXPECT_EQ(riff.CreateChunk(kLIST, kmovi), 12);
  EXPECT_EQ(riff.WriteData("0123456789", 10), 10);
  EXPECT_EQ(riff.CloseChunk(), 34);
  EXPECT_EQ(ReadLE32(stream.Data.data() + 16), 14u);
  EXPECT_FALSE(riff.Writing);
  EXPECT_EQ(riff.WriteData("x", 1), -1);
  EXPECT_EQ(riff.CloseChunk(), -1);
}

TEST(RiffWrite, CloseChunkPadsAtTheEndWhereverThePositionIs) {
  TMemoryStream stream;
  THGRIFFStream riff(stream);
  riff.CreateChunk(MakeFourCC("01wb"), 0);
  riff.WriteData("abc", 3);
  riff.Seek(0, soBeginning);
  EXPECT_EQ(riff.CloseChunk(), 12);
  EXPECT_EQ(stream.Data, BytesOf(std::string("01wb\x03\0\0\0abc\0", 12)));
  EXPECT_EQ(riff.FileSize, 12);
}

TEST(RiffWrite, NestedWriteMatchesBuilderAndReadsBack) {
  TMemoryStream stream;
  THGRIFFStream riff(stream);
  const TBytes zeros(56, 0), audio(5, 0x11);
  riff.CreateChunk(kRIFF, kAVI);
  riff.CreateChunk(kLIST, khdrl);
  riff.WriteChunk(kavih, 0, 56, zeros.data());
  riff.CloseChunk();
  riff.CreateChunk(kLIST, kmovi);
  riff.WriteChunk(MakeFourCC("00dc"), 0, 3, "abc");
  riff.CreateChunk(MakeFourCC("01wb"), 0);
  riff.WriteData(audio.data(), 5);
  riff.CloseChunk();
  riff.CloseChunk();
  riff.CloseChunk();
  EXPECT_EQ(riff.Depth, 0u);
  EXPECT_EQ(stream.Data, BuildAvi({Riff("AVI ", {List("hdrl", {Chunk("avih", 56, 0)}),
                                                 List("movi", {Chunk("00dc", BytesOf("abc")),
                                                               Chunk("01wb", 5, 0x11)})})})
                             .Bytes);
  EXPECT_EQ(WalkBytes(stream.Data),
            (std::vector<std::string>{"RIFF/AVI @0:114 d1", "LIST/hdrl@12:64 d2", "avih@24:56 d3",
                                      "LIST/movi@88:26 d2", "00dc@100:3 d3", "01wb@112:5 d3"}));
}

// Sizes that the 32-bit size field cannot hold raise before anything is written. The large
// stream reports an end far beyond the bytes it holds.
struct TLargeStream : TMemoryStream {
  int64_t End = 0;
  int64_t Seek(int64_t offset, uint16_t origin) override {
    if (origin != soEnd) return TMemoryStream::Seek(offset, origin);
    Pos = End + offset;
    return Pos;
  }
};

TEST(RiffWrite, SizesBeyondTheSizeFieldRaise) {
  TMemoryStream stream;
  THGRIFFStream riff(stream);
  EXPECT_THROW(riff.WriteChunk(MakeFourCC("00dc"), 0, -1, nullptr), ERangeError);
  EXPECT_THROW(riff.WriteChunk(MakeFourCC("00dc"), 0, 0x100000000, nullptr), ERangeError);
  EXPECT_THROW(riff.WriteChunk(kLIST, kmovi, 0xFFFFFFFC, nullptr), ERangeError);
  EXPECT_TRUE(stream.Data.empty());

  for (const auto& [id, dataSize, fits] :
       {std::tuple{kJUNK, 0xFFFFFFFEll, true}, std::tuple{kJUNK, 0x100000000ll, false},
        std::tuple{kLIST, 0xFFFFFFFAll, true}, std::tuple{kLIST, 0xFFFFFFFCll, false}}) {
    TLargeStream large;
    THGRIFFStream writer(large);
    writer.CreateChunk(id, kmovi);
    large.End = int64_t(large.Data.size()) + dataSize;
    if (fits) {
      EXPECT_EQ(writer.CloseChunk(), large.End);
      EXPECT_EQ(ReadLE32(large.Data.data() + 4), uint32_t(dataSize + (id == kLIST ? 4 : 0)));
    } else {
      EXPECT_THROW(writer.CloseChunk(), ERangeError);
      EXPECT_EQ(ReadLE32(large.Data.data() + 4), id == kLIST ? 4u : 0u);
    }
  }
}

TEST(RiffWrite, FailedHeaderOpensNoChunk) {
  TMemoryStream stream;
  stream.WriteLimit = 5; // the disk fills up inside the header
  THGRIFFStream riff(stream);
  EXPECT_LT(riff.CreateChunk(kLIST, kmovi), 0);
  EXPECT_EQ(riff.Depth, 0u);
  EXPECT_FALSE(riff.Writing);
  EXPECT_LT(riff.WriteChunk(MakeFourCC("00dc"), 0, 3, "abc"), 0);
}

} // namespace
} // namespace clw
