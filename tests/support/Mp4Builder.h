#pragma once
// Builds MP4 bytes from a short description: boxes with payloads, boxes of boxes, and raw
// bytes without a header. Any box can carry a wrong size field or the 64-bit size form, and
// labelled boxes report where they landed so a test can damage one field afterwards.
//
//   auto file = BuildMp4({Box("ftyp", 16), Container("moov", {Box("mvhd", 100).Named("h")})});
// Also the media data inside: H.264 units in MP4 framing (a 4-byte big-endian length, the NAL
// header byte and, for coded slices, first_mb_in_slice and slice_type as exp-Golomb codes),
// and AAC-like frames that start with the same byte and end with the end-of-frame terminator.
#include "mp4/HgMP4File.h"
#include "mp4repair/MediaDataAnalysis.h"
#include "support/AviBuilder.h"
#include "support/MemoryStream.h"

#include <cstdint>
#include <utility>

namespace clw::test {

struct TMp4Box {
  bool Raw = false; // bytes without a header
  TFourCC Type = 0;
  TBytes Data; // payload, or the bytes of a raw part
  std::vector<TMp4Box> Children;
  std::optional<uint64_t> SizeField; // written instead of the true size
  bool Large = false;                // size field 1, then the size as 64 bits
  std::string Label;

