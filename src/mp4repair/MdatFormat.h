#pragma once
// What the scan of raw media data finds, and what slice detection makes of it: candidate
// H.264 NAL units in MP4 framing (a 4-byte big-endian length, then the unit), runs of zero
// bytes, and video slices, each a run of exactly contiguous candidates that stands for one
// chunk of video samples, with the gap beside it that holds the audio of the interleave.
#include "container/PagedArray.h"

#include <cstdint>
#include <vector>

namespace clw {

#pragma pack(push, 1)

// A NAL-unit candidate; packed, since a damaged camera file yields millions of them.
struct TMDATChunk {
  static constexpr uint16_t kRejected = 1;     // removed by the next compaction
  static constexpr uint16_t kPictureStart = 2; // coded slice with first_mb_in_slice 0
  static constexpr uint8_t kSliceTypeUnknown = 15;
  // Neighbour byte: bit 0 set when an AAC frame ends just before the length field; bits
  // 1..7 the top seven bits of the byte after the unit. 0xE0: nothing known of the latter.
  static constexpr uint8_t kAudioEndsBefore = 1;
  static constexpr uint8_t kNeighbourUnknown = 0xE0;

  uint64_t Position = 0; // of the length field
  uint32_t Length = 0;   // of the unit without its length field
  uint16_t Flags = 0;
  uint8_t Header = 0; // NAL header byte: forbidden bit, nal_ref_idc (bits 5-6), type (0-4)
  uint8_t SliceType = kSliceTypeUnknown;
  uint8_t Neighbour = kNeighbourUnknown;
  int32_t Run = 0; // n - 1 for each member of a run of n contiguous candidates, else 0

  uint64_t End() const { return Position + Length + 4; }
  uint8_t NalType() const { return Header & 0x1F; }
  bool IsVCL() const { return NalType() >= 1 && NalType() <= 5; }
};
static_assert(sizeof(TMDATChunk) == 21);

#pragma pack(pop)

// A run of zero bytes: a region the recorder never wrote.
struct TNullBlock {
  uint64_t Start = 0;
  uint64_t Length = 0;
};
static_assert(sizeof(TNullBlock) == 16);

using TMDATChunks = TPagedArray<TMDATChunk>;
using TNullBlocks = TPagedArray<TNullBlock>;

// A video slice: candidates that follow each other without a byte between them, with the
// gap that belongs to it (after it when the media data starts with video, else before it).
struct TMDATSlice {
  static constexpr uint16_t kDeleted = 1;

  std::vector<int32_t> Members; // candidate indices in file order; may be longer than Count
  int32_t Count = 0;
  int32_t VCLCount = 0;
  int32_t Link = -1; // index of this slice in the writer's copy
  uint64_t Start = 0;
  uint64_t Size = 0;
  uint64_t GapStart = 0;
  int64_t GapLength = 0;
  uint16_t Flags = 0;
};
using TMDATSlices = std::vector<TMDATSlice>;

} // namespace clw
