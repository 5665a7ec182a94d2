#pragma once
// What the scan of raw media data finds, and what slice detection makes of it: candidate
// H.264 NAL units in MP4 framing (a 4-byte big-endian length, then the unit), runs of zero
// bytes, and video slices, each a run of exactly contiguous candidates that stands for one
// chunk of video samples, with the gap beside it that holds the audio of the interleave.
//
// The records live here, below both the reader that keeps them and the repair code that
// fills and reads them; the scan and slice detection themselves are supplied to the reader
// through TMp4MediaDataAnalysis.
#include "container/HgBlocksOfOffset.h"
#include "container/LargeBlocks.h"
#include "container/PagedArray.h"
#include "mp4/SliceMembers.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace clw {

class THgMP4FileReader;

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
  // Whether it could stand alone between two audio frames, whatever the file's audio marker.
  // (Without branches: the scan asks it of millions of noise candidates.)
  bool MayStandAlone() const { return ((Neighbour & kAudioEndsBefore) != 0) & (Neighbour < 0x80); }
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

  TSliceMembers Members; // candidate indices in file order; may be longer than Count
  int32_t Count = 0;
  int32_t VCLCount = 0;
  int32_t Link = -1; // index of this slice in the writer's copy
  uint64_t Start = 0;
  uint64_t Size = 0;
  uint64_t GapStart = 0;
  int64_t GapLength = 0;
  uint16_t Flags = 0;
};
using TMDATSlices = TLargeVector<TMDATSlice>;

// A candidate's successor (the candidate that begins where it ends) as the scan records it
// when it did not see the bytes there.
inline constexpr int32_t kSuccessorUnknown = -2;

// Counts the steps of a long loop and polls Owner (a reader or a writer) every 4096 of
// them, so a cancel reaches a loop over millions of candidates, entries or samples within
// milliseconds: true while the work goes on.
template <typename T> class TPollEvery {
public:
  explicit TPollEvery(T& Owner) : Owner(Owner) {}
  bool operator()() { return (++Steps & 0xFFF) != 0 || Owner.Poll(); }

private:
  T& Owner;
  uint32_t Steps = 0;
};

// Index of the first non-zero byte of [P, P + N), or N. Never-written stretches of a card
// run to gigabytes, so it tests 64 bytes at a time.
size_t FirstNonZeroByte(const uint8_t* P, size_t N);

// The kinds and markers the stores of candidates let go of count by.
inline constexpr size_t kKinds = 6;
inline constexpr size_t kMarkers = 64;

// The candidates the scan let go of: none could join a run, and none could stand alone
// followed by the audio marker the scan expected. The byte after each still counts towards
// the file's audio marker, until slice detection would have rejected it as an oversized
// coded slice. Counted by kind (0 for other units, else the coded slice's NAL type), marker
// and length in steps of 32 KiB.
class TDroppedCandidates {
public:
  static constexpr uint32_t kLengthBins = 130;

  void Add(const TMDATChunk& C) { TTally(*this).Add(C); }
  // Add for a loop over millions: the table and the count in hand, the count added to the
  // total when it goes.
  class TTally {
  public:
    explicit TTally(TDroppedCandidates& Store) : Store(Store) {
      if (Store.Counts.empty()) [[unlikely]]
        Store.MakeCounts();
      Counts = Store.Counts.data();
    }
    TTally(const TTally&) = delete;
    TTally& operator=(const TTally&) = delete;
    ~TTally() { Store.Total += Added; }
    void Add(const TMDATChunk& C) {
      ++Added;
      Counts[Cell(C)] += uint32_t(C.Neighbour < 0x80);
    }

  private:
    TDroppedCandidates& Store;
    uint32_t* Counts = nullptr;
    uint64_t Added = 0;
  };
  // Adds the counts by marker (the top seven bits of the byte after the unit) to H[0..63].
  void AddMarkers(std::vector<int32_t>& H) const;
  // Removes the coded slices longer than four times Typical of their type.
  void RemoveOversized(const uint32_t (&Typical)[5]);
  uint64_t Count() const { return Total; }
  void Clear();

private:
  // A coded slice is rejected when longer than four times a typical size, which is a
  // multiple of 8 KiB: bin b holds the lengths (32 KiB * b, 32 KiB * (b + 1)]. Nothing is
  // counted when nothing is known of the byte after it. Which kind a noise candidate is, is
  // a coin toss: masks, not branches.
  static size_t Cell(const TMDATChunk& C) {
    const size_t vcl = size_t(0) - size_t(C.IsVCL());
    const size_t kind = C.NalType() & vcl;
    const size_t bin = std::min<size_t>((C.Length - 1) >> 15, kLengthBins - 1) & vcl;
    return (kind * kMarkers + ((C.Neighbour >> 1) & 63)) * kLengthBins + bin;
  }
  [[gnu::cold, gnu::noinline]] void MakeCounts();

  std::vector<uint32_t> Counts; // [kind][marker][length bin], allocated by the first Add
  uint64_t Total = 0;
};

// What the scan of the media data leaves for slice detection and the dumps.
struct TMp4ScanResults {
  // Granularity of the index by offset.
  static constexpr int32_t kOffsetBlockGranularity = 0x10000;