  TMp4Box Named(std::string label) && {
    Label = std::move(label);
    return std::move(*this);
  }
  TMp4Box WithSizeField(uint64_t value) && {
    SizeField = value;
    return std::move(*this);
  }
  TMp4Box AsLarge() && {
    Large = true;
    return std::move(*this);
  }
};

TMp4Box Box(TFourCC type, TBytes data);
inline TMp4Box Box(const char (&type)[5], TBytes data) {
  return Box(MakeFourCC(type), std::move(data));
}
// Payload bytes default to 0xEE, which a scan never takes for part of a type code.
inline TMp4Box Box(const char (&type)[5], size_t size, uint8_t fill = 0xEE) {
  return Box(MakeFourCC(type), TBytes(size, fill));
}
TMp4Box Container(const char (&type)[5], std::vector<TMp4Box> children);
TMp4Box RawBytes(TBytes bytes);

// Header is where the size field stands, Data the first payload byte, Size the true size.
struct TPlacedBox {
  int64_t Header = 0, Data = 0;
  uint64_t Size = 0;
};

struct TMp4File {
  TBytes Bytes;
  std::map<std::string, TPlacedBox> At;
};

TMp4File BuildMp4(const std::vector<TMp4Box>& boxes);

// Payloads, numbers big-endian as in a file.
TBytes BE32(uint32_t value);
TBytes BE64(uint64_t value);
TBytes Words(const std::vector<uint32_t>& values);
TBytes Join(const std::vector<TBytes>& parts);
TBytes FullBoxHead(uint8_t version, uint32_t flags = 0);

TBytes MvhdPayload(uint8_t version, uint32_t timeScale, uint64_t duration, uint64_t creation = 0x11,
                   uint32_t nextTrackId = 3);
TBytes TkhdPayload(uint8_t version, uint32_t trackId, uint64_t duration, uint32_t width = 0,
                   uint32_t height = 0);
TBytes MdhdPayload(uint8_t version, uint32_t timeScale, uint64_t duration,
                   uint16_t language = 0x55C4);
TBytes HdlrPayload(const char (&handler)[5], const std::string& name);

// Sample entries with their 8-byte header. The visual fixed part is 78 bytes, the sound
// one 28; Extra goes between the fixed part and the child boxes.
TBytes VisualSampleEntry(const char (&type)[5], uint16_t width, uint16_t height,
                         const std::vector<TMp4Box>& children = {});
TBytes SoundSampleEntry(const char (&type)[5], uint16_t channels, uint16_t sampleSize,
                        uint32_t sampleRate, const std::vector<TMp4Box>& children = {},
                        const TBytes& extra = {});

// QuickTime sound descriptions of version 1 and 2: the version 0 part with its version set
// (in version 2 holding the fixed values 3, 16, -2, 0, 1.0), then the fields the version adds.
struct TSoundV1 {
  uint32_t SamplesPerPacket = 1024, BytesPerPacket = 0, BytesPerFrame = 0, BytesPerSample = 2;
};
struct TSoundV2 {
  double Rate = 96000;
  uint32_t Channels = 2, BitsPerChannel = 16, Flags = 0xC, BytesPerPacket = 4, FramesPerPacket = 1;
};
TBytes SoundSampleEntryV1(const char (&type)[5], uint16_t channels, uint32_t sampleRate,
                          const TSoundV1& fields, const std::vector<TMp4Box>& children = {});
TBytes SoundSampleEntryV2(const char (&type)[5], const TSoundV2& fields,
                          const std::vector<TMp4Box>& children = {});

// A full box of an entry count and entries ("stsd", "stts", "stsc", "stss", "stco", "co64").
TBytes TablePayload(uint32_t count, const TBytes& entries);
TBytes StszPayload(uint32_t sampleSize, uint32_t count, const std::vector<uint32_t>& sizes = {});

// "vmhd" or "smhd", and a whole track: "trak" with "tkhd", and "mdia" with "mdhd", "hdlr"
// and "minf", which holds the media header and "stbl" with the given tables.
TMp4Box MediaHeader(bool video);
TMp4Box Trak(bool video, uint32_t trackId, std::vector<TMp4Box> tables);

// A reader over bytes in memory, with the file size an analysis would set.
struct TMp4InMemory {
  explicit TMp4InMemory(TBytes bytes) : Memory(std::move(bytes)) {
    Reader.FileSize = Memory.Data.size();
  }
  TMemoryStream Memory;
  THgMp4Stream Atoms{&Memory};
  THgMP4FileReader Reader{Atoms, &MediaDataAnalysis()};
};

// Media data; every part returns the absolute offset it landed at.
constexpr uint8_t NalHeader(uint8_t nri, uint8_t type) {
  return uint8_t((nri << 5) | type);
}
inline constexpr uint8_t kSps = NalHeader(3, 7), kPps = NalHeader(3, 8), kIdr = NalHeader(3, 5),
                         kNonIdr = NalHeader(2, 1), kSei = NalHeader(0, 6), kAud = NalHeader(0, 9);
// Payload filler: above every length top byte the scan accepts, and 0xAA 0xAA does not end
// in the AAC terminator pattern, so filler never makes candidates or audio ends.
inline constexpr uint8_t kFiller = 0xAA;
// The first byte of every audio frame (an AAC channel pair element), and two bytes ending
// in ID_END (111) and seven alignment bits.
inline constexpr uint8_t kAudioLead = 0x21;
inline constexpr uint16_t kAudioEnd = 0x0380;

struct TUnit {
  uint8_t Header = kIdr;
  uint32_t Length = 64; // header byte and payload: the value of the length field
  uint32_t SliceType = 7, FirstMb = 0;
};

class TMediaDataBuilder {
public:
  explicit TMediaDataBuilder(uint64_t origin = 0) : Origin(origin) {}
  uint64_t Unit(const TUnit& unit);
  uint64_t Unit(uint8_t header, uint32_t length, uint32_t sliceType = 7, uint32_t firstMb = 0) {
    return Unit(TUnit{header, length, sliceType, firstMb});
  }
  // Lead, filler, and the two bytes End last.
  uint64_t Audio(size_t length, uint8_t lead = kAudioLead, uint16_t end = kAudioEnd);
  uint64_t Fill(size_t n, uint8_t byte = kFiller) { return Raw(TBytes(n, byte)); }
  uint64_t Raw(const TBytes& bytes);
  uint64_t Offset() const { return Origin + Bytes.size(); }

  uint64_t Origin;
  TBytes Bytes;
};

// Where a part of the data starts and ends.
using TSpan = std::pair<uint64_t, uint64_t>;

// A chunk of video as a camera writes it, the units of its frames back to back: Slices
// coded slices per frame, the first frame an IDR picture after SPS and PPS when Idr is
// set, the others P pictures.
TSpan AddVideoChunk(TMediaDataBuilder& b, int frames, bool idr, uint32_t sliceLength,
                    int slices = 1);

} // namespace clw::test
