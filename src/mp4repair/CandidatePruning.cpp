// Which candidates of the media-data scan stay in the list: each candidate is settled once
// the scan has seen the bytes at its end, and once the list has grown past its limit, the
// prune lets go of those no later step can use and the settling lists a new candidate only
// when it is of use. Both keep exactly the candidates the same rule keeps: it begins a run
// (its end is where another candidate begins, or beyond what was scanned), belongs to one
// (another ends where it begins), could stand alone between audio frames followed by the
// audio marker the scan expects (TMp4ScanResults::ListedMarker), is the first of all, or
// may be where a unit of an earlier call ends.
#include "mp4repair/ScanState.h"

#include "mp4/HgMP4File.h"

#include <algorithm>
#include <bit>

namespace clw::scan {

namespace {

// The successor of a listed candidate while the one that begins at its end waits to be
// settled; it never outlives the scan.
constexpr int32_t kSuccessorOpen = -3;

// What the scan saw at a candidate's end, from its record: -1 no candidate begins there,
// kSuccessorUnknown, or 0 one does.
int32_t SuccessorSeen(const TFoundCandidate& F) {
  if (F.End & TFoundCandidate::kSuccessorThere) return 0;
  return (F.End & TFoundCandidate::kSuccessorUnknown) ? kSuccessorUnknown : -1;
}

void Settle(TScan& S, TMp4ScanResults& Found, const TFoundCandidate& F) {
  const TMDATChunk c = F.Chunk();
  const int32_t successor = SuccessorSeen(F);

  // The listed candidates that end where this one begins lead to it.
  S.EndingHere.clear();
  const uint64_t position = F.Position;
  while (!S.Open.empty() && S.Open.top().End <= position) {
    const TOpenLink link = S.Open.top();
    S.Open.pop();
    if (link.End == position)
      S.EndingHere.push_back(link.Index);
    else
      (*S.Successors)[link.Index] = -1; // cannot happen: every successor is settled
  }
  const bool stays = !S.EndingHere.empty() || successor != -1 || Found.MDATChunks.Count() == 0 ||
                     S.IsForeignEnd(position);
  if (S.Pruned && !stays) {
    if (!c.MayStandAlone() || (c.Neighbour >> 1) != S.ListedMarker) {
      Found.LetGo(c);
      return;
    }
    ++Found.ListedAlone;
  }
  const uint32_t index = Found.MDATChunks.Add(c);
  S.Successors->push_back(successor == 0 ? kSuccessorOpen : successor);
  if (successor == 0) S.Open.push(TOpenLink{F.EndPosition(), index});
  for (const uint32_t from : S.EndingHere)
    (*S.Successors)[from] = int32_t(index);
}

// Once the list is pruned, nearly every candidate of dense content is let go: no candidate
// begins where it ends, none ends where it begins, and it cannot stand alone by the
// expected marker. Lets go of Records[From, To) up to the first that is not plainly such
// a one, and returns its index. (Each test is a coin toss on noise: combined, not branched.)
size_t LetGoPlain(TScan& S, TMp4ScanResults& Found, const TFoundCandidate* Records, size_t From,
                  size_t To) {
  if (Found.MDATChunks.Count() == 0) return From;
  // Before this bound no listed unit whose successor waits ends, nor any unit of an
  // earlier call: nothing leads to a candidate there.
  const uint64_t linked = S.Open.empty() ? UINT64_MAX : S.Open.top().End;
  const uint64_t foreign =
      S.NextForeignEnd < S.ForeignEnds.size() ? S.ForeignEnds[S.NextForeignEnd] : UINT64_MAX;
  const uint64_t bound = std::min(linked, foreign);
  constexpr uint16_t kLinked =
      TFoundCandidate::kSuccessorThere | TFoundCandidate::kSuccessorUnknown;
  const uint8_t marker = S.ListedMarker;
  TDroppedCandidates::TTally dropped(Found.Dropped);
  uint64_t alone = 0;
  size_t i = From;
  for (; i < To; ++i) {
    const TFoundCandidate& f = Records[i];
    const TMDATChunk c = f.Chunk();
    const bool listed = c.MayStandAlone() & ((c.Neighbour >> 1) == marker);
    if (((f.End & kLinked) != 0) | (f.Position >= bound) | listed) break;
    // As TMp4ScanResults::LetGo, with the mask and the counts in hand.
    alone |= TMp4ScanResults::AloneBit(c);
    dropped.Add(c);
  }
  Found.AloneLetGo |= alone;
  return i;
}

} // namespace

bool TScan::IsForeignEndAhead(uint64_t Position) {
  while (NextForeignEnd < ForeignEnds.size() && ForeignEnds[NextForeignEnd] < Position)
    ++NextForeignEnd;
  return NextForeignEnd < ForeignEnds.size() && ForeignEnds[NextForeignEnd] == Position;
}

namespace {

// What the window, searched up to position Searched and filled up to Filled, shows at
// the end of candidate F: the record's End. An end the scan did not search has an unknown
// successor, and an unknown byte unless the window holds it. (Inline in the walk over
// millions of ends, with the rest of the candidate test for the few that pass the length
// test out of line.)
[[gnu::always_inline]] inline uint16_t SeeEnd(const TScan& S, const TFoundCandidate& F,
                                              size_t Searched, size_t Filled) {
  constexpr uint16_t seen = TFoundCandidate::kEndSeen;
  const uint64_t end = F.EndPosition();
  for (const auto& [from, to] : S.Skipped)
    if (end >= from && end < to) return seen; // zeros: no candidate begins there
  const uint64_t q = end - S.Base;            // wraps when before the window
  if (q >= Filled) return seen | TFoundCandidate::kByteUnknown | TFoundCandidate::kSuccessorUnknown;
  const uint16_t byte = S.Window[q];
  if (q >= Searched) return seen | byte | TFoundCandidate::kSuccessorUnknown;
  return seen | byte | (S.TakesCandidateAt(size_t(q)) ? TFoundCandidate::kSuccessorThere : 0);
}

// Walks the waiting records from index From on until Stop(record) and sees the ends of
// those not seen yet for which Wanted(record); returns the index of the record it stopped
// at. The ends lie anywhere in the 4 MiB ahead, far out of the caches: each is asked for
// some forty candidates before it is needed (sixteen left the dense check 3% slower;
// sixty-four gained nothing more). Written out in the loop: a helper that does nothing
// but prefetch counts as free of effects, and its calls are dropped.
template <typename FStop, typename FWanted>
size_t SeeEndsUntil(TScan& S, size_t From, size_t Searched, size_t Filled, FStop&& Stop,
                    FWanted&& Wanted) {
  constexpr size_t kAhead = 40;
  const uint8_t* window = S.Window.get();
  const uint64_t base = S.Base;
  const uint64_t filled = Filled;
  return S.Waiting.Walk(From, [&](TFoundCandidate* waiting, size_t count) {
    for (size_t a = 0; a <= kAhead && a < count; ++a) {
      const uint64_t q = waiting[a].EndPosition() - base;
      if (q < filled) __builtin_prefetch(window + q);
    }
    size_t k = 0;
    for (; k < count && !Stop(waiting[k]); ++k) {
      if (k + kAhead < count) {
        const uint64_t q = waiting[k + kAhead].EndPosition() - base;
        if (q < filled) __builtin_prefetch(window + q);
      }
      if (!waiting[k].End && Wanted(waiting[k]))
        waiting[k].End = SeeEnd(S, waiting[k], Searched, Filled);
    }
    return k;
  });
}

} // namespace

size_t SeeEnds(TScan& S, size_t From, uint64_t Limit, size_t Searched, size_t Filled) {
  return SeeEndsUntil(
      S, From, Searched, Filled, [Limit](const TFoundCandidate& f) { return f.Position >= Limit; },
      [](const TFoundCandidate&) { return true; });
}

void SeeSearchedEnds(TScan& S, size_t From) {
  const uint64_t from = S.Base;
  const uint64_t to = S.Base + S.Next;
  SeeEndsUntil(
      S, From, S.Next, S.Filled, [](const TFoundCandidate&) { return false; },
      [from, to](const TFoundCandidate& f) {
        const uint64_t end = f.EndPosition();
        return end >= from && end < to;
      });
}

void SettleSeen(TScan& S, TMp4ScanResults& Found) {
  size_t left = S.Seen > S.Head ? S.Seen - S.Head : 0;
  if (left == 0) return;
  S.Head = S.Waiting.Walk(S.Head, [&](const TFoundCandidate* records, size_t count) {
    const size_t take = std::min(count, left);
    for (size_t i = 0; i < take;) {
      if (S.Pruned) i = LetGoPlain(S, Found, records, i, take);
      if (i < take) Settle(S, Found, records[i++]);
    }
    left -= take;
    return take;
  });
}

void DropSettled(TScan& S) {
  S.Waiting.DropBefore(S.Head);
}

void TWaitingRecords::Append(TBlock& Block, size_t N) {
  FHeld.push_back(THeld{std::move(Block), FEnd, N});
  FEnd += N;
  Block = NewBlock();
}

TWaitingRecords::TBlock TWaitingRecords::NewBlock() {
  if (FSpare.empty()) return std::make_unique_for_overwrite<TFoundCandidate[]>(kBlockRecords);
  TBlock block = std::move(FSpare.back());
  FSpare.pop_back();
  return block;
}

void TWaitingRecords::DropBefore(size_t K) {
  while (!FHeld.empty() && FHeld.front().First + FHeld.front().Count <= K) {
    FSpare.push_back(std::move(FHeld.front().Records));
    FHeld.pop_front();
  }
}

void CloseOpenLinks(TScan& S) {
  for (; !S.Open.empty(); S.Open.pop())
    (*S.Successors)[S.Open.top().Index] = kSuccessorUnknown;
}

bool PruneCandidates(TScan& S, THgMP4FileReader& Reader) {
  TMp4ScanResults& found = Reader.Scan;
  TPollEvery<THgFileReader> going(Reader);
  TMDATChunks& chunks = found.MDATChunks;
  TLargeVector<int32_t>& next = found.ChunkSuccessors;
  const uint32_t first = S.FirstOfScan;
  const uint32_t n = chunks.Count();
  // Bit sets over [First, N): the candidates something leads to (a successor always comes
  // later in the list), then the ones let go of, with their counts before each word.
  const size_t words = (size_t(n - first) + 63) / 64;
  std::vector<uint64_t>& led = S.Led;
  std::vector<uint64_t>& gone = S.Gone;
  led.assign(words, 0);
  gone.assign(words, 0);
  for (uint32_t i = first; i < n; ++i)
    if (next[i] > int32_t(i)) {
      const uint32_t k = uint32_t(next[i]) - first;
      led[k >> 6] |= uint64_t(1) << (k & 63);
    }
  // The marker the settling lists by from now on, which the candidates listed so far meet
  // too. (The count is the same before and after: what goes counts among the dropped.)
  if (S.ListedMarker >= kMarkers)
    S.ListedMarker =
        found.ListedMarker < kMarkers ? found.ListedMarker : found.MostFrequentMarker(going);
  uint32_t kept = first;
  for (uint32_t i = first; i < n; ++i) {
    if (!going()) return false;
    const TMDATChunk& c = chunks[i];
    const uint32_t k = i - first;
    const bool keep =
        i == 0 || next[i] != -1 || ((led[k >> 6] >> (k & 63)) & 1) ||
        (c.MayStandAlone() && (c.Neighbour >> 1) == S.ListedMarker) ||
        std::binary_search(S.ForeignEnds.begin(), S.ForeignEnds.end(), uint64_t(c.Position));
    if (!keep) {
      found.LetGo(c);
      gone[k >> 6] |= uint64_t(1) << (k & 63);
      continue;
    }
    if (kept != i) {
      chunks[kept] = c;
      next[kept] = next[i];
    }
    ++kept;
  }
  std::vector<uint32_t>& before = S.GoneBefore;
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
  std::vector<TOpenLink> open;
  open.reserve(S.Open.size());
  for (; !S.Open.empty(); S.Open.pop())
    open.push_back(TOpenLink{S.Open.top().End, moved(S.Open.top().Index)});
  for (const TOpenLink& link : open)
    S.Open.push(link);
  chunks.Resize(kept);
  next.resize(kept);
  S.Pruned = true;
  return true;
}

} // namespace clw::scan
