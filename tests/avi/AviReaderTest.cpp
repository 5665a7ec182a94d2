#include "avi/HgAVIFile.h"

#include "support/AviBuilder.h"
#include "support/MemoryStream.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
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

// A "strh" with the fields the reader uses at their file offsets; Size cuts it short.
TBytes StrhBytes(std::string_view type, std::string_view handler, uint32_t rate = 25,
                 uint32_t scale = 1, size_t size = 56) {
  TBytes b(64, 0);
  WriteLE32(b.data(), Code(type));
  WriteLE32(b.data() + 4, Code(handler));
  WriteLE32(b.data() + 20, scale);
  WriteLE32(b.data() + 24, rate);
  b.resize(size);
  return b;
}

// A BITMAPINFOHEADER of 40 bytes naming the compression code.
TBytes StrfBytes(std::string_view compression, size_t size = 40) {
  TBytes b(40, 0);
  WriteLE32(b.data(), 40);
  WriteLE32(b.data() + 16, Code(compression));
  b.resize(size);
  return b;
}

TBytes AvihBytes(uint32_t width, uint32_t height, size_t size = 56) {
  TBytes b(std::max<size_t>(size, 56), 0);
  for (size_t i = 56; i < b.size(); ++i)
    b[i] = 0xAB; // bytes a 64-byte "avih" carries
  WriteLE32(b.data(), 40000);
  WriteLE32(b.data() + 24, 2);
  WriteLE32(b.data() + 32, width);
  WriteLE32(b.data() + 36, height);
  WriteLE32(b.data() + 52, 0x5EED);
  b.resize(size);
  return b;
}

TAviPart VideoList(std::string_view handler, std::string_view compression = "XXXX") {
  return List("strl",
              {Chunk("strh", StrhBytes("vids", handler)), Chunk("strf", StrfBytes(compression))});
}
TAviPart AudioList() {
  return List("strl", {Chunk("strh", StrhBytes("auds", "", 44100, 1)), Chunk("strf", 18)});
}

std::vector<TAviPart> AviWith(std::vector<TAviPart> hdrl) {
  return {Riff("AVI ", {List("hdrl", std::move(hdrl)), List("movi", {Chunk("00dc", 5)})})};
}

// Records the chunks of well-formed bytes as nodes, the way the analysis does for an
// undamaged file: lists carry their type, positions are data positions.
void AddNodes(THgChunkTree& tree, const TBytes& bytes, int32_t parent, int64_t begin, int64_t end) {
  for (int64_t p = begin; end - p >= 8;) {
    const TFourCC id = ReadLE32(bytes.data() + p);
    const int64_t size = ReadLE32(bytes.data() + p + 4);
    if (id == kRIFF || id == kLIST) {
      const int32_t list =
          tree.AddNode(parent, id, ReadLE32(bytes.data() + p + 8), p + 12, size - 4);
      AddNodes(tree, bytes, list, p + 12, std::min(end, p + 8 + size));
    } else {
      tree.AddNode(parent, id, 0, p + 8, size);
    }
    p += 8 + size + (size & 1);
  }
}

class AviReaderFiles : public ::testing::Test {
protected:
  void SetUp() override { Dir = test::ScratchDir(); }

  std::string Write(const TBytes& bytes) {
    const fs::path path = Dir / ("in" + std::to_string(++Files) + ".avi");
    test::WriteFile(path, std::string(bytes.begin(), bytes.end()));
    return path.string();
  }

  // Opens the file built from Parts with its chunk tree in place.
  std::unique_ptr<THgAVIFileReader> Open(const std::vector<TAviPart>& parts) {
    Built = test::BuildAvi(parts);
    Bytes = Built.Bytes;
    auto reader = std::make_unique<THgAVIFileReader>(Write(Bytes));
    EXPECT_EQ(reader->OpenError, kOpened);
    AddNodes(*reader, Bytes, -1, 0, int64_t(Bytes.size()));
    return reader;
  }

  fs::path Dir;
  test::TAviFile Built;
  TBytes Bytes;
  int Files = 0;
};

// --- Opening ---------------------------------------------------------------------------

