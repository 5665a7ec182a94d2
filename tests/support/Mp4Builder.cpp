#include "support/Mp4Builder.h"

#include "streams/Endian.h"
#include "support/H264Builder.h"

#include <algorithm>
#include <bit>

namespace clw::test {

TMp4Box Box(TFourCC type, TBytes data) {
  return TMp4Box{false, type, std::move(data)};
}

TMp4Box Container(const char (&type)[5], std::vector<TMp4Box> children) {
  return TMp4Box{false, MakeFourCC(type), {}, std::move(children)};
}

TMp4Box RawBytes(TBytes bytes) {
  return TMp4Box{true, 0, std::move(bytes)};
}

namespace {

void Emit(const TMp4Box& box, TMp4File& file) {
  TBytes& out = file.Bytes;
  const size_t start = out.size(), headerLength = box.Raw ? 0 : box.Large ? 16 : 8;
  out.resize(start + headerLength);
  out.insert(out.end(), box.Data.begin(), box.Data.end());
  for (const TMp4Box& child : box.Children)
    Emit(child, file);
  if (box.Raw) return;
  const uint64_t size = out.size() - start, field = box.SizeField.value_or(size);
  WriteBE32(&out[start], box.Large ? 1 : uint32_t(field));
  WriteLE32(&out[start + 4], box.Type);
  if (box.Large) WriteBE64(&out[start + 8], field);
  if (!box.Label.empty())
    file.At[box.Label] = TPlacedBox{int64_t(start), int64_t(start + headerLength), size};
}

TBytes BE16(uint16_t value) {
  return {uint8_t(value >> 8), uint8_t(value)};
}

// Creation, modification, the middle fields, duration: 32-bit times in version 0.
TBytes Times(uint8_t version, uint64_t creation, const TBytes& middle, uint64_t duration) {
  if (version == 1) return Join({BE64(creation), BE64(creation + 1), middle, BE64(duration)});
  return Join(
      {BE32(uint32_t(creation)), BE32(uint32_t(creation + 1)), middle, BE32(uint32_t(duration))});
}

const TBytes kMatrix = Words({0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000});

TBytes SampleEntry(const char (&type)[5], const TBytes& fixed, const std::vector<TMp4Box>& children,
                   const TBytes& extra) {
  const TBytes inner = Join({fixed, extra, BuildMp4(children).Bytes});
  return Join({BE32(uint32_t(inner.size() + 8)), BytesOf(type), inner});
}

// The version 0 part of a sound description; the rate is 16.16.
TBytes SoundHead(uint16_t version, uint16_t channels, uint16_t sampleSize, uint16_t compressionId,
                 uint32_t rate) {
  return Join({TBytes(6, 0), BE16(1), BE16(version), BE16(0), BE32(0), BE16(channels),
               BE16(sampleSize), BE16(compressionId), BE16(0), BE32(rate)});
}

} // namespace

TMp4File BuildMp4(const std::vector<TMp4Box>& boxes) {
  TMp4File file;
  for (const TMp4Box& box : boxes)
    Emit(box, file);
  return file;
}

TBytes BE32(uint32_t value) {
  return {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)};
}

TBytes BE64(uint64_t value) {
  return Join({BE32(uint32_t(value >> 32)), BE32(uint32_t(value))});
}

TBytes Join(const std::vector<TBytes>& parts) {
  TBytes out;
  for (const TBytes& part : parts)
    out.insert(out.end(), part.begin(), part.end());
  return out;
}

TBytes FullBoxHead(uint8_t version, uint32_t flags) {
  return {version, uint8_t(flags >> 16), uint8_t(flags >> 8), uint8_t(flags)};
}

TBytes MvhdPayload(uint8_t version, uint32_t timeScale, uint64_t duration, uint64_t creation,
                   uint32_t nextTrackId) {
  return Join({FullBoxHead(version), Times(version, creation, BE32(timeScale), duration),
               BE32(0x10000), BE16(0x100), TBytes(10, 0), kMatrix, TBytes(24, 0),
               BE32(nextTrackId)});
}

TBytes TkhdPayload(uint8_t version, uint32_t trackId, uint64_t duration, uint32_t width,
                   uint32_t height) {
  return Join({FullBoxHead(version, 3), Times(version, 0x22, Words({trackId, 0}), duration),
               TBytes(8, 0), BE16(0), BE16(0), BE16(width == 0 ? 0x100 : 0), BE16(0), kMatrix,
               BE32(width << 16), BE32(height << 16)});
}

TBytes MdhdPayload(uint8_t version, uint32_t timeScale, uint64_t duration, uint16_t language) {
  return Join({FullBoxHead(version), Times(version, 0x33, BE32(timeScale), duration),
               BE16(language), BE16(0)});
}

TBytes HdlrPayload(const char (&handler)[5], const std::string& name) {
  return Join({FullBoxHead(0), BE32(0), BytesOf(handler), TBytes(12, 0), BytesOf(name), {0}});
}

