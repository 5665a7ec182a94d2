#include "streams/BufferedFileStream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace clw {

namespace {
constexpr int64_t kMaxCount = std::numeric_limits<int32_t>::max();
} // namespace

THgBufferedFileStreamW::~THgBufferedFileStreamW() {
  BufferLength = 0;
  Buffer.reset();
}

bool THgBufferedFileStreamW::InWindow(int64_t Pos) const {
  return BufferLength > 0 && Pos >= BufferStart && Pos - BufferStart < BufferLength;
}

// The window fields are public so the readers can see where the scan stands; whatever
// they hold, a window that could not have come from a refill is treated as empty rather
// than trusted as an index into the buffer.
void THgBufferedFileStreamW::DropOddWindow() {
  if (!Buffer || BufferStart < 0 || BufferLength < 0 || BufferLength > kBufferSize ||
      BufferStart > std::numeric_limits<int64_t>::max() - BufferLength) {
    BufferStart = std::max<int64_t>(BufferStart, 0);
    BufferLength = 0;
  }
}

// The size as the descriptor sees it now, leaving the descriptor where it stood: a scan
// that asks for the size to report progress must not lose its sequential refills.
int64_t THgBufferedFileStreamW::MeasureSize() {
  const int64_t size = RegularFileSize();
  if (size >= 0) return size;
  const int64_t back = FilePosition >= 0 ? FilePosition : THandleStream64::Seek(0, soCurrent);
  const int64_t end = THandleStream64::Seek(0, soEnd);
  if (end < 0) return end;
  FilePosition = end;
  if (back >= 0 && THandleStream64::Seek(back, soBeginning) == back) FilePosition = back;
  return end;
}

int64_t THgBufferedFileStreamW::Seek(int64_t Offset, uint16_t Origin) {
  CheckHandle();
  DropOddWindow();
  if (Offset == 0 && Origin == soCurrent) return BufferedPosition;
  if (Offset == 0 && Origin == soEnd) return BufferedPosition = MeasureSize();
  if (Origin == soBeginning && InWindow(Offset)) return BufferedPosition = Offset;

  // Only the logical position moves: the descriptor is sent there when bytes are read or
  // written there, so a reader that seeks from header to header costs no system call per
  // seek. What the system would refuse (a position before the file) fails here, and Read
  // and Write refuse to work from it.
  int64_t target = Offset;
  if (Origin == soCurrent) {
    if (__builtin_add_overflow(BufferedPosition, Offset, &target)) target = -1;
  } else if (Origin == soEnd) {
    const int64_t size = MeasureSize();
    if (size < 0 || __builtin_add_overflow(size, Offset, &target)) target = -1;
  } else if (Origin != soBeginning) {
    target = -1;
  }
  if (target < 0) OSError = EINVAL;
  return BufferedPosition = std::max<int64_t>(target, -1);
}

