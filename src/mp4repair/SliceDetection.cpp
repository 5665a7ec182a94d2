// Slice detection: turns the scanner's noisy candidate list into video slices. A camera
// writes each chunk of video as units that follow each other without a byte between them,
// and puts the audio of the interleave in the gap to the next chunk; so runs of exactly
// contiguous candidates are the chunks, and what lies between them is audio. False
// candidates inside compressed data form runs too; the file's own statistics
// (SliceStatistics.cpp) and the arbitration between overlapping runs
// (SliceArbitration.cpp) throw them out.
#include "mp4repair/ScanRules.h"
#include "mp4repair/SliceDetector.h"
#include "mp4repair/SliceOps.h"

#include <algorithm>
#include <utility>

namespace clw {

using namespace slices;

TSliceDetector::TSliceDetector(THgMP4FileReader& Reader)
    : Reader(Reader), Scan(Reader.Scan), MDATChunks(Reader.Scan.MDATChunks),
      MDATSlices(Reader.MDATSlices), Stats(Reader.SliceStatistics), Going(Reader) {}

void TSliceDetector::PruneLoneCandidates() {
  // Only a scan that let candidates go has work here. Of the candidates that stand alone it
  // listed those of the marker it expected: the ones of another marker than the file's are
  // rejected, and when it let go of some of the file's marker, the list lacks them and the
  // reader scans again with that marker.
  if (Scan.Dropped.Count() == 0 && Scan.ListedAlone == 0) return;
  const uint8_t marker = FindAudioMarker();
  if (Reader.Cancelled) return;
  if (marker < kMarkers && ((Scan.AloneLetGo >> marker) & 1)) {
    Scan.ScanAgainFor = marker;
    return;
  }
  // Scans that listed by the file's marker let go of the others that could stand alone.
  if (marker == Scan.PrunedBy || !Scan.SuccessorsCurrent()) return;
  TMDATChunks& chunks = MDATChunks;
  const uint32_t n = chunks.Count();
  // Candidates something leads to: a recorded successor, or where a unit whose successor
  // the scan could not see ends.
  std::vector<bool> led(n);
  for (uint32_t i = 0; i < n; ++i) {
    if (!Going()) return;
    int32_t j = Scan.ChunkSuccessors[i];
    if (j == kSuccessorUnknown) j = FindChunkAt(chunks, chunks[i].End(), i + 1, n);
    if (j > int32_t(i) && uint32_t(j) < n) led[uint32_t(j)] = true;
  }
  bool any = false;
  for (uint32_t i = 1; i < n; ++i) {
    if (!Going()) return;
    TMDATChunk& c = chunks[i];
    if (led[i] || Scan.ChunkSuccessors[i] != -1 || !c.MayStandAlone() ||
        (c.Neighbour >> 1) == marker)
      continue;
    Scan.Dropped.Add(c);
    c.Flags |= TMDATChunk::kRejected;
    any = true;
  }
  if (!any) return;
  CompactCandidates();
}

void TSliceDetector::BuildRuns() {
  MDATSlices.clear();
  BuildRunsOf(nullptr);
}

void TSliceDetector::RecordedSuccessors(TLargeVector<int32_t>& Next) {
  if (Scan.SuccessorsCurrent())
    Next = Scan.ChunkSuccessors;
  else
    Next.assign(MDATChunks.Count(), kSuccessorUnknown);
}

int32_t TSliceDetector::SuccessorOf(uint32_t I, int32_t Recorded, uint32_t N) {
  if (Recorded == -1) return -1;
  // The record is trusted as far as it can be used safely; anything else is searched.
  int32_t j = Recorded;
  if (j <= int32_t(I) || uint32_t(j) >= N)
    j = FindChunkAt(MDATChunks, MDATChunks[I].End(), I + 1, N);
  return j <= int32_t(I) ? -1 : j;
}

void TSliceDetector::BuildRunsOf(const std::vector<bool>* Only) {
  TMDATChunks& chunks = MDATChunks;
  const uint32_t n = chunks.Count();
  const auto in = [&](uint32_t i) { return !Only || (*Only)[i]; };

  // The candidate that begins where each one ends, and how many candidates the chain from
  // each one holds; a chain only ever moves forward, so the lengths fill in backwards. The
  // scan saw most successors already; the others are searched.
  const auto rejected = [&](int32_t i) {
    return (chunks[uint32_t(i)].Flags & TMDATChunk::kRejected) != 0;
  };
  TLargeVector<int32_t>& next = WorkList;
  RecordedSuccessors(next);
  bool anyRejected = false;
  for (uint32_t i = 0; i < n; ++i) {
    if (!Going()) return;
    int32_t& j = next[i];
    if (!in(i)) {
      j = -1;
      continue;
    }
    chunks[i].Run = 0;
    if (rejected(int32_t(i))) {
      anyRejected = true;
      j = -1;
    }
    j = SuccessorOf(i, j, n);
  }
  // A rejected candidate ends the chains that lead to it too.
  if (anyRejected)
    for (uint32_t i = 0; i < n; ++i)
      if (next[i] >= 0 && rejected(next[i])) next[i] = -1;
  // Counted backwards; the heads are the chains nothing leads to. Room for one run per
  // head, taken at once: dense content makes runs by the hundred thousand, and a list that
  // doubles holds both copies at its peak.
  TLargeVector<uint32_t>& chainLength = ChainLength;
  chainLength.resize(n);
  std::vector<bool> led(n);
  for (uint32_t i = n; i-- > 0;) {
    const int32_t j = next[i];
    chainLength[i] = 1 + (j >= 0 ? chainLength[uint32_t(j)] : 0);
    if (j >= 0) led[uint32_t(j)] = true;
  }
  size_t heads = 0;
  for (uint32_t i = 0; i < n; ++i)
    heads += next[i] >= 0 && !led[i];
  const size_t before = MDATSlices.size();
  MDATSlices.reserve(before + heads);

  // The chains are walked once each; the second member of a chain lies anywhere in the
  // next few MiB of the list, so it is asked for a few heads ahead.
  constexpr uint32_t kAhead = 16;
  std::vector<int32_t>& chain = Chain;
  for (uint32_t i = 0; i < n; ++i) {
    if (!Going()) return;
    if (i + kAhead < n && next[i + kAhead] >= 0)
      __builtin_prefetch(&chunks[uint32_t(next[i + kAhead])]);
    if (next[i] < 0) continue; // a chain of one
    const TMDATChunk& first = chunks[i];
    if (first.Run != 0) continue;
    // A chain that runs into a longer run found earlier gives way to it: the longer run
    // keeps its members and this chain makes no run.
    const uint32_t length = chainLength[i];
    bool yields = false;
    chain.clear();
    for (int32_t m = int32_t(i); m >= 0 && !yields; m = next[uint32_t(m)]) {
      yields = uint32_t(chunks[uint32_t(m)].Run) > length - 1;
      chain.push_back(m);
    }
    if (yields) continue;
    for (const int32_t m : chain)
      chunks[uint32_t(m)].Run = int32_t(length - 1);
    TMDATSlice slice;
    slice.Members.assign(chain.begin(), chain.end());
    slice.Count = int32_t(length);
    RecountVCL(slice, chunks);
    UpdateExtent(slice, chunks);
    MDATSlices.push_back(std::move(slice));
  }

  // A run found earlier whose tail a longer run took over keeps only its head.
  bool deleted = false;
  for (size_t r = before; r < MDATSlices.size(); ++r) {
    if (!Going()) return;
    TMDATSlice& s = MDATSlices[r];
    int32_t k = 0;
    while (k < s.Count && chunks[uint32_t(s.Members[k])].Run == s.Count - 1)
      ++k;
    if (k == s.Count) continue;
    KeepHead(s, k);
    if (s.Count < 2) {
      Dissolve(s, chunks);
      s.Flags |= TMDATSlice::kDeleted;
      deleted = true;
      continue;
    }
    RecountVCL(s, chunks);
    UpdateExtent(s, chunks);
  }
  // Only new slices are deleted: those before keep their places.
  if (deleted) CompactSlices(MDATSlices);
  if (before > 0)
    std::inplace_merge(
        MDATSlices.begin(), MDATSlices.begin() + std::ptrdiff_t(before), MDATSlices.end(),
        [](const TMDATSlice& a, const TMDATSlice& b) { return a.Members[0] < b.Members[0]; });
}

void TSliceDetector::RebuildRunsWithoutRejected() {
  TMDATChunks& chunks = MDATChunks;
  const uint32_t n = chunks.Count();
  // Chains only meet where one leads into another, and then end at the same candidate; so
  // building the runs again changes only the runs of chains that end where a chain through
  // a rejected candidate ends (taking every link, rejected or not). The other runs keep
  // their members under their new indices.
  TLargeVector<int32_t>& next = WorkList;
  RecordedSuccessors(next);
  for (uint32_t i = 0; i < n; ++i) {
    if (!Going()) return;
    next[i] = SuccessorOf(i, next[i], n);
  }
  TLargeVector<uint32_t>& last = ChainLength;
  last.resize(n);
  for (uint32_t i = n; i-- > 0;)
    last[i] = next[i] >= 0 ? last[uint32_t(next[i])] : i;
  std::vector<bool> met(n);
  for (uint32_t i = 0; i < n; ++i)
    if (chunks[i].Flags & TMDATChunk::kRejected) met[last[i]] = true;
  const auto changed = [&](uint32_t i) { return met[last[i]]; };

  CompactCandidates();
  const TLargeVector<int32_t>& newIndex = WorkList;
  std::vector<bool> again(chunks.Count());
  for (uint32_t i = 0; i < n; ++i)
    if (newIndex[i] >= 0 && changed(i)) again[uint32_t(newIndex[i])] = true;
  // A run's members lie on one chain, which ends where its first member's does.
  std::erase_if(MDATSlices, [&](TMDATSlice& s) {
    if (s.Members.empty() || uint32_t(s.Members[0]) >= n || changed(uint32_t(s.Members[0])))
      return true;
    for (int32_t& m : s.Members)
      m = uint32_t(m) < n ? newIndex[uint32_t(m)] : -1;
    return false;
  });
  BuildRunsOf(&again);
}

namespace {

// In a file of one video frame per chunk the slices are the runs that survived, plus one
// slice of one member for every lone candidate, in file order.
void RebuildSingleFrameSlices(TMDATSlices& slices, TMDATChunks& chunks, uint8_t marker,
                              TPollEvery<THgFileReader>& going) {
  TMDATSlices rebuilt;
  rebuilt.reserve(slices.size() + 32);
  size_t s = 0;
  for (uint32_t i = 0; i < chunks.Count(); ++i) {
    if (!going()) return;
    if (!IsLone(chunks[i], marker)) continue;
    while (s < slices.size() && slices[s].Start <= chunks[i].Position)
      rebuilt.push_back(std::move(slices[s++]));
    TMDATSlice lone;
    lone.Members.push_back(int32_t(i));
    lone.Count = 1;
    RecountVCL(lone, chunks);
    UpdateExtent(lone, chunks);
    rebuilt.push_back(std::move(lone));
  }
  while (s < slices.size())
    rebuilt.push_back(std::move(slices[s++]));
  std::erase_if(rebuilt, [](const TMDATSlice& x) { return x.Count < 1; });
  slices = std::move(rebuilt);
}

// Rejects coded slices far larger than the file's typical one of their type; true when
// any was.
bool RejectOversizedUnits(TMDATChunks& chunks, const uint32_t (&typical)[5],
                          TPollEvery<THgFileReader>& going) {
  bool any = false;
  for (uint32_t i = 0; i < chunks.Count() && going(); ++i) {
    TMDATChunk& c = chunks[i];
    if (!c.IsVCL() || c.Length <= 4 * uint64_t(typical[c.NalType() - 1])) continue;
    c.Flags |= TMDATChunk::kRejected;
    any = true;
  }
  return any;
}

// Cuts each slice behind its last coded slice and deletes those left without one, or
// without the start of a picture. The slice without members that holds the audio after
// the last video stays.
void TrimSlices(TMDATSlices& slices, const TMDATChunks& chunks, TPollEvery<THgFileReader>& going) {
  bool deleted = false;
  for (TMDATSlice& s : slices) {
    if (!going()) return;
    if (s.Count == 0 && s.Start == UINT64_MAX) continue;
    int32_t last = std::min<int32_t>(s.Count, int32_t(s.Members.size())) - 1;
    while (last >= 0 && !chunks[uint32_t(s.Members[last])].IsVCL())
      --last;
    // The gaps stay where the extents put them; start and size follow the members.
    KeepHead(s, last + 1);
    UpdateExtent(s, chunks);
    bool pictureStart = false;
    for (int32_t k = 0; k < s.Count && !pictureStart; ++k)
      pictureStart = (chunks[uint32_t(s.Members[k])].Flags & TMDATChunk::kPictureStart) != 0;
    if (s.Count > 0 && pictureStart) continue;
    s.Flags |= TMDATSlice::kDeleted;
    deleted = true;
    if (s.Link >= 0 && size_t(s.Link) < slices.size()) slices[size_t(s.Link)].Link = -1;
  }
  if (deleted) CompactSlices(slices);
}

} // namespace

void TSliceDetector::CompactCandidates() {
  const bool recorded = Scan.SuccessorsCurrent();
  TLargeVector<int32_t>& newIndex = WorkList;
  CompactChunks(MDATChunks, newIndex);
  if (!recorded) {
    Scan.ChunkSuccessors.clear();
    return;
  }
  // A successor that was removed ends the chain, as a rejected one did.
  for (size_t i = 0; i < newIndex.size(); ++i) {
    if (newIndex[i] < 0) continue;
    const int32_t j = Scan.ChunkSuccessors[i];
    Scan.ChunkSuccessors[size_t(newIndex[i])] = j >= 0 ? newIndex[size_t(j)] : j;
  }
  Scan.ChunkSuccessors.resize(MDATChunks.Count());
  Scan.SuccessorsFingerprint = Scan.CandidateFingerprint();
}

void TSliceDetector::FindSlices(int32_t MediaNode, bool AllowSingleFrame) {
  PruneLoneCandidates();
  if (Scan.ScanAgainFor < kMarkers) return;
  if (!Reader.Cancelled) BuildRuns();
  if (!Reader.Cancelled) GatherStatistics();

  // The test cuts and dissolves runs only when it answers yes.
  const bool singleFrame = AllowSingleFrame && FindSingleFrameInterleave();
  if (Reader.Cancelled) return;

  if (singleFrame) {
    RebuildSingleFrameSlices(MDATSlices, MDATChunks, Stats.AudioMarker, Going);
  } else {
    // The candidates the scan let go of are rejected alike. They are not in the list, so
    // only a rejection in the list changes the runs.
    Scan.Dropped.RemoveOversized(Stats.TypicalNALSize);
    if (RejectOversizedUnits(MDATChunks, Stats.TypicalNALSize, Going)) RebuildRunsWithoutRejected();
    if (!Reader.Cancelled) DeleteSwallowed(*this);
    if (!Reader.Cancelled) ArbitrateOverlaps(*this);
    DeleteOutOfOrder(MDATSlices);
    RemoveSlicesWithoutVCL(MDATSlices, MDATChunks);
  }
  if (Reader.Cancelled) return;

  ComputeSliceExtents(MediaNode);
  TrimSlices(MDATSlices, MDATChunks, Going);
}

void TSliceDetector::ComputeSliceExtents(int32_t MediaNode) {
  TMDATSlices& slices = MDATSlices;
  const TMDATChunks& chunks = MDATChunks;
  // The holder of the final gap is made again below.
  std::erase_if(slices, [](const TMDATSlice& s) { return s.Count == 0 && s.Start == UINT64_MAX; });
  // Slices that count: not deleted, with members.
  std::vector<size_t> live;
  for (size_t k = 0; k < slices.size() && Going(); ++k) {
    TMDATSlice& s = slices[k];
    if ((s.Flags & TMDATSlice::kDeleted) == 0 && UpdateExtent(s, chunks)) live.push_back(k);
  }
  if (live.empty()) return;

  const bool hasNode = Reader.IsNode(MediaNode);
  const uint64_t mediaStart =
      hasNode ? uint64_t(std::max<int64_t>(Reader.DataPosition(MediaNode), 0)) : 0;
  const uint64_t mediaEnd = hasNode ? uint64_t(std::max<int64_t>(Reader.NodeEnd(MediaNode), 0))
                                    : SliceEnd(slices[live.back()]);
  // A camera starts the media data either with video (each chunk's audio follows it) or
  // with audio (each chunk's audio precedes it).
  const bool videoFirst = !hasNode || slices[live.front()].Start == mediaStart;

  if (videoFirst) {
    for (size_t k = 0; k < live.size(); ++k) {
      TMDATSlice& s = slices[live[k]];
      s.GapStart = SliceEnd(s);
      const uint64_t gapEnd = k + 1 < live.size() ? slices[live[k + 1]].Start : mediaEnd;
      s.GapLength = int64_t(gapEnd - s.GapStart);
    }
    return;
  }
  uint64_t previousEnd = mediaStart;
  for (size_t k : live) {
    TMDATSlice& s = slices[k];
    s.GapStart = previousEnd;
    s.GapLength = int64_t(s.Start - previousEnd);
    previousEnd = SliceEnd(s);
  }
  if (previousEnd < mediaEnd) {
    TMDATSlice tail;
    tail.Start = UINT64_MAX;
    tail.GapStart = previousEnd;
    tail.GapLength = int64_t(mediaEnd - previousEnd);
    slices.push_back(std::move(tail));
  }
}

} // namespace clw
