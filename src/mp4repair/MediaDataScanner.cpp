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
#include "streams/Endian.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <utility>

namespace clw {

namespace {

constexpr size_t kReadSize = 0x10000;
// A position is examined once 18 bytes from it are in the buffer (length field, header,
// the slice header bits, a box's 64-bit size); the 17 bytes after the last examined
// position are carried into the next read.
constexpr size_t kLookAhead = 18;
constexpr size_t kCarried = kLookAhead - 1;
// Two bytes before the carried tail stay too, so the end-of-frame test before a length
// field sees its bytes even across reads.
constexpr size_t kHistory = 2;
constexpr size_t kBufferSize = kReadSize + kCarried + kHistory;

constexpr uint64_t kMinNullBlock = 513;
constexpr uint64_t kProgressBytes = 0x100001;

// Candidates wait for the byte at their end in a ring of 32 KiB blocks of end offsets;
// the ring spans more than the longest unit, so no two live blocks share a slot.
constexpr int kEndBlockShift = 15;
constexpr size_t kEndRing = 4096;
static_assert(((kMaxNalLength + 4 + kBufferSize) >> kEndBlockShift) + 2 < kEndRing);

// The end offset is kept as its low 32 bits: a pending end lies less than 4 GiB after
// the buffer start at any time.
struct TPendingEnd {
  uint32_t Index;
  uint32_t EndLow;
  uint64_t End(uint64_t base) const { return base + uint32_t(EndLow - uint32_t(base)); }
};

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
};

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

  const uint32_t index = s.Chunks->Add();
  TMDATChunk& c = (*s.Chunks)[index];
  c.Position = position;
  c.Length = length;
  c.Flags = flags;
  c.Header = header;
  c.SliceType = sliceType;
  c.Neighbour = neighbour;
  s.Successors->push_back(-1);
  const uint64_t end = position + length + 4;
  s.Pending[(end >> kEndBlockShift) & (kEndRing - 1)].push_back(TPendingEnd{index, uint32_t(end)});
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

// AAC syntax elements never have the identifier 111 (ID_END) first; such a byte cannot
// start an audio frame and tells nothing.
inline void SetFollowingByte(TMDATChunk& c, uint8_t next) {
  if ((next & 0xE0) != 0xE0)
    c.Neighbour = uint8_t((next & 0xFE) | (c.Neighbour & TMDATChunk::kAudioEndsBefore));
}

// Gives the candidates that end at buffer positions [From, To), all examined by now, the
// byte that follows them and the candidate that begins there.
void ResolveEnds(const uint8_t* buf, size_t from, size_t to, uint64_t base, TScan& s) {
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
      const uint64_t end = e.End(base);
      if (end >= hi) {
        ++k;
        continue;
      }
      const size_t q = size_t(end - base);
      SetFollowingByte((*s.Chunks)[e.Index], buf[q]);
      const uint64_t bit = uint64_t(1) << (q & 63);
      if (end < lo)
        (*s.Successors)[e.Index] = kSuccessorUnknown;
      else if ((q >> 6) < s.FoundWords && (s.Found[q >> 6] & bit))
        (*s.Successors)[e.Index] = int32_t(s.FirstOfRead + s.Rank[q >> 6] +
                                           uint32_t(std::popcount(s.Found[q >> 6] & (bit - 1))));
      list[k] = list.back();
      list.pop_back();
    }
    // A block's list fills while the scan approaches it and empties as it passes; dense
    // candidates make each hold thousands at its peak, so an emptied one lets its room go.
    if (list.empty() && list.capacity() > 256) std::vector<TPendingEnd>().swap(list);
  }
}

// Candidates whose end the scan did not examine: the byte there is still known when it is
// in the buffer, the candidate there is not.
void ResolveRemainingEnds(const uint8_t* buf, size_t filled, uint64_t base, TScan& s) {
  for (std::vector<TPendingEnd>& list : s.Pending) {
    for (const TPendingEnd& e : list) {
      (*s.Successors)[e.Index] = kSuccessorUnknown;
      const uint64_t end = e.End(base);
      if (end >= base + filled) continue;
      SetFollowingByte((*s.Chunks)[e.Index], buf[end - base]);
    }
    list.clear();
  }
}

