#include "avi/HgAVIFile.h"

#include <algorithm>
#include <array>

namespace clw {

namespace {

TFourCC LowerCaseFourCC(TFourCC Code) {
  TFourCC lower = 0;
  for (int i = 0; i < 4; ++i) {
    uint32_t c = (Code >> (8 * i)) & 0xFF;
    if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
    lower |= c << (8 * i);
  }
  return lower;
}

// MS-MPEG-4 and the codecs derived from it: a frame starts with its picture type bit.
constexpr std::array<TFourCC, 9> kMsMpeg4Codes = {
    MakeFourCC("ap41"), MakeFourCC("ap42"), MakeFourCC("div1"),
    MakeFourCC("div2"), MakeFourCC("div3"), MakeFourCC("div4"),
    MakeFourCC("mpg4"), MakeFourCC("mp42"), MakeFourCC("mp43")};
// MPEG-4 Part 2 in its many FourCCs; ffmpeg's own encoder writes "FMP4", others "MP4V".
constexpr std::array<TFourCC, 6> kMpeg4Codes = {MakeFourCC("xvid"), MakeFourCC("divx"),
                                                MakeFourCC("dx50"), MakeFourCC("3iv2"),
                                                MakeFourCC("fmp4"), MakeFourCC("mp4v")};

uint8_t FamilyOfCode(TFourCC Code) {
  const TFourCC lower = LowerCaseFourCC(Code);
  if (std::find(kMsMpeg4Codes.begin(), kMsMpeg4Codes.end(), lower) != kMsMpeg4Codes.end())
    return kFamilyMsMpeg4;
  if (std::find(kMpeg4Codes.begin(), kMpeg4Codes.end(), lower) != kMpeg4Codes.end())
    return kFamilyMpeg4;
  return kFamilyAllKey;
}

} // namespace

// Muxers disagree on the letter case of the handler ("XVID", "xvid", "DIV3"), and some
// leave the handler empty and name the codec only in the bitmap header of "strf".
bool IsUncompressedVideo(TFourCC Handler, TFourCC Compression) {
  // BI_RGB and BI_BITFIELDS, and the packed and planar YUV layouts capture cards and
  // encoders store raw.
  if (Compression == 0 || Compression == 3) return true;
  static constexpr TFourCC kRaw[] = {
      MakeFourCC("DIB "), MakeFourCC("RGB "), MakeFourCC("RAW "), MakeFourCC("raw "),
      MakeFourCC("BGR "), MakeFourCC("Y800"), MakeFourCC("Y8  "), MakeFourCC("GREY"),
      MakeFourCC("YUY2"), MakeFourCC("YUYV"), MakeFourCC("UYVY"), MakeFourCC("YVYU"),
      MakeFourCC("I420"), MakeFourCC("IYUV"), MakeFourCC("YV12"), MakeFourCC("NV12"),
      MakeFourCC("NV21"), MakeFourCC("v210"), MakeFourCC("2vuy"), MakeFourCC("Y41P"),
      MakeFourCC("YVU9"), MakeFourCC("HDYC"), MakeFourCC("b48r"), MakeFourCC("b64a"),
      MakeFourCC("r210"), MakeFourCC("Y42B"), MakeFourCC("Y444"), MakeFourCC("AYUV")};
  for (const TFourCC raw : kRaw)
    if (Compression == raw || Handler == raw) return true;
  return false;
}

uint8_t CodecFamilyOf(TFourCC Handler, TFourCC Compression) {
  const uint8_t family = FamilyOfCode(Handler);
  return family != kFamilyAllKey ? family : FamilyOfCode(Compression);
}

THgAVIFileReader::THgAVIFileReader(const std::string& FileName) {
  if (!CanOpenForReading(FileName)) {
    OpenError = kNotFound;
    return;
  }
  try {
    OwnFileStream =
        std::make_unique<THgBufferedFileStreamW>(FileName, fmOpenRead | fmShareDenyNone);
  } catch (const EStreamError&) {
    OpenError = kCannotOpen;
    return;
  }
  OwnRiffStream = std::make_unique<THGRIFFStream>(*OwnFileStream);
  RiffStream = OwnRiffStream.get();
  CheckSignature();
}

THgAVIFileReader::THgAVIFileReader(THGRIFFStream& Stream) : RiffStream(&Stream) {
  CheckSignature();
}

THgAVIFileReader::~THgAVIFileReader() {
  ClearAnalysis();
}

void THgAVIFileReader::CheckSignature() {
  TStream64* source = Source();
  if (!source) return;
  FileSize = source->Size();
  OpenError = kBadSignature;
  Error = kNoDamage;
  if (FileSize < 12) return;
  OpenError = kCannotReadSignature;
  const int64_t start = source->Position();
  uint8_t signature[4];
  const int64_t got = source->Read(signature, 4);
  source->SetPosition(start);
  if (got < 4) return;
  OpenError = ReadLE32(signature) == kRIFF ? kOpened : kBadSignature;
}

int64_t THgAVIFileReader::ReadChunkPrefix(int32_t Node, uint8_t* Buffer, int64_t Capacity) {
  TStream64* source = Source();
  const int64_t position = DataPosition(Node);
  if (!source || position < 0 || position >= FileSize) return 0;
  // A damaged size may be anything; the file's end bounds the read as well as the chunk's.
  const int64_t count = std::min({Capacity, std::max<int64_t>(Size(Node), 0), FileSize - position});
  if (count <= 0 || source->Seek(position, soBeginning) != position) return 0;
  return std::max<int64_t>(source->Read(Buffer, count), 0);
}

void THgAVIFileReader::ReadHeaders() {
  TStream64* source = Source();
  if (!source || HeadersRead) return;
  AudioStreamCount = 0;
  const int64_t start = source->Position();

  const int32_t riff = FindChildWithListType(-1, kRIFF, kAVI);
  const int32_t hdrl = riff < 0 ? -1 : FindChildWithListType(riff, kLIST, khdrl);
  if (hdrl < 0) return;

  // A short "avih" (an old muxer, or a header cut by damage) changes only the values it
  // holds; the rest keeps what an earlier reading found.
  if (const int32_t avih = FindChild(hdrl, kavih); avih >= 0) {
    uint8_t bytes[TAviMainHeader::kSize];
    MainHeader.Serialize(bytes);
    ReadChunkPrefix(avih, bytes, TAviMainHeader::kSize);
    MainHeader = TAviMainHeader::Parse(bytes);
  }

  ZeroRunsAreDamage.assign(size_t(kMaxStreams), false);
  LostChunkPlaces.assign(size_t(kMaxStreams), TLostChunkPlace{});
  size_t number = 0; // a stream's number is the place of its "strl"
  for (int32_t strl = FindChildWithListType(hdrl, kLIST, kstrl); strl >= 0;
       strl = FindNextWithListType(strl, kLIST, kstrl), ++number) {
    const int32_t strh = FindChild(strl, kstrh);
    if (strh < 0) continue;
    uint8_t bytes[TAviStreamHeader::kSize] = {};
    ReadChunkPrefix(strh, bytes, TAviStreamHeader::kSize);
    const TAviStreamHeader header = TAviStreamHeader::Parse(bytes);
    uint8_t format[kBitmapCompressionOffset + 4] = {};
    const int32_t strf = FindChild(strl, kstrf);
    const int64_t formatLength = strf >= 0 ? ReadChunkPrefix(strf, format, sizeof format) : 0;
    bool compressed = false;
    TLostChunkPlace place;
    if (header.Type == kauds) {
      ++AudioStreamCount;
      compressed = formatLength >= 2 && !IsUncompressedAudio(ReadLE16(format));
      // The wave format's bits per sample follow the tag, channels, rate, byte rate and
      // block alignment.
      constexpr int64_t kBitsPerSampleOffset = 14;
      const int32_t silence =
          formatLength >= kBitsPerSampleOffset + 2
              ? SilenceByteOf(ReadLE16(format), ReadLE16(format + kBitsPerSampleOffset))
              : -1;
      // MPEG layer II and III sound (format tags 0x50, 0x55) has silent frames of its own.
      const uint16_t tag = formatLength >= 2 ? ReadLE16(format) : 0;
      place.Kind = silence >= 0                 ? kPlaceSilence
                   : tag == 0x50 || tag == 0x55 ? kPlaceMpegSilence
                                                : kPlaceNone;
      place.Fill = uint8_t(std::max(silence, 0));
    } else if (header.Type == kvids) {
      place.Kind = kPlaceEmpty;
      VideoHeader = header;
      VideoCompression =
          formatLength == int64_t(sizeof format) ? ReadLE32(format + kBitmapCompressionOffset) : 0;
      CodecFamily = CodecFamilyOf(VideoHeader.Handler, VideoCompression);
      compressed = formatLength == int64_t(sizeof format) &&
                   !IsUncompressedVideo(VideoHeader.Handler, VideoCompression);
    }
    if (number < ZeroRunsAreDamage.size()) {
      ZeroRunsAreDamage[number] = compressed;
      LostChunkPlaces[number] = place;
    }
  }

  source->SetPosition(start);
  HeadersRead = true;
}

void THgAVIFileReader::ClearAnalysis() {
  Clear();
  FrameBuffer.clear();
  FrameBuffer.shrink_to_fit();
  SectorBuffer.clear();
  SectorBuffer.shrink_to_fit();
  MoviStreamCount = 0;
  MoviStreams.clear();
  MoviStreams.shrink_to_fit();
  LostChunks.clear();
  LostChunks.shrink_to_fit();
}

int64_t THgAVIFileReader::GetChunkStart(int32_t Node) const {
  const TFourCC id = Id(Node);
  return DataPosition(Node) - (id == kRIFF || id == kLIST ? 12 : 8);
}

bool THgAVIFileReader::DescribeVideo(TVideoDescription& Out) {
  Out.CodecDescription = GetCodecName(*this);
  Out.Handler = VideoHeader.Handler;
  Out.Width = MainHeader.Width;
  Out.Height = MainHeader.Height;
  Out.Rate = VideoHeader.Rate;
  Out.Scale = VideoHeader.Scale;
  Out.AudioStreams = uint32_t(std::max(AudioStreamCount, 0));
  return true;
}

} // namespace clw
