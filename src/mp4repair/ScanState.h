#pragma once
// The working state of one call of the media-data scan (MediaDataScanner.cpp), shared with
// the code that settles each candidate it finds (CandidatePruning.cpp).
//
// A candidate is settled once the scan has examined the bytes at its end: only there does
// it learn which byte follows the unit and whether another candidate begins right where it
// ends. No unit the scan takes is longer than 4 MiB: once the examined bytes pass a
// candidate's furthest possible end, its end is looked at (beside the search of the next
// stretch), and the scan's thread settles it, in position order. Before the window of the
// media data moves on, the ends in the bytes examined are looked at out of order, so that
// it keeps only the bytes where ends not seen yet can lie. Each is settled once,
// with everything known: the candidates that end where it begins are settled before it. While the
// list is short, every candidate enters it. Zero-rich encoder output (CAVLC) makes a candidate
// every hundred bytes; once the list has grown past its limit, a candidate enters it only when it
// begins or belongs to a run, or when it can stand alone between audio frames and the byte
// after it is the one the scan expects to start them (TMp4ScanResults::ListedMarker).
#include "container/LargeBlocks.h"
#include "mp4/Mp4MediaData.h"
#include "mp4repair/BoxHeaderSearch.h"
#include "mp4repair/ScanRules.h"
#include "mp4repair/SearchWidth.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <queue>
#include <vector>

namespace clw {

class THgMP4FileReader;
class TStream64;

namespace scan {

// The scan reads 1 MiB at a time into a window of 32 MiB; a scan of less holds less. When
// the window moves on it keeps the last two reads (the ends it has not seen all lie in
// them), so a larger window copies less per byte scanned. (A word short of 32 MiB: with
// the zeros behind it, it fills its huge pages without touching one more.)
inline constexpr size_t kReadSize = 0x100000;
inline constexpr size_t kWindowSize = 0x2000000 - 64;
// A position is examined once 18 bytes from it are in the window (length field, header,
// the slice header bits, a box's 64-bit size); the 17 bytes after the last examined
// position wait for the next read.
inline constexpr size_t kLookAhead = 18;
inline constexpr size_t kCarried = kLookAhead - 1;
// Two bytes before the first unexamined position stay in the window too, so the
// end-of-frame test before a length field sees its bytes across reads.
inline constexpr size_t kHistory = 2;
// Positions examined per batch of the prefilter.
inline constexpr size_t kBatch = 0x10000;
static_assert(kWindowSize >= 2 * (kMaxUnitLength + kReadSize + 4 * kLookAhead + 128));

// AAC syntax elements never have the identifier 111 (ID_END) first; such a byte cannot
// start an audio frame and tells nothing.
inline void SetFollowingByte(TMDATChunk& C, uint8_t Next) {
  if ((Next & 0xE0) != 0xE0)
    C.Neighbour = uint8_t((Next & 0xFE) | (C.Neighbour & TMDATChunk::kAudioEndsBefore));
}

// What the rest of the candidate rule makes of the unit at P (at file position Position),
// whose length fits its header byte: whether the search takes it, and what its record
// holds of its slice header. (Which of these hold is a coin toss on noise, so they are
// combined without branches.)
struct TCandidateTest {
  bool Kept;
  bool Slice;
  uint8_t SliceType;
  TSliceStart Start;
};
[[gnu::always_inline]] inline TCandidateTest TestCandidate(const uint8_t* P, uint64_t Position,
                                                           uint64_t FileSize) {
  const uint32_t length = ReadBE32(P);
  const uint8_t nalType = P[4] & 0x1F;
  const bool slice = uint8_t(nalType - 1) < 5;
  const TSliceStart start = ReadSliceStart(P + 5, P + kLookAhead);
  const bool typeKnown = slice & start.SliceTypeKnown & (start.SliceType <= 9);
  const uint32_t unknown = TMDATChunk::kSliceTypeUnknown;
  const uint8_t sliceType = uint8_t(unknown ^ ((unknown ^ start.SliceType) & -uint32_t(typeKnown)));
  // A unit that ends with the file is whole: a recording that stops after a picture ends
  // exactly there. Only one that runs past the end was cut.
  const bool kept = (Position + 4 + length <= FileSize) & KeepsSliceType(nalType, sliceType);
  return TCandidateTest{kept, slice, sliceType, start};
}

// A candidate found but not yet settled, in 16 bytes.
struct TFoundCandidate {
  static constexpr uint8_t kPictureStart = 0x10;
  static constexpr uint8_t kAudioEndsBefore = 0x20;
  // What the scan saw at the end (0: not yet): the byte there, unless it is not known, and
  // whether a candidate begins there, or that the scan did not look.
  static constexpr uint16_t kEndSeen = 0x8000;
  static constexpr uint16_t kSuccessorThere = 0x4000;
  static constexpr uint16_t kSuccessorUnknown = 0x2000;
  static constexpr uint16_t kByteUnknown = 0x1000;

