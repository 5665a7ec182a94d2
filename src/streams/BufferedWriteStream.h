#pragma once
// A write-behind stream for the repaired copy. A writer appends chunk after chunk and
// then steps back a few bytes to patch a size field; with an unbuffered file that is a
// handful of system calls per video frame. Here appends collect in one buffer, positions
// and sizes are known without asking the system, and a patch that falls inside the
// buffered tail costs a memory write. Flush reports whether everything reached the file.
#include "streams/Stream64.h"

#include <memory>
#include <vector>

namespace clw {

class TBufferedWriteStream : public TStream64 {
public:
  static constexpr int64_t kBufferSize = 1 << 20;

  // Writes through Target (not owned), from its current position on.
  explicit TBufferedWriteStream(TStream64& Target);
  ~TBufferedWriteStream() override;

  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Seek(int64_t Offset, uint16_t Origin) override;
  void SetSize(int64_t NewSize) override;

  // Writes the buffered bytes; false once any write to the file has failed (OSError then
  // holds the file's reason, when it gave one).
  bool Flush();

  // Appends Count bytes of Source from Offset at the current position, copied by the kernel
  // from file to file where both are files (a repair copies gigabytes of media data that
  // never needs to pass through this process). The bytes copied, which may be fewer (a
  // short file, or a pair of files the kernel cannot copy between); -1 when the stream
  // has failed.
  int64_t CopyFrom(const TStream64& Source, int64_t Offset, int64_t Count);

  // Bytes that reach the file are handed to the disk in steps of this size while the copy
  // is still being written, so the flush before the copy is named finds little left to do
  // and a long repair never fills memory with pages waiting to be written.
  static constexpr int64_t kWriteBackStep = 16 << 20;

private:
  void Fail();
  void Written(int64_t End);

  TStream64& FTarget;
  std::vector<uint8_t> FBuffer; // bytes of [FBufferStart, FBufferStart + size) not yet written
  int64_t FBufferStart = 0;
  int64_t FPosition = 0;
  int64_t FSize = 0; // of the file as it will be once flushed
  bool FFailed = false;
  int64_t FWrittenEnd = 0;   // end of the furthest bytes written to the file
  int64_t FWriteBackEnd = 0; // end of what has been handed to the disk
};

} // namespace clw
