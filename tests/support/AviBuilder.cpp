#include "support/AviBuilder.h"

#include "streams/Endian.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace clw::test {

namespace {

void AppendLE32(TBytes& out, uint32_t value) {
  uint8_t bytes[4];
  WriteLE32(bytes, value);
  out.insert(out.end(), bytes, bytes + 4);
}

void Emit(const TAviPart& part, TBytes& out, std::map<std::string, TPlacedPart>& at) {
  const int64_t header = int64_t(out.size());
  if (part.Kind == TAviPart::TKind::Raw) {
    out.insert(out.end(), part.Data.begin(), part.Data.end());
    return;
  }
  const bool list = part.Kind == TAviPart::TKind::List;
  AppendLE32(out, part.Id);
  AppendLE32(out, 0);
  if (list) {
    AppendLE32(out, part.ListType);
    for (const TAviPart& child : part.Children)
      Emit(child, out, at);
  } else {
    out.insert(out.end(), part.Data.begin(), part.Data.end());
  }
  const int64_t size = int64_t(out.size()) - header - 8;
  if (size & 1) out.push_back(0);
  WriteLE32(out.data() + header + 4, part.SizeField.value_or(uint32_t(size)));
  if (!part.Label.empty()) {
    const int64_t data = header + (list ? 12 : 8);
    at[part.Label] = TPlacedPart{header, data, size - (list ? 4 : 0)};
  }
}

} // namespace

TBytes BytesOf(std::string_view text) {
  return TBytes(text.begin(), text.end());
}

TAviPart Chunk(const char (&id)[5], size_t size, uint8_t fill) {
  return Chunk(id, TBytes(size, fill));
}

TAviPart Chunk(const char (&id)[5], TBytes data) {
  TAviPart part;
  part.Id = MakeFourCC(id);
  part.Data = std::move(data);
  return part;
}

TAviPart List(const char (&listType)[5], std::vector<TAviPart> children) {
  TAviPart part;
  part.Kind = TAviPart::TKind::List;
  part.Id = MakeFourCC("LIST");
  part.ListType = MakeFourCC(listType);
  part.Children = std::move(children);
  return part;
}

TAviPart Riff(const char (&listType)[5], std::vector<TAviPart> children) {
  TAviPart part = List(listType, std::move(children));
  part.Id = MakeFourCC("RIFF");
  return part;
}

TAviPart Raw(TBytes bytes) {
  TAviPart part;
  part.Kind = TAviPart::TKind::Raw;
  part.Data = std::move(bytes);
  return part;
}

TBytes Vop(bool Intra, size_t Size) {
  TBytes bytes(Size, 0xEE);
  const uint8_t head[] = {0, 0, 1, 0xB6, uint8_t(Intra ? 0x00 : 0x40)};
  std::copy(std::begin(head), std::begin(head) + std::min(Size, sizeof head), bytes.begin());
  return bytes;
}

TAviPart Idx1(const std::vector<TIdx1Entry>& entries) {
  TBytes data;
  for (const TIdx1Entry& e : entries) {
    AppendLE32(data, e.Id);
    AppendLE32(data, e.Flags);
    AppendLE32(data, e.Offset);
    AppendLE32(data, e.Length);
  }
  return Chunk("idx1", std::move(data));
}

TAviFile BuildAvi(const std::vector<TAviPart>& parts) {
  TAviFile file;
  for (const TAviPart& part : parts)
    Emit(part, file.Bytes, file.At);
  return file;
}

void Overwrite(TBytes& bytes, int64_t offset, const TBytes& with) {
  if (offset < 0 || offset > int64_t(bytes.size()) - int64_t(with.size()))
    throw std::out_of_range("Overwrite beyond the built file");
  std::copy(with.begin(), with.end(), bytes.begin() + offset);
}

void Overwrite(TBytes& bytes, int64_t offset, std::string_view with) {
  Overwrite(bytes, offset, BytesOf(with));
}

int64_t AppendSparseSegments(const std::string& Path, int Count, uint32_t FrameSize,
                             const TBytes& Frame) {
  auto at = int64_t(std::filesystem::file_size(Path));
  std::fstream file(Path, std::ios::in | std::ios::out | std::ios::binary);
  for (int i = 0; i < Count; ++i) {
    TBytes head = BytesOf("RIFF\0\0\0\0AVIXLIST\0\0\0\0movi00dc\0\0\0\0");
    WriteLE32(head.data() + 4, 4 + 12 + 8 + FrameSize);
    WriteLE32(head.data() + 16, 4 + 8 + FrameSize);
    WriteLE32(head.data() + 28, FrameSize);
    head.insert(head.end(), Frame.begin(), Frame.end());
    file.seekp(at);
    file.write(reinterpret_cast<const char*>(head.data()), std::streamsize(head.size()));
    at += 32 + int64_t(FrameSize);
  }
  file.close();
  std::filesystem::resize_file(Path, uint64_t(at));
  return at;
}

} // namespace clw::test