TBytes VisualSampleEntry(const char (&type)[5], uint16_t width, uint16_t height,
                         const std::vector<TMp4Box>& children) {
  const TBytes fixed = Join({TBytes(6, 0), BE16(1), BE16(0), BE16(0), Words({0, 0, 0x200}),
                             BE16(width), BE16(height), Words({0x480000, 0x480000, 0}), BE16(1),
                             TBytes(32, 0), BE16(24), BE16(0xFFFF)});
  return SampleEntry(type, fixed, children, {});
}

TBytes SoundSampleEntry(const char (&type)[5], uint16_t channels, uint16_t sampleSize,
                        uint32_t sampleRate, const std::vector<TMp4Box>& children,
                        const TBytes& extra) {
  return SampleEntry(type, SoundHead(0, channels, sampleSize, 0, sampleRate << 16), children,
                     extra);
}

TBytes SoundSampleEntryV1(const char (&type)[5], uint16_t channels, uint32_t sampleRate,
                          const TSoundV1& fields, const std::vector<TMp4Box>& children) {
  const TBytes fixed = Join({SoundHead(1, channels, 16, 0xFFFE, sampleRate << 16),
                             Words({fields.SamplesPerPacket, fields.BytesPerPacket,
                                    fields.BytesPerFrame, fields.BytesPerSample})});
  return SampleEntry(type, fixed, children, {});
}

TBytes SoundSampleEntryV2(const char (&type)[5], const TSoundV2& fields,
                          const std::vector<TMp4Box>& children) {
  const TBytes fixed = Join({SoundHead(2, 3, 16, 0xFFFE, 0x10000), BE32(72),
                             BE64(std::bit_cast<uint64_t>(fields.Rate)),
                             Words({fields.Channels, 0x7F000000, fields.BitsPerChannel,
                                    fields.Flags, fields.BytesPerPacket, fields.FramesPerPacket})});
  return SampleEntry(type, fixed, children, {});
}

TBytes Words(const std::vector<uint32_t>& values) {
  TBytes out;
  for (uint32_t value : values)
    out = Join({out, BE32(value)});
  return out;
}

TBytes TablePayload(uint32_t count, const TBytes& entries) {
  return Join({FullBoxHead(0), BE32(count), entries});
}

TBytes StszPayload(uint32_t sampleSize, uint32_t count, const std::vector<uint32_t>& sizes) {
  return Join({FullBoxHead(0), Words({sampleSize, count}), Words(sizes)});
}

TMp4Box MediaHeader(bool video) {
  return video ? Box("vmhd", Join({FullBoxHead(0, 1), TBytes(8, 0)}))
               : Box("smhd", Join({FullBoxHead(0), TBytes(4, 0)}));
}

TMp4Box Trak(bool video, uint32_t trackId, std::vector<TMp4Box> tables) {
  return Container(
      "trak",
      {Box("tkhd", TkhdPayload(0, trackId, 1000, video ? 320 : 0, video ? 240 : 0)),
       Container("mdia",
                 {Box("mdhd", MdhdPayload(0, video ? 600 : 44100, 1000)),
                  Box("hdlr", HdlrPayload(video ? "vide" : "soun", video ? "V" : "S")),
                  Container("minf", {MediaHeader(video), Container("stbl", std::move(tables))})})});
}

uint64_t TMediaDataBuilder::Unit(const TUnit& unit) {
  TBytes bytes(4 + size_t(unit.Length), kFiller);
  WriteBE32(bytes.data(), unit.Length);
  if (unit.Length > 0) bytes[4] = unit.Header;
  if ((unit.Header & 0x1F) >= 1 && (unit.Header & 0x1F) <= 5 && unit.Length > 1) {
    // first_mb_in_slice and slice_type, then the stop bit.
    const TBytes bits = TBitWriter().Ue(unit.FirstMb).Ue(unit.SliceType).Finish();
    std::copy_n(bits.begin(), std::min<size_t>(bits.size(), unit.Length - 1), bytes.begin() + 5);
  }
  return Raw(bytes);
}

uint64_t TMediaDataBuilder::Audio(size_t length, uint8_t lead, uint16_t end) {
  TBytes frame(length, kFiller);
  if (length > 0) frame[0] = lead;
  if (length >= 3) WriteBE16(frame.data() + length - 2, end);
  return Raw(frame);
}

uint64_t TMediaDataBuilder::Raw(const TBytes& bytes) {
  const uint64_t at = Offset();
  Bytes.insert(Bytes.end(), bytes.begin(), bytes.end());
  return at;
}

TSpan AddVideoChunk(TMediaDataBuilder& b, int frames, bool idr, uint32_t sliceLength, int slices) {
  const uint64_t start = b.Offset();
  for (int f = 0; f < frames; ++f) {
    const bool key = idr && f == 0;
    if (key) {
      b.Unit(kSps, 12);
      b.Unit(kPps, 4);
    }
    // Macroblock addresses of a 1280x720 picture: 3600 per picture.
    for (int s = 0; s < slices; ++s)
      b.Unit(key ? kIdr : kNonIdr, sliceLength, key ? 7 : 5, uint32_t(s * (3600 / slices)));
  }
  return {start, b.Offset()};
}

} // namespace clw::test
