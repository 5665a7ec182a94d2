// Which candidates of the media-data scan stay in the list: the prune that lets go of those
// no later step can use, and, once the list has been pruned, the deferral that lists a new
// candidate only when its neighbours show it is of use. Both keep exactly the candidates
// the same rule keeps: it begins a run (its end is where another candidate begins, or
// beyond what was scanned), belongs to one (another ends where it begins), could stand
// alone between audio frames, is the first of all, or may be where a unit of an earlier
// call ends.
#include "mp4repair/ScanState.h"

#include "mp4/HgMP4File.h"

#include <algorithm>
#include <bit>

namespace clw::scan {

namespace {

// Deferred record layout: end within its block (15 bits), the deferred bit, the length
// (27 bits: units are shorter than 100 MiB), the header byte, the slice type (4 bits),
// the picture-start flag and whether an AAC frame ends before it.
constexpr int kLengthShift = 16;
constexpr int kHeaderShift = 43;
constexpr int kSliceTypeShift = 51;
constexpr int kPictureShift = 55;
constexpr int kAudioShift = 56;
static_assert(kMaxNalLength < (uint64_t(1) << (kHeaderShift - kLengthShift)));

// A candidate that begins no run and belongs to none: of use only standing alone.
void KeepApartOrDrop(TMp4ScanResults& Found, const TMDATChunk& C) {
  if (C.MayStandAlone())
    Found.Alone.Add(C);
  else
    Found.Dropped.Add(C);
}

} // namespace

TPendingEnd TPendingEnd::Listed(uint32_t Index, uint64_t End) {
  TPendingEnd e;
  e.Bits = (End & 0x7FFF) | uint64_t(Index) << 16;
  return e;
}

TPendingEnd TPendingEnd::Deferred(const TMDATChunk& C) {
  TPendingEnd e;
  e.Bits = (C.End() & 0x7FFF) | uint64_t(1) << 15 | uint64_t(C.Length) << kLengthShift |
           uint64_t(C.Header) << kHeaderShift | uint64_t(C.SliceType & 15) << kSliceTypeShift |
           uint64_t((C.Flags & TMDATChunk::kPictureStart) != 0) << kPictureShift |
           uint64_t(C.Neighbour & TMDATChunk::kAudioEndsBefore) << kAudioShift;
  return e;
}

TMDATChunk TPendingEnd::Record(uint64_t Block) const {
  TMDATChunk c;
  c.Length = uint32_t((Bits >> kLengthShift) & ((uint64_t(1) << 27) - 1));
  c.Position = End(Block) - c.Length - 4;
  c.Header = uint8_t(Bits >> kHeaderShift);
  c.SliceType = uint8_t((Bits >> kSliceTypeShift) & 15);
  c.Flags = (Bits >> kPictureShift) & 1 ? TMDATChunk::kPictureStart : 0;
  c.Neighbour = uint8_t(TMDATChunk::kNeighbourUnknown | ((Bits >> kAudioShift) & 1));
  return c;
}

bool TScan::IsForeignEnd(uint64_t Position) const {
  return !ForeignEnds.empty() &&
         std::binary_search(ForeignEnds.begin(), ForeignEnds.end(), Position);
}

void SettleDeferred(TScan& S, TMp4ScanResults& Found, TMDATChunk C, int32_t Successor,
                    int32_t StagedSuccessor, uint32_t Next) {
  if (Next <= 0xFF) SetFollowingByte(C, uint8_t(Next));
  if (StagedSuccessor < 0 && Successor == -1) {
    KeepApartOrDrop(Found, C);
    return;
  }
  const uint32_t index = Found.MDATChunks.Add(C);
  S.Successors->push_back(StagedSuccessor >= 0 ? -1 : Successor);
  if (StagedSuccessor >= 0) S.Links.emplace_back(index, uint32_t(StagedSuccessor));
  S.Late.push_back(index);
}

void CommitStaged(TScan& S, TMp4ScanResults& Found) {
  S.StagedIndex.assign(S.Staged.size(), UINT32_MAX);
  for (size_t k = 0; k < S.Staged.size(); ++k) {
    const TStaged& t = S.Staged[k];
    const TMDATChunk& c = t.Chunk;
    const bool stays = t.Led || Found.MDATChunks.Count() == 0 || S.IsForeignEnd(c.Position) ||
                       (t.Resolved && t.Successor != -1);
    if (!stays) {
      if (t.Resolved)
        KeepApartOrDrop(Found, c);
      else
        S.Pending[(c.End() >> kEndBlockShift) & (kEndRing - 1)].push_back(TPendingEnd::Deferred(c));
      continue;
    }
    const uint32_t index = Found.MDATChunks.Add(c);
    S.StagedIndex[k] = index;
    S.Successors->push_back(t.Resolved && t.Successor < 0 ? t.Successor : -1);
    if (!t.Resolved)
      S.Pending[(c.End() >> kEndBlockShift) & (kEndRing - 1)].push_back(
          TPendingEnd::Listed(index, c.End()));
  }
  // A successor is led to, so it stays.
  for (size_t k = 0; k < S.Staged.size(); ++k)
    if (S.StagedIndex[k] != UINT32_MAX && S.Staged[k].Resolved && S.Staged[k].Successor >= 0)
      (*S.Successors)[S.StagedIndex[k]] = int32_t(S.StagedIndex[size_t(S.Staged[k].Successor)]);
  for (const auto& [from, to] : S.Links)
    (*S.Successors)[from] = int32_t(S.StagedIndex[to]);
  S.Links.clear();
  S.Staged.clear();
}

void PutInPositionOrder(TScan& S, TMp4ScanResults& Found) {
  if (S.Late.empty()) return;
  TMDATChunks& chunks = Found.MDATChunks;
  std::vector<int32_t>& next = *S.Successors;
  const uint32_t first = S.FirstOfScan;
  const uint32_t n = chunks.Count();
  // The candidates listed at once are in position order, and so, once sorted, are the late
  // ones: merged, they give each its place.
  std::vector<std::pair<uint64_t, uint32_t>> late;
  late.reserve(S.Late.size());
  std::vector<uint64_t> isLate((size_t(n - first) + 63) / 64, 0);
  for (const uint32_t i : S.Late) {
    late.emplace_back(uint64_t(chunks[i].Position), i); // a packed field: no reference to it
    isLate[(i - first) >> 6] |= uint64_t(1) << ((i - first) & 63);
  }
  std::vector<uint32_t>().swap(S.Late);
  std::sort(late.begin(), late.end());
  std::vector<uint32_t> place(n - first); // old index - first -> new index
  uint32_t at = first;
  size_t l = 0;
  for (uint32_t i = first; i < n; ++i) {
    if ((isLate[(i - first) >> 6] >> ((i - first) & 63)) & 1) continue;
    const uint64_t position = chunks[i].Position;
    for (; l < late.size() && late[l].first < position; ++l)
      place[late[l].second - first] = at++;
    place[i - first] = at++;
  }
  for (; l < late.size(); ++l)
    place[late[l].second - first] = at++;
  std::vector<std::pair<uint64_t, uint32_t>>().swap(late);

  for (uint32_t i = first; i < n; ++i)
    if (next[i] >= int32_t(first)) next[i] = int32_t(place[uint32_t(next[i]) - first]);
  // Each record moves along its cycle of the permutation; a visited mark per record.
  std::fill(isLate.begin(), isLate.end(), 0);
  for (uint32_t i = first; i < n; ++i) {
    if ((isLate[(i - first) >> 6] >> ((i - first) & 63)) & 1) continue;
    TMDATChunk chunk = chunks[i];
    int32_t successor = next[i];
    uint32_t j = place[i - first];
    while (true) {
      isLate[(j - first) >> 6] |= uint64_t(1) << ((j - first) & 63);
      std::swap(chunk, chunks[j]);
      std::swap(successor, next[j]);
      if (j == i) break;
      j = place[j - first];
    }
  }
}

bool PruneCandidates(TScan& S, THgMP4FileReader& Reader, uint64_t Frontier) {
  TMp4ScanResults& found = Reader.Scan;
  TPollEvery<THgFileReader> going(Reader);
  TMDATChunks& chunks = found.MDATChunks;
  std::vector<int32_t>& next = found.ChunkSuccessors;
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
  uint32_t kept = first;
  for (uint32_t i = first; i < n; ++i) {
    if (!going()) return false;
    const TMDATChunk& c = chunks[i];
    const uint32_t k = i - first;
    const bool keep = i == 0 || c.End() >= Frontier || next[i] != -1 ||
                      ((led[k >> 6] >> (k & 63)) & 1) || c.MayStandAlone() ||
                      S.IsForeignEnd(c.Position);
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
  for (std::vector<TPendingEnd>& list : S.Pending)
    for (TPendingEnd& e : list)
      if (!e.IsDeferred()) e.SetIndex(moved(e.Index()));
  chunks.Resize(kept);
  next.resize(kept);
  S.Pruned = true;
  return true;
}

} // namespace clw::scan