// Lets go of the candidates of this call that no later step can use, among those whose end
// lies before Frontier (every end there has been looked at, so every link to and from them
// is known): a candidate that begins no run, belongs to none and could never stand alone
// between audio frames. The first candidate of all stays, since slice detection takes it
// for the start of the media data, and so does one where a unit of an earlier call may end.
// False when cancelled, with the list half compacted.
bool PruneCandidates(TScan& s, THgMP4FileReader& reader, uint64_t frontier) {
  TMp4ScanResults& found = reader.Scan;
  TPollEvery<THgFileReader> going(reader);
  TMDATChunks& chunks = found.MDATChunks;
  std::vector<int32_t>& next = found.ChunkSuccessors;
  const uint32_t first = s.FirstOfScan;
  const uint32_t n = chunks.Count();
  // Bit sets over [First, N): the candidates something leads to (a successor always comes
  // later in the list), then the ones let go of, with their counts before each word.
  const size_t words = (size_t(n - first) + 63) / 64;
  std::vector<uint64_t>& led = s.Led;
  std::vector<uint64_t>& gone = s.Gone;
  led.assign(words, 0);
  gone.assign(words, 0);
  for (uint32_t i = first; i < n; ++i)
    if (next[i] > int32_t(i)) {
      const uint32_t k = uint32_t(next[i]) - first;
      led[k >> 6] |= uint64_t(1) << (k & 63);
    }
  uint32_t kept = first;
  for (uint32_t i = first; i < n; ++i) {
    if (!going()) return false;
    const TMDATChunk& c = chunks[i];
    const uint32_t k = i - first;
    const bool keep =
        i == 0 || c.End() >= frontier || next[i] != -1 || ((led[k >> 6] >> (k & 63)) & 1) ||
        c.MayStandAlone() ||
        std::binary_search(s.ForeignEnds.begin(), s.ForeignEnds.end(), uint64_t(c.Position));
    if (!keep) {
      found.Dropped.Add(c);
      gone[k >> 6] |= uint64_t(1) << (k & 63);
      continue;
    }
    if (kept != i) {
      chunks[kept] = c;
      next[kept] = next[i];
    }
    ++kept;
  }
  std::vector<uint32_t>& before = s.GoneBefore;
  before.assign(words + 1, 0);
  for (size_t w = 0; w < words; ++w)
    before[w + 1] = before[w] + uint32_t(std::popcount(gone[w]));
  // Every candidate still referred to was kept; it moved down by the ones gone before it.
  const auto moved = [&](uint32_t i) {
    const uint32_t k = i - first;
    return i - before[k >> 6] -
           uint32_t(std::popcount(gone[k >> 6] & ((uint64_t(1) << (k & 63)) - 1)));
  };
  for (uint32_t k = first; k < kept; ++k)
    if (next[k] >= 0) next[k] = int32_t(moved(uint32_t(next[k])));
  for (std::vector<TPendingEnd>& list : s.Pending)
    for (TPendingEnd& e : list)
      e.Index = moved(e.Index);
  chunks.Resize(kept);
  // The list grows by an eighth of what is kept before the next prune, so the pages it
  // holds stay close to what it keeps, while each candidate is looked at a few times only.
  s.Pruned = true;
  const uint64_t step = std::max<uint64_t>({found.PruneAbove / 4, kept / 8, 1});
  s.PruneAt = uint32_t(std::min<uint64_t>(kept + step, UINT32_MAX));
  // One read adds at most a candidate per five bytes past the prune mark: room for that
  // too, so the list never doubles on its way to the next prune.
  const uint64_t room = uint64_t(s.PruneAt) + kReadSize / 5 + 1;
  next.resize(kept);
  if (next.capacity() > 2 * room) next.shrink_to_fit();
  next.reserve(room);
  return true;
}

// Candidates whose end lies in [Lo, Hi), a stretch of zeros passed over without reading
// it: a zero byte follows each, and no candidate begins there. Base is the absolute offset
// of buffer index 0, within 4 GiB before every pending end.
void ResolveEndsInZeros(uint64_t lo, uint64_t hi, uint64_t base, TScan& s) {
  for (std::vector<TPendingEnd>& list : s.Pending)
    for (size_t k = 0; k < list.size();) {
      const uint64_t end = list[k].End(base);
      if (end < lo || end >= hi) {
        ++k;
        continue;
      }
      SetFollowingByte((*s.Chunks)[list[k].Index], 0);
      list[k] = list.back();
      list.pop_back();
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
      ResolveEndsInZeros(base + next, base + next + skip, base, s);
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
      s.FirstOfRead = found.MDATChunks.Count();
      if (next < to) {
        FindCandidates(buf, next, to, base, s);
        if (Reader.InScanMode()) FindBoxesInData(Reader, buf, next, to, base);
      }
      ResolveEnds(buf, next, examinable, base, s);
      next = examinable;
      if (found.MDATChunks.Count() >= s.PruneAt && !PruneCandidates(s, Reader, base + next)) break;
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
  // no longer depends on when the prunes fell.
  if (!Reader.Cancelled) ResolveRemainingEnds(buf, filled, base, s);
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
