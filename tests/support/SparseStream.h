#pragma once
// Streams for files of several GiB that a test neither stores nor writes to disk: a
// read-only file whose bytes after a given prefix are all zero, and a sink that behaves like
// a file of any size but keeps only the pages that ever received a byte other than zero.
// Both behave like TMemoryStream at their ends: a seek past the end is allowed and reads
// there return 0, a seek to a negative position fails and leaves the position alone.
#include "support/MemoryStream.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <utility>
#include <vector>

namespace clw::test {

// Size bytes: Prefix, then zeros. Writes are refused.
class TZeroPaddedStream : public TStream64 {
public:
  TZeroPaddedStream(std::vector<uint8_t> Prefix, int64_t Size)
      : Prefix(std::move(Prefix)), End(std::max<int64_t>(Size, int64_t(this->Prefix.size()))) {}

  int64_t Read(void* Buffer, int64_t Count) override {
    if (Count <= 0 || Pos >= End) return 0;
    const int64_t n = std::min(Count, End - Pos);
    auto* out = static_cast<uint8_t*>(Buffer);
    const int64_t real = std::clamp<int64_t>(int64_t(Prefix.size()) - Pos, 0, n);
    if (real > 0) std::memcpy(out, Prefix.data() + Pos, size_t(real));
    std::memset(out + real, 0, size_t(n - real));
    Pos += n;
    return n;
  }
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t Offset, uint16_t Origin) override {
    return SeekWithin(Pos, End, Offset, Origin);
  }

private:
  std::vector<uint8_t> Prefix;
  int64_t End;
  int64_t Pos = 0;
};

// A file of any size that stores only the pages of kPageSize bytes that ever received a
// non-zero byte; every other byte reads as zero.
class TSparseSink : public TStream64 {
public:
  static constexpr int64_t kPageSize = 1 << 16;

  int64_t Read(void* Buffer, int64_t Count) override {
    if (Count <= 0 || Pos >= End) return 0;
    const int64_t n = std::min(Count, End - Pos);
    auto* out = static_cast<uint8_t*>(Buffer);
    ForEachPage(n, [&](int64_t Page, int64_t Within, int64_t Done, int64_t Part) {
      const auto it = Pages.find(Page);
      if (it == Pages.end())
        std::memset(out + Done, 0, size_t(Part));
      else
        std::memcpy(out + Done, it->second.data() + Within, size_t(Part));
    });
    Pos += n;
    return n;
  }

  int64_t Write(const void* Buffer, int64_t Count) override {
    if (Count <= 0 || Count > std::numeric_limits<int64_t>::max() - Pos) return 0;
    const auto* in = static_cast<const uint8_t*>(Buffer);
    ForEachPage(Count, [&](int64_t Page, int64_t Within, int64_t Done, int64_t Part) {
      auto it = Pages.find(Page);
      if (it == Pages.end()) {
        if (IsZero(in + Done, Part)) return;
        it = Pages.emplace(Page, std::vector<uint8_t>(size_t(kPageSize), 0)).first;
      }
      std::memcpy(it->second.data() + Within, in + Done, size_t(Part));
    });
    Pos += Count;
    End = std::max(End, Pos);
    return Count;
  }

  int64_t Seek(int64_t Offset, uint16_t Origin) override {
    return SeekWithin(Pos, End, Offset, Origin);
  }

private:
  static bool IsZero(const uint8_t* Bytes, int64_t Count) {
    static const std::array<uint8_t, kPageSize> zeros{};
    return std::memcmp(Bytes, zeros.data(), size_t(Count)) == 0;
  }

  // Calls Visit(page, offset in the page, bytes done, bytes in this page) for each page the
  // Count bytes from the position touch.
  template <typename TVisit> void ForEachPage(int64_t Count, TVisit Visit) {
    for (int64_t done = 0; done < Count;) {
      const int64_t at = Pos + done;
      const int64_t within = at % kPageSize;
      const int64_t part = std::min(Count - done, kPageSize - within);
      Visit(at / kPageSize, within, done, part);
      done += part;
    }
  }

  std::map<int64_t, std::vector<uint8_t>> Pages;
  int64_t Pos = 0;
  int64_t End = 0;
};

} // namespace clw::test