int64_t THgBufferedFileStreamW::Read(void* Destination, int64_t Count) {
  CheckHandle();
  if (Count > kMaxCount) throw ERangeError();
  if (Count <= 0 || BufferedPosition < 0) return 0;
  if (!Buffer) Buffer = std::make_unique_for_overwrite<uint8_t[]>(size_t(kBufferSize));
  DropOddWindow();

  auto* out = static_cast<uint8_t*>(Destination);
  // Outside the window nothing can be copied, and the first refill starts right at the
  // logical position.
  int64_t offset = InWindow(BufferedPosition) ? BufferedPosition - BufferStart : BufferLength;
  int64_t delivered = 0;
  for (;;) {
    const int64_t n = std::min(Count, BufferLength - offset);
    if (n > 0) std::memcpy(out + delivered, Buffer.get() + offset, size_t(n));
    delivered += n;
    Count -= n;
    if (Count == 0) break;

    // A window or more that the window cannot serve goes straight to the caller: copying
    // it through the window would only cost time. The window is empty behind it.
    if (Count >= kBufferSize) {
      const int64_t at = BufferedPosition + delivered;
      BufferStart = at;
      BufferLength = 0;
      offset = 0;
      if (FilePosition != at) {
        const int64_t moved = THandleStream64::Seek(at, soBeginning);
        if (moved >= 0) FilePosition = moved;
        if (moved != at) break;
      }
      const int64_t got = THandleStream64::Read(out + delivered, Count);
      if (got <= 0) break;
      FilePosition = at + got;
      BufferStart = FilePosition;
      delivered += got;
      Count -= got;
      if (Count == 0 || got < kBufferSize) break; // short: the file ends there
      continue;
    }

    const int64_t oldStart = BufferStart;
    const int64_t oldLength = BufferLength;
    BufferStart = BufferedPosition + delivered;
    // A scan that ran off the end of the window (it was handed bytes from it and the
    // descriptor stands right behind it) usually steps back over the header it was just
    // given, so the tail of the old window stays in front of the new one. Single-byte
    // probes that stop exactly at the boundary were handed nothing and keep nothing.
    const bool runOff = delivered > 0 && FilePosition == BufferStart &&
                        BufferStart - oldStart == oldLength && oldLength >= kKeepOnRefill;
    FileSize = MeasureSize();
    int64_t keep = 0;
    if (FileSize - BufferStart >= kBufferSize) {
      if (runOff) {
        keep = kKeepOnRefill;
        std::memmove(Buffer.get(), Buffer.get() + (oldLength - keep), size_t(keep));
      }
      BufferLength = kBufferSize;
    } else {
      BufferLength = FileSize - BufferStart;
    }
    if (BufferLength <= 0) {
      BufferLength = 0;
      break;
    }
    if (FilePosition != BufferStart) {
      const int64_t at = THandleStream64::Seek(BufferStart, soBeginning);
      if (at >= 0) FilePosition = at;
      if (at != BufferStart) {
        BufferLength = 0;
        break;
      }
    }
    const int64_t got = THandleStream64::Read(Buffer.get() + keep, BufferLength - keep);
    BufferLength = got;
    FilePosition = BufferStart + got;
    BufferStart -= keep;
    BufferLength += keep;
    offset = keep;
    if (BufferLength == keep) break;
  }
  BufferedPosition += delivered;
  return delivered;
}

const uint8_t* THgBufferedFileStreamW::Held(int64_t Position, int64_t Count, int64_t& Length) {
  Length = 0;
  DropOddWindow();
  if (Count <= 0 || !InWindow(Position)) return nullptr;
  const int64_t offset = Position - BufferStart;
  Length = std::min(Count, BufferLength - offset);
  return Buffer.get() + offset;
}

int64_t THgBufferedFileStreamW::Write(const void* Source, int64_t Count) {
  CheckHandle();
  if (Count > kMaxCount) throw ERangeError();
  if (Count <= 0 || BufferedPosition < 0) return 0;
  DropOddWindow();

  if (FilePosition != BufferedPosition) {
    const int64_t at = THandleStream64::Seek(BufferedPosition, soBeginning);
    if (at >= 0) FilePosition = at;
    if (at != BufferedPosition) return 0;
  }
  const int64_t written = THandleStream64::Write(Source, Count);

  // Write-through: the file already holds the bytes, the window only has to stop showing
  // the old ones. Bytes written right behind the window end stay unbuffered, which keeps
  // the window contiguous.
  if (Buffer && written > 0) {
    const auto* in = static_cast<const uint8_t*>(Source);
    if (BufferStart >= BufferedPosition && written > BufferStart - BufferedPosition) {
      const int64_t d = BufferStart - BufferedPosition;
      const int64_t n = std::min(written - d, kBufferSize);
      std::memcpy(Buffer.get(), in + d, size_t(n));
      BufferLength = std::max(BufferLength, n);
    } else if (InWindow(BufferedPosition)) {
      const int64_t d = BufferedPosition - BufferStart;
      const int64_t n = std::min(kBufferSize - d, written);
      std::memcpy(Buffer.get() + d, in, size_t(n));
      BufferLength = std::max(BufferLength, d + n);
    }
  }
  if (written > 0) FilePosition += written;
  BufferedPosition = FilePosition;
  return written;
}

void THgBufferedFileStreamW::SetSize(int64_t NewSize) {
  THandleStream64::SetSize(NewSize);
  const int64_t at = THandleStream64::Seek(0, soCurrent);
  if (at < 0) return;
  FilePosition = at;
  if (at != NewSize) return;
  BufferedPosition = NewSize;
  DropOddWindow();
  if (BufferLength > 0 && NewSize - BufferStart < BufferLength)
    BufferLength = std::max<int64_t>(NewSize - BufferStart, 0);
}

} // namespace clw
