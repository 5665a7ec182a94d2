#include "streams/TagStream.h"

#include "streams/Endian.h"

#include <cstdint>
#include <limits>
#include <unistd.h>

namespace clw {

namespace {

constexpr uint16_t kLargestTag = 32767;
constexpr int64_t kLargestBodyPosition = std::numeric_limits<uint32_t>::max();

int SizeWidth(uint16_t tag) {
  return tag < 128 ? 1 : tag < 16384 ? 2 : 4;
}

uint64_t LargestBody(int width) {
  return (uint64_t(1) << (8 * width)) - 1;
}

void EncodeSize(uint8_t* out, int width, uint32_t size) {
  if (width == 1)
    out[0] = uint8_t(size);
  else if (width == 2)
    WriteLE16(out, uint16_t(size));
  else
    WriteLE32(out, size);
}

// The caller has checked the tag and that the size fits its field; returns the length.
int EncodeHeader(uint8_t* out, uint16_t tag, uint32_t size) {
  const int width = SizeWidth(tag);
  int n = 1;
  if (width == 1) {
    out[0] = uint8_t(tag * 2);
  } else {
    WriteLE16(out, uint16_t(tag * 2 + 1));
    n = 2;
  }
  EncodeSize(out + n, width, size);
  return n + width;
}

} // namespace

int64_t TTagStream::WriteElement(uint16_t Tag, const void* Data, int32_t Size) {
  if (Tag > kLargestTag) return kTagNumberTooLarge;
  if (Size < 0 || uint64_t(Size) > LargestBody(SizeWidth(Tag))) return kTagSizeTooLarge;
  uint8_t header[6];
  const int n = EncodeHeader(header, Tag, uint32_t(Size));
  const int64_t put = Stream->Write(header, n);
  if (put != n || Size == 0) return put;
  return Stream->Write(Data, Size);
}

int64_t TTagStream::BeginElement(uint16_t Tag) {
  // Above 32767 the odd header tag*2+1 no longer fits 16 bits and would name another tag.
  if (Tag > kLargestTag) return kTagNumberTooLarge;
  const int64_t pos = Stream->Seek(0, soCurrent);
  if (pos < 0) return pos;
  uint8_t header[6];
  const int n = EncodeHeader(header, Tag, 0);
  // The body position is kept in 32 bits; past 4 GiB it would wrap and EndElement would
  // patch a size into some earlier element.
  if (pos > kLargestBodyPosition - n) return kTagBeyond4GiB;
  const int64_t put = Stream->Write(header, n);
  // A header that did not reach the file opens nothing, so the body's typed writes and the
  // EndElement that follow fail instead of patching bytes that are not a header.
  if (put != n) return put;
  OpenElements.push_back({Tag, uint32_t(pos + n)});
  return put;
}

int64_t TTagStream::EndElement() {
  if (OpenElements.empty()) return kTagNoElement;
  // The element is closed whatever happens below, so the nesting of the elements that
  // follow stays right even when this one's size could not be written.
  const TOpenElement element = OpenElements.back();
  OpenElements.pop_back();

  const int64_t end = Stream->Seek(0, soEnd);
  if (end < 0) return end;
  const int width = SizeWidth(element.Tag);
  const int64_t size = end - int64_t(element.BodyPosition);
  // The header keeps size 0, so a reader takes the body for siblings; the result says so.
  if (size < 0 || uint64_t(size) > LargestBody(width)) return kTagSizeTooLarge;

  uint8_t field[4];
  EncodeSize(field, width, uint32_t(size));
  const int64_t at = int64_t(element.BodyPosition) - width;
  int64_t result = Stream->Seek(at, soBeginning);
  if (result == at)
    result = Stream->Write(field, width);
  else if (result >= 0)
    result = -1;
  const int64_t back = Stream->Seek(0, soEnd);
  return result == width ? back : result;
}

int64_t TTagStream::WriteByte(uint8_t Value) {
  if (!ElementOpen()) return kTagNoElement;
  return Stream->Write(&Value, 1);
}

int64_t TTagStream::WriteWord(uint16_t Value) {
  if (!ElementOpen()) return kTagNoElement;
  uint8_t b[2];
  WriteLE16(b, Value);
  return Stream->Write(b, 2);
}

int64_t TTagStream::WriteInteger(int32_t Value) {
  if (!ElementOpen()) return kTagNoElement;
  uint8_t b[4];
  WriteLE32(b, uint32_t(Value));
  return Stream->Write(b, 4);
}

int64_t TTagStream::WriteInt64(int64_t Value) {
  if (!ElementOpen()) return kTagNoElement;
  uint8_t b[8];
  WriteLE64(b, uint64_t(Value));
  return Stream->Write(b, 8);
}

int64_t TTagStream::WriteBytes(const void* Buffer, int32_t Count) {
  if (!ElementOpen()) return kTagNoElement;
  return Stream->Write(Buffer, Count);
}

int64_t TTagStream::WriteString(std::string_view S) {
  if (!ElementOpen()) return kTagNoElement;
  if (S.size() > 0xFFFF) return kTagSizeTooLarge;
  uint8_t length[2];
  WriteLE16(length, uint16_t(S.size()));
  const int64_t put = Stream->Write(length, 2);
  if (put != 2 || S.empty()) return put;
  return Stream->Write(S.data(), int64_t(S.size()));
}

TtsFileStreamW::TtsFileStreamW(const std::string& FileName, uint16_t Mode)
    : TtsFileStreamW(FileName, Mode, 0) {}

// The open and create rules are exactly TFileStreamW's, so its constructor does the work
// and hands over the descriptor; when it raises, this stream simply stays without a file.
TtsFileStreamW::TtsFileStreamW(const std::string& FileName, uint16_t Mode, int32_t Rights)
    : THandleStream64(-1) {
  try {
    TFileStreamW file(FileName, Mode, Rights);
    Handle = file.Handle;
    file.Handle = -1;
  } catch (const EStreamError&) {
  }
}

TtsFileStreamW::~TtsFileStreamW() {
  if (Handle >= 0) ::close(Handle);
}

void TtsFileStreamW::SetSize(int64_t NewSize) {
  if (Handle >= 0) THandleStream64::SetSize(NewSize);
}

int64_t TtsFileStreamW::Read(void* Buffer, int64_t Count) {
  return Handle < 0 ? 0 : THandleStream64::Read(Buffer, Count);
}

int64_t TtsFileStreamW::Write(const void* Buffer, int64_t Count) {
  return Handle < 0 ? 0 : THandleStream64::Write(Buffer, Count);
}

int64_t TtsFileStreamW::Seek(int64_t Offset, uint16_t Origin) {
  return Handle < 0 ? -1 : THandleStream64::Seek(Offset, Origin);
}

} // namespace clw
