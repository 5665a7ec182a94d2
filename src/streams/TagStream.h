#pragma once
// The tagged binary format of the diagnostic dumps: a sequence of elements, each a tag, a
// little-endian body size and a body of raw bytes or further elements. The header's form
// follows from the tag, so a reader needs no table of tags to walk a dump it does not know:
//   tag 0..127          1 byte  tag*2 (even),  1-byte size
//   tag 128..16383      2 bytes tag*2+1 (odd), 2-byte size
//   tag 16384..32767    2 bytes tag*2+1 (odd), 4-byte size
#include "streams/Stream64.h"

#include <cstdint>
#include <string_view>
#include <vector>

namespace clw {

// Results besides those of the underlying stream (a stream write's count, a seek's
// position, or a negative value from a failed seek).
enum : int64_t {
  kTagNoElement = -1,        // a typed write or EndElement with no element open
  kTagNumberTooLarge = -100, // tag above 32767: tag*2+1 no longer fits 16 bits
  kTagSizeTooLarge = -101,   // body larger than the tag's size field holds
  kTagBeyond4GiB = -102,     // a body would start past 4 GiB, where positions are 32-bit
};

// Writes elements to a stream it does not own. Nested elements are opened with
// BeginElement, filled with the typed writes and closed with EndElement, which goes back
// and patches the body size into the header. Nothing ever throws: a dump is written from
// the structure of a damaged file, and a value out of range must not cost the repair.
class TTagStream {
public:
  explicit TTagStream(TStream64& AStream) : Stream(&AStream) {}

  int64_t WriteElement(uint16_t Tag, const void* Data, int32_t Size);
  int64_t BeginElement(uint16_t Tag);
  int64_t EndElement();

  int64_t WriteByte(uint8_t Value);
  int64_t WriteWord(uint16_t Value);
  int64_t WriteInteger(int32_t Value);
  int64_t WriteInt64(int64_t Value);
  int64_t WriteBytes(const void* Buffer, int32_t Count);
  // A 16-bit length, then the bytes; a string of 65536 bytes or more is refused.
  int64_t WriteString(std::string_view S);

  int32_t Depth() const { return int32_t(OpenElements.size()); }
  bool ElementOpen() const { return !OpenElements.empty(); }

private:
  struct TOpenElement {
    uint16_t Tag;
    uint32_t BodyPosition;
  };

  TStream64* Stream;
  std::vector<TOpenElement> OpenElements;
};

// The file a dump goes to. It opens and creates like TFileStreamW but never raises: the
// dump is a by-product of a check, and a read-only output folder must not stop the
// repair. Without a file every read and write moves 0 bytes and every seek returns -1.
class TtsFileStreamW : public THandleStream64 {
public:
  TtsFileStreamW(const std::string& FileName, uint16_t Mode);
  TtsFileStreamW(const std::string& FileName, uint16_t Mode, int32_t Rights);
  ~TtsFileStreamW() override;
  TtsFileStreamW(const TtsFileStreamW&) = delete;
  TtsFileStreamW& operator=(const TtsFileStreamW&) = delete;

  void SetSize(int64_t NewSize) override;
  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Seek(int64_t Offset, uint16_t Origin) override;
};

} // namespace clw
