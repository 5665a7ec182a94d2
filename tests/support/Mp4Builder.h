#pragma once
// Builds MP4 bytes from a short description: boxes with payloads, boxes of boxes, and raw
// bytes without a header. Any box can carry a wrong size field or the 64-bit size form, and
// labelled boxes report where they landed so a test can damage one field afterwards.
//
//   auto file = BuildMp4({Box("ftyp", 16), Container("moov", {Box("mvhd", 100).Named("h")})});
#include "support/AviBuilder.h"

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

} // namespace clw::test
