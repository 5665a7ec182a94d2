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

} // namespace clw::test
