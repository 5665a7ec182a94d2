// The scan of raw media data. Every byte offset of the range is tried as the 4-byte
// big-endian length field of an H.264 unit in MP4 framing; what passes the header and
// length rules becomes a candidate. Beside that the scan records long runs of zero bytes
// (regions the recorder never wrote), notes for each candidate whether an AAC frame ends
// just before it, which byte follows it and which candidate begins right where it ends,
// and, once the box structure is known to be broken, registers box headers it meets.
//
// This is the hot loop of a check: gigabytes pass through it, and encoder output with
// many zero bytes yields a candidate every few dozen bytes. A word-at-a-time test keeps
// the per-offset work to a few operations: a length field of a real unit is below
// 100 MiB, so its top byte is at most 6, and its header byte has the forbidden bit clear
// and a non-zero type. Only offsets that pass both get the full test.
#include "mp4/Mp4BoxTypes.h"
#include "mp4repair/MediaDataAnalysis.h"
#include "mp4repair/ScanRules.h"
#include "mp4repair/ScanState.h"
#include "streams/Endian.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <utility>

namespace clw {

namespace {

using namespace scan;

constexpr uint64_t kMinNullBlock = 513;
constexpr uint64_t kProgressBytes = 0x100001;
static_assert(((kMaxNalLength + 4 + kBufferSize) >> kEndBlockShift) + 2 < kEndRing);

// Known box types by their first two characters, so that almost every offset of damaged
// data is passed over with one bit test before the table search.
struct TBoxPrefixes {
  std::array<uint64_t, 1024> Bits{};
  TBoxPrefixes() {
    for (TFourCC t : kKnownBoxTypes)
      Set(uint16_t(t & 0xFFFF));
  }
  void Set(uint16_t key) { Bits[key >> 6] |= uint64_t(1) << (key & 63); }
  bool Has(uint16_t key) const { return (Bits[key >> 6] >> (key & 63)) & 1; }
};

const TBoxPrefixes& BoxPrefixes() {
  static const TBoxPrefixes prefixes;
  return prefixes;
}

// Zero runs are followed across reads by the absolute start of the open run.
struct TZeroRun {
  bool Open = false;
  uint64_t Start = 0;
};

// Follows the zero runs through the N new bytes at P, absolute offset At, and appends
// every run of kMinNullBlock or more that a non-zero byte ends. True when all N bytes are
// zero. Every run long enough to matter covers one of the 8-byte windows tested from the
// last non-zero byte on, so isolated zero bytes cost nothing.
bool TrackZeroRuns(const uint8_t* p, size_t n, uint64_t at, TZeroRun& run, TNullBlocks& out) {
  const auto firstNonZero = [&](size_t i) { return i + FirstNonZeroByte(p + i, n - i); };
  const auto close = [&](size_t end) {
    const uint64_t length = at + end - run.Start;
    if (length >= kMinNullBlock) out.Add(TNullBlock{run.Start, length});
    run.Open = false;
  };
  if (n == 0) return false;
  size_t i = 0; // p[i] is non-zero, or i is 0 and no run is open
  if (run.Open) {
    i = firstNonZero(0);
    if (i == n) return true;
    close(i);
  }
  for (;;) {
    size_t w = i;
    while (w + 8 <= n && ReadLE64(p + w) != 0)
      w += 8;
    if (w + 8 > n) break;
    size_t s = w;
    while (s > i && p[s - 1] == 0)
      --s;
    const size_t e = firstNonZero(w + 8);
    run.Open = true;
    run.Start = at + s;
    if (e == n) return s == 0;
    close(e);
    i = e;
  }
  // A short run at the very end may go on in the next read.
  size_t s = n;
  while (s > i && p[s - 1] == 0)
    --s;
  if (s < n) {
    run.Open = true;
    run.Start = at + s;
  }
  return s == 0;
}

// Whether the length field and header byte at P fit each other; most offsets that pass
// the prefilter fail here. Branch-free, since the answer is a coin toss.
inline bool LengthFitsHeader(const uint8_t* p, const TScan& s) {
  const uint32_t length = ReadBE32(p);
  const TLengthRange& r = s.Ranges[p[4]];
  return (length >= r.Min) & (length <= r.Max);
}

// The rest of the test of buffer position Q, whose length fits its header byte; Base is
// the absolute offset of buffer index 0.
void TryCandidate(const uint8_t* buf, size_t q, uint64_t base, TScan& s) {
  const uint8_t* p = buf + q;
  const uint32_t length = ReadBE32(p);
  const uint8_t header = p[4];
  const uint64_t position = base + q;
  // A unit that ends with the file is whole: a recording that stops after a picture ends
  // exactly there. Only one that runs past the end was cut.
  if (position + 4 + length > s.FileSize) return;

  uint16_t flags = 0;
  uint8_t sliceType = TMDATChunk::kSliceTypeUnknown;
  const uint8_t nalType = header & 0x1F;
  if (nalType >= 1 && nalType <= 5) {
    const TSliceStart start = ReadSliceStart(p + 5, p + kLookAhead);
    if (start.FirstMbKnown && start.FirstMb == 0) flags |= TMDATChunk::kPictureStart;
    if (start.SliceTypeKnown && start.SliceType <= 9) sliceType = uint8_t(start.SliceType);
  }
  if (!KeepsSliceType(nalType, sliceType)) return;
  uint8_t neighbour = TMDATChunk::kNeighbourUnknown;
  // The media data's first unit has nothing before it that could be anything but audio.
  if (position == s.RangeStart || (q >= 2 && AudioEndsIn(ReadBE16(p - 2))))
    neighbour |= TMDATChunk::kAudioEndsBefore;

  TMDATChunk c;
  c.Position = position;
  c.Length = length;
  c.Flags = flags;
  c.Header = header;
  c.SliceType = sliceType;
  c.Neighbour = neighbour;
  if (s.Deferring) {
    s.Staged.push_back(TStaged{c});
  } else {
    const uint32_t index = s.Chunks->Add(c);
    s.Successors->push_back(-1);
    s.Pending[(c.End() >> kEndBlockShift) & (kEndRing - 1)].push_back(
        TPendingEnd::Listed(index, c.End()));
  }
  s.Found[q >> 6] |= uint64_t(1) << (q & 63);
  s.FoundWords = (q >> 6) + 1;
}

// Candidates at buffer positions [From, To); every position has kLookAhead bytes.
void FindCandidates(const uint8_t* buf, size_t from, size_t to, uint64_t base, TScan& s) {
  const uint8_t top = s.TopByteLimit;
  uint32_t* hits = s.Hits.data();
  size_t count = 0;
  size_t q = from;
  for (; q + 16 <= to; q += 16) {
    uint32_t lanes = CandidateLanes(buf + q, top);
    while (lanes) {
      const size_t at = q + size_t(std::countr_zero(lanes));
      hits[count] = uint32_t(at);
      count += LengthFitsHeader(buf + at, s);
      lanes &= lanes - 1;
    }
  }
  for (; q < to; ++q) {
    hits[count] = uint32_t(q);
    count += MayStartCandidate(buf + q, top) && LengthFitsHeader(buf + q, s);
  }
  // The rest of the test is rarer and branchier; doing it apart keeps the loop above tight.
  for (size_t k = 0; k < count; ++k)
    TryCandidate(buf, hits[k], base, s);
}

// The candidate of the current read at buffer position Q (a list index, or this read's
// staged index while deferring), or -1.
inline int32_t FoundAt(const TScan& s, size_t q) {
  const uint64_t bit = uint64_t(1) << (q & 63);
  if ((q >> 6) >= s.FoundWords || !(s.Found[q >> 6] & bit)) return -1;
  return int32_t(s.FirstOfRead + s.Rank[q >> 6] +
                 uint32_t(std::popcount(s.Found[q >> 6] & (bit - 1))));
}

// Settles a waiting candidate whose end now lies behind the scan: Next is the byte there
// (0x100: not known) and At the candidate that begins there (FoundAt), or
// kSuccessorUnknown when the scan did not examine that position.
void Settle(TPendingEnd e, uint64_t block, uint32_t next, int32_t at, TScan& s,
            TMp4ScanResults& found) {
  const bool staged = s.Deferring && at >= 0;
  if (staged) s.Staged[size_t(at)].Led = true;
  if (e.IsDeferred()) {
    SettleDeferred(s, found, e.Record(block), staged ? -1 : at, staged ? at : -1, next);
    return;
  }
  TMDATChunk& c = (*s.Chunks)[e.Index()];
  if (next <= 0xFF) SetFollowingByte(c, uint8_t(next));
  if (staged)
    s.Links.emplace_back(e.Index(), uint32_t(at));
  else if (at != -1)
    (*s.Successors)[e.Index()] = at;
}

// Gives the candidates that end at buffer positions [From, To), all examined by now, the
// byte that follows them and the candidate that begins there.
void ResolveEnds(const uint8_t* buf, size_t from, size_t to, uint64_t base, TScan& s,
                 TMp4ScanResults& found) {
  if (from >= to) return;
  // Ranks only where this read found candidates: a read of zeros finds none.
  const size_t firstWord = from >> 6;
  const size_t rankedEnd = std::min((to - 1) >> 6, s.FoundWords);
  s.Rank[firstWord] = 0;
  for (size_t w = firstWord; w < rankedEnd; ++w)
    s.Rank[w + 1] = s.Rank[w] + uint32_t(std::popcount(s.Found[w]));

  const uint64_t lo = base + from;
  const uint64_t hi = base + to;
  for (uint64_t b = lo >> kEndBlockShift; b <= (hi - 1) >> kEndBlockShift; ++b) {
    std::vector<TPendingEnd>& list = s.Pending[b & (kEndRing - 1)];
    for (size_t k = 0; k < list.size();) {
      const TPendingEnd e = list[k];
      const uint64_t end = e.End(b);
      if (end >= hi) {
        ++k;
        continue;
      }
      list[k] = list.back();
      list.pop_back();
      const size_t q = size_t(end - base);
      Settle(e, b, buf[q], end < lo ? kSuccessorUnknown : FoundAt(s, q), s, found);
    }
    // A block's list fills while the scan approaches it and empties as it passes; dense
    // candidates make each hold thousands at its peak, so an emptied one lets its room go.
    if (list.empty() && list.capacity() > 256) std::vector<TPendingEnd>().swap(list);
  }
  // While deferring, this read's own candidates wait in no list yet.
  for (TStaged& t : s.Staged) {
    const uint64_t end = t.Chunk.End();
    if (end >= hi) continue;
    const size_t q = size_t(end - base);
    SetFollowingByte(t.Chunk, buf[q]);
    t.Successor = FoundAt(s, q);
    t.Resolved = true;
    if (t.Successor >= 0) s.Staged[size_t(t.Successor)].Led = true;
  }
}

// Candidates whose end the scan did not examine: the byte there is still known when it is
// in the buffer, the candidate there is not. No end lies before Lo.
void ResolveRemainingEnds(const uint8_t* buf, size_t filled, uint64_t base, uint64_t lo, TScan& s,
                          TMp4ScanResults& found) {
  for (size_t slot = 0; slot < kEndRing; ++slot) {
    const uint64_t block = BlockOfSlot(slot, lo >> kEndBlockShift);
    std::vector<TPendingEnd> list;
    list.swap(s.Pending[slot]);
    for (const TPendingEnd& e : list) {
      const uint64_t end = e.End(block);
      const uint32_t next = end >= base && end < base + filled ? buf[end - base] : 0x100;
      Settle(e, block, next, kSuccessorUnknown, s, found);
    }
  }
}

// Candidates whose end lies in [Lo, Hi), a stretch of zeros passed over without reading
// it: a zero byte follows each, and no candidate begins there. No end lies before Lo.
void ResolveEndsInZeros(uint64_t lo, uint64_t hi, TScan& s, TMp4ScanResults& found) {
  for (size_t slot = 0; slot < kEndRing; ++slot) {
    const uint64_t block = BlockOfSlot(slot, lo >> kEndBlockShift);
    std::vector<TPendingEnd>& list = s.Pending[slot];
    for (size_t k = 0; k < list.size();) {
      const TPendingEnd e = list[k];
      const uint64_t end = e.End(block);
      if (end < lo || end >= hi) {
        ++k;
        continue;
      }
      list[k] = list.back();
      list.pop_back();
      Settle(e, block, 0, -1, s, found);
    }
  }
}

// Box headers inside damaged media data, at buffer positions [From, To), go into the tree
// as top-level media-data nodes.
void FindBoxesInData(THgMP4FileReader& reader, const uint8_t* buf, size_t from, size_t to,
                     uint64_t base) {
  const TBoxPrefixes& prefixes = BoxPrefixes();
  for (size_t q = from; q < to; ++q) {
    const uint8_t* p = buf + q;
    if (!prefixes.Has(ReadLE16(p + 4))) continue;
    const uint32_t size = ReadBE32(p);
    if (size == 0) continue;
    const TFourCC type = ReadLE32(p + 4);
    if (!IsKnownBoxType(type)) continue;
    if (size > BoxSizeLimit(type)) continue;
    const uint64_t position = base + q;
    const bool large = size == 1;
    const uint64_t boxSize = large ? ReadBE64(p + 8) : size;
    const int32_t node = reader.AddNode(-1, type, 0, int64_t(position + (large ? 16 : 8)),
                                        int64_t(std::min<uint64_t>(boxSize, uint64_t(INT64_MAX))));
    reader.SetFlags(node, nfMediaData | (large ? nfLargeHeader : 0));
  }
}

} // namespace

int32_t ScanMediaData(THgMP4FileReader& Reader, uint64_t Length, uint64_t Start) {
  TStream64* stream = Reader.Source();
  if (!stream) return kCancelled;
  const int64_t saved = stream->Position();
  TMp4ScanResults& found = Reader.Scan;
  const uint64_t fileSize = Reader.FileSize;

  // Candidates of earlier scans whose record no longer matches the list are unknown.
  if (!found.SuccessorsCurrent())
    found.ChunkSuccessors.assign(found.MDATChunks.Count(), kSuccessorUnknown);

  // Some 300 KiB of per-read tables: on the heap, not the stack of whoever calls.
  const auto state = std::make_unique<TScan>();
  TScan& s = *state;
  s.FileSize = fileSize;
  const uint64_t maxNal = MaxNalLength(fileSize);
  s.Ranges = MakeLengthRanges(maxNal);
  s.TopByteLimit = maxNal == 0 ? 0 : uint8_t((maxNal - 1) >> 24);
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

  // Slack behind the data: the word-at-a-time tests never read it, but keep it zero.
  std::vector<uint8_t> buffer(kBufferSize + 16, 0);
  uint8_t* buf = buffer.data();

  uint64_t remaining = Length;
  if (Start > uint64_t(INT64_MAX) || (Length > 0 && stream->Seek(int64_t(Start), soBeginning) < 0))
    remaining = 0;

  uint64_t base = Start; // absolute offset of buf[0]
  size_t filled = 0;     // bytes in the buffer
  size_t next = 0;       // first position not yet examined
  TZeroRun zeros;
  uint64_t unreported = 0;
  bool allZero = false;
  // The walk measured a long stretch of zeros (a card's never-written clusters) that may
  // lie in the range: once the scan reads zeros inside it, it passes over the rest as if it
  // had read them, and reads again from one read before the stretch ends.
  const TZeroStretch& known = Reader.KnownZeroStretch;
  const bool measured = known.FileSize == int64_t(fileSize) && known.Header >= 0;
  const uint64_t zerosStart = measured ? uint64_t(known.Header) : 0;
  const uint64_t zerosEnd = measured ? uint64_t(known.End) : 0;
  while (remaining > 0 && !Reader.Cancelled) {
    const size_t keep = next >= kHistory ? next - kHistory : 0;
    std::memmove(buf, buf + keep, filled - keep);
    base += keep;
    filled -= keep;
    next -= keep;

    // After an all-zero read every byte kept in the buffer is zero, so moving the buffer
    // further into the stretch changes nothing but where it stands.
    const uint64_t readAt = base + filled;
    if (allZero && readAt >= zerosStart && readAt + 2 * kReadSize < zerosEnd &&
        remaining > 2 * kReadSize) {
      const uint64_t skip = std::min(zerosEnd - kReadSize - readAt, remaining - kReadSize);
      if (stream->Seek(int64_t(readAt + skip), soBeginning) < 0) break;
      ResolveEndsInZeros(base + next, base + next + skip, s, found);
      base += skip;
      remaining -= skip;
      unreported += skip;
    }

    const size_t want = size_t(std::min<uint64_t>(remaining, kReadSize));
    const int64_t got = stream->Read(buf + filled, int64_t(want));
    if (got <= 0) break;
    const size_t fresh = filled;
    const size_t n = std::min(size_t(got), want);
    filled += n;

    allZero = TrackZeroRuns(buf + fresh, n, base + fresh, zeros, found.NullBlocks);
    const size_t examinable = filled >= kLookAhead ? filled - kCarried : 0;
    if (next < examinable) {
      // In an all-zero read only positions of the carried tail can see a non-zero length.
      const size_t to = allZero ? std::min(examinable, fresh) : examinable;
      std::fill_n(s.Found.begin(), s.FoundWords, 0);
      s.FoundWords = 0;
      s.FirstOfRead = s.Deferring ? 0 : found.MDATChunks.Count();
      if (next < to) {
        FindCandidates(buf, next, to, base, s);
        if (Reader.InScanMode()) FindBoxesInData(Reader, buf, next, to, base);
      }
      ResolveEnds(buf, next, examinable, base, s, found);
      next = examinable;
      if (s.Deferring) {
        CommitStaged(s, found);
      } else if (found.MDATChunks.Count() >= s.PruneAt) {
        // From the first prune on, a candidate enters the list only when it stays.
        if (!PruneCandidates(s, Reader, base + next)) break;
        s.Deferring = true;
      }
    }

    remaining -= n;
    unreported += n;
    if (Reader.OnProgress && unreported >= kProgressBytes) {
      unreported = 0;
      const uint64_t at = base + filled;
      Reader.OnProgress(
          &Reader, percentStep == 0 ? 0 : int64_t(std::min<uint64_t>((at + 1) / percentStep, 100)));
    }
  }
  // Every end is judged once the rest are resolved; once pruning has begun, what is kept
  // no longer depends on when the prunes fell, nor on what waited outside the list.
  if (!Reader.Cancelled) {
    ResolveRemainingEnds(buf, filled, base, base + next, s, found);
    PutInPositionOrder(s, found);
  }
  if (!Reader.Cancelled && (s.Pruned || found.MDATChunks.Count() >= s.PruneAt) &&
      PruneCandidates(s, Reader, UINT64_MAX))
    found.MDATChunks.ReleaseUnused();
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
