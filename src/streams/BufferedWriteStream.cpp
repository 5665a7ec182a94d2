#include "streams/BufferedWriteStream.h"

#include "streams/BufferedFileStream.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace clw {

TBufferedWriteStream::TBufferedWriteStream(TStream64& Target) : FTarget(Target) {
  FSize = FTarget.Size();
  FPosition = FTarget.Position();
  FBufferStart = FPosition;
  FBuffer.reserve(size_t(kBufferSize));
}

TBufferedWriteStream::~TBufferedWriteStream() {
  Flush();
}

void TBufferedWriteStream::Written(int64_t End) {
  FWrittenEnd = std::max(FWrittenEnd, End);
  if (FWrittenEnd - FWriteBackEnd < kWriteBackStep) return;
  const auto* to = dynamic_cast<const THandleStream64*>(&FTarget);
  if (!to || to->Handle < 0) return;
  // Only starts the writing: the flush before the rename still waits for all of it. A
  // target that cannot do this (a pipe, some file systems) just says so, and is flushed
  // at the end as before.
  ::sync_file_range(to->Handle, FWriteBackEnd, FWrittenEnd - FWriteBackEnd, SYNC_FILE_RANGE_WRITE);
  FWriteBackEnd = FWrittenEnd;
}

void TBufferedWriteStream::Fail() {
  FFailed = true;
  if (OSError == 0) OSError = FTarget.OSError;
}

bool TBufferedWriteStream::Flush() {
  if (!FBuffer.empty()) {
    const auto count = int64_t(FBuffer.size());
    if (FTarget.Seek(FBufferStart, soBeginning) != FBufferStart ||
        FTarget.Write(FBuffer.data(), count) != count)
      Fail();
    else
      Written(FBufferStart + count);
    FBuffer.clear();
  }
  FBufferStart = FPosition;
  return !FFailed;
}

int64_t TBufferedWriteStream::Read(void* Buffer, int64_t Count) {
  if (!Flush() || FTarget.Seek(FPosition, soBeginning) != FPosition) return 0;
  const int64_t got = FTarget.Read(Buffer, Count);
  if (got > 0) FPosition += got;
  FBufferStart = FPosition;
  return got;
}

int64_t TBufferedWriteStream::Write(const void* Buffer, int64_t Count) {
  if (Count <= 0 || FFailed) return 0;
  const auto* bytes = static_cast<const uint8_t*>(Buffer);
  if (FBuffer.empty()) FBufferStart = FPosition;
  const int64_t bufferEnd = FBufferStart + int64_t(FBuffer.size());
  // A patch inside the buffered tail.
  if (FPosition >= FBufferStart && Count <= bufferEnd - FPosition) {
    std::memcpy(FBuffer.data() + (FPosition - FBufferStart), bytes, size_t(Count));
    FPosition += Count;
    return Count;
  }
  // Anything but an append that fits starts a new buffer where the position stands.
  if ((FPosition != bufferEnd || int64_t(FBuffer.size()) + Count > kBufferSize) && !Flush())
    return 0;
  if (Count >= kBufferSize) { // too large to be worth copying: straight to the file
    if (FTarget.Seek(FPosition, soBeginning) != FPosition) {
      Fail();
      return 0;
    }
    const int64_t written = FTarget.Write(Buffer, Count);
    if (written != Count) Fail();
    FPosition += std::max<int64_t>(written, 0);
    Written(FPosition);
    FSize = std::max(FSize, FPosition);
    FBufferStart = FPosition;
    return written;
  }
  FBuffer.insert(FBuffer.end(), bytes, bytes + Count);
  FPosition += Count;
  FSize = std::max(FSize, FPosition);
  return Count;
}

int64_t TBufferedWriteStream::CopyFrom(const TStream64& Source, int64_t Offset, int64_t Count) {
  const auto* from = dynamic_cast<const THandleStream64*>(&Source);
  auto* to = dynamic_cast<THandleStream64*>(&FTarget);
  if (!from || !to || from->Handle < 0 || to->Handle < 0 || Offset < 0 || Count <= 0) return 0;
  if (!Flush()) return -1;
  loff_t in = Offset;
  loff_t out = FPosition;
  int64_t copied = 0;
  while (copied < Count) {
    // One call moves at most a little under 2 GiB.
    const size_t piece = size_t(std::min<int64_t>(Count - copied, 1 << 30));
    const ssize_t n = ::copy_file_range(from->Handle, &in, to->Handle, &out, piece, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break; // the end of the source, or no kernel copy between these files
    copied += n;
  }
  FPosition += copied;
  FSize = std::max(FSize, FPosition);
  FBufferStart = FPosition;
  Written(FPosition);
  // The kernel wrote past the target's own read window, which may still show the bytes
  // that were there before.
  if (auto* window = dynamic_cast<THgBufferedFileStreamW*>(&FTarget); window && copied > 0)
    window->BufferLength = 0;
  return copied;
}

int64_t TBufferedWriteStream::Seek(int64_t Offset, uint16_t Origin) {
  int64_t base = 0;
  if (Origin == soCurrent)
    base = FPosition;
  else if (Origin == soEnd)
    base = FSize;
  else if (Origin != soBeginning)
    return -1;
  if (Offset < -base) return -1;
  FPosition = base + Offset;
  return FPosition;
}

void TBufferedWriteStream::SetSize(int64_t NewSize) {
  Flush();
  FTarget.SetSize(NewSize);
  FSize = NewSize;
  FPosition = std::min(FPosition, NewSize);
  FBufferStart = FPosition;
}

} // namespace clw
