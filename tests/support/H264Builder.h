#pragma once
// Synthetic H.264 units for tests: parameter sets and slice headers written from a short
// list of fields, with the emulation-prevention bytes a real encoder inserts.
#include <cstdint>
#include <vector>

namespace clw::test {

class TBitWriter {
public:
  TBitWriter& U(uint32_t Count, uint64_t Value) {
    for (uint32_t i = Count; i-- > 0;)
      Bit(uint32_t(Value >> i) & 1);
    return *this;
  }
  TBitWriter& Flag(bool Value) { return U(1, Value ? 1 : 0); }
  TBitWriter& Ue(uint64_t Value) {
    const uint64_t v = Value + 1;
    uint32_t bits = 0;
    while ((v >> bits) > 1)
      ++bits;
    U(bits, 0);
    return U(bits + 1, v);
  }
  TBitWriter& Se(int64_t Value) {
    return Ue(Value > 0 ? uint64_t(2 * Value - 1) : uint64_t(-2 * Value));
  }
  // The stop bit and the zero bits up to a byte boundary that end every unit.
  std::vector<uint8_t> Finish() {
    Bit(1);
    while (Used != 0)
      Bit(0);
    return Bytes;
  }

private:
  void Bit(uint32_t B) {
    if (Used == 0) Bytes.push_back(0);
    Bytes.back() |= uint8_t(B << (7 - Used));
    Used = (Used + 1) & 7;
  }
  std::vector<uint8_t> Bytes;
  uint32_t Used = 0;
};

// Payload bits as a unit stores them: an 03 after every 00 00 that is followed by 00..03.
inline std::vector<uint8_t> Escape(const std::vector<uint8_t>& Rbsp) {
  std::vector<uint8_t> out;
  uint32_t zeros = 0;
  for (uint8_t b : Rbsp) {
    if (zeros >= 2 && b <= 3) {
      out.push_back(3);
      zeros = 0;
    }
    out.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
  return out;
}

inline std::vector<uint8_t> MakeUnit(uint8_t Header, const std::vector<uint8_t>& Rbsp) {
  std::vector<uint8_t> out = Escape(Rbsp);
  out.insert(out.begin(), Header);
  return out;
}

struct TSpsFields {
  uint32_t Profile = 100;
  uint32_t Id = 0;
  uint32_t ChromaFormat = 1;
  bool SeparateColourPlane = false;
  uint32_t BitDepthLuma = 8;
  uint32_t BitDepthChroma = 8;
  bool ScalingLists = false;
  uint32_t Log2MaxFrameNum = 4;
  uint32_t PocType = 0;
  uint32_t Log2MaxPocLsb = 6;
  uint32_t PocCycle = 0; // type 1: entries of the reference frame cycle
  uint32_t MaxRefFrames = 4;
  uint32_t WidthMbs = 120;
  uint32_t HeightMapUnits = 68;
  bool FrameMbsOnly = true;
  uint32_t CropRight = 0, CropBottom = 0; // frame_crop_*_offset; both 0: no cropping
};

inline std::vector<uint8_t> MakeSps(const TSpsFields& F) {
  TBitWriter w;
  w.U(8, F.Profile).U(8, 0).U(8, 40).Ue(F.Id);
  if (F.Profile == 100 || F.Profile == 110 || F.Profile == 122 || F.Profile == 244) {
    w.Ue(F.ChromaFormat);
    if (F.ChromaFormat == 3) w.Flag(F.SeparateColourPlane);
    w.Ue(F.BitDepthLuma - 8).Ue(F.BitDepthChroma - 8).Flag(false).Flag(F.ScalingLists);
    if (F.ScalingLists) {
      const uint32_t lists = F.ChromaFormat == 3 ? 12 : 8;
      for (uint32_t i = 0; i < lists; ++i) {
        w.Flag(true);
        // A list that climbs by one from 8; its last delta takes the scale back to 0.
        const uint32_t size = i < 6 ? 16 : 64;
        for (uint32_t j = 0; j + 1 < size; ++j)
          w.Se(1);
        w.Se(-(8 + int64_t(size) - 1));
      }
    }
  }
  w.Ue(F.Log2MaxFrameNum - 4).Ue(F.PocType);
  if (F.PocType == 0) {
    w.Ue(F.Log2MaxPocLsb - 4);
  } else if (F.PocType == 1) {
    w.Flag(false).Se(-2).Se(1).Ue(F.PocCycle);
    for (uint32_t i = 0; i < F.PocCycle; ++i)
      w.Se(2);
  }
  w.Ue(F.MaxRefFrames).Flag(false).Ue(F.WidthMbs - 1).Ue(F.HeightMapUnits - 1).Flag(F.FrameMbsOnly);
  if (!F.FrameMbsOnly) w.Flag(false);
  w.Flag(true).Flag(F.CropRight > 0 || F.CropBottom > 0); // direct_8x8_inference, cropping
  if (F.CropRight > 0 || F.CropBottom > 0) w.Ue(0).Ue(F.CropRight).Ue(0).Ue(F.CropBottom);
  w.Flag(false); // VUI
  return MakeUnit(0x67, w.Finish());
}

inline std::vector<uint8_t> MakePps(uint32_t Id, uint32_t SpsId, bool BottomFieldPocPresent) {
  TBitWriter w;
  w.Ue(Id).Ue(SpsId).Flag(true).Flag(BottomFieldPocPresent).Ue(0).Ue(0).Ue(0).Flag(false).U(2, 0);
  w.Se(0).Se(0).Se(0).Flag(true).Flag(false).Flag(false);
  return MakeUnit(0x68, w.Finish());
}

struct TSliceFields {
  uint8_t RefIdc = 2;
  uint8_t Type = 1;
  uint32_t FirstMb = 0;
  uint32_t SliceType = 0;
  uint32_t PpsId = 0;
  uint32_t ColourPlane = 0;
  uint32_t FrameNum = 0;
  bool FieldPic = false;
  bool BottomField = false;
  uint32_t IdrPicId = 0;
  uint32_t PocLsb = 0;
  int32_t DeltaBottom = 0;
  uint32_t PayloadBytes = 8; // slice data after the header: arbitrary non-zero bytes
};

// A coded slice for the stream of Sps (and a picture set with BottomFieldPocPresent).
inline std::vector<uint8_t> MakeSlice(const TSliceFields& F, const TSpsFields& Sps,
                                      bool BottomFieldPocPresent = false) {
  TBitWriter w;
  w.Ue(F.FirstMb).Ue(F.SliceType).Ue(F.PpsId);
  if (Sps.SeparateColourPlane) w.U(2, F.ColourPlane);
  w.U(Sps.Log2MaxFrameNum, F.FrameNum);
  if (!Sps.FrameMbsOnly) {
    w.Flag(F.FieldPic);
    if (F.FieldPic) w.Flag(F.BottomField);
  }
  if (F.Type == 5) w.Ue(F.IdrPicId);
  if (Sps.PocType == 0) {
    w.U(Sps.Log2MaxPocLsb, F.PocLsb);
    if (BottomFieldPocPresent && !F.FieldPic) w.Se(F.DeltaBottom);
  }
  for (uint32_t i = 0; i < F.PayloadBytes; ++i)
    w.U(8, 0xA5);
  return MakeUnit(uint8_t(F.RefIdc << 5 | F.Type), w.Finish());
}

// An "avcC" payload holding the given units.
inline std::vector<uint8_t> MakeAvcC(uint32_t NalLengthSize,
                                     const std::vector<std::vector<uint8_t>>& Sps,
                                     const std::vector<std::vector<uint8_t>>& Pps) {
  std::vector<uint8_t> out{
      1, 100, 0, 40, uint8_t(0xFC | (NalLengthSize - 1)), uint8_t(0xE0 | Sps.size())};
  const auto put = [&](const std::vector<uint8_t>& Unit) {
    out.push_back(uint8_t(Unit.size() >> 8));
    out.push_back(uint8_t(Unit.size()));
    out.insert(out.end(), Unit.begin(), Unit.end());
  };
  for (const auto& u : Sps)
    put(u);
  out.push_back(uint8_t(Pps.size()));
  for (const auto& u : Pps)
    put(u);
  return out;
}

} // namespace clw::test