struct TSignatureCase {
  const char* Name;
  std::string Bytes;
  int32_t OpenError;
};

// The literal with its zero bytes.
template <size_t N> std::string WithZeros(const char (&text)[N]) {
  return std::string(text, N - 1);
}

class AviReaderSignature : public AviReaderFiles,
                           public ::testing::WithParamInterface<TSignatureCase> {};

TEST_P(AviReaderSignature, OpenErrorFromTheFirstBytes) {
  const TBytes bytes(GetParam().Bytes.begin(), GetParam().Bytes.end());
  THgAVIFileReader reader(Write(bytes));
  EXPECT_EQ(reader.OpenError, GetParam().OpenError);
  EXPECT_EQ(reader.FileSize, int64_t(bytes.size()));
  ASSERT_NE(reader.Source(), nullptr);
  EXPECT_EQ(reader.Source()->Position(), 0); // the analysis starts from where opening left
}

INSTANTIATE_TEST_SUITE_P(
    AviOpening, AviReaderSignature,
    ::testing::Values(
        TSignatureCase{"Empty", "", kBadSignature},
        TSignatureCase{"RiffOf11Bytes", WithZeros("RIFF\4\0\0\0AVI"), kBadSignature},
        TSignatureCase{"NotRiffOf12Bytes", WithZeros("RIFX\4\0\0\0AVI "), kBadSignature},
        TSignatureCase{"LowerCaseRiff", WithZeros("riff\4\0\0\0AVI "), kBadSignature},
        TSignatureCase{"RiffOf12Bytes", WithZeros("RIFF\4\0\0\0AVI "), kOpened},
        TSignatureCase{"RiffAnyListType", WithZeros("RIFF\0\0\0\0WAVEfmt "), kOpened}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(AviReaderFiles, MissingOrUnreadableFileHasNoStreams) {
  fs::create_directories(Dir / "folder.avi");
  for (const fs::path& path : {Dir / "missing.avi", Dir / "folder.avi"}) {
    THgAVIFileReader reader(path.string());
    EXPECT_EQ(reader.OpenError, kNotFound) << path;
    EXPECT_EQ(reader.RiffStream, nullptr);
    EXPECT_EQ(reader.Source(), nullptr);
    EXPECT_EQ(reader.Analyze(2), kNothingToAnalyse);
    reader.ReadHeaders();
    EXPECT_FALSE(reader.HeadersRead);
    TVideoDescription video;
    EXPECT_TRUE(reader.DescribeVideo(video));
    EXPECT_EQ(video.CodecDescription, "");
  }
}

// The rebuild of an analysis makes a reader on the stream it is still reading; that
// reader must not move the stream under the walk.
TEST(AviReaderOnStream, LeavesTheLentStreamWhereItWas) {
  test::TMemoryStream memory(TBytes{'J', 'U', 'N', 'K', 'R', 'I', 'F', 'F', 0, 0, 0, 0, 0, 0});
  THGRIFFStream riff(memory);
  memory.Pos = 4;
  THgAVIFileReader reader(riff);
  EXPECT_EQ(reader.RiffStream, &riff);
  EXPECT_EQ(reader.OwnRiffStream, nullptr);
  EXPECT_EQ(reader.OwnFileStream, nullptr);
  EXPECT_EQ(reader.OpenError, kOpened);
  EXPECT_EQ(reader.FileSize, 14);
  EXPECT_EQ(memory.Pos, 4);

  memory.Pos = 11; // three bytes left: the signature cannot be read
  THgAVIFileReader shortRead(riff);
  EXPECT_EQ(shortRead.OpenError, kCannotReadSignature);
  EXPECT_EQ(memory.Pos, 11);
}

// --- Header list ----------------------------------------------------------------------

// ffmpeg gives every audio track a "strl" even when no packet of it was muxed, so the
// audio streams are counted from the headers; with several video streams the last wins.
TEST_F(AviReaderFiles, StreamListsOfTheHeaderList) {
  auto reader =
      Open({Riff("AVI ", {List("hdrl", {Chunk("avih", AvihBytes(640, 480)), AudioList(),
                                        VideoList("XVID"), AudioList(), VideoList("div3")}),
                          List("movi", {})})});
  reader->ReadHeaders();
  ASSERT_TRUE(reader->HeadersRead);
  EXPECT_EQ(reader->MainHeader.Width, 640u);
  EXPECT_EQ(reader->MainHeader.Height, 480u);
  EXPECT_EQ(reader->VideoHeader.Type, kvids);
  EXPECT_EQ(reader->VideoHeader.Handler, MakeFourCC("div3"));
  EXPECT_EQ(reader->CodecFamily, kFamilyMsMpeg4);
  EXPECT_EQ(reader->AudioStreamCount, 2);
  EXPECT_EQ(reader->Source()->Position(), 0); // left where the scan expects it

  // A later analysis reads the headers again and counts the audio streams afresh.
  EXPECT_EQ(reader->Analyze(0), kDone);
  EXPECT_EQ(reader->AudioStreamCount, 2);
}

TEST_F(AviReaderFiles, StreamListWithoutHeaderLeavesVideoHeader) {
  auto reader = Open(AviWith({List("strl", {Chunk("strf", StrfBytes("XVID"))})}));
  reader->VideoHeader.Handler = MakeFourCC("div3");
  reader->VideoHeader.Rate = 30000;
  reader->CodecFamily = kFamilyMsMpeg4;
  reader->ReadHeaders();
  EXPECT_TRUE(reader->HeadersRead);
  EXPECT_EQ(reader->VideoHeader.Handler, MakeFourCC("div3"));
  EXPECT_EQ(reader->VideoHeader.Rate, 30000u);
  EXPECT_EQ(reader->CodecFamily, kFamilyMsMpeg4);
  EXPECT_EQ(reader->AudioStreamCount, 0);
}

// The headers belong to the first segment, "AVI "; an extension segment alone has none.
TEST_F(AviReaderFiles, NoHeaderListMeansHeadersNotRead) {
  for (auto parts : {std::vector<TAviPart>{Riff("AVIX", {List("hdrl", {VideoList("XVID")})})},
                     std::vector<TAviPart>{Riff("AVI ", {List("movi", {Chunk("00dc", 4)})})}}) {
    auto reader = Open(parts);
    reader->ReadHeaders();
    EXPECT_FALSE(reader->HeadersRead);
    EXPECT_EQ(reader->VideoHeader.Handler, 0u);
  }
}

// An "avih" of 64 bytes (some muxers pad it) fills the 56-byte record; the bytes past it
// are not taken, and the chunks after it are still found.
TEST_F(AviReaderFiles, LongMainHeaderFillsTheRecord) {
  auto reader = Open(AviWith({Chunk("avih", AvihBytes(320, 240, 64)), VideoList("XVID")}));
  reader->ReadHeaders();
  EXPECT_EQ(reader->MainHeader.Width, 320u);
  EXPECT_EQ(reader->MainHeader.Height, 240u);
  EXPECT_EQ(reader->MainHeader.Reserved[3], 0x5EEDu);
  EXPECT_EQ(reader->VideoHeader.Handler, MakeFourCC("XVID"));
}

struct TShortCase {
  size_t Size;
  uint32_t Width, Height, Reserved3;
};

class AviReaderShortMainHeader : public AviReaderFiles,
                                 public ::testing::WithParamInterface<TShortCase> {};

// A short "avih" sets the bytes it holds; the others keep what was there before, down to
// a value cut in the middle.
TEST_P(AviReaderShortMainHeader, ReadsOnlyWhatTheChunkHolds) {
  auto reader = Open(AviWith({Chunk("avih", AvihBytes(320, 240, GetParam().Size))}));
  reader->MainHeader.Width = 0xA0000001;
  reader->MainHeader.Height = 0xB0000002;
  reader->MainHeader.Reserved[3] = 0xC0000003;
  reader->ReadHeaders();
  EXPECT_EQ(reader->MainHeader.Width, GetParam().Width);
  EXPECT_EQ(reader->MainHeader.Height, GetParam().Height);
  EXPECT_EQ(reader->MainHeader.Reserved[3], GetParam().Reserved3);
}

INSTANTIATE_TEST_SUITE_P(AviShort, AviReaderShortMainHeader,
                         ::testing::Values(TShortCase{0, 0xA0000001, 0xB0000002, 0xC0000003},
                                           TShortCase{35, 0xA0000140, 0xB0000002, 0xC0000003},
                                           TShortCase{36, 320, 0xB0000002, 0xC0000003},
                                           TShortCase{38, 320, 0xB00000F0, 0xC0000003},
                                           TShortCase{40, 320, 240, 0xC0000003},
                                           TShortCase{55, 320, 240, 0xC0005EED},
                                           TShortCase{56, 320, 240, 0x5EED}));

// Real "strh" chunks are 56 bytes; the record's last 8 rectangle bytes stay zero even
// though the bytes of the next chunk follow in the file.
TEST_F(AviReaderFiles, StreamHeaderReadNoFurtherThanItsChunk) {
  for (size_t size : {56, 28, 27, 24, 8, 3}) {
    auto reader = Open(
        AviWith({List("strl", {Chunk("strh", StrhBytes("vids", "XVID", 0x12345678, 1001, size)),
                               Chunk("strf", 40, 0x77)})}));
    reader->ReadHeaders();
    const TAviStreamHeader& video = reader->VideoHeader;
    if (size < 4) {
      EXPECT_EQ(video.Type, 0u) << size; // the type is cut: no video stream found
      continue;
    }
    EXPECT_EQ(video.Handler, MakeFourCC("XVID")) << size;
    EXPECT_EQ(video.Scale, size >= 24 ? 1001u : 0u) << size;
    const uint32_t rate = size >= 28 ? 0x12345678u : size == 27 ? 0x345678u : 0u;
    EXPECT_EQ(video.Rate, rate) << size;
    EXPECT_EQ(video.Length, 0u) << size;
    for (uint8_t b : video.Frame)
      EXPECT_EQ(b, 0) << size;
  }
}

// A damaged size may point far beyond the file, or the node may sit at a nonsense place;
// reading the headers stops at the file's end and never raises.
TEST_F(AviReaderFiles, HeaderNodesBeyondTheFile) {
  auto reader = Open({Riff("AVI ", {List("hdrl", {})})});
  const int32_t hdrl = reader->FindChildWithListType(0, kLIST, khdrl);
  ASSERT_GE(hdrl, 0);
  const int64_t end = int64_t(Bytes.size());
  reader->AddNode(hdrl, kavih, 0, end - 4, 0x7FFFFFFF);
  const int32_t strl = reader->AddNode(hdrl, kLIST, kstrl, end, 100);
  reader->AddNode(strl, kstrh, 0, -8, 64);
  reader->AddNode(strl, kstrf, 0, end + 1000, 40);
  const int32_t strl2 = reader->AddNode(hdrl, kLIST, kstrl, end, 100);
  reader->AddNode(strl2, kstrh, 0, 12, -5);
  reader->MainHeader.Width = 99;
  reader->ReadHeaders();
  EXPECT_TRUE(reader->HeadersRead);
  EXPECT_EQ(reader->MainHeader.Width, 99u);
  EXPECT_EQ(reader->VideoHeader.Type, 0u);
}

// --- Codec family ---------------------------------------------------------------------

struct TFamilyCase {
  const char* Handler;
  const char* Compression;
  uint8_t Family;
};

class AviReaderCodecFamily : public AviReaderFiles,
                             public ::testing::WithParamInterface<TFamilyCase> {};

TEST_P(AviReaderCodecFamily, FromHandlerThenCompression) {
  auto reader = Open(AviWith({VideoList(GetParam().Handler, GetParam().Compression)}));
  reader->ReadHeaders();
  EXPECT_EQ(reader->CodecFamily, GetParam().Family);
  EXPECT_EQ(reader->VideoCompression, Code(GetParam().Compression));
}

// ffmpeg names MPEG-4 Part 2 "FMP4" or "XVID" and MS-MPEG-4 v3 "DIV3" in upper case; some
// muxers leave the handler empty and only the bitmap header names the codec.
INSTANTIATE_TEST_SUITE_P(
    AviFamilies, AviReaderCodecFamily,
    ::testing::Values(
        TFamilyCase{"DIV3", "DIV3", kFamilyMsMpeg4}, TFamilyCase{"div3", "", kFamilyMsMpeg4},
        TFamilyCase{"MP43", "", kFamilyMsMpeg4}, TFamilyCase{"Ap41", "", kFamilyMsMpeg4},
        TFamilyCase{"XVID", "", kFamilyMpeg4}, TFamilyCase{"xvid", "XVID", kFamilyMpeg4},
        TFamilyCase{"FMP4", "FMP4", kFamilyMpeg4}, TFamilyCase{"MP4V", "", kFamilyMpeg4},
        TFamilyCase{"dx50", "", kFamilyMpeg4}, TFamilyCase{"3IV2", "", kFamilyMpeg4},
        TFamilyCase{"", "XVID", kFamilyMpeg4}, TFamilyCase{"", "div3", kFamilyMsMpeg4},
        TFamilyCase{"", "", kFamilyAllKey}, TFamilyCase{"H264", "H264", kFamilyAllKey},
        TFamilyCase{"MJPG", "", kFamilyAllKey},
        // A known handler is not overruled by the bitmap header.
        TFamilyCase{"DIV3", "XVID", kFamilyMsMpeg4}, TFamilyCase{"XVI", "XVID", kFamilyMpeg4}));

// A "strf" too short to hold the compression code gives none.
TEST_F(AviReaderFiles, ShortFormatChunkHasNoCompression) {
  for (size_t size : {size_t(19), size_t(20)}) {
    auto reader = Open(AviWith({List(
        "strl", {Chunk("strh", StrhBytes("vids", "")), Chunk("strf", StrfBytes("XVID", size))})}));
    reader->ReadHeaders();
    EXPECT_EQ(reader->VideoCompression, size == 20 ? MakeFourCC("XVID") : 0u) << size;
    EXPECT_EQ(reader->CodecFamily, size == 20 ? kFamilyMpeg4 : kFamilyAllKey) << size;
  }
}

// --- What the format line shows -------------------------------------------------------

TEST_F(AviReaderFiles, DescribeVideoForTheFormatLine) {
  auto reader = Open(AviWith({Chunk("avih", AvihBytes(720, 576)),
                              List("strl", {Chunk("strh", StrhBytes("vids", "DIVX", 30000, 1001)),
                                            Chunk("strf", StrfBytes("DX50"))}),
                              AudioList()}));
  ASSERT_EQ(reader->Analyze(0), kDone);
  TVideoDescription video;
  ASSERT_TRUE(reader->DescribeVideo(video));
  EXPECT_EQ(video.CodecDescription, "DivX");
  EXPECT_EQ(video.Handler, MakeFourCC("DIVX"));
  EXPECT_EQ(video.Width, 720u);
  EXPECT_EQ(video.Height, 576u);
  EXPECT_EQ(video.Rate, 30000u);
  EXPECT_EQ(video.Scale, 1001u);
  EXPECT_EQ(video.AudioStreams, 1u);
}

// --- Tree helpers the analysis and the writer build on ---------------------------------

TEST_F(AviReaderFiles, ChunkStartIsTheHeaderPosition) {
  auto reader = Open(
      {Riff("AVI ", {List("hdrl", {Chunk("avih", AvihBytes(1, 1)).Named("avih")}).Named("hdrl"),
                     List("movi", {Chunk("00dc", 3).Named("f1"), Chunk("01wb", 2).Named("a1")})})});
  EXPECT_EQ(reader->GetChunkStart(0), 0);
  EXPECT_EQ(reader->GetChunkStart(1), Built.At.at("hdrl").Header);
  EXPECT_EQ(reader->GetChunkStart(2), Built.At.at("avih").Header);
  EXPECT_EQ(reader->GetChunkStart(4), Built.At.at("f1").Header);
  EXPECT_EQ(reader->GetChunkStart(5), Built.At.at("a1").Header);
}

} // namespace
} // namespace clw
