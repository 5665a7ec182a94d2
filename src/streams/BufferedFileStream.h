#pragma once
// The stream through which the readers scan damaged files: one 256 KiB read window that
// follows the reading position forward, keeps the last 8 KiB of the previous window on a
// sequential refill (scanners step back a little to re-read a header), and answers
// position queries and seeks without a system call: the descriptor moves only when a
// refill or a write needs it elsewhere, and the size is asked of the system without moving
// it. Writes go straight to the file and refresh the buffered copy, so there is never
// anything to flush.
#include "streams/Stream64.h"

#include <memory>

namespace clw {

class THgBufferedFileStreamW : public TFileStreamW {
public:
  static constexpr int64_t kBufferSize = 262144;
  static constexpr int64_t kKeepOnRefill = 8192;

  using TFileStreamW::TFileStreamW;
  ~THgBufferedFileStreamW() override;

  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Seek(int64_t Offset, uint16_t Origin) override;
  // Cuts or extends the file like the handle stream, and forgets window bytes that the
  // cut removed so they cannot be read back.
  void SetSize(int64_t NewSize) override;
  // The bytes the window holds from file offset Position on, without a copy: up to Count of
  // them, their number in Length (0, and null, when the window does not hold Position).
  // Valid until the next read, write or size change; the position does not move.
  const uint8_t* Held(int64_t Position, int64_t Count, int64_t& Length);

  int64_t FilePosition = 0;     // where the descriptor stands
  int64_t BufferedPosition = 0; // the stream's logical position
  int64_t FileSize = 0;         // refreshed at every refill, so a growing file is followed
  int64_t BufferStart = 0;      // file offset of Buffer[0]
  int64_t BufferLength = 0;     // valid bytes in Buffer

private:
  bool InWindow(int64_t Pos) const;
  void DropOddWindow();
  int64_t MeasureSize();

  std::unique_ptr<uint8_t[]> Buffer;
};

} // namespace clw
