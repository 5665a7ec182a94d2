#include "support/NalBuilder.h"

#include "streams/Endian.h"

namespace clw::test {

namespace {

class TBitWriter {
public:
  void Put(uint64_t value, int count) {
    for (int i = count - 1; i >= 0; --i)
      PutBit((value >> i) & 1);
  }
  void PutUE(uint32_t value) {
    const uint64_t v = uint64_t(value) + 1;
    int bits = 0;
    while ((v >> bits) > 1)
      ++bits;
    Put(0, bits);
    Put(v, bits + 1);
  }
  TBytes Finish() {
    PutBit(1);
    while (Used != 0)
      PutBit(0);
    return Out;
  }

private:
  void PutBit(uint64_t bit) {
    if (Used == 0) Out.push_back(0);
    Out.back() = uint8_t(Out.back() | (bit << (7 - Used)));
    Used = (Used + 1) % 8;
  }
  TBytes Out;
  int Used = 0;
};

} // namespace

TBytes SliceHeaderBits(uint32_t firstMb, uint32_t sliceType) {
  TBitWriter w;
  w.PutUE(firstMb);
  w.PutUE(sliceType);
  return w.Finish();
}

uint64_t TMediaDataBuilder::Unit(const TUnit& unit) {
  const uint64_t at = Offset();
  uint8_t field[4];
  WriteBE32(field, unit.LengthField.value_or(unit.Length));
  Bytes.insert(Bytes.end(), field, field + 4);
  const size_t bodyStart = Bytes.size();
  if (unit.Length > 0) Bytes.push_back(unit.Header);
  const uint8_t type = unit.Header & 0x1F;
  if (type >= 1 && type <= 5 && unit.Length > 1) {
    TBytes bits = SliceHeaderBits(unit.FirstMb, unit.SliceType);
    bits.resize(std::min<size_t>(bits.size(), unit.Length - 1));
    Bytes.insert(Bytes.end(), bits.begin(), bits.end());
  }
  Bytes.resize(bodyStart + unit.Length, kFiller);
  return at;
}

uint64_t TMediaDataBuilder::Audio(size_t length, uint8_t lead, uint16_t end) {
  const uint64_t at = Offset();
  TBytes frame(length, kFiller);
  if (length > 0) frame[0] = lead;
  if (length >= 3) WriteBE16(frame.data() + length - 2, end);
  Bytes.insert(Bytes.end(), frame.begin(), frame.end());
  return at;
}

uint64_t TMediaDataBuilder::Fill(size_t n, uint8_t byte) {
  const uint64_t at = Offset();
  Bytes.resize(Bytes.size() + n, byte);
  return at;
}

uint64_t TMediaDataBuilder::Raw(const TBytes& bytes) {
  const uint64_t at = Offset();
  Bytes.insert(Bytes.end(), bytes.begin(), bytes.end());
  return at;
}

TVideoChunk AddVideoChunk(TMediaDataBuilder& b, int frames, bool idr, uint32_t sliceLength,
                          int slices) {
  TVideoChunk chunk;
  chunk.Start = b.Offset();
  for (int f = 0; f < frames; ++f) {
    const bool key = idr && f == 0;
    if (key) {
      chunk.Units.push_back(b.Unit(kSps, 12));
      chunk.Units.push_back(b.Unit(kPps, 4));
    }
    // Macroblock addresses of a 1280x720 picture: 3600 per picture.
    for (int s = 0; s < slices; ++s)
      chunk.Units.push_back(
          b.Unit(key ? kIdr : kNonIdr, sliceLength, key ? 7 : 5, uint32_t(s * (3600 / slices))));
  }
  chunk.End = b.Offset();
  return chunk;
}

} // namespace clw::test
