#pragma once
// The working state of one call of the media-data scan (MediaDataScanner.cpp), shared with
// the code that decides which candidates the scan keeps (CandidatePruning.cpp).
//
// Every candidate waits for the bytes at its end: only there does the scan learn which
// byte follows the unit and whether another candidate begins right where it ends. While
// the list is short, every candidate enters it at once. Zero-rich encoder output (CAVLC)
// makes a candidate every hundred bytes whose claimed length runs megabytes ahead, so
// millions wait at a time; once the list has grown past its limit, a candidate enters it
// only when it is sure to stay (another unit ends where it begins) or when its end shows
// that it begins a run. Until then it waits as eight bytes in the ring of ends; one that can
// only stand alone between audio frames is kept apart (TAloneCandidates) until slice
// detection knows which byte starts the file's audio frames.
#include "mp4/Mp4MediaData.h"
#include "mp4repair/ScanRules.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace clw {

class THgMP4FileReader;

namespace scan {

inline constexpr size_t kReadSize = 0x10000;
// A position is examined once 18 bytes from it are in the buffer (length field, header,
// the slice header bits, a box's 64-bit size); the 17 bytes after the last examined
// position are carried into the next read.
inline constexpr size_t kLookAhead = 18;
inline constexpr size_t kCarried = kLookAhead - 1;
// Two bytes before the carried tail stay too, so the end-of-frame test before a length
// field sees its bytes even across reads.
inline constexpr size_t kHistory = 2;
inline constexpr size_t kBufferSize = kReadSize + kCarried + kHistory;

// Candidates wait for the byte at their end in a ring of 32 KiB blocks of end offsets;
// the ring spans more than the longest unit, so no two live blocks share a slot.
inline constexpr int kEndBlockShift = 15;
inline constexpr size_t kEndRing = 4096;

// A candidate waiting for its end, in eight bytes: where in its block it ends, and either
// the index of its record in the list or, for a deferred one, the record itself (the
// position follows from the end and the length).
class TPendingEnd {
public:
  static TPendingEnd Listed(uint32_t Index, uint64_t End);
  static TPendingEnd Deferred(const TMDATChunk& C);
  bool IsDeferred() const { return (Bits >> 15) & 1; }
  uint32_t Index() const { return uint32_t(Bits >> 16); }
  void SetIndex(uint32_t Index) { Bits = (Bits & 0xFFFF) | uint64_t(Index) << 16; }
  // Block: the end's 32 KiB block, which the ring slot alone does not tell.
  uint64_t End(uint64_t Block) const { return Block << kEndBlockShift | (Bits & 0x7FFF); }
  TMDATChunk Record(uint64_t Block) const;

private:
  uint64_t Bits = 0;
};
static_assert(sizeof(TPendingEnd) == 8);

// The block of the ring slot Slot, when no pending end lies before block Low.
constexpr uint64_t BlockOfSlot(size_t Slot, uint64_t Low) {
  return Low + ((Slot - Low) & (kEndRing - 1));
}

// AAC syntax elements never have the identifier 111 (ID_END) first; such a byte cannot
// start an audio frame and tells nothing.
inline void SetFollowingByte(TMDATChunk& C, uint8_t Next) {
  if ((Next & 0xE0) != 0xE0)
    C.Neighbour = uint8_t((Next & 0xFE) | (C.Neighbour & TMDATChunk::kAudioEndsBefore));
}

// A candidate of the current read while the list takes only what stays.
struct TStaged {
  TMDATChunk Chunk;
  int32_t Successor = -1; // this read's candidate at its end, kSuccessorUnknown, or -1
  bool Resolved = false;  // its end lay in this read
  bool Led = false;       // another unit ends where it begins
};

// Everything one call of the scan works with.
struct TScan {
  TLengthRanges Ranges;
  uint8_t TopByteLimit = 0; // largest top byte of an acceptable length field
  uint64_t FileSize = 0;
  uint64_t RangeStart = 0;
  TMDATChunks* Chunks = nullptr;
  // Beside each candidate, the one that begins where it ends (-1 until one is seen).
  std::vector<int32_t>* Successors = nullptr;

  // Candidates found by the current read, by buffer position, and their rank, so the
  // candidate beginning at an end offset is found without a search.
  static constexpr size_t kWords = (kBufferSize + 63) / 64;
  std::array<uint32_t, kBufferSize> Hits{}; // positions that passed the length test
  std::array<uint64_t, kWords> Found{};
  std::array<uint32_t, kWords + 1> Rank{};
  size_t FoundWords = 0; // words of Found that may hold a bit
  uint32_t FirstOfRead = 0;

  std::vector<std::vector<TPendingEnd>> Pending = std::vector<std::vector<TPendingEnd>>(kEndRing);

  // Pruning: the first candidate of this call, the count at which the list is pruned next,
  // and, sorted, where units of earlier calls end whose successor nobody has looked for.
  uint32_t FirstOfScan = 0;
  uint32_t PruneAt = UINT32_MAX;
  bool Pruned = false;
  std::vector<uint64_t> ForeignEnds;
  std::vector<uint64_t> Led;
  std::vector<uint64_t> Gone;
  std::vector<uint32_t> GoneBefore;

  // After the first prune: this read's candidates, what became of them, the links from
  // listed candidates to them (list index, staged index), and the candidates listed only
  // when their end was seen, out of position order.
  bool Deferring = false;
  std::vector<TStaged> Staged;
  std::vector<uint32_t> StagedIndex;
  std::vector<std::pair<uint32_t, uint32_t>> Links;
  std::vector<uint32_t> Late;

  bool IsForeignEnd(uint64_t Position) const;
};

// Lets go of the candidates of this call that no later step can use, among those whose end
// lies before Frontier. False when cancelled, with the list half compacted.
bool PruneCandidates(TScan& S, THgMP4FileReader& Reader, uint64_t Frontier);

// A waiting candidate whose end is now seen (the byte there in Next, 0x100 when it is not
// known; its successor: a list index, kSuccessorUnknown or -1; or StagedSuccessor, this
// read's candidate at its end): listed when a later step can use it, else counted as let go.
void SettleDeferred(TScan& S, TMp4ScanResults& Found, TMDATChunk C, int32_t Successor,
                    int32_t StagedSuccessor, uint32_t Next);

// Lists this read's candidates that stay, defers the rest, and links what leads to them.
void CommitStaged(TScan& S, TMp4ScanResults& Found);

// Restores the list of this call to position order once every end is settled.
void PutInPositionOrder(TScan& S, TMp4ScanResults& Found);

} // namespace scan
} // namespace clw
