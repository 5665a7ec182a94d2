#include "avi/HgAVIFile.h"

#include "support/AviBuilder.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

namespace clw {
namespace {

using namespace test;

// A header record written by hand: little-endian words at their file offsets, cut to Size.
TBytes Record(size_t size, std::initializer_list<std::pair<size_t, uint32_t>> words) {
  TBytes b(64, 0);
  for (auto [at, value] : words)
    WriteLE32(b.data() + at, value);
  b.resize(size);
  return b;
}
TAviPart Avih(size_t size = 56) {
  return Chunk("avih", Record(size, {{32, 640}, {36, 480}, {52, 0x5EED}}));
}
// "strh" with its handler, scale and rate, and a BITMAPINFOHEADER naming the compression.
TAviPart Strl(TFourCC type, TFourCC handler, TFourCC compression = 0, size_t strh = 56,
              size_t strf = 40) {
  return List("strl",
              {Chunk("strh", Record(strh, {{0, type}, {4, handler}, {20, 1001}, {24, 0x12345678}})),
               Chunk("strf", Record(strf, {{0, 40}, {16, compression}}))});
}

std::unique_ptr<THgAVIFileReader> OpenBytes(const TBytes& bytes) {
  const auto path = ScratchDir() / "in.avi";
  WriteFile(path, std::string(bytes.begin(), bytes.end()));
  return std::make_unique<THgAVIFileReader>(path.string());
}
// An undamaged file with these parts in its header list.
std::unique_ptr<THgAVIFileReader> Open(std::vector<TAviPart> hdrl) {
  const TAviPart movi = List("movi", {Chunk("00dc", 5)});
  return OpenBytes(BuildAvi({Riff("AVI ", {List("hdrl", std::move(hdrl)), movi})}).Bytes);
}

// Twelve bytes starting "RIFF" open. A folder can carry a video's name; like a missing
// file, it is not read at all.
TEST(AviReaderOpening, OpenError) {
  for (const auto& [bytes, error] : {std::pair{BytesOf("RIFF\4\0\0\0AVI"), kBadSignature},
                                     {BytesOf("RIFX\4\0\0\0AVI "), kBadSignature},
                                     {BytesOf("RIFF\4\0\0\0AVI "), kOpened}}) {
    EXPECT_EQ(OpenBytes(bytes)->OpenError, error) << bytes.size();
  }
  const auto dir = ScratchDir();
  std::filesystem::create_directories(dir / "folder.avi");
  for (const auto& path : {dir / "missing.avi", dir / "folder.avi"}) {
    THgAVIFileReader reader(path.string());
    EXPECT_EQ(reader.OpenError, kNotFound) << path;
    EXPECT_EQ(reader.Analyze(2), kNothingToAnalyse);
  }
}

// ffmpeg gives every audio track a "strl" even when no packet of it was muxed, so audio
// streams are counted from the headers. With several video streams the last one wins; a
// stream list whose "strh" was lost changes nothing.
TEST(AviReaderHeaders, StreamListsOfTheHeaderList) {
  auto r = Open({Avih(), Strl(kauds, 0), Strl(kvids, MakeFourCC("XVID")), Strl(kauds, 0),
                 Strl(kvids, MakeFourCC("div3")),
                 List("strl", {Chunk("strf", Record(40, {{16, MakeFourCC("XVID")}}))})});
  ASSERT_EQ(r->Analyze(0), kDone);
  TVideoDescription video;
  ASSERT_TRUE(r->DescribeVideo(video));
  EXPECT_EQ(video.CodecDescription, "DivX V3 Low-Motion");
  EXPECT_EQ(std::tuple(video.Handler, video.Width, video.Height, video.Rate, video.Scale,
                       video.AudioStreams),
            std::tuple(MakeFourCC("div3"), 640u, 480u, 0x12345678u, 1001u, 2u));
}

// A short "avih" (an old muxer, or damage) sets only the bytes it holds, down to a value
// cut in the middle; a 64-byte one fills the 56-byte record and no more. A "strh" is read
// no further than its chunk, never into the "strf" after it; one too short to give the
// stream type is no video stream and leaves the video header as it was.
struct TSizeCase {
  size_t Avih, Strh;
  uint32_t Width, Reserved3, Rate;
};
class AviReaderHeaderSizes : public ::testing::TestWithParam<TSizeCase> {};

TEST_P(AviReaderHeaderSizes, ReadOnlyWhatTheChunkHolds) {
  const TSizeCase& c = GetParam();
  auto r = Open({Avih(c.Avih), Strl(kvids, MakeFourCC("XVID"), 0, c.Strh)});
  r->MainHeader.Width = 0xA0000001;
  r->MainHeader.Reserved[3] = 0xC0000003;
  r->VideoHeader.Rate = 0xD0000004;
  ASSERT_EQ(r->Analyze(0), kDone);
  EXPECT_EQ(std::tuple(r->MainHeader.Width, r->MainHeader.Reserved[3], r->VideoHeader.Rate),
            std::tuple(c.Width, c.Reserved3, c.Rate));
}

INSTANTIATE_TEST_SUITE_P(AviHeaders, AviReaderHeaderSizes,
                         ::testing::Values(TSizeCase{64, 56, 640, 0x5EED, 0x12345678},
                                           TSizeCase{55, 26, 640, 0xC0005EED, 0x5678},
                                           TSizeCase{35, 3, 0xA0000280, 0xC0000003, 0xD0000004}));

struct TCodecCase {
  const char Handler[5], Compression[5];
  uint8_t Family;
  const char* Name;
  size_t Strf = 40;
};
class AviReaderCodec : public ::testing::TestWithParam<TCodecCase> {};

TEST_P(AviReaderCodec, FamilyFromHandlerThenCompressionAndNameFromHandler) {
  const TCodecCase& c = GetParam();
  auto r = Open({Strl(kvids, MakeFourCC(c.Handler), MakeFourCC(c.Compression), 56, c.Strf)});
  ASSERT_EQ(r->Analyze(0), kDone);
  EXPECT_EQ(r->CodecFamily, c.Family);
  EXPECT_EQ(r->VideoCompression, c.Strf >= 20 ? MakeFourCC(c.Compression) : 0u);
  EXPECT_EQ(GetCodecName(*r), c.Name);
}

// Muxers disagree on the handler's letter case, and some leave it empty and name the
// codec only in the bitmap header, which needs 20 bytes to hold it; a known handler wins.
// The name table matches exactly: other spellings show their FourCC instead.
INSTANTIATE_TEST_SUITE_P(
    AviCodecs, AviReaderCodec,
    ::testing::Values(
        TCodecCase{"DIV3", "", kFamilyMsMpeg4, "DivX V3 Low-Motion"},
        TCodecCase{"div3", "", kFamilyMsMpeg4, "DivX V3 Low-Motion"},
        TCodecCase{"XVID", "", kFamilyMpeg4, "XviD"}, TCodecCase{"xvid", "", kFamilyMpeg4, "XviD"},
        TCodecCase{"Xvid", "", kFamilyMpeg4, ""}, TCodecCase{"DX50", "", kFamilyMpeg4, ""},
        TCodecCase{"FMP4", "", kFamilyMpeg4, ""}, TCodecCase{"MP4V", "", kFamilyMpeg4, ""},
        TCodecCase{"MJPG", "", kFamilyAllKey, ""},
        TCodecCase{"DIV3", "XVID", kFamilyMsMpeg4, "DivX V3 Low-Motion"},
        TCodecCase{"", "XVID", kFamilyMpeg4, "", 20},
        TCodecCase{"", "XVID", kFamilyAllKey, "", 19}));

} // namespace
} // namespace clw
