#pragma once
// The few H.264 syntax structures the repair reads: the decoder configuration of an "avcC"
// box, sequence and picture parameter sets, and the opening of a slice header up to what a
// picture's order needs. Every unit is taken whole, its one-byte NAL header included, as
// it lies in MP4 framing after its length field.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace clw {

// Reads the bits of a unit's payload with the emulation-prevention bytes taken out (the
// 03 an encoder puts after two zero bytes so that no start code appears inside a unit).
// Nothing outside [Data, Data + Size) is ever read: a read past the end yields zeros and
// sets Failed for good.
class TRbspReader {
public:
  TRbspReader(const uint8_t* Data, size_t Size) : P(Data), End(Data + Size) {}
  // Count bits (at most 32), the first one read the highest.
  uint32_t Bits(uint32_t Count);
  bool Flag() { return Bits(1) != 0; }
  void Skip(uint32_t Count);
  // Exp-Golomb codes; a code of more than 31 leading zeros is no 32-bit value and fails.
  uint32_t Ue();
  int32_t Se();
  // Ue that also fails when the value exceeds Max.
  uint32_t Ue(uint32_t Max);
  bool Failed() const { return Fail; }
  // For a value read well but out of its range: the rest of the unit is not to be trusted.
  void MarkFailed() { Fail = true; }

private:
  bool NextByte(uint8_t& Byte);
  const uint8_t* P;
  const uint8_t* End;
  uint32_t Zeros = 0; // zero bytes just read, for the emulation-prevention rule
  uint8_t Current = 0;
  uint32_t Left = 0; // unread bits of Current
  bool Fail = false;
};

inline constexpr uint32_t kMaxSpsId = 31;
inline constexpr uint32_t kMaxPpsId = 255;

struct TH264Sps {
  uint32_t Id = 0;
  uint8_t ProfileIdc = 0;
  uint32_t ChromaFormatIdc = 1; // 0 monochrome, 1 4:2:0, 2 4:2:2, 3 4:4:4
  bool SeparateColourPlane = false;
  uint32_t BitDepthLuma = 8;
  uint32_t BitDepthChroma = 8;
  uint32_t Log2MaxFrameNum = 4;
  uint32_t PicOrderCntType = 0;
  uint32_t Log2MaxPicOrderCntLsb = 4; // pic_order_cnt_type 0 only
  uint32_t MaxNumRefFrames = 0;
  uint32_t PicWidthInMbs = 0;
  uint32_t PicHeightInMapUnits = 0;
  bool FrameMbsOnly = true;
  // frame_crop_*_offset, in the units the chroma format gives them.
  uint32_t CropLeft = 0, CropRight = 0, CropTop = 0, CropBottom = 0;
  // Macroblocks of a whole frame: field streams count their map units twice.
  uint64_t FrameMacroblocks() const {
    return uint64_t(PicWidthInMbs) * PicHeightInMapUnits * (FrameMbsOnly ? 1 : 2);
  }
  // The picture shown, in samples: the coded frame less its cropping (0 when the cropping
  // exceeds the frame).
  uint32_t Width() const;
  uint32_t Height() const;
};

struct TH264Pps {
  uint32_t Id = 0;
  uint32_t SpsId = 0;
  bool BottomFieldPicOrderInFramePresent = false;
};

struct TH264SliceHeader {
  uint8_t NalRefIdc = 0;
  uint8_t NalType = 0;
  uint32_t FirstMbInSlice = 0;
  uint32_t SliceType = 0;
  uint32_t PpsId = 0;
  uint32_t ColourPlaneId = 0;
  uint32_t FrameNum = 0;
  bool FieldPic = false;
  bool BottomField = false;
  uint32_t IdrPicId = 0;
  uint32_t PicOrderCntLsb = 0;
  int32_t DeltaPicOrderCntBottom = 0;
  bool IsIdr() const { return NalType == 5; }
};

// False when the unit is no well-formed parameter set of the kind (truncated, a value out
// of its range).
bool ReadSps(const uint8_t* Unit, size_t Size, TH264Sps& Out);
bool ReadPps(const uint8_t* Unit, size_t Size, TH264Pps& Out);

// The parameter sets in force while a stream is read: each new one replaces the one of its
// id, as a decoder does with sets repeated in band.
struct TH264ParameterSets {
  std::array<std::optional<TH264Sps>, kMaxSpsId + 1> Sps;
  std::array<std::optional<TH264Pps>, kMaxPpsId + 1> Pps;
  // Takes a unit of type 7 or 8; false when it is neither or cannot be read.
  bool Add(const uint8_t* Unit, size_t Size);
  // The sets a slice of picture parameter set PpsId refers to; null when one is missing.
  const TH264Sps* SpsOf(const TH264Pps& Pps) const;
  const TH264Pps* FindPps(uint32_t PpsId) const;
};

// Reads a coded slice's header (types 1 and 5) with the sets it refers to; false when the
// unit is not a coded slice of these types, a set is missing or the header is cut short.
bool ReadSliceHeader(const uint8_t* Unit, size_t Size, const TH264ParameterSets& Sets,
                     TH264SliceHeader& Out);

// An "avcC" payload: the length size of the units in the samples and the parameter sets
// the description carries.
struct TAvcConfig {
  uint8_t ProfileIdc = 0;
  uint8_t LevelIdc = 0;
  uint32_t NalLengthSize = 4;
  std::vector<std::vector<uint8_t>> Sps;
  std::vector<std::vector<uint8_t>> Pps;
};

// The length size an "avcC" payload gives (1, 2 or 4); 0 when it gives none (too short, or
// the size 3 that MP4 framing does not allow).
uint32_t AvcNalLengthSize(const uint8_t* Payload, size_t Size);
// False when the payload is too short for what it declares or gives no usable length size.
bool ReadAvcConfig(const uint8_t* Payload, size_t Size, TAvcConfig& Out);
// The "avcC" payload of a configuration, profile and level from its first sequence
// parameter set; empty when it holds none that can be read, or more sets than the box
// can list.
std::vector<uint8_t> WriteAvcConfig(const TAvcConfig& Config);

} // namespace clw
