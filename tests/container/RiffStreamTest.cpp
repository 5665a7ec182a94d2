#include "container/HgRIFFStream.h"

#include "container/RiffFourCC.h"
#include "streams/Endian.h"
#include "support/AviBuilder.h"
#include "support/MemoryStream.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace clw {
namespace {

using namespace test;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr int64_t kPastHeaders = 0x20000; // first position where the movie-data rules hold

// Headers of two streams, the given movie data and a legacy index; `junk` bytes before the
// movie data put it past the first 128 KiB.
TAviFile SmallAvi(std::vector<TAviPart> movi, size_t junk = 0) {
  std::vector<TAviPart> segment{List(
      "hdrl", {Chunk("avih", 56, 0), List("strl", {Chunk("strh", 56, 0), Chunk("strf", 40, 0)}),
               List("strl", {Chunk("strh", 56, 0), Chunk("strf", 18, 0)})})};
  if (junk > 0) segment.push_back(Chunk("JUNK", junk, 0));
  segment.push_back(List("movi", std::move(movi)));
  segment.push_back(Idx1({{MakeFourCC("00dc"), 0x10, 4, 10}, {MakeFourCC("01wb"), 0x10, 22, 7}}));
  return BuildAvi({Riff("AVI ", std::move(segment))});
}

// Frames of odd and even sizes; the fourth is long enough to swallow the third claiming 100
// bytes more than it has.
TBytes FramesAvi(uint32_t thirdSizeField = 12) {
  return SmallAvi({Chunk("00dc", 10), Chunk("01wb", 7),
                   Chunk("00dc", 12).WithSizeField(thirdSizeField), Chunk("00dc", 200),
                   Chunk("01wb", 9)})
      .Bytes;
}

// Drives the stream as the AVI analysis does: enter lists, skip plain chunks, leave lists
// when exhausted. Each chunk reads "id[/type]@header:size dDepth ", with "*" before the space
// when it was found by scanning. A walk that does not end within the bound fails.
struct TWalker {
  TMemoryStream Stream;
  THGRIFFStream Riff{Stream};

  explicit TWalker(TBytes bytes, int64_t streams = 2) : Stream(std::move(bytes)) {
    Riff.StreamCount = streams;
  }

