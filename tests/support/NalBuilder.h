#pragma once
// Builds raw media data the way a camera interleaves it: H.264 units in MP4 framing (a
// 4-byte big-endian length, the NAL header byte and, for coded slices, first_mb_in_slice
// and slice_type as exp-Golomb codes), AAC-like gaps whose first byte is the same in every
// frame and whose last two bytes hold the end-of-frame terminator, zero runs and raw bytes.
// Every part reports the absolute offset it landed at.
//
//   TMediaDataBuilder b(8);                 // data starts at file offset 8
//   uint64_t sps = b.Unit(kSps, 20);
//   uint64_t idr = b.Unit(NalHeader(3, 5), 900, 7);
//   b.Audio(300);
#include "support/AviBuilder.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace clw::test {

constexpr uint8_t NalHeader(uint8_t nri, uint8_t type) {
  return uint8_t((nri << 5) | type);
}
inline constexpr uint8_t kSps = NalHeader(3, 7);
inline constexpr uint8_t kPps = NalHeader(3, 8);
inline constexpr uint8_t kIdr = NalHeader(3, 5);
inline constexpr uint8_t kNonIdr = NalHeader(2, 1);
inline constexpr uint8_t kSei = NalHeader(0, 6);
inline constexpr uint8_t kAud = NalHeader(0, 9);

// Payload filler: above every length top byte the scan accepts, and 0xAA 0xAA does not end
// in the AAC terminator pattern, so filler never makes candidates or audio ends.
inline constexpr uint8_t kFiller = 0xAA;
// The first byte of every audio frame of the builder (an AAC channel pair element).
inline constexpr uint8_t kAudioLead = 0x21;
// Two bytes ending in ID_END (111) and seven alignment bits.
inline constexpr uint16_t kAudioEnd = 0x0380;

struct TUnit {
  uint8_t Header = kIdr;
  uint32_t Length = 64; // header byte and payload: the value of the length field
  uint32_t SliceType = 7;
  uint32_t FirstMb = 0;
  std::optional<uint32_t> LengthField; // written instead of Length; the unit keeps Length bytes
};

// The exp-Golomb codes of first_mb_in_slice and slice_type, then a stop bit and zero bits
// to the byte boundary.
TBytes SliceHeaderBits(uint32_t firstMb, uint32_t sliceType);

class TMediaDataBuilder {
public:
  explicit TMediaDataBuilder(uint64_t origin = 0) : Origin(origin) {}

  // A unit; returns the offset of its length field. Coded slices (types 1..5) carry the
  // slice header codes after the header byte.
  uint64_t Unit(const TUnit& unit);
  uint64_t Unit(uint8_t header, uint32_t length, uint32_t sliceType = 7, uint32_t firstMb = 0) {
    return Unit(TUnit{header, length, sliceType, firstMb});
  }
  // An AAC-like frame of Length bytes: Lead, filler, and the two bytes End last.
  uint64_t Audio(size_t length, uint8_t lead = kAudioLead, uint16_t end = kAudioEnd);
  uint64_t Zeros(size_t n) { return Fill(n, 0); }
  uint64_t Fill(size_t n, uint8_t byte);
  uint64_t Raw(const TBytes& bytes);

  // Absolute offset of the next byte.
  uint64_t Offset() const { return Origin + Bytes.size(); }

  uint64_t Origin;
  TBytes Bytes;
};

// A chunk of video as a camera writes it: the units of one or more frames back to back.
struct TVideoChunk {
  std::vector<uint64_t> Units; // offsets of the length fields
  uint64_t Start = 0;
  uint64_t End = 0;
};

// Frames of Slices coded slices each: the first frame of a chunk is an IDR picture after
// SPS and PPS when Idr is set, the others P pictures; each coded slice is SliceLength long.
TVideoChunk AddVideoChunk(TMediaDataBuilder& b, int frames, bool idr, uint32_t sliceLength,
                          int slices = 1);

} // namespace clw::test
