#pragma once
// A TStream64 over a byte vector, so container tests need no files. It behaves like a
// file: seeking past the end is allowed and reads there return 0, writing there fills the
// gap with zeros, and a seek to a negative position fails and leaves the position alone.
#include "streams/Stream64.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

namespace clw::test {

// Moves Pos as a seek of a stream of End bytes would; the new position, or -1.
inline int64_t SeekWithin(int64_t& Pos, int64_t End, int64_t Offset, uint16_t Origin) {
  int64_t base = 0;
  if (Origin == soCurrent)
    base = Pos;
  else if (Origin == soEnd)
    base = End;
  else if (Origin != soBeginning)
    return -1;
  if (Offset < -base || Offset > std::numeric_limits<int64_t>::max() - base) return -1;
  Pos = base + Offset;
  return Pos;
}

class TMemoryStream : public TStream64 {
public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::vector<uint8_t> bytes) : Data(std::move(bytes)) {}

  int64_t Read(void* buffer, int64_t count) override {
    const int64_t size = int64_t(Data.size());
    if (count <= 0 || Pos >= size) return 0;
    const int64_t n = std::min(count, size - Pos);
    std::memcpy(buffer, Data.data() + Pos, size_t(n));
    Pos += n;
    return n;
  }

  int64_t Write(const void* buffer, int64_t count) override {
    if (count <= 0) return 0;
    // Simulates a full disk: nothing at or beyond WriteLimit is stored.
    const int64_t n = std::min(count, std::max<int64_t>(WriteLimit - Pos, 0));
    if (n == 0) return 0;
    if (Pos + n > int64_t(Data.size())) Data.resize(size_t(Pos + n));
    std::memcpy(Data.data() + Pos, buffer, size_t(n));
    Pos += n;
    return n;
  }

  int64_t Seek(int64_t offset, uint16_t origin) override {
    return SeekWithin(Pos, int64_t(Data.size()), offset, origin);
  }

  void SetSize(int64_t newSize) override {
    if (newSize < 0) return;
    Data.resize(size_t(newSize));
    Pos = newSize;
  }

  std::vector<uint8_t> Data;
  int64_t Pos = 0;
  int64_t WriteLimit = std::numeric_limits<int64_t>::max();
};

} // namespace clw::test