  std::string Walk() {
    std::string seen;
    for (int64_t step = 0; !Riff.AtEndOfFile && step <= 4 * Riff.FileSize + 64; ++step) {
      if (Riff.ChunkExhausted) {
        Riff.Ascend();
      } else if (Riff.Descend()) {
        const bool list = Riff.ChunkId == kRIFF || Riff.ChunkId == kLIST;
        seen += FourCCToString(Riff.ChunkId) +
                (Riff.ListType ? "/" + FourCCToString(Riff.ListType) : "") + "@" +
                std::to_string(Riff.DataPosition - (list ? 12 : 8)) + ":" +
                std::to_string(Riff.ChunkSize) + " d" + std::to_string(Riff.Depth) +
                (Riff.Resync ? "* " : " ");
        if (!list) Riff.Ascend();
      }
    }
    EXPECT_TRUE(Riff.AtEndOfFile) << "walk does not end";
    return seen;
  }
};

const std::string kHeadersAndTwoFrames =
    "RIFF/AVI @0:634 d1 LIST/hdrl@12:290 d2 avih@24:56 d3 LIST/strl@88:112 d3 strh@100:56 d4 "
    "strf@164:40 d4 LIST/strl@212:90 d3 strh@224:56 d4 strf@288:18 d4 LIST/movi@314:280 d2 "
    "00dc@326:10 d3 01wb@344:7 d3 ";

// A clean walk, then the third frame claiming 100 bytes more than it has: the walk lands
// inside the fourth frame, scans from the third frame's data, and from then on finds every
// header by scanning. Past the index header the idx1 entries spell frame ids, but their
// "sizes" (the flags) lead to no further header, so none is taken for a chunk.
TEST(RiffWalk, CleanTreeAndFrameSizeTooLarge) {
  EXPECT_EQ(TWalker(FramesAvi()).Walk(),
            kHeadersAndTwoFrames + "00dc@360:12 d3 00dc@380:200 d3 01wb@588:9 d3 idx1@606:32 d2 ");
  EXPECT_EQ(TWalker(FramesAvi(112)).Walk(),
            kHeadersAndTwoFrames +
                "00dc@360:112 d3 00dc@380:200 d3* 01wb@588:9 d3* idx1@606:32 d2* ");
}

// An implausible header always ends the trust in sizes, even when the scan from the data of
// the chunk before finds a header at once: here the video stream header starts with "vids"
// and a handler word that, read as a size (96), jumps exactly over the damaged "strf" id to
// the end of the stream list.
TEST(RiffWalk, ImplausibleHeaderAlwaysSwitchesToScanning) {
  TBytes bytes = FramesAvi();
  Overwrite(bytes, 108, "vids\x60\0\0\0");
  Overwrite(bytes, 164, "\x01\x02\x03\x04");
  const std::string seen = TWalker(bytes).Walk();
  EXPECT_THAT(seen, HasSubstr("vids@108:96 d4* "));
  EXPECT_THAT(seen, HasSubstr("00dc@326:10 d3* "));
}

// A standard index that overruns the movie data: the scan that follows skips the index
// header, whose copy of the stream's chunk id (at 360) would otherwise be taken for a frame.
TEST(RiffWalk, OverrunningIndexIsScannedFromItsEntries) {
  TBytes ix(48, 0x01);
  Overwrite(ix, 8, "00dc");
  const std::string seen =
      TWalker(SmallAvi({Chunk("00dc", 10), Chunk("ix00", ix).WithSizeField(148)}).Bytes).Walk();
  EXPECT_THAT(seen, HasSubstr("ix00@344:148 d3* "));
  EXPECT_THAT(seen, Not(HasSubstr("00dc@360:")));
  EXPECT_THAT(seen, HasSubstr("idx1@400:32 d2* "));
}

// Garbage first, so everything is found by scanning. A camera's private list is no
// resynchronisation point, but the chunk inside it is, without the rejected list's type.
TEST(RiffWalk, ScanSkipsUnknownListsAndSurvivesResetAndExtraAscends) {
  TWalker w(
      BuildAvi({Raw(TBytes(8, 1)), List("ncdt", {Chunk("JUNK", 4)}), Chunk("JUNK", 6)}).Bytes);
  EXPECT_EQ(w.Walk(), "JUNK@20:4 d1* JUNK@32:6 d1* ");
  // A new walk must not start its fallback scan where the last one ended.
  w.Riff.Reset();
  w.Riff.Seek(0, soBeginning);
  ASSERT_TRUE(w.Riff.Descend());
  EXPECT_EQ(w.Riff.DataPosition, 28);
  // Leaving the outermost chunk twice while scanning must neither underflow the depth nor
  // lose the next header.
  w.Riff.Ascend();
  w.Riff.Ascend();
  EXPECT_EQ(w.Riff.Depth, 0u);
  EXPECT_EQ(w.Riff.ChunkId, THGRIFFStream::kNoChunk);
  ASSERT_TRUE(w.Riff.Descend());
  EXPECT_EQ(w.Riff.DataPosition, 40);
}

// The hang guard: every cut of a clean and of a damaged file, and random byte damage. The
// walk ends, and further calls come to rest at the end of the file.
void ExpectWalkEnds(const TBytes& bytes) {
  TWalker w(bytes);
  w.Walk();
  for (int i = 0; i < 3; ++i) {
    w.Riff.Descend();
    w.Riff.Ascend();
  }
  EXPECT_LE(w.Riff.Depth, w.Riff.ChunkStack.size());
  EXPECT_FALSE(w.Riff.Descend());
}

TEST(RiffWalk, EndsOnEveryCutAndOnRandomDamage) {
  for (const TBytes& whole : {FramesAvi(), FramesAvi(112)})
    for (size_t cut = 0; cut <= whole.size(); ++cut) {
      SCOPED_TRACE(cut);
      ExpectWalkEnds(TBytes(whole.begin(), whole.begin() + int64_t(cut)));
    }
  std::mt19937 random(20240601);
  for (int round = 0; round < 300; ++round) {
    TBytes bytes = FramesAvi();
    for (int n = 1 + int(random() % 8); n > 0; --n)
      bytes[random() % bytes.size()] = uint8_t(random());
    SCOPED_TRACE(round);
    ExpectWalkEnds(bytes);
  }
}

// What follows an empty first frame in the movie data: a chunk the rules admit keeps the walk
// on sizes; anything else is skipped by the scan, which starts at the empty frame's end and
// finds the next frame at its own header. Two bytes before it ("\xFF\xFF00", or "ab00" in the
// movie data) cannot start a header, but their last two characters can: the scan steps 2.
TEST(RiffMovi, NextFrameFoundBySizeOrByScan) {
  using TRow = std::tuple<const char*, TAviPart, int64_t, bool, bool>;
  for (const auto& [name, middle, streamCount, pastHeaders, admitted] :
       {TRow{"audio_of_two_streams", Chunk("01wb", 20), 2, true, true},
        TRow{"audio_of_one_stream", Chunk("01wb", 20), 1, true, false},
        TRow{"stream_12_of_13", Chunk("12wb", 20), 13, true, true},
        TRow{"stream_12_of_12", Chunk("12dc", 20), 12, true, false},
        TRow{"palette_change", Chunk("00pc", 20), 1, true, true},
        TRow{"std_index", Chunk("ix01", 20), 2, true, true},
        TRow{"std_index_of_no_stream", Chunk("ix02", 20), 2, true, false},
        TRow{"letters_past_headers", Chunk("abcd", 20), 2, true, false},
        TRow{"letters_near_start", Chunk("abcd", 20), 2, false, true},
        TRow{"two_bytes", Raw(TBytes(2, 0xFF)), 2, false, false},
        TRow{"two_letters_past_headers", Raw(BytesOf("ab")), 2, true, false},
        TRow{"half_an_id", Raw(BytesOf("--00zz")), 2, false, false},
        // Unwritten sectors: zero ids step 4 bytes, so a header 2 bytes off that phase is
        // found through its first half; a long stretch runs across the scan's read blocks.
        TRow{"zeros_in_phase", Raw(TBytes(8, 0)), 2, true, false},
        TRow{"zeros_off_phase", Raw(TBytes(14, 0)), 2, true, false},
        TRow{"long_zeros_in_phase", Raw(TBytes(0x30004, 0)), 2, true, false},
        TRow{"long_zeros_off_phase", Raw(TBytes(0x2FFFE, 0)), 2, true, false}}) {
    SCOPED_TRACE(name);
    const TAviFile file = SmallAvi({Chunk("00dc", 0), middle, Chunk("00dc", 12).Named("next")},
                                   pastHeaders ? kPastHeaders : 0);
    EXPECT_THAT(TWalker(file.Bytes, streamCount).Walk(),
                HasSubstr("00dc@" + std::to_string(file.At.at("next").Header) + ":12 d3" +
                          (admitted ? " " : "* ")));
  }
}

// Past the header lists the scan passes over damaged frame bytes many offsets at a time; it
// still finds the next frame at every even offset from where the damage begins (a frame at
// an odd one leads to no header), across its read blocks, past letters that spell no frame
// id and past zeros.
TEST(RiffMovi, NextFrameFoundPastNoiseAtEveryOffset) {
  std::mt19937 random(7);
  const auto noise = [&](size_t n) {
    TBytes bytes(n);
    for (uint8_t& b : bytes)
      b = random() % 5 == 0 ? uint8_t("abcdzyx0919ixJUid"[random() % 17])
                            : uint8_t(0x80 | random());
    for (size_t at = 0; at + 8 < n; at += 1 + random() % 200)
      std::copy_n(random() % 2 ? "abcdefgh" : "\0\0\0\0\0\0\0\0", 8, bytes.begin() + int64_t(at));
    return bytes;
  };
  std::vector<size_t> lengths;
  for (size_t n = 2; n <= 100; n += 2)
    lengths.push_back(n);
  // The scan reads 64 KiB first, then 256 KiB at a time.
  for (const size_t edge : {0x10000, 0x50000})
    for (size_t n = edge - 0x40; n <= edge + 0x40; n += 6)
      lengths.push_back(n);
  for (const size_t n : lengths) {
    SCOPED_TRACE(n);
    const TAviFile file =
        SmallAvi({Chunk("00dc", 0), Raw(noise(n)), Chunk("00dc", 12).Named("next")}, kPastHeaders);
    EXPECT_THAT(TWalker(file.Bytes).Walk(),
                HasSubstr("00dc@" + std::to_string(file.At.at("next").Header) + ":12 d3* "));
  }
}

// A scan through megabytes of damage asks whether to go on; told to stop, it ends the walk
// there instead of finding the headers after the damage.
TEST(RiffMovi, ScanStopsWhenTold) {
  const TAviFile file =
      SmallAvi({Chunk("00dc", 0), Raw(TBytes(0x300000, 0)), Chunk("00dc", 12).Named("next")});
  TWalker walker(file.Bytes);
  std::vector<int64_t> asked;
  walker.Riff.KeepScanning = [&](int64_t Position) {
    asked.push_back(Position);
    return asked.size() < 2;
  };
  EXPECT_THAT(walker.Walk(), Not(HasSubstr("@" + std::to_string(file.At.at("next").Header))));
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_LT(asked[0], asked[1]);
}

// The list context an id leaves behind. Below 128 KiB it always starts from none, so that a
// frame id in the header lists does not switch on the movie-data rules.
TEST(RiffIds, PlausibilityAndContextLeftBehind) {
  using TRow = std::tuple<TFourCC, int64_t, const char*, bool, TFourCC>;
  for (const auto& [context, position, id, plausible, after] :
       {TRow{kmovi, kPastHeaders, "abcd", false, kmovi}, TRow{0, kPastHeaders, "abcd", true, 0},
        TRow{kmovi, kPastHeaders - 1, "abcd", true, 0}, TRow{0, kPastHeaders, "AVI ", false, 0},
        TRow{0, kPastHeaders, "00dc", true, kmovi}, TRow{0, kPastHeaders, "05dc", true, 0},
        TRow{kmovi, kPastHeaders, "idx1", true, kidx1}, TRow{kmovi, kPastHeaders, "JUNK", true, 0},
        TRow{kidx1, kPastHeaders, "00dc", true, kidx1},
        TRow{kidx1, kPastHeaders, "\x10\0\0\0", false, kidx1}}) {
    SCOPED_TRACE(std::string(id) + " at " + std::to_string(position));
    TWalker w({}, 1);
    w.Riff.ContextList = context;
    w.Riff.Seek(position, soBeginning);
    EXPECT_EQ(w.Riff.IsPlausibleChunkId(MakeFourCC(id[0], id[1], id[2], id[3])), plausible);
    EXPECT_EQ(FourCCToString(w.Riff.ContextList), FourCCToString(after));
  }
}

// A chunk written whole, a list filled through WriteData, and a chunk closed after the caller
// sought back to the start: its pad byte still goes at the end. Nothing open: both fail.
TEST(RiffWrite, PadsOddDataAndPatchesSizes) {
  TMemoryStream stream;
  THGRIFFStream riff(stream);
  EXPECT_EQ(riff.WriteChunk(MakeFourCC("00dc"), 0, 3, "abc"), 3);
  EXPECT_EQ(riff.CreateChunk(kLIST, kmovi), 12);
  riff.WriteData("0123456789", 10);
  EXPECT_EQ(riff.CloseChunk(), 34);
  riff.CreateChunk(MakeFourCC("01wb"), 0);
  riff.WriteData("abc", 3);
  riff.Seek(0, soBeginning);
  EXPECT_EQ(riff.CloseChunk(), 46);
  EXPECT_EQ(stream.Data, BytesOf("00dc\x03\0\0\0abc\0LIST\x0e\0\0\0movi0123456789"
                                 "01wb\x03\0\0\0abc\0"));
  EXPECT_EQ(riff.WriteData("x", 1), -1);
  EXPECT_EQ(riff.CloseChunk(), -1);
}

// Reports an end far beyond the bytes it holds, so that chunks near 4 GiB can be closed.
struct TLargeStream : TMemoryStream {
  int64_t End = 0;
  int64_t Seek(int64_t offset, uint16_t origin) override {
    if (origin != soEnd) return TMemoryStream::Seek(offset, origin);
    return Pos = End + offset;
  }
};

// A size the 32-bit field cannot hold raises before anything is written; a wrapped size
// would leave every reader lost in the rest of the file.
TEST(RiffWrite, SizesBeyondTheSizeFieldRaise) {
  TMemoryStream stream;
  THGRIFFStream riff(stream);
  EXPECT_THROW(riff.WriteChunk(MakeFourCC("00dc"), 0, -1, nullptr), ERangeError);
  EXPECT_THROW(riff.WriteChunk(MakeFourCC("00dc"), 0, 0x100000000, nullptr), ERangeError);
  EXPECT_THROW(riff.WriteChunk(kLIST, kmovi, 0xFFFFFFFC, nullptr), ERangeError);
  EXPECT_TRUE(stream.Data.empty());
  for (const auto& [id, dataSize, field] :
       {std::tuple{kJUNK, 0xFFFFFFFEll, 0xFFFFFFFEu}, std::tuple{kJUNK, 0x100000000ll, 0u},
        std::tuple{kLIST, 0xFFFFFFFAll, 0xFFFFFFFEu}, std::tuple{kLIST, 0xFFFFFFFCll, 4u}}) {
    TLargeStream large;
    THGRIFFStream writer(large);
    writer.CreateChunk(id, kmovi);
    large.End = int64_t(large.Data.size()) + dataSize;
    if (field > 4)
      EXPECT_EQ(writer.CloseChunk(), large.End);
    else
      EXPECT_THROW(writer.CloseChunk(), ERangeError);
    EXPECT_EQ(ReadLE32(large.Data.data() + 4), field); // unpatched when it raised
  }
}

TEST(RiffWrite, FailedHeaderOpensNoChunk) {
  TMemoryStream stream;
  stream.WriteLimit = 5; // the disk fills up inside the header
  THGRIFFStream riff(stream);
  EXPECT_EQ(riff.CreateChunk(kLIST, kmovi), -1);
  EXPECT_EQ(riff.Depth, 0u);
  EXPECT_EQ(riff.WriteChunk(MakeFourCC("00dc"), 0, 3, "abc"), -1);
}

} // namespace
} // namespace clw