  // No initializers: the search writes records into room it does not clear first.
  uint64_t Position;
  uint32_t Length;
  uint8_t Header;
  uint8_t Info; // slice type (bits 0-3), picture start, audio end before it
  uint16_t End;

  uint64_t EndPosition() const { return Position + 4 + Length; }
  // The list's record of a candidate whose end was seen, with the byte after it. (Built
  // for each of the millions of candidates dense content lets go of, of which only a few
  // fields are counted: inline, so that the rest is never written.)
  TMDATChunk Chunk() const {
    TMDATChunk c;
    c.Position = Position;
    c.Length = Length;
    c.Header = Header;
    c.SliceType = Info & 15;
    c.Flags = (Info & kPictureStart) ? TMDATChunk::kPictureStart : 0;
    c.Neighbour = uint8_t(TMDATChunk::kNeighbourUnknown | ((Info & kAudioEndsBefore) ? 1 : 0));
    if (!(End & kByteUnknown)) SetFollowingByte(c, uint8_t(End));
    return c;
  }
};
static_assert(sizeof(TFoundCandidate) == 16);

// Candidates found and not yet settled, in position order, each named by its index among
// all the scan found. Each part of the search writes its candidates into a block of its
// own, which is taken over whole once the stretch is searched, so no record is copied; a
// block whose records are all settled goes back to the spare ones the search takes.
class TWaitingRecords {
public:
  using TBlock = std::unique_ptr<TFoundCandidate[]>;
  // Room for a candidate at every position of a part of the search.
  static constexpr size_t kBlockRecords = kBatch;

  // One past the index of the last record.
  size_t End() const { return FEnd; }
  // The record of index K, which is held (not let go of) and below End. For a single look:
  // walks take runs of records.
  TFoundCandidate& operator[](size_t K) {
    const auto b = Holding(K);
    return b->Records[K - b->First];
  }
  // Calls Take(records, n) for the held records from index From on, a block's run at a
  // time, until Take returns fewer than n (the records it took) or the records end; returns
  // the index after the last record taken.
  template <typename F> size_t Walk(size_t From, F&& Take) {
    size_t k = From;
    for (auto b = Holding(From); b != FHeld.end(); ++b) {
      const size_t skip = k - b->First;
      const size_t n = b->Count - skip;
      const size_t took = Take(b->Records.get() + skip, n);
      k += took;
      if (took < n) break;
    }
    return k;
  }
  // Takes over the first N records of Block behind the others and puts a block to write
  // into in its place.
  void Append(TBlock& Block, size_t N);
  // A block for the search to write into.
  TBlock NewBlock();
  // Lets go of the blocks whose records all lie before index K.
  void DropBefore(size_t K);

private:
  struct THeld {
    TBlock Records;
    size_t First = 0;
    size_t Count = 0;
  };
  // The held block with index K, or the end.
  std::deque<THeld>::iterator Holding(size_t K) {
    return std::partition_point(FHeld.begin(), FHeld.end(),
                                [K](const THeld& b) { return b.First + b.Count <= K; });
  }

  std::deque<THeld> FHeld;
  std::vector<TBlock> FSpare;
  size_t FEnd = 0;
};

// A listed candidate whose successor is not listed yet, by the position it ends at.
struct TOpenLink {
  uint64_t End = 0;
  uint32_t Index = 0;
  bool operator>(const TOpenLink& Other) const { return End > Other.End; }
};

struct TScan;

// Zero runs are followed across reads by the absolute start of the open run.
struct TZeroRun {
  bool Open = false;
  uint64_t Start = 0;
};

// The scan's read of the next stretch: Want bytes into the window behind what it holds,
// with the zero runs among them. It runs beside the search of the stretch before.
struct TScanRead {
  TStream64* Stream = nullptr;
  TNullBlocks* NullBlocks = nullptr;
  TZeroRun Zeros;
  size_t Want = 0;
  // What the last read brought: bytes (0 or less: none, the range ends), and whether they
  // were all zeros.
  int64_t Got = 0;
  bool AllZero = false;

  // Reads into the window at position Filled.
  void Run(TScan& S, size_t Filled);
};

// Everything one call of the scan works with.
struct TScan {
  TLengthRanges Ranges;
  uint64_t FileSize = 0;
  uint64_t RangeStart = 0;
  uint32_t LongestUnit = 0; // no candidate is longer
  TMDATChunks* Chunks = nullptr;
  // Beside each candidate, the one that begins where it ends.
  TLargeVector<int32_t>* Successors = nullptr;

