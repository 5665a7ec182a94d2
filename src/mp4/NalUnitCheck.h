#pragma once
// What an intact clip of a camera proves about the H.264 units its stream can hold, and
// whether bytes at some place of a damaged file can be one of them. The limits come from
// the clip's "avcC" and sequence parameter sets; the lengths each unit type may have live
// here and nowhere else.
#include "mp4/H264Syntax.h"

#include <bitset>
#include <cstddef>
#include <cstdint>

namespace clw {

// Why a unit is refused; nvAccepted when it is not.
enum TNalVerdict : uint8_t {
  nvAccepted = 0,
  nvEmpty,          // length 0: no header byte
  nvForbiddenBit,   // the header's top bit is set
  nvTypeNotAllowed, // a type the stream does not carry
  nvRefIdc,         // nal_ref_idc 0 where the type needs a reference, or the reverse
  nvLength,         // a length no unit of its type has in this stream
  nvSliceHeader,    // a coded slice whose opening codes cannot be read from the bytes given
  nvFirstMb,        // first_mb_in_slice beyond the picture
  nvSliceType,      // a slice type above 9, or an IDR slice that is neither I nor SI
  nvPpsId,          // a picture parameter set the stream does not have
  nvEmulation,      // a start code or an invalid escape inside the payload
  nvTrailingZero,   // the last byte is zero (the trailing bits always end in a one)
  nvSampleSize,     // (whole samples) the units' lengths do not add up to the sample's size
};

// Lengths of the unit types whose size is bounded by their syntax: the largest sequence and
// picture parameter sets (every scaling list and table at its longest), the access unit
// delimiter (header and one byte), and a bound on everything else, which in camera files is
// supplemental data a few kilobytes long.
inline constexpr uint64_t kMinSpsLength = 4;
inline constexpr uint64_t kMaxSpsLength = 8592;
inline constexpr uint64_t kMinPpsLength = 2;
inline constexpr uint64_t kMaxPpsLength = 5320;
inline constexpr uint64_t kAudLength = 2;
inline constexpr uint64_t kMaxOtherLength = 1 << 20;
inline constexpr uint64_t kMinSliceLength = 4;
// How much of a unit a sample's judges read (its length field included) when they look at
// the units of whole samples: enough for the slice header. The check of a file's tables
// and the repair that keeps its samples read the same, so a copy never fails the check.
inline constexpr size_t kJudgedUnitHead = 36;

// What a reference clip proves about its stream.
struct TNalLimits {
  uint32_t NalLengthSize = 4;
  // Bit t set: units of type t may occur. Coded slices (1 and 5) and the types 6 to 12 are
  // always allowed; the others only when the clip's samples hold them.
  uint32_t AllowedTypes = 0;
  std::bitset<kMaxPpsId + 1> PpsIds;
  uint64_t Macroblocks = 0;        // of a whole frame, the largest of the clip's sets
  uint32_t RawMacroblockBytes = 0; // one macroblock uncompressed: 384 for 8-bit 4:2:0
  uint64_t MaxSliceLength = 0;     // the longest coded slice that can be real
};

// Bit t of the allowed types for NAL unit type t.
constexpr uint32_t NalTypeBit(uint32_t Type) {
  return Type < 32 ? uint32_t(1) << Type : 0;
}

// Builds the limits from a clip's decoder configuration and the unit types (bits as
// NalTypeBit) its samples were seen to hold. False when the configuration has no readable
// sequence parameter set or no picture parameter set.
bool MakeNalLimits(const TAvcConfig& Config, uint32_t SampleNalTypes, TNalLimits& Out);
// The same from an "avcC" payload.
bool MakeNalLimits(const uint8_t* AvcC, size_t Size, uint32_t SampleNalTypes, TNalLimits& Out);

// Whether a unit of Length bytes (after its length field) can be one of the stream's. Unit
// holds its first Available bytes (Available <= Length is normal: a caller that looks at
// many places reads only the head; Available above Length counts as Length, and a unit
// with nothing available is refused as empty). Checked:
//  - from the length alone: length >= 1 and the bound of the type (coded slices of types 1
//    and 5 from kMinSliceLength to MaxSliceLength; the other bounds above);
//  - from the header byte: forbidden bit clear, type allowed, nal_ref_idc non-zero for IDR
//    slices and parameter sets and zero for SEI, delimiters, end of sequence or stream and
//    filler;
//  - for coded slices of types 1 and 5, from the available bytes: first_mb_in_slice below
//    Macroblocks, slice_type at most 9 (an IDR one I or SI), pic_parameter_set_id one of
//    PpsIds; a header whose three codes the available bytes do not hold is refused;
//  - over the available bytes only: no 00 00 00, 00 00 01 or 00 00 02, and no 00 00 03
//    followed by a byte above 03;
//  - only when the whole unit is available: its last byte is not 00.
TNalVerdict CheckNalUnit(const uint8_t* Unit, size_t Available, uint64_t Length,
                         const TNalLimits& Limits);

// Whether a whole sample is a sequence of the stream's units: length fields of
// Limits.NalLengthSize bytes whose units fill the sample exactly, each accepted by
// CheckNalUnit. FailedAt, when given, receives the offset of the length field of the unit
// refused (or of the one that runs past the end).
TNalVerdict CheckSample(const uint8_t* Sample, size_t Size, const TNalLimits& Limits,
                        size_t* FailedAt = nullptr);

} // namespace clw
