#pragma once
// The cursor through which MP4, MOV and 3GP files are read and written. Reading walks the
// box ("atom") structure one header at a time and keeps the path of open boxes; every read
// is clipped to the innermost open box. A header that cannot be believed (a size of 2..7,
// a box running past its parent or the file, a type that does not belong where it stands)
// makes the stream look for the next plausible box by scanning the bytes, and once the
// structure is known to be broken every later header is found that way. Writing appends
// boxes whose size fields are patched when they are closed. The stream below is not owned.
// Box sizes in the file are 32-bit big-endian, or 64-bit after a size field of 1; every
// position and size here is 64-bit.
#include "streams/FourCC.h"
#include "streams/Stream64.h"

#include <cstdint>
#include <vector>

namespace clw {

// One open box. The end of a box is DataPosition + Size - HeaderLength.
struct TPosTag {
  static constexpr uint16_t kLargeHeader = 1; // 64-bit size after a size field of 1
  static constexpr uint16_t kContainer = 2;

  uint64_t Size = 0; // header included
  TFourCC Type = 0;
  int64_t DataPosition = 0;
  uint8_t HeaderLength = 8;
  uint16_t Flags = 0;

  // Saturates instead of wrapping for a 64-bit size from a damaged file, and never lies
  // before the data for a size smaller than the header.
  int64_t End() const;
};
using TPosTags = std::vector<TPosTag>;

class THgMp4Stream {
public:
  explicit THgMp4Stream(TStream64* AStream);

  void Reset();
  int64_t Seek(int64_t Offset, uint16_t Origin);

  bool IsContainer(TFourCC Type) const;
  // Reads the next header at the current position, or finds one by scanning, and enters
  // it; true when a box is current. Tolerant: a header that cannot be believed is taken as
  // media data reaching to the end of the file instead of being searched past.
  bool NextAtom(bool Tolerant);
  // Moves to the end of the current box and leaves it; the new position, or -1 (always -1
  // in scan mode, where the next box has been searched instead).
  int64_t LeaveAtom();
  // Reads inside the current box. A read that would pass its end is cut and the buffer's
  // remainder is zero; so is whatever the file could not supply. -1 when nothing can be read.
  int64_t Read(void* Buffer, int64_t Count);
  // Value is 0 unless four bytes were read.
  int64_t ReadU32BE(uint32_t& Value);
  // Moves forward inside the current box; the bytes moved, or -1 for a negative count.
  int64_t Skip(int64_t Count);
  // Re-enters a box known from an earlier walk as the only open box.
  void SetRoot(TFourCC Type, uint64_t Size, int64_t DataPosition);
  // Slides a 4-byte window from the scan position (or the current position when it is not
  // positive) to the next plausible type code; its position, or -1 at the end of the file.
  // AtomType and AtomSize are those of the box found; the stream stands after the type.
  int64_t FindNextAtom();

  // Writing. Returns are negative when the stream refuses a write.
  int64_t WriteAtom(TFourCC Type, const void* Data, int64_t Size);
  // Returns the data position of the opened box.
  int64_t BeginAtom(TFourCC Type, bool Large);
  int64_t WriteData(const void* Data, int64_t Count);
  // Patches the size of the innermost opened box; returns the end of the stream. The header
  // form chosen by BeginAtom decides how; Large is kept for callers' symmetry.
  int64_t EndAtom(bool Large);

  int64_t StreamSize = 0;
  TFourCC AtomType = 0;
  int64_t AtomDataPosition = 0;
  uint64_t AtomSize = 0;
  int64_t AtomHeaderLength = -1; // 8 or 16; -1 with no box open
  bool AtEndOfAtom = false;
  bool AtEndOfFile = false;
  bool HeaderValid = false;
  bool WriteMode = false;
  uint32_t Depth = 0;
  TPosTags Tags; // entries [0, Depth) are open, outermost first
  bool ScanMode = false;
  int64_t LastDataPosition = 0;
  TStream64* Stream = nullptr;
  int64_t ParentEnd = 0;
  int64_t ScanPosition = 0;
  bool IsContainerAtom = false;

private:
  bool ReadExact(void* Buffer, int64_t Count);
  bool WriteExact(const void* Buffer, int64_t Count);
  bool AcceptScanned(int64_t TypePosition);
  bool Accept(TFourCC Type, uint64_t Size, int64_t DataPosition, uint8_t HeaderLength,
              bool Container);
  void Push(const TPosTag& Tag);
  void MakeCurrent(const TPosTag& Tag);
  int64_t CurrentEnd() const;
};

} // namespace clw
