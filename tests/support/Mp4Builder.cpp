#include "support/Mp4Builder.h"

#include "streams/Endian.h"

namespace clw::test {

TMp4Box Box(TFourCC type, size_t size, uint8_t fill) {
  TMp4Box box;
  box.Type = type;
  box.Data.assign(size, fill);
  return box;
}

TMp4Box Box(const char (&type)[5], size_t size, uint8_t fill) {
  return Box(MakeFourCC(type), size, fill);
}

TMp4Box Box(const char (&type)[5], TBytes data) {
  TMp4Box box;
  box.Type = MakeFourCC(type);
  box.Data = std::move(data);
  return box;
}

TMp4Box Container(const char (&type)[5], std::vector<TMp4Box> children) {
  TMp4Box box;
  box.Type = MakeFourCC(type);
  box.Children = std::move(children);
  return box;
}

TMp4Box RawBytes(TBytes bytes) {
  TMp4Box box;
  box.Kind = TMp4Box::TKind::Raw;
  box.Data = std::move(bytes);
  return box;
}

namespace {

void Emit(const TMp4Box& box, TMp4File& file) {
  TBytes& out = file.Bytes;
  if (box.Kind == TMp4Box::TKind::Raw) {
    out.insert(out.end(), box.Data.begin(), box.Data.end());
    return;
  }
  const size_t start = out.size();
  const size_t headerLength = box.Large ? 16 : 8;
  out.resize(start + headerLength);
  out.insert(out.end(), box.Data.begin(), box.Data.end());
  for (const TMp4Box& child : box.Children)
    Emit(child, file);
  const uint64_t size = out.size() - start;
  const uint64_t field = box.SizeField.value_or(size);
  WriteLE32(&out[start + 4], box.Type);
  if (box.Large) {
    WriteBE32(&out[start], 1);
    WriteBE64(&out[start + 8], field);
  } else {
    WriteBE32(&out[start], uint32_t(field));
  }
  if (!box.Label.empty())
    file.At[box.Label] = TPlacedBox{int64_t(start), int64_t(start + headerLength), size};
}

} // namespace

TMp4File BuildMp4(const std::vector<TMp4Box>& boxes) {
  TMp4File file;
  for (const TMp4Box& box : boxes)
    Emit(box, file);
  return file;
}

TBytes BE16(uint16_t value) {
  TBytes out(2);
  WriteBE16(out.data(), value);
  return out;
}

TBytes BE32(uint32_t value) {
  TBytes out(4);
  WriteBE32(out.data(), value);
  return out;
}

TBytes BE64(uint64_t value) {
  TBytes out(8);
  WriteBE64(out.data(), value);
  return out;
}

TBytes Join(const std::vector<TBytes>& parts) {
  TBytes out;
  for (const TBytes& part : parts)
    out.insert(out.end(), part.begin(), part.end());
  return out;
}

TBytes FullBoxHead(uint8_t version, uint32_t flags) {
  return Join({{version}, {uint8_t(flags >> 16), uint8_t(flags >> 8), uint8_t(flags)}});
}

namespace {

// Creation, modification, the middle fields, duration: 32-bit times in version 0.
TBytes Times(uint8_t version, uint64_t creation, const TBytes& middle, uint64_t duration) {
  if (version == 1) return Join({BE64(creation), BE64(creation + 1), middle, BE64(duration)});
  return Join(
      {BE32(uint32_t(creation)), BE32(uint32_t(creation + 1)), middle, BE32(uint32_t(duration))});
}

TBytes Matrix() {
  return Join({BE32(0x10000), BE32(0), BE32(0), BE32(0), BE32(0x10000), BE32(0), BE32(0), BE32(0),
               BE32(0x40000000)});
}

TBytes SampleEntry(const char (&type)[5], const TBytes& fixed, const std::vector<TMp4Box>& children,
                   const TBytes& extra) {
  const TBytes inner = Join({fixed, extra, BuildMp4(children).Bytes});
  return Join({BE32(uint32_t(inner.size() + 8)), BytesOf(type), inner});
}

template <typename T> TBytes CountedTable(uint32_t count, const std::vector<T>& entries) {
  TBytes out = Join({FullBoxHead(0), BE32(count)});
  for (const T& entry : entries)
    out = Join({out, entry});
  return out;
}

} // namespace

TBytes MvhdPayload(uint8_t version, uint32_t timeScale, uint64_t duration, uint64_t creation,
                   uint32_t nextTrackId) {
  return Join({FullBoxHead(version), Times(version, creation, BE32(timeScale), duration),
               BE32(0x10000), BE16(0x100), TBytes(10, 0), Matrix(), TBytes(24, 0),
               BE32(nextTrackId)});
}

TBytes TkhdPayload(uint8_t version, uint32_t trackId, uint64_t duration, uint32_t width,
                   uint32_t height) {
  return Join({FullBoxHead(version, 3),
               Times(version, 0x22, Join({BE32(trackId), BE32(0)}), duration), TBytes(8, 0),
               BE16(0), BE16(0), BE16(width == 0 ? 0x100 : 0), BE16(0), Matrix(), BE32(width << 16),
               BE32(height << 16)});
}

TBytes MdhdPayload(uint8_t version, uint32_t timeScale, uint64_t duration, uint16_t language) {
  return Join({FullBoxHead(version), Times(version, 0x33, BE32(timeScale), duration),
               BE16(language), BE16(0)});
}

TBytes HdlrPayload(const char (&handler)[5], const std::string& name) {
  TBytes text(name.begin(), name.end());
  text.push_back(0);
  return Join({FullBoxHead(0), BE32(0), BytesOf(handler), TBytes(12, 0), text});
}

TBytes VisualSampleEntry(const char (&type)[5], uint16_t width, uint16_t height,
                         const std::vector<TMp4Box>& children) {
  TBytes name(32, 0);
  const TBytes fixed = Join({TBytes(6, 0), BE16(1), BE16(0), BE16(0), BE32(0), BE32(0), BE32(0x200),
                             BE16(width), BE16(height), BE32(0x480000), BE32(0x480000), BE32(0),
                             BE16(1), name, BE16(24), BE16(0xFFFF)});
  return SampleEntry(type, fixed, children, {});
}

TBytes SoundSampleEntry(const char (&type)[5], uint16_t channels, uint16_t sampleSize,
                        uint32_t sampleRate, const std::vector<TMp4Box>& children,
                        const TBytes& extra) {
  const TBytes fixed = Join({TBytes(6, 0), BE16(1), BE16(0), BE16(0), BE32(0), BE16(channels),
                             BE16(sampleSize), BE16(0), BE16(0), BE32(sampleRate << 16)});
  return SampleEntry(type, fixed, children, extra);
}

TBytes StsdPayload(const std::vector<TBytes>& entries, std::optional<uint32_t> count) {
  return CountedTable(count.value_or(uint32_t(entries.size())), entries);
}

TBytes SttsPayload(const std::vector<std::pair<uint32_t, uint32_t>>& entries) {
  std::vector<TBytes> words;
  for (const auto& [samples, delta] : entries)
    words.push_back(Join({BE32(samples), BE32(delta)}));
  return CountedTable(uint32_t(entries.size()), words);
}

TBytes StscPayload(const std::vector<std::array<uint32_t, 3>>& entries) {
  std::vector<TBytes> words;
  for (const auto& entry : entries)
    words.push_back(Join({BE32(entry[0]), BE32(entry[1]), BE32(entry[2])}));
  return CountedTable(uint32_t(entries.size()), words);
}

TBytes StssPayload(const std::vector<uint32_t>& samples) {
  std::vector<TBytes> words;
  for (uint32_t sample : samples)
    words.push_back(BE32(sample));
  return CountedTable(uint32_t(samples.size()), words);
}

TBytes StszPayload(uint32_t sampleSize, uint32_t count, const std::vector<uint32_t>& sizes) {
  TBytes out = Join({FullBoxHead(0), BE32(sampleSize), BE32(count)});
  for (uint32_t size : sizes)
    out = Join({out, BE32(size)});
  return out;
}

TBytes StcoPayload(const std::vector<uint32_t>& offsets, std::optional<uint32_t> count) {
  std::vector<TBytes> words;
  for (uint32_t offset : offsets)
    words.push_back(BE32(offset));
  return CountedTable(count.value_or(uint32_t(offsets.size())), words);
}

TBytes Co64Payload(const std::vector<uint64_t>& offsets) {
  std::vector<TBytes> words;
  for (uint64_t offset : offsets)
    words.push_back(BE64(offset));
  return CountedTable(uint32_t(offsets.size()), words);
}

TMp4Box Trak(bool video, uint32_t trackId, std::vector<TMp4Box> tables) {
  TMp4Box mediaHeader = video ? Box("vmhd", Join({FullBoxHead(0, 1), TBytes(8, 0)}))
                              : Box("smhd", Join({FullBoxHead(0), TBytes(4, 0)}));
  return Container(
      "trak",
      {Box("tkhd", TkhdPayload(0, trackId, 1000, video ? 320 : 0, video ? 240 : 0)),
       Container("mdia", {Box("mdhd", MdhdPayload(0, video ? 600 : 44100, 1000)),
                          Box("hdlr", HdlrPayload(video ? "vide" : "soun", video ? "V" : "S")),
                          Container("minf", {std::move(mediaHeader),
                                             Container("stbl", std::move(tables))})})});
}

} // namespace clw::test