  // The window: bytes [Base, Base + Filled) of the file, searched up to Base + Next.
  size_t Capacity = 0;
  TLargeBlock Window;
  uint64_t Base = 0;
  size_t Filled = 0;
  size_t Next = 0;
  // Box headers found in the window, in position order, not yet in the reader's tree.
  std::vector<TFoundBox> Boxes;
  // Zero stretches passed over without reading them: [first, second) of the file.
  std::vector<std::pair<uint64_t, uint64_t>> Skipped;

  // Candidates found and not yet settled, from index Head on, those before Seen with
  // their ends seen.
  TWaitingRecords Waiting;
  size_t Head = 0;
  size_t Seen = 0;
  // Listed candidates whose successor is still to be settled, nearest end first, and the
  // ones found ending at the candidate being settled.
  std::priority_queue<TOpenLink, std::vector<TOpenLink>, std::greater<>> Open;
  std::vector<uint32_t> EndingHere;

  // Pruning: the first candidate of this call, the count at which the list is pruned next,
  // and, sorted, where units of earlier calls end whose successor nobody has looked for.
  uint32_t FirstOfScan = 0;
  uint32_t PruneAt = UINT32_MAX;
  bool Pruned = false;
  // The marker of the candidates that could stand alone which are listed once pruning has
  // begun (TMp4ScanResults::ListedMarker); 255 until then.
  uint8_t ListedMarker = 255;
  std::vector<uint64_t> ForeignEnds;
  size_t NextForeignEnd = 0;
  std::vector<uint64_t> Led;
  std::vector<uint64_t> Gone;
  std::vector<uint32_t> GoneBefore;

  // Makes a window of Capacity bytes and 16 zero bytes behind them.
  void MakeWindow(size_t Capacity);
  // Whether the length field and header byte at P fit each other (without a branch).
  bool LengthFitsAt(const uint8_t* P) const {
    const uint32_t length = ReadBE32(P);
    const TLengthRange& r = Ranges[P[4]];
    return (length >= r.Min) & (length <= r.Max);
  }
  // Whether the search takes a candidate at window position Q, which it has searched: the
  // test again, on the bytes the window still holds there. The length test turns away all
  // but a few percent of positions, and is made without a branch.
  [[gnu::always_inline]] bool TakesCandidateAt(size_t Q) const {
    if (!LengthFitsAt(Window.get() + Q)) [[likely]]
      return false;
    return TakesFittingCandidateAt(Q);
  }
  // The rest of the test, for the few that pass the length test: out of line.
  [[gnu::noinline]] bool TakesFittingCandidateAt(size_t Q) const {
    const uint8_t* p = Window.get() + Q;
    return MayStartCandidate(p) && TestCandidate(p, Base + Q, FileSize).Kept;
  }
  // Whether a unit of an earlier call ends at Position; positions are asked in order.
  // (Asked of every candidate settled; a first scan has no such units.)
  bool IsForeignEnd(uint64_t Position) {
    return NextForeignEnd < ForeignEnds.size() && IsForeignEndAhead(Position);
  }
  bool IsForeignEndAhead(uint64_t Position);
};

// Finds the candidates at window positions [From, To), every one with kLookAhead bytes in
// the window, writes them to Out (room for To - From) and returns how many. Hits has room
// for kBatch + 64 positions. It reads the window and the tables and writes only Hits and
// Out, so searches of other positions and the settling of earlier ones can run beside it.
size_t FindCandidates(size_t From, size_t To, const TScan& S, uint32_t* Hits, TFoundCandidate* Out);

// FindCandidates the way Width says (no wider than WidestSearch()); FindCandidates runs
// the widest.
size_t FindCandidatesAs(TSearchWidth Width, size_t From, size_t To, const TScan& S, uint32_t* Hits,
                        TFoundCandidate* Out);

// Sees the ends of the waiting candidates from index From on that begin before Limit, and
// returns the index of the first it did not look at. Touches only those records, so it can
// run beside SettleSeen.
size_t SeeEnds(TScan& S, size_t From, uint64_t Limit, size_t Searched, size_t Filled);

// Sees the ends of the waiting candidates from index From on (those before are seen) that
// lie in the bytes the window holds and has searched, out of order. Every end still to be
// seen then lies in bytes still to be searched, and the window need keep no byte before
// them.
void SeeSearchedEnds(TScan& S, size_t From);

// Settles the candidates whose ends are seen, in position order.
void SettleSeen(TScan& S, TMp4ScanResults& Found);

// Gives back the blocks whose records are all settled.
void DropSettled(TScan& S);

// Successors still open when the scan stops are unknown (every successor found is settled
// before the scan stops, so there are none).
void CloseOpenLinks(TScan& S);

// Lets go of the candidates of this call that no later step can use. False when
// cancelled, with the list half compacted.
bool PruneCandidates(TScan& S, THgMP4FileReader& Reader);

} // namespace scan
} // namespace clw
