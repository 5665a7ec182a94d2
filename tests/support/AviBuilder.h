#pragma once
// Builds AVI bytes from a short description: nested "RIFF"/"LIST" parts with their list
// types, plain chunks with payloads (odd sizes padded), "idx1" entries and raw bytes
// without a header. Any part can be given a wrong size field, and labelled parts report
// where they landed, so a test can damage exactly one field afterwards.
//
//   auto file = BuildAvi({Riff("AVI ", {List("movi", {Chunk("00dc", 10).Named("f1")})})});
//   Overwrite(file.Bytes, file.At["f1"].Header, "xxxx");
#include "streams/FourCC.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace clw::test {

using TBytes = std::vector<uint8_t>;

TBytes BytesOf(std::string_view text);
// A string literal keeps its embedded zero bytes: BytesOf("\x02\0\0\0") is 4 bytes.
template <size_t N> TBytes BytesOf(const char (&text)[N]) {
  return TBytes(text, text + N - 1);
}

struct TAviPart {
  enum class TKind { Chunk, List, Raw };
  TKind Kind = TKind::Chunk;
  TFourCC Id = 0;
  TFourCC ListType = 0;
  TBytes Data; // payload of a chunk, or the bytes of a raw part
  std::vector<TAviPart> Children;
  std::optional<uint32_t> SizeField; // written instead of the true size
  std::string Label;

  TAviPart Named(std::string label) && {
    Label = std::move(label);
    return std::move(*this);
  }
  TAviPart WithSizeField(uint32_t value) && {
    SizeField = value;
    return std::move(*this);
  }
};

// Payload bytes default to 0xEE: never alphanumeric, so a scan through them finds nothing.
TAviPart Chunk(const char (&id)[5], size_t size, uint8_t fill = 0xEE);
TAviPart Chunk(const char (&id)[5], TBytes data);
TAviPart List(const char (&listType)[5], std::vector<TAviPart> children);
TAviPart Riff(const char (&listType)[5], std::vector<TAviPart> children);
TAviPart Raw(TBytes bytes);

struct TIdx1Entry {
  TFourCC Id = 0;
  uint32_t Flags = 0;
  uint32_t Offset = 0;
  uint32_t Length = 0;
};
TAviPart Idx1(const std::vector<TIdx1Entry>& entries);

// An MPEG-4 Part 2 frame: a VOP start code whose next byte gives the coding type, then 0xEE.
TBytes Vop(bool Intra, size_t Size = 40);

// Where a labelled part landed. Data is after the list type for lists; Size is the true
// data size (list type excluded), whatever the size field says.
struct TPlacedPart {
  int64_t Header = 0;
  int64_t Data = 0;
  int64_t Size = 0;
};

struct TAviFile {
  TBytes Bytes;
  std::map<std::string, TPlacedPart> At;
};

TAviFile BuildAvi(const std::vector<TAviPart>& parts);

// Appends Count segments to the file at Path, each a "RIFF AVIX" with a movie list of one
// "00dc" frame of FrameSize bytes of which only Frame is written: a capture past 4 GiB at no
// disk cost. Returns where the file now ends.
int64_t AppendSparseSegments(const std::string& Path, int Count, uint32_t FrameSize,
                             const TBytes& Frame = {});

void Overwrite(TBytes& bytes, int64_t offset, std::string_view with);
void Overwrite(TBytes& bytes, int64_t offset, const TBytes& with);
template <size_t N> void Overwrite(TBytes& bytes, int64_t offset, const char (&with)[N]) {
  Overwrite(bytes, offset, BytesOf(with));
}

} // namespace clw::test
