// The scan of raw media data. Every byte offset of the range is tried as the 4-byte
// big-endian length field of an H.264 unit in MP4 framing; what passes the header and
// length rules becomes a candidate. Beside that the scan records long runs of zero bytes
// (regions the recorder never wrote), notes for each candidate whether an AAC frame ends
// just before it, which byte follows it and which candidate begins right where it ends,
// and, once the box structure is known to be broken, registers the box headers it meets
// (BoxHeaderSearch.cpp).
//
// The media data passes through a window of the file: the scan reads 1 MiB at a time
// into it, searches the new positions for candidates (CandidateSearch.cpp) and looks at
// the ends of earlier ones, all shared out between two threads (StretchWork.cpp), and
// settles each candidate once the window holds every byte its unit could reach
// (CandidatePruning.cpp).
#include "mp4repair/MediaDataAnalysis.h"
#include "mp4repair/ScanRules.h"
#include "mp4repair/ScanState.h"
#include "mp4repair/StretchWork.h"
#include "streams/Endian.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

namespace clw {

namespace {

using namespace scan;

constexpr uint64_t kMinNullBlock = 513;
constexpr uint64_t kProgressBytes = 0x100001;

// Follows the zero runs through the N new bytes at P, absolute offset At, and appends
// every run of kMinNullBlock or more that a non-zero byte ends. True when all N bytes are
// zero. A run that long holds a whole block of kZeroProbe bytes at a multiple of
// kZeroProbe from P, and that block begins with eight zero bytes; so one word is tested per
// block, however many short runs of zeros encoder output holds, and only a block that
// begins with zeros is looked at whole.
bool TrackZeroRuns(const uint8_t* p, size_t n, uint64_t at, TZeroRun& run, TNullBlocks& out) {
  constexpr size_t kZeroProbe = 256;
  static_assert(2 * kZeroProbe - 1 <= kMinNullBlock);
  const auto firstNonZero = [&](size_t i) { return i + FirstNonZeroByte(p + i, n - i); };
  const auto close = [&](size_t end) {
    const uint64_t length = at + end - run.Start;
    if (length >= kMinNullBlock) out.Add(TNullBlock{run.Start, length});
    run.Open = false;
  };
  const auto probeFrom = [](size_t i) { return (i + kZeroProbe - 1) & ~(kZeroProbe - 1); };
  if (n == 0) return false;
  size_t i = 0; // no run reaches back before i
  if (run.Open) {
    i = firstNonZero(0);
    if (i == n) return true;
    close(i);
  }
  for (size_t b = probeFrom(i); b + kZeroProbe <= n;) {
    if (ReadLE64(p + b) != 0 || FirstNonZeroByte(p + b, kZeroProbe) != kZeroProbe) {
      b += kZeroProbe;
      continue;
    }
    size_t s = b;
    while (s > i && p[s - 1] == 0)
      --s;
    const size_t e = firstNonZero(b + kZeroProbe);
    run.Open = true;
    run.Start = at + s;
    if (e == n) return s == 0;
    close(e);
    i = e;
    b = probeFrom(e);
  }
  // A run at the very end, shorter than two blocks, may go on in the next read.
  size_t s = n;
  while (s > i && p[s - 1] == 0)
    --s;
  if (s < n) {
    run.Open = true;
    run.Start = at + s;
  }
  return s == 0;
}

} // namespace

void scan::TScanRead::Run(TScan& S, size_t Filled) {
  const int64_t got = Stream->Read(S.Window.get() + Filled, int64_t(Want));
  Got = std::min<int64_t>(got, int64_t(Want));
  if (Got > 0)
    AllZero =
        TrackZeroRuns(S.Window.get() + Filled, size_t(Got), S.Base + Filled, Zeros, *NullBlocks);
}

namespace {

// Moves the window on so that it begins at absolute offset From (at most where the
// examined bytes end, less the bytes the audio test looks back on), rounded down to a
// multiple of 64 bytes, so that window positions keep their alignment.
void MoveWindow(TScan& s, uint64_t from) {
  from = std::min(from, s.Base + s.Next - std::min<size_t>(s.Next, kHistory));
  if (from <= s.Base) return;
  const size_t shift = size_t(from - s.Base) & ~size_t(63);
  if (shift == 0) return;
  std::memmove(s.Window.get(), s.Window.get() + shift, s.Filled - shift);
  s.Base += shift;
  s.Filled -= shift;
  s.Next -= shift;
}

// Passes over Skip bytes of a measured stretch of zeros that begins at the first
// unexamined position: the ends of waiting candidates examined so far are taken now, the
// ones inside the stretch are zeros, and the zeros in the window stand for the bytes
// behind the stretch.
void PassOverZeros(TScan& s, uint64_t skip) {
  const uint64_t examined = s.Base + s.Next;
  SeeSearchedEnds(s, s.Seen);
  s.Skipped.emplace_back(examined, examined + skip);
  MoveWindow(s, examined);
  s.Base += skip;
}

// Box headers found inside damaged media data go into the tree as top-level media-data
// nodes.
void RegisterBoxes(THgMP4FileReader& reader, std::vector<TFoundBox>& boxes) {
  for (const TFoundBox& box : boxes) {
    const int32_t node =
        reader.AddNode(-1, box.Type, 0, int64_t(box.Position + (box.Large ? 16 : 8)),
                       int64_t(std::min<uint64_t>(box.Size, uint64_t(INT64_MAX))));
    reader.SetFlags(node, nfMediaData | (box.Large ? nfLargeHeader : 0));
  }
  boxes.clear();
}

} // namespace

// The settling reads bytes anywhere in the window: a large one goes on huge pages.
void TScan::MakeWindow(size_t capacity) {
  Window = AllocateLarge(capacity + 16);
  Capacity = capacity;
  std::fill_n(Window.get() + capacity, 16, 0);
}

int32_t ScanMediaData(THgMP4FileReader& Reader, uint64_t Length, uint64_t Start) {
  TStream64* stream = Reader.Source();
  if (!stream) return kCancelled;
  const int64_t saved = stream->Position();
  TMp4ScanResults& found = Reader.Scan;
  const uint64_t fileSize = Reader.FileSize;

  // Candidates of earlier scans whose record no longer matches the list are unknown.
  if (!found.SuccessorsCurrent())
    found.ChunkSuccessors.assign(found.MDATChunks.Count(), kSuccessorUnknown);

  // The batch tables and the window: on the heap, not the stack of whoever calls.
  const auto state = std::make_unique<TScan>();
  TScan& s = *state;
  s.FileSize = fileSize;
  const uint64_t maxNal = MaxNalLength(fileSize);
  s.Ranges = MakeLengthRanges(maxNal);
  s.LongestUnit = uint32_t(std::min<uint64_t>(maxNal == 0 ? 0 : maxNal - 1, kMaxUnitLength));
  s.RangeStart = Start;
  s.Chunks = &found.MDATChunks;
  s.Successors = &found.ChunkSuccessors;
  s.FirstOfScan = found.MDATChunks.Count();
  s.PruneAt = found.PruneAbove;
  for (uint32_t i = 0; i < s.FirstOfScan; ++i)
    if (found.ChunkSuccessors[i] == kSuccessorUnknown && found.MDATChunks[i].End() >= Start)
      s.ForeignEnds.push_back(found.MDATChunks[i].End());
  std::sort(s.ForeignEnds.begin(), s.ForeignEnds.end());
  const uint64_t percentStep = fileSize / 100;

  // A short range fits the window whole. Slack behind the data: the word-at-a-time tests
  // never read it, but keep it zero.
  s.MakeWindow(size_t(std::min<uint64_t>(kWindowSize, (Length + 127) & ~uint64_t(63))));
  s.Base = Start;

  uint64_t remaining = Length;
  if (Start > uint64_t(INT64_MAX) || (Length > 0 && stream->Seek(int64_t(Start), soBeginning) < 0))
    remaining = 0;

  uint64_t unreported = 0;
  // The walk measured a long stretch of zeros (a card's never-written clusters) that may
  // lie in the range: once the scan reads zeros inside it, it passes over the rest as if it
  // had read them, and reads again from one read before the stretch ends.
  const TZeroStretch& known = Reader.KnownZeroStretch;
  const bool measured = known.FileSize == int64_t(fileSize) && known.Header >= 0;
  const uint64_t zerosStart = measured ? uint64_t(known.Header) : 0;
  const uint64_t zerosEnd = measured ? uint64_t(known.End) : 0;
  TScanRead read;
  read.Stream = stream;
  read.NullBlocks = &found.NullBlocks;
  bool reading = false;
  TStretchWork work(s, read, Length >= 4 * kReadSize);
  const uint64_t reach = uint64_t(s.LongestUnit) + 4;
  // Every end not seen yet lies at or after this position (0: not known).
  uint64_t seenBefore = 0;
  for (;;) {
    work.Finish();
    RegisterBoxes(Reader, s.Boxes);
    if (std::exchange(reading, false)) {
      if (read.Got <= 0) {
        remaining = 0; // the range ends here
      } else {
        s.Filled += size_t(read.Got);
        remaining -= uint64_t(read.Got);
        unreported += uint64_t(read.Got);
      }
    }
    DropSettled(s);
    if (Reader.Cancelled) break;
    const size_t wanted = size_t(std::min<uint64_t>(remaining, kReadSize));
    // The window keeps what the ends not seen yet may reach; settling reads only records.
    // Those that lie in the bytes searched are seen first, unless the last look at the ends
    // saw them already.
    if (s.Capacity - s.Filled < wanted) {
      if (seenBefore == 0) {
        SeeSearchedEnds(s, s.Seen);
        seenBefore = s.Base + s.Next;
      }
      MoveWindow(s, seenBefore);
    }

    // After an all-zero read every byte the window holds from the examinable positions on
    // is zero, so once the positions before them are searched, moving the window further
    // into the stretch changes nothing but where it stands.
    const uint64_t readAt = s.Base + s.Filled;
    size_t examinable = s.Filled >= kLookAhead ? s.Filled - kCarried : 0;
    if (read.AllZero && readAt >= zerosStart && readAt + 2 * kReadSize < zerosEnd &&
        remaining > 2 * kReadSize) {
      if (s.Next < examinable) {
        work.Start(s.Next, examinable, 0, false, Reader.InScanMode());
        work.Finish();
        RegisterBoxes(Reader, s.Boxes);
      }
      const uint64_t skip = std::min(zerosEnd - kReadSize - readAt, remaining - kReadSize);
      if (stream->Seek(int64_t(readAt + skip), soBeginning) < 0) break;
      PassOverZeros(s, skip);
      remaining -= skip;
      unreported += skip;
      examinable = s.Next;
    }

    // The search of what the last read made examinable, the look at the ends no unit can
    // reach beyond the bytes searched before and the next read run while the candidates
    // whose ends were seen are settled.
    if (s.Next >= examinable && remaining == 0) break;
    const uint64_t searched = s.Base + s.Next;
    read.Want = std::min(wanted, s.Capacity - s.Filled);
    reading = remaining > 0;
    // When the window must move before the next read, this look at the ends also sees
    // those in the bytes searched before, beside the search, and the move keeps only the
    // bytes from here on.
    const bool seeSearched = s.Capacity - s.Filled - read.Want < kReadSize;
    seenBefore = seeSearched ? searched : 0;
    work.Start(s.Next, examinable, searched > reach ? searched - reach : 0, reading,
               Reader.InScanMode(), seeSearched);
    SettleSeen(s, found);
    // From the first prune on, a candidate enters the list only when it stays.
    if (!s.Pruned && found.MDATChunks.Count() >= s.PruneAt && !PruneCandidates(s, Reader)) break;
    if (Reader.OnProgress && unreported >= kProgressBytes) {
      unreported = 0;
      const uint64_t at = s.Base + s.Filled;
      Reader.OnProgress(
          &Reader, percentStep == 0 ? 0 : int64_t(std::min<uint64_t>((at + 1) / percentStep, 100)));
    }
  }
  work.Finish();
  RegisterBoxes(Reader, s.Boxes);
  // Every end is judged once the rest are settled; once pruning has begun, what is kept
  // no longer depends on when the prunes fell.
  if (!Reader.Cancelled) {
    s.Seen = SeeEnds(s, s.Seen, UINT64_MAX, s.Next, s.Filled);
    SettleSeen(s, found);
    CloseOpenLinks(s);
    if (!s.Pruned && found.MDATChunks.Count() >= s.PruneAt) PruneCandidates(s, Reader);
    if (s.Pruned && !Reader.Cancelled) found.MDATChunks.ReleaseUnused();
    // A list this call added to holds candidates of one pruned scan only when it began it.
    if (found.MDATChunks.Count() > s.FirstOfScan)
      found.PrunedBy = s.Pruned && s.FirstOfScan == 0 ? s.ListedMarker : uint8_t(255);
  }
  if (Reader.Cancelled) {
    // A prune may have stopped half way: what this call found is no list at all.
    found.MDATChunks.Resize(s.FirstOfScan);
    found.ChunkSuccessors.resize(s.FirstOfScan);
  }
  found.SuccessorsFingerprint = found.CandidateFingerprint();

  stream->Seek(saved, soBeginning);
  return Reader.Cancelled ? kCancelled : kDone;
}

} // namespace clw
