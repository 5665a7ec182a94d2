// Arbitration between slices that claim the same bytes. Two real chunks never overlap, so
// of two overlapping runs at least one is false, or holds false members at its edge: a
// false unit whose length field happens to point exactly at a real unit chains into the
// real run. The number of coded slices, measured against the file's typical chunk, decides
// which run stays whole, which is cut and which goes.
#include "mp4repair/SliceDetector.h"
#include "mp4repair/SliceOps.h"

#include <algorithm>

namespace clw {

using namespace slices;

namespace {

// Members [0, result) end at or before Limit; members are contiguous, so ends rise.
int32_t MembersEndingBy(const TMDATSlice& s, const TMDATChunks& chunks, uint64_t limit) {
  const auto first = s.Members.begin();
  const auto last = first + std::min<int32_t>(s.Count, int32_t(s.Members.size()));
  return int32_t(std::partition_point(
                     first, last, [&](int32_t m) { return chunks[uint32_t(m)].End() <= limit; }) -
                 first);
}

// Members [0, result) begin at or before Limit (below Limit when Strict).
int32_t MembersStartingBy(const TMDATSlice& s, const TMDATChunks& chunks, uint64_t limit,
                          bool strict) {
  const auto first = s.Members.begin();
  const auto last = first + std::min<int32_t>(s.Count, int32_t(s.Members.size()));
  return int32_t(std::partition_point(first, last,
                                      [&](int32_t m) {
                                        const uint64_t p = chunks[uint32_t(m)].Position;
                                        return strict ? p < limit : p <= limit;
                                      }) -
                 first);
}

bool IsDeleted(const TMDATSlice& s) {
  return (s.Flags & TMDATSlice::kDeleted) != 0;
}

void Delete(TMDATSlice& s) {
  s.Flags |= TMDATSlice::kDeleted;
}

} // namespace

int32_t TSliceDetector::ResolveOverlap(int32_t I, int32_t J) {
  if (I < 0 || J < 0 || size_t(I) >= MDATSlices.size() || size_t(J) >= MDATSlices.size()) return 0;
  TMDATSlice& si = MDATSlices[size_t(I)];
  TMDATSlice& sj = MDATSlices[size_t(J)];
  // A slice without members claims nothing; it is the one to go.
  if (!UpdateExtent(si, MDATChunks)) return 1;
  if (!UpdateExtent(sj, MDATChunks)) return 2;

  const int64_t threshold = Stats.TypicalVCLCount / 2;
  const int64_t vi = si.VCLCount;
  const int64_t vj = sj.VCLCount;
  if (vi < threshold && threshold <= vj) return 1;
  if (vj < threshold && threshold <= vi) return 2;

  int64_t score[4] = {vj, vi, 0, 0};
  if (vi <= vj && vj >= threshold)
    score[2] = 2 * vj - (si.Count - MembersEndingBy(si, MDATChunks, sj.Start));
  if (vj <= vi && vi >= threshold)
    score[3] = 2 * vi - MembersStartingBy(sj, MDATChunks, SliceEnd(si), true);
  int32_t best = 0;
  for (int32_t k = 1; k < 4; ++k)
    if (score[k] > score[best]) best = k;
  return best + 1;
}

namespace slices {

void DeleteSwallowed(TSliceDetector& Detector) {
  TMDATSlices& slices = Detector.MDATSlices;
  bool deleted = false;
  for (size_t i = 0; i + 1 < slices.size() && Detector.Going(); ++i) {
    const uint64_t end = SliceEnd(slices[i]);
    int64_t inside = 0;
    int64_t vcl = 0;
    for (size_t j = i + 1; j < slices.size() && slices[j].Start < end; ++j) {
      ++inside;
      vcl += slices[j].VCLCount;
      if (inside >= 2 && 5 * int64_t(slices[i].VCLCount) < vcl) {
        Delete(slices[i]);
        deleted = true;
        break;
      }
    }
  }
  if (deleted) CompactSlices(slices);
}

void ArbitrateOverlaps(TSliceDetector& Detector) {
  TMDATSlices& slices = Detector.MDATSlices;
  const TMDATChunks& chunks = Detector.MDATChunks;
  const int32_t threshold = int32_t(Detector.Stats.TypicalVCLCount / 2);
  bool deleted = true;
  while (deleted) {
    deleted = false;
    for (size_t i = 0; i < slices.size(); ++i) {
      if (!Detector.Going()) return;
      if (IsDeleted(slices[i])) continue;
      size_t j = i + 1;
      while (j < slices.size() && !IsDeleted(slices[i])) {
        if (!Detector.Going()) return;
        TMDATSlice& si = slices[i];
        TMDATSlice& sj = slices[j];
        if (sj.Start > SliceEnd(si)) break;
        if (IsDeleted(sj)) {
          ++j;
          continue;
        }
        switch (Detector.ResolveOverlap(int32_t(i), int32_t(j))) {
        case 1:
          Delete(si);
          deleted = true;
          break;
        case 2:
          Delete(sj);
          deleted = true;
          ++j;
          break;
        case 3: {
          // Cut i's tail back to where j begins.
          KeepHead(si, MembersEndingBy(si, chunks, sj.Start));
          if (si.Count == 0 || si.Count < threshold) {
            Delete(si);
            deleted = true;
            break;
          }
          RecountVCL(si, chunks);
          UpdateExtent(si, chunks);
          ++j;
          break;
        }
        case 4: {
          // Cut j's head back to where i ends, then file j again by its new start.
          const int32_t drop = MembersStartingBy(sj, chunks, SliceEnd(si) + 4, false);
          if (drop > 0) DropHead(sj, drop);
          if (drop == 0 || sj.Count == 0 || sj.Count < threshold) {
            Delete(sj);
            deleted = true;
            ++j;
            break;
          }
          RecountVCL(sj, chunks);
          UpdateExtent(sj, chunks);
          size_t m = j + 1;
          bool taken = false;
          for (; m < slices.size() && slices[m].Start <= sj.Start; ++m)
            if (slices[m].Start == sj.Start && !IsDeleted(slices[m])) taken = true;
          if (taken) {
            Delete(sj);
            deleted = true;
            ++j;
            break;
          }
          // The slice now at j is the one after, still to be weighed against i.
          std::rotate(slices.begin() + ptrdiff_t(j), slices.begin() + ptrdiff_t(j) + 1,
                      slices.begin() + ptrdiff_t(m));
          if (m == j + 1) ++j;
          break;
        }
        default:
          ++j;
          break;
        }
      }
    }
    if (deleted) CompactSlices(slices);
  }
}

void DeleteOutOfOrder(TMDATSlices& Slices) {
  bool deleted = false;
  uint64_t latest = 0;
  for (TMDATSlice& s : Slices) {
    if (s.Start < latest) {
      Delete(s);
      deleted = true;
    }
    latest = std::max(latest, s.Start);
  }
  if (deleted) CompactSlices(Slices);
}

} // namespace slices

} // namespace clw
