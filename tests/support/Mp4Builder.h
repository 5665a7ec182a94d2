#pragma once
// Builds MP4 bytes from a short description: boxes with payloads, boxes of boxes, and raw
// bytes without a header. Any box can carry a wrong size field or the 64-bit size form, and
// labelled boxes report where they landed so a test can damage one field afterwards.
//
//   auto file = BuildMp4({Box("ftyp", 16), Container("moov", {Box("mvhd", 100).Named("h")})});
#include "support/AviBuilder.h"

#include <array>
#include <utility>

namespace clw::test {

struct TMp4Box {
  enum class TKind { Box, Raw };
  TKind Kind = TKind::Box;
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

// Payload bytes default to 0xEE, which a scan never takes for part of a type code.
TMp4Box Box(const char (&type)[5], size_t size, uint8_t fill = 0xEE);
TMp4Box Box(const char (&type)[5], TBytes data);
TMp4Box Box(TFourCC type, size_t size, uint8_t fill = 0xEE);
TMp4Box Container(const char (&type)[5], std::vector<TMp4Box> children);
TMp4Box RawBytes(TBytes bytes);

// Header is where the size field stands, Data the first payload byte, Size the true size
// with the header.
struct TPlacedBox {
  int64_t Header = 0;
  int64_t Data = 0;
  uint64_t Size = 0;
};

struct TMp4File {
  TBytes Bytes;
  std::map<std::string, TPlacedBox> At;
};

TMp4File BuildMp4(const std::vector<TMp4Box>& boxes);

// Payloads of the movie and track boxes, numbers big-endian as in a file.
//   Container("moov", {Box("mvhd", MvhdPayload(0, 600, 1200)), Trak(true, 1, {...})})
TBytes BE16(uint16_t value);
TBytes BE32(uint32_t value);
TBytes BE64(uint64_t value);
TBytes Join(const std::vector<TBytes>& parts);
// Version and flags of a full box.
TBytes FullBoxHead(uint8_t version, uint32_t flags = 0);

TBytes MvhdPayload(uint8_t version, uint32_t timeScale, uint64_t duration, uint64_t creation = 0x11,
                   uint32_t nextTrackId = 3);
TBytes TkhdPayload(uint8_t version, uint32_t trackId, uint64_t duration, uint32_t width = 0,
                   uint32_t height = 0);
TBytes MdhdPayload(uint8_t version, uint32_t timeScale, uint64_t duration,
                   uint16_t language = 0x55C4);
TBytes HdlrPayload(const char (&handler)[5], const std::string& name);

// Sample entries with their 8-byte header, for StsdPayload. The visual fixed part is 78
// bytes, the sound one 28; Extra goes between the fixed part and the child boxes.
TBytes VisualSampleEntry(const char (&type)[5], uint16_t width, uint16_t height,
                         const std::vector<TMp4Box>& children = {});
TBytes SoundSampleEntry(const char (&type)[5], uint16_t channels, uint16_t sampleSize,
                        uint32_t sampleRate, const std::vector<TMp4Box>& children = {},
                        const TBytes& extra = {});
// Count is written instead of the number of entries when given.
TBytes StsdPayload(const std::vector<TBytes>& entries, std::optional<uint32_t> count = {});

TBytes SttsPayload(const std::vector<std::pair<uint32_t, uint32_t>>& entries);
TBytes StscPayload(const std::vector<std::array<uint32_t, 3>>& entries);
TBytes StssPayload(const std::vector<uint32_t>& samples);
TBytes StszPayload(uint32_t sampleSize, uint32_t count, const std::vector<uint32_t>& sizes = {});
TBytes StcoPayload(const std::vector<uint32_t>& offsets, std::optional<uint32_t> count = {});
TBytes Co64Payload(const std::vector<uint64_t>& offsets);

// A whole track: "trak" with "tkhd", and "mdia" with "mdhd", "hdlr" and "minf", which holds
// "vmhd" or "smhd" and "stbl" with the given tables.
TMp4Box Trak(bool video, uint32_t trackId, std::vector<TMp4Box> tables);

} // namespace clw::test
