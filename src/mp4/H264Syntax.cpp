#include "mp4/H264Syntax.h"

#include "streams/Endian.h"

#include <algorithm>

namespace clw {

bool TRbspReader::NextByte(uint8_t& Byte) {
  while (P < End) {
    const uint8_t b = *P++;
    if (Zeros >= 2 && b == 3) {
      Zeros = 0;
      continue;
    }
    Zeros = b == 0 ? Zeros + 1 : 0;
    Byte = b;
    return true;
  }
  return false;
}

uint32_t TRbspReader::Bits(uint32_t Count) {
  uint32_t value = 0;
  for (uint32_t i = 0; i < Count; ++i) {
    if (Left == 0) {
      if (Fail || !NextByte(Current)) {
        Fail = true;
        return 0;
      }
      Left = 8;
    }
    --Left;
    value = value << 1 | ((Current >> Left) & 1u);
  }
  return value;
}

void TRbspReader::Skip(uint32_t Count) {
  while (Count > 0 && !Fail) {
    const uint32_t n = Count > 32 ? 32 : Count;
    Bits(n);
    Count -= n;
  }
}

uint32_t TRbspReader::Ue() {
  uint32_t zeros = 0;
  while (Bits(1) == 0) {
    if (Fail || ++zeros > 31) {
      Fail = true;
      return 0;
    }
  }
  const uint32_t suffix = Bits(zeros);
  if (Fail) return 0;
  return uint32_t((uint64_t(1) << zeros) - 1 + suffix);
}

uint32_t TRbspReader::Ue(uint32_t Max) {
  const uint32_t v = Ue();
  if (v > Max) MarkFailed();
  return Fail ? 0 : v;
}

int32_t TRbspReader::Se() {
  const uint64_t k = Ue();
  return k & 1 ? int32_t((k + 1) / 2) : -int32_t(k / 2);
}

namespace {

// Profiles whose sequence parameter sets carry the chroma format, bit depths and scaling
// lists (the High family, its intra and 4:4:4 forms, and the scalable and multiview ones).
bool HasChromaFields(uint8_t Profile) {
  switch (Profile) {
  case 100:
  case 110:
  case 122:
  case 244:
  case 44:
  case 83:
  case 86:
  case 118:
  case 128:
  case 138:
  case 139:
  case 134:
  case 135:
    return true;
  default:
    return false;
  }
}

void SkipScalingList(TRbspReader& R, uint32_t Size) {
  int32_t last = 8;
  int32_t next = 8;
  for (uint32_t j = 0; j < Size && !R.Failed(); ++j) {
    if (next != 0) {
      const int32_t delta = R.Se();
      if (delta < -128 || delta > 127) {
        R.MarkFailed();
        return;
      }
      next = (last + delta + 256) % 256;
    }
    if (next != 0) last = next;
  }
}

// The largest value of log2_max_frame_num and log2_max_pic_order_cnt_lsb (16 bits).
constexpr uint32_t kMaxLog2Minus4 = 12;
constexpr uint32_t kMaxBitDepthMinus8 = 6;
// A million samples a side, far beyond any level's largest picture: sizes past it are no
// picture anyone records, and the products of sizes stay far from overflowing.
constexpr uint32_t kMaxSideInMbs = 65536;

} // namespace

bool ReadSps(const uint8_t* Unit, size_t Size, TH264Sps& Out) {
  if (Size < 2 || (Unit[0] & 0x1F) != 7) return false;
  TRbspReader r(Unit + 1, Size - 1);
  TH264Sps s;
  s.ProfileIdc = uint8_t(r.Bits(8));
  r.Skip(16); // constraint flags, level_idc
  s.Id = r.Ue(kMaxSpsId);
  if (HasChromaFields(s.ProfileIdc)) {
    s.ChromaFormatIdc = r.Ue(3);
    if (s.ChromaFormatIdc == 3) s.SeparateColourPlane = r.Flag();
    s.BitDepthLuma = 8 + r.Ue(kMaxBitDepthMinus8);
    s.BitDepthChroma = 8 + r.Ue(kMaxBitDepthMinus8);
    r.Skip(1); // qpprime_y_zero_transform_bypass_flag
    if (r.Flag()) {
      const uint32_t lists = s.ChromaFormatIdc == 3 ? 12 : 8;
      for (uint32_t i = 0; i < lists && !r.Failed(); ++i)
        if (r.Flag()) SkipScalingList(r, i < 6 ? 16 : 64);
    }
  }
  s.Log2MaxFrameNum = 4 + r.Ue(kMaxLog2Minus4);
  s.PicOrderCntType = r.Ue(2);
  if (s.PicOrderCntType == 0) {
    s.Log2MaxPicOrderCntLsb = 4 + r.Ue(kMaxLog2Minus4);
  } else if (s.PicOrderCntType == 1) {
    r.Skip(1); // delta_pic_order_always_zero_flag
    r.Se();    // offset_for_non_ref_pic
    r.Se();    // offset_for_top_to_bottom_field
    const uint32_t cycle = r.Ue(255);
    for (uint32_t i = 0; i < cycle && !r.Failed(); ++i)
      r.Se();
  }
  s.MaxNumRefFrames = r.Ue();
  r.Skip(1); // gaps_in_frame_num_value_allowed_flag
  s.PicWidthInMbs = r.Ue(kMaxSideInMbs - 1) + 1;
  s.PicHeightInMapUnits = r.Ue(kMaxSideInMbs - 1) + 1;
  s.FrameMbsOnly = r.Flag();
  if (r.Failed()) return false;
  if (!s.FrameMbsOnly) r.Skip(1); // mb_adaptive_frame_field_flag
  r.Skip(1);                      // direct_8x8_inference_flag
  if (r.Flag()) {
    const uint32_t left = r.Ue(), right = r.Ue(), top = r.Ue(), bottom = r.Ue();
    // A set cut short after its sizes still gives them; only its cropping is unknown.
    if (!r.Failed()) {
      s.CropLeft = left;
      s.CropRight = right;
      s.CropTop = top;
      s.CropBottom = bottom;
    }
  }
  Out = s;
  return true;
}

// The cropping units: two samples across where chroma is subsampled across, two down where
// it is subsampled down, and twice that down for field streams.
uint32_t TH264Sps::Width() const {
  const uint64_t unit = ChromaFormatIdc == 1 || ChromaFormatIdc == 2 ? 2 : 1;
  const uint64_t coded = uint64_t(PicWidthInMbs) * 16;
  const uint64_t crop = unit * (uint64_t(CropLeft) + CropRight);
  return crop < coded ? uint32_t(coded - crop) : 0;
}

uint32_t TH264Sps::Height() const {
  const uint64_t unit = (ChromaFormatIdc == 1 ? 2 : 1) * (FrameMbsOnly ? 1 : 2);
  const uint64_t coded = uint64_t(PicHeightInMapUnits) * 16 * (FrameMbsOnly ? 1 : 2);
  const uint64_t crop = unit * (uint64_t(CropTop) + CropBottom);
  return crop < coded ? uint32_t(coded - crop) : 0;
}

bool ReadPps(const uint8_t* Unit, size_t Size, TH264Pps& Out) {
  if (Size < 2 || (Unit[0] & 0x1F) != 8) return false;
  TRbspReader r(Unit + 1, Size - 1);
  TH264Pps p;
  p.Id = r.Ue(kMaxPpsId);
  p.SpsId = r.Ue(kMaxSpsId);
  r.Skip(1); // entropy_coding_mode_flag
  p.BottomFieldPicOrderInFramePresent = r.Flag();
  if (r.Failed()) return false;
  Out = p;
  return true;
}

bool TH264ParameterSets::Add(const uint8_t* Unit, size_t Size) {
  if (Size < 1) return false;
  const uint8_t type = Unit[0] & 0x1F;
  if (type == 7) {
    TH264Sps s;
    if (!ReadSps(Unit, Size, s)) return false;
    Sps[s.Id] = s;
    return true;
  }
  TH264Pps p;
  if (type != 8 || !ReadPps(Unit, Size, p)) return false;
  Pps[p.Id] = p;
  return true;
}

const TH264Pps* TH264ParameterSets::FindPps(uint32_t PpsId) const {
  return PpsId <= kMaxPpsId && Pps[PpsId] ? &*Pps[PpsId] : nullptr;
}

const TH264Sps* TH264ParameterSets::SpsOf(const TH264Pps& P) const {
  return P.SpsId <= kMaxSpsId && Sps[P.SpsId] ? &*Sps[P.SpsId] : nullptr;
}

bool ReadSliceHeader(const uint8_t* Unit, size_t Size, const TH264ParameterSets& Sets,
                     TH264SliceHeader& Out) {
  if (Size < 2) return false;
  TH264SliceHeader h;
  h.NalRefIdc = uint8_t((Unit[0] >> 5) & 3);
  h.NalType = uint8_t(Unit[0] & 0x1F);
  if (h.NalType != 1 && h.NalType != 5) return false;
  TRbspReader r(Unit + 1, Size - 1);
  h.FirstMbInSlice = r.Ue();
  h.SliceType = r.Ue(9);
  h.PpsId = r.Ue(kMaxPpsId);
  if (r.Failed()) return false;
  const TH264Pps* pps = Sets.FindPps(h.PpsId);
  const TH264Sps* sps = pps ? Sets.SpsOf(*pps) : nullptr;
  if (!sps) return false;
  if (sps->SeparateColourPlane) h.ColourPlaneId = r.Bits(2);
  h.FrameNum = r.Bits(sps->Log2MaxFrameNum);
  if (!sps->FrameMbsOnly) {
    h.FieldPic = r.Flag();
    if (h.FieldPic) h.BottomField = r.Flag();
  }
  if (h.IsIdr()) h.IdrPicId = r.Ue(65535);
  if (sps->PicOrderCntType == 0) {
    h.PicOrderCntLsb = r.Bits(sps->Log2MaxPicOrderCntLsb);
    if (pps->BottomFieldPicOrderInFramePresent && !h.FieldPic) h.DeltaPicOrderCntBottom = r.Se();
  }
  if (r.Failed()) return false;
  Out = h;
  return true;
}

uint32_t AvcNalLengthSize(const uint8_t* Payload, size_t Size) {
  // configurationVersion, profile, compatibility, level, then six reserved bits and
  // lengthSizeMinusOne.
  if (Size < 5) return 0;
  const uint32_t length = (Payload[4] & 3u) + 1;
  return length == 3 ? 0 : length;
}

bool ReadAvcConfig(const uint8_t* Payload, size_t Size, TAvcConfig& Out) {
  const uint32_t lengthSize = AvcNalLengthSize(Payload, Size);
  if (lengthSize == 0 || Size < 6) return false;
  TAvcConfig c;
  c.ProfileIdc = Payload[1];
  c.LevelIdc = Payload[3];
  c.NalLengthSize = lengthSize;
  size_t at = 5;
  // Each list: a count (5 bits for the sequence sets, 8 for the picture sets), then units
  // each behind a 16-bit length.
  for (int list = 0; list < 2; ++list) {
    if (at >= Size) return false;
    const uint32_t count = list == 0 ? Payload[at] & 0x1Fu : Payload[at];
    ++at;
    for (uint32_t i = 0; i < count; ++i) {
      if (Size - at < 2) return false;
      const size_t length = ReadBE16(Payload + at);
      at += 2;
      if (length == 0 || length > Size - at) return false;
      (list == 0 ? c.Sps : c.Pps).emplace_back(Payload + at, Payload + at + length);
      at += length;
    }
  }
  Out = std::move(c);
  return true;
}

std::vector<uint8_t> WriteAvcConfig(const TAvcConfig& Config) {
  TH264Sps sps;
  if (Config.Sps.empty() || Config.Sps.size() > 31 || Config.Pps.size() > 255 ||
      Config.Sps[0].size() < 4 || !ReadSps(Config.Sps[0].data(), Config.Sps[0].size(), sps) ||
      Config.NalLengthSize < 1 || Config.NalLengthSize > 4 || Config.NalLengthSize == 3)
    return {};
  // Version, then profile, compatibility flags and level as the set gives them.
  std::vector<uint8_t> out = {1,
                              Config.Sps[0][1],
                              Config.Sps[0][2],
                              Config.Sps[0][3],
                              uint8_t(0xFC | (Config.NalLengthSize - 1)),
                              uint8_t(0xE0 | Config.Sps.size())};
  const auto put = [&out](const std::vector<uint8_t>& Unit) {
    out.resize(out.size() + 2);
    WriteBE16(out.data() + out.size() - 2, uint16_t(Unit.size()));
    out.insert(out.end(), Unit.begin(), Unit.end());
  };
  const auto tooLong = [](const std::vector<uint8_t>& Unit) { return Unit.size() > 0xFFFF; };
  if (std::any_of(Config.Sps.begin(), Config.Sps.end(), tooLong) ||
      std::any_of(Config.Pps.begin(), Config.Pps.end(), tooLong))
    return {};
  for (const std::vector<uint8_t>& unit : Config.Sps)
    put(unit);
  out.push_back(uint8_t(Config.Pps.size()));
  for (const std::vector<uint8_t>& unit : Config.Pps)
    put(unit);
  // The high profiles add the chroma format and bit depths, and no extension sets.
  if (HasChromaFields(sps.ProfileIdc)) {
    out.push_back(uint8_t(0xFC | sps.ChromaFormatIdc));
    out.push_back(uint8_t(0xF8 | (sps.BitDepthLuma - 8)));
    out.push_back(uint8_t(0xF8 | (sps.BitDepthChroma - 8)));
    out.push_back(0);
  }
  return out;
}

} // namespace clw
