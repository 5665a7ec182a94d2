// What slice detection learns from the file itself before it judges any run: the first
// byte of its audio frames, the typical sizes of its units, the typical audio gap and the
// typical number of coded slices per chunk; and whether the camera interleaves one video
// frame with one audio frame, in which case the frames stand alone instead of in runs.
#include "mp4/Mp4BoxTypes.h"
#include "mp4repair/SliceDetector.h"
#include "mp4repair/SliceOps.h"
#include "mp4repair/TwoShares.h"

#include <algorithm>
#include <array>
#include <utility>

namespace clw {

using namespace slices;

namespace {

constexpr int32_t kHistogramBins = 512;

// The centre of the heaviest window of three bins for centres 1..Last; ties keep the
// earlier one. Bins past Size count as empty.
int32_t PeakOf(const int32_t* h, size_t size, int32_t last) {
  const auto bin = [&](int32_t i) -> int64_t { return size_t(i) < size ? h[i] : 0; };
  int64_t best = bin(0) + bin(1) + bin(2);
  int32_t result = 1;
  for (int32_t i = 2; i <= last; ++i) {
    const int64_t sum = bin(i - 1) + bin(i) + bin(i + 1);
    if (sum > best) {
      best = sum;
      result = i;
    }
  }
  return result;
}

void ClearHistogram(std::vector<int32_t>& h) {
  h.assign(std::max<size_t>(h.size(), kHistogramBins), 0);
}

// Uncompressed sound has no frame terminator to find.
bool FirstSoundTrackIsPcm(const TMp4Traks& traks) {
  for (const TMp4Trak& t : traks) {
    if (t.MediaKind != mkSound) continue;
    for (const TMp4_SampleEntry& e : t.stsd.Entries)
      if (IsPcmSampleEntry(e.Type)) return true;
    return false;
  }
  return false;
}

// Whether the bytes from a lone candidate's end (without a length field's 4 bytes, as a
// lone candidate is measured) to the next one's start look like one typical audio gap.
bool GapFits(uint64_t aEnd, uint64_t bStart, uint32_t typical) {
  if (bStart < aEnd) return false;
  const uint64_t d = bStart - aEnd;
  return d <= UINT32_MAX && d >= typical / 2 && d <= uint64_t(typical) * 2;
}

// The part of a run a single-frame interleave keeps: its members [first, last] from the
// first after an audio frame's end to the last before an audio frame's start, when that
// holds a coded slice; {-1, -1} when it keeps none.
std::pair<int32_t, int32_t> FramedPart(const TMDATSlice& s, const TMDATChunks& chunks,
                                       uint8_t marker) {
  const int32_t n = std::min<int32_t>(s.Count, int32_t(s.Members.size()));
  int32_t f = -1;
  int32_t l = -1;
  for (int32_t k = 0; k < n && f < 0; ++k) {
    const int32_t m = s.Members[size_t(k)];
    if (m == 0 || (chunks[uint32_t(m)].Neighbour & TMDATChunk::kAudioEndsBefore)) f = k;
  }
  for (int32_t k = n - 1; k >= 0 && l < 0; --k)
    if ((chunks[uint32_t(s.Members[size_t(k)])].Neighbour >> 1) == marker) l = k;
  bool vcl = false;
  for (int32_t k = std::max(f, 0); k <= l && !vcl; ++k) {
    const int32_t m = s.Members[size_t(k)];
    vcl = m >= 0 && uint32_t(m) < chunks.Count() && chunks[uint32_t(m)].IsVCL();
  }
  if (f < 0 || l < f || !vcl) return {-1, -1};
  return {f, l};
}

} // namespace

uint8_t TSliceDetector::FindAudioMarker() {
  // The byte after a unit that ends a video chunk is the first byte of an audio frame; it
  // is the same in nearly every chunk of a file.
  AudioMarker = Scan.MostFrequentMarker(Going);
  AudioMarkerCounted = !Reader.Cancelled;
  return AudioMarker;
}

int32_t TSliceDetector::HistogramPeak(const std::vector<int32_t>& H) {
  return PeakOf(H.data(), H.size(), 510);
}

void TSliceDetector::GatherStatistics() {
  const TMDATChunks& chunks = MDATChunks;
  THgBlocksOfOffset& lone = *Scan.BlocksOfOffset;

  // The prune before counted it over the same candidates, if it ran.
  Stats.AudioMarker = AudioMarkerCounted ? AudioMarker : FindAudioMarker();
  AudioMarkerCounted = false;

  // The lone candidates, and in the same pass what they show: the sizes of their coded
  // slices by type (one histogram of 128 bins per type, side by side), their lengths, and
  // the gaps between them. The sizes of the runs' coded slices are counted apart, at the
  // same time on the other processor, and added.
  constexpr size_t kBins = 128;
  using TSizes = std::array<int32_t, 5 * kBins>;
  const auto count = [](TSizes& h, const TMDATChunk& c) {
    if (c.IsVCL()) ++h[(c.NalType() - 1) * kBins + std::min<uint32_t>(c.Length >> 13, kBins - 1)];
  };
  const uint8_t marker = Stats.AudioMarker;
  TSizes loneSizes{};
  std::vector<int32_t> lengths(kHistogramBins, 0);
  std::vector<int32_t> gaps(kHistogramBins, 0);
  lone.Clear();
  Framed = TFramedTally{};
  const auto countLone = [&](auto& going) {
    uint64_t previousEnd = UINT64_MAX;
    for (uint32_t i = 0; i < chunks.Count(); ++i) {
      if (!going()) return false;
      const TMDATChunk& c = chunks[i];
      if (!IsFramedByAudio(c, marker)) continue;
      const uint64_t from = c.Position; // packed fields: copied, never referred to
      ++Framed.Candidates;
      Framed.From = std::min(Framed.From, from);
      Framed.To = std::max(Framed.To, from + c.Length);
      if (c.Run != 0) continue;
      lone.Append(i);
      count(loneSizes, c);
      ++lengths[std::min<uint32_t>(c.Length >> 13, 511)];
      if (previousEnd < from) ++gaps[std::min<uint64_t>((from - previousEnd) >> 7, 511)];
      previousEnd = from + c.Length;
    }
    return true;
  };
  TSizes runSizes{};
  const auto countRuns = [&](auto& going) {
    if (marker == 255) return true;
    for (size_t r = 0; r < MDATSlices.size(); ++r) {
      if (!going()) return false;
      PrefetchSlices(MDATSlices, r, chunks);
      const TMDATSlice& s = MDATSlices[r];
      for (int32_t k = 0; k < s.Count; ++k)
        count(runSizes, chunks[uint32_t(s.Members[size_t(k)])]);
      const auto [f, l] = FramedPart(s, chunks, marker);
      if (f < 0) continue;
      Framed.Members += uint64_t(l - f + 1);
      for (int32_t k = f; k <= l; ++k)
        Framed.RunBytes += chunks[uint32_t(s.Members[size_t(k)])].Length;
    }
    return true;
  };
  if (!InTwoShares(Going, [&](int share, auto& going) {
        return share == 0 ? countLone(going) : countRuns(going);
      }))
    return;
  const uint32_t loneCount = lone.ValueCount();

  if (marker != 255) {
    for (size_t i = 0; i < loneSizes.size(); ++i)
      loneSizes[i] += runSizes[i];
    for (size_t t = 0; t < 5; ++t)
      Stats.TypicalNALSize[t] = uint32_t(PeakOf(loneSizes.data() + t * kBins, kBins, 510)) << 13;
    Stats.TypicalCandidateSize = uint32_t(PeakOf(lengths.data(), lengths.size(), 509) + 1) * 8192;
  } else {
    Stats.TypicalCandidateSize = 0;
  }

  Stats.TypicalGap = 0;
  if (marker != 255 && loneCount >= 2) Stats.TypicalGap = uint32_t(HistogramPeak(gaps)) << 7;

  // The runs' counts of coded slices of a normal size, in two halves.
  Stats.TypicalVCLCount = 0;
  if (MDATSlices.empty()) return;
  std::array<std::vector<int32_t>, 2> normals;
  const size_t half = MDATSlices.size() / 2;
  const auto countNormal = [&](int share, auto& going) {
    std::vector<int32_t>& h = normals[size_t(share)];
    ClearHistogram(h);
    for (size_t r = share == 0 ? 0 : half; r < (share == 0 ? half : MDATSlices.size()); ++r) {
      if (!going()) return false;
      PrefetchSlices(MDATSlices, r, chunks);
      const TMDATSlice& s = MDATSlices[r];
      int32_t normal = 0;
      for (int32_t k = 0; k < s.Count; ++k) {
        const TMDATChunk& c = chunks[uint32_t(s.Members[size_t(k)])];
        if (c.IsVCL() && c.Length < 4 * uint64_t(Stats.TypicalNALSize[c.NalType() - 1])) ++normal;
      }
      ++h[size_t(std::min(normal, 127))];
    }
    return true;
  };
  if (!InTwoShares(Going, countNormal)) return;
  std::vector<int32_t>& h = normals[0];
  for (size_t i = 0; i < h.size(); ++i)
    h[i] += normals[1][i];
  h[0] = h[127] = 0;
  Stats.TypicalVCLCount = uint32_t(HistogramPeak(h));
}

bool TSliceDetector::FindSingleFrameInterleave() {
  Stats.SingleFrameInterleave = 0;
  if (FirstSoundTrackIsPcm(Reader.Traks)) return false;
  TMDATChunks& chunks = MDATChunks;
  // The candidates between audio frames, whether their runs release them or not, are too
  // few to outweigh the runs' parts or cover no more than those hold (see below): no, with
  // nothing touched. Dense content makes hundreds of thousands of false runs to release.
  const TFramedTally framed = std::exchange(Framed, TFramedTally{});
  const uint64_t members = framed.Members;
  const uint64_t runBytes = framed.RunBytes;
  if (framed.Candidates <= members || framed.To <= framed.From ||
      framed.To - framed.From <= runBytes)
    return false;

  // Each run keeps only the members between an audio frame's end and an audio frame's
  // start, and goes when none of those is a coded slice; the members outside are released
  // to stand alone. The runs themselves are cut only when the test answers yes; until then
  // each run's part is noted, and the members' marks it clears are put back when it
  // answers no, so the runs stand as they were without being built again.
  TLargeVector<std::pair<int32_t, int32_t>>& parts = RunParts;
  TLargeVector<std::pair<uint32_t, int32_t>>& cleared = ClearedRuns;
  parts.assign(MDATSlices.size(), {-1, -1});
  cleared.clear();
  struct TPutBack {
    TMDATChunks& Chunks;
    const TLargeVector<std::pair<uint32_t, int32_t>>& Cleared;
    bool Cut = false;
    ~TPutBack() {
      if (!Cut)
        for (const auto& [m, run] : Cleared)
          Chunks[m].Run = run;
    }
  } putBack{chunks, cleared};
  const auto release = [&](int32_t m) {
    if (m < 0 || uint32_t(m) >= chunks.Count()) return;
    const int32_t run = chunks[uint32_t(m)].Run; // a packed field: copied, never referred to
    if (run == 0) return;
    cleared.emplace_back(uint32_t(m), run);
    chunks[uint32_t(m)].Run = 0;
  };
  for (size_t r = 0; r < MDATSlices.size(); ++r) {
    if (!Going()) return false;
    PrefetchSlices(MDATSlices, r, chunks);
    const TMDATSlice& s = MDATSlices[r];
    const int32_t n = std::min<int32_t>(s.Count, int32_t(s.Members.size()));
    const auto [f, l] = FramedPart(s, chunks, Stats.AudioMarker);
    for (int32_t k = 0; k < n; ++k)
      if (f < 0 || k < f || k > l) release(s.Members[size_t(k)]);
    parts[r] = {f, l};
  }

  // Whether a lone candidate's size fits the file's pattern.
  const auto sizeFits = [&](const TMDATChunk& c) {
    if (c.Position + c.Length > Reader.FileSize) return false;
    const uint64_t typical =
        c.IsVCL() ? Stats.TypicalNALSize[c.NalType() - 1] : Stats.TypicalCandidateSize;
    return c.Length <= 4 * typical;
  };

  // The lone candidates. Of those that overlap, the test below keeps one at most, so the
  // ones it keeps cover no more than the stretch from the first to the furthest end: when
  // that is no more than the runs hold, the answer is no without the test.
  THgBlocksOfOffset& lone = *Scan.BlocksOfOffset;
  lone.Clear();
  uint64_t loneFrom = UINT64_MAX;
  uint64_t loneTo = 0;
  for (uint32_t i = 0; i < chunks.Count() && Going(); ++i) {
    const TMDATChunk& c = chunks[i];
    if (!IsLone(c, Stats.AudioMarker)) continue;
    lone.Append(i);
    const uint64_t position = c.Position; // packed fields: copied, never referred to
    loneFrom = std::min(loneFrom, position);
    loneTo = std::max(loneTo, position + c.Length);
  }
  if (Reader.Cancelled) return false;
  const uint32_t count = lone.ValueCount();
  if (count <= members || loneTo <= loneFrom || loneTo - loneFrom <= runBytes) return false;
  const auto at = [&](uint32_t q) -> TMDATChunk& { return chunks[lone.Value(q)]; };

  // For each lone candidate, how many of the following ones begin inside it. Their
  // positions, lengths and whether their sizes fit side by side: the searches over them
  // look at nothing else.
  TLargeVector<uint64_t>& starts = LoneStarts;
  TLargeVector<uint32_t>& lengths = LoneLengths;
  TLargeVector<uint8_t>& fitting = LoneSizeFits;
  starts.resize(count);
  lengths.resize(count);
  fitting.resize(count);
  for (uint32_t q = 0; q < count; ++q) {
    const TMDATChunk& c = at(q);
    starts[q] = c.Position;
    lengths[q] = c.Length; // a packed field: copied, never referred to
    fitting[q] = sizeFits(c);
  }
  const auto endOf = [&](uint32_t q) { return starts[q] + lengths[q]; };
  TLargeVector<int32_t>& overlaps = WorkList;
  overlaps.assign(count, 0);
  // The search for the ones inside starts from buckets of positions, four to eight lone
  // candidates to a bucket on average: for each, the first one that begins in it or after it.
  // (It lies in the chain lengths' room: building the runs fills that anew.)
  TLargeVector<uint32_t>& bucketFirst = ChainLength;
  int shift = 0;
  if (count > 0) {
    const uint64_t span = starts[count - 1] - starts[0];
    while ((span >> shift) > count / 4)
      ++shift;
    bucketFirst.resize(size_t(span >> shift) + 2);
    for (uint32_t b = 0, q = 0; b < bucketFirst.size(); ++b) {
      if (!Going()) return false;
      const uint64_t bucketStart = starts[0] + (uint64_t(b) << shift);
      while (q < count && starts[q] < bucketStart)
        ++q;
      bucketFirst[b] = q;
    }
  }
  const auto findOverlaps = [&](uint32_t from, uint32_t to, auto& going) {
    for (uint32_t q = from; q < to && q + 1 < count; ++q) {
      if (!going()) return false;
      const uint64_t end = endOf(q);
      if (starts[q + 1] >= end) continue;
      // The first to begin at End or after lies in End's bucket or is the next one's first.
      uint32_t found = count;
      const uint64_t b = (end - starts[0]) >> shift;
      if (b + 1 < bucketFirst.size()) {
        const uint32_t lo = std::max(bucketFirst[size_t(b)], q + 2);
        const uint32_t hi = std::max(lo, bucketFirst[size_t(b) + 1]);
        found =
            uint32_t(std::lower_bound(starts.data() + lo, starts.data() + hi, end) - starts.data());
      }
      overlaps[q] = int32_t(found) - int32_t(q) - 1;
    }
    return true;
  };
  const uint32_t half = count / 2;
  if (!InTwoShares(Going, [&](int share, auto& going) {
        return share == 0 ? findOverlaps(0, half, going) : findOverlaps(half, count, going);
      }))
    return false;

  const auto fits = [&](uint32_t q) { return fitting[q] != 0; };
  const auto gap = [&](uint32_t a, uint32_t b) {
    return GapFits(endOf(a), starts[b], Stats.TypicalGap);
  };
  // What each entry earns as a rival, summed, with its own predecessor taken as the one
  // before it in the list.
  TLargeVector<int64_t> rivalSum(size_t(count) + 1, 0);
  for (uint32_t r = 0; r < count; ++r)
    rivalSum[r + 1] = rivalSum[r] + int64_t(fits(r)) + int64_t(r > 0 && gap(r - 1, r)) +
                      int64_t(r + 1 < count && gap(r, r + 1));

  // Of overlapping lone candidates only one can be a frame; the one whose size and gaps
  // fit the file's pattern better stays.
  uint32_t prev = 0;
  for (uint32_t q = 0; q + 1 < count; ++q) {
    if (!Going()) return false;
    TMDATChunk& c = at(q);
    if (!(c.Neighbour & TMDATChunk::kAudioEndsBefore)) continue;
    const uint32_t o = uint32_t(overlaps[q]);
    if (o == 0) {
      prev = q;
      continue;
    }
    if (!fits(q)) {
      c.Neighbour = TMDATChunk::kNeighbourUnknown;
      continue;
    }
    int64_t own = o;
    if (q == 0 || gap(prev, q)) own += o;
    if (q + o + 1 < count && gap(q, q + o + 1)) own += o;
    const int64_t rivals =
        rivalSum[q + o + 1] - rivalSum[q + 1] - int64_t(gap(q, q + 1)) + int64_t(gap(prev, q + 1));
    if (own < rivals) {
      c.Neighbour = TMDATChunk::kNeighbourUnknown;
      continue;
    }
    for (uint32_t r = q + 1; r <= q + o; ++r)
      at(r).Neighbour = TMDATChunk::kNeighbourUnknown;
    prev = q;
  }

  uint64_t loneBytes = 0;
  for (uint32_t q = 0; q < count; ++q)
    if (at(q).Neighbour & TMDATChunk::kAudioEndsBefore) loneBytes += at(q).Length;
  if (loneBytes <= runBytes) {
    // No: the lone candidates are left as they were, as the runs are.
    const uint8_t marked = uint8_t(Stats.AudioMarker << 1 | TMDATChunk::kAudioEndsBefore);
    for (uint32_t q = 0; q < count; ++q)
      at(q).Neighbour = marked;
    return false;
  }

  putBack.Cut = true;
  size_t kept = 0;
  for (size_t r = 0; r < MDATSlices.size(); ++r) {
    const auto [f, l] = parts[r];
    if (f < 0) continue;
    TMDATSlice& s = MDATSlices[r];
    if (f > 0 || l < s.Count - 1) {
      KeepHead(s, l + 1);
      DropHead(s, f);
      UpdateExtent(s, chunks);
    }
    RecountVCL(s, chunks);
    if (kept != r) MDATSlices[kept] = std::move(s);
    ++kept;
  }
  MDATSlices.resize(kept);
  Stats.SingleFrameInterleave = 1;
  return true;
}

} // namespace clw