  TMDATChunks MDATChunks{512};
  TNullBlocks NullBlocks{512};
  // Zero-rich encoder output (CAVLC in particular) makes a candidate every hundred bytes,
  // nearly all of them noise. The scan keeps every candidate while it holds fewer than
  // PruneAbove of them; past that it lets go of those no later step can use.
  uint32_t PruneAbove = 1u << 18;
  TDroppedCandidates Dropped;
  // Of the candidates that could stand alone, slice detection keeps those followed by the
  // file's audio marker; the rest it rejects. Dense content makes millions of them per
  // GiB, and the marker is known only once every candidate has been counted. So the scan
  // expects a marker, the one most candidates have when it first lets candidates go (or
  // ListedMarker, when set below kMarkers), lists the candidates followed by it and lets
  // the others go; ListedAlone counts the ones listed, and bit m of AloneLetGo tells that
  // one followed by marker m was let go. Where the file's marker turns out to be another,
  // slice detection rejects the listed ones as it rejects every listed candidate of another
  // marker; and when candidates of the file's marker were let go, it sets ScanAgainFor to
  // that marker, and the reader checks the file again with it listed (the list is then the
  // same as if the scan had expected the right marker from the start).
  uint8_t ListedMarker = 255;
  uint64_t ListedAlone = 0;
  uint64_t AloneLetGo = 0;
  uint8_t ScanAgainFor = 255;
  // When one scan listed every candidate in the list and let go of those no later step can
  // use, the marker it listed by (else 255). Where that is the file's marker, slice
  // detection has no candidate of another marker to reject.
  uint8_t PrunedBy = 255;
  // The candidate index by offset; slice detection uses it as its list of lone candidates.
  std::unique_ptr<THgBlocksOfOffset> BlocksOfOffset =
      std::make_unique<THgBlocksOfOffset>(kOffsetBlockGranularity);
  // For each candidate, the index of the candidate that begins exactly where it ends, as
  // the scan saw it: -1 none, kSuccessorUnknown (the end lay outside the scanned bytes).
  // Runs are chains of successors; slice detection takes them from here instead of
  // searching millions of positions again, as long as SuccessorsFingerprint shows that the
  // list is still the one the scan (or a compaction) left.
  TLargeVector<int32_t> ChunkSuccessors;
  uint64_t SuccessorsFingerprint = 0;
  // Where the media data begins in the file, and its node in the reader's tree.
  int64_t MediaDataStart = 0;
  int32_t MediaDataNode = -1;

  // Lets go of a candidate that begins no run and belongs to none.
  void LetGo(const TMDATChunk& C) {
    AloneLetGo |= AloneBit(C);
    Dropped.Add(C);
  }
  // The bit of AloneLetGo that letting go of C sets.
  static uint64_t AloneBit(const TMDATChunk& C) {
    return uint64_t(C.MayStandAlone()) << ((C.Neighbour >> 1) & 63);
  }
  // The most frequent top seven bits of the byte after a unit, over the listed candidates
  // and the dropped ones: 255 when no candidate tells, or once Going() answers false.
  template <typename F> uint8_t MostFrequentMarker(F&& Going) const {
    std::vector<int32_t> h(kMarkers, 0);
    for (uint32_t i = 0; i < MDATChunks.Count(); ++i) {
      if (!Going()) return 255;
      const uint8_t neighbour = MDATChunks[i].Neighbour;
      if (neighbour < 0x80) ++h[neighbour >> 1];
    }
    Dropped.AddMarkers(h);
    uint8_t marker = 255;
    for (int32_t m = 0, best = 0; m < int32_t(kMarkers); ++m)
      if (h[size_t(m)] > best) {
        best = h[size_t(m)];
        marker = uint8_t(m);
      }
    return marker;
  }
  uint64_t CandidateFingerprint() const;
  bool SuccessorsCurrent() const {
    return ChunkSuccessors.size() == MDATChunks.Count() &&
           SuccessorsFingerprint == CandidateFingerprint();
  }
  void Clear();
};

// What slice detection learns from the file itself.
struct TSliceStatistics {
  uint8_t AudioMarker = 255;       // most frequent top seven bits of the byte after a unit
  uint32_t TypicalNALSize[5] = {}; // NAL types 1..5
  uint32_t TypicalCandidateSize = 0;
  uint32_t TypicalGap = 0;
  uint32_t TypicalVCLCount = 0;
  uint8_t SingleFrameInterleave = 0;
};

// The scan of raw media data and the slice detection over what it found. The reader's
// analysis runs them through this interface; the repair code supplies them.
class TMp4MediaDataAnalysis {
public:
  virtual ~TMp4MediaDataAnalysis() = default;
  // Scans Length bytes from Start for NAL-unit candidates and zero runs. 0 when scanned,
  // -1 without a stream or when cancelled.
  virtual int32_t ScanMediaData(THgMP4FileReader& Reader, int32_t MediaNode, uint64_t Length,
                                uint64_t Start) const = 0;
  // Rebuilds the reader's slices from its candidates; MediaNode is the media-data node or -1.
  virtual void FindSlices(THgMP4FileReader& Reader, int32_t MediaNode,
                          bool AllowSingleFrame) const = 0;
  // Whether a sample the reader's tables list is damaged inside (a lost sector, H.264 units
  // that do not fill their sample).
  virtual bool HasDamagedSamples(THgMP4FileReader& /*Reader*/) const { return false; }
};

} // namespace clw
