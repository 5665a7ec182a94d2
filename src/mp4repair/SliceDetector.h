#pragma once
// Slice detection: turns the scan's noisy candidate list into the video slices of a
// reader, each a run of exactly contiguous candidates standing for one chunk of video,
// with the audio gap beside it. It works on the reader's scan results, slices and
// statistics; its scratch lists are its own.
#include "mp4/HgMP4File.h"

#include <cstdint>
#include <utility>
#include <vector>

namespace clw {

class TSliceDetector {
public:
  explicit TSliceDetector(THgMP4FileReader& Reader);

  // The whole detection; MediaNode is the media-data node or -1.
  void FindSlices(int32_t MediaNode, bool AllowSingleFrame);

  // Its steps, in the order FindSlices runs them.
  void PruneLoneCandidates();
  void BuildRuns();
  void GatherStatistics();
  bool FindSingleFrameInterleave();
  // Arbitrates between overlapping slices i (earlier) and j: 1 drop i, 2 drop j, 3 cut
  // i's tail, 4 cut j's head.
  int32_t ResolveOverlap(int32_t I, int32_t J);
  void ComputeSliceExtents(int32_t MediaNode);
  // The most frequent top seven bits of the byte after a unit, over every candidate the
  // scan found (255 when no candidate tells). The statistics take the count of the prune
  // just before them: it only moves candidates from the list to the dropped ones, which
  // count alike.
  uint8_t FindAudioMarker();
  // Index 1..510 of the heaviest window of three bins; ties keep the earlier one.
  static int32_t HistogramPeak(const std::vector<int32_t>& H);

  THgMP4FileReader& Reader;
  TMp4ScanResults& Scan;
  TMDATChunks& MDATChunks;
  TMDATSlices& MDATSlices;
  TSliceStatistics& Stats;

  // Every long loop of the detection steps this; false once the check is cancelled.
  TPollEvery<THgFileReader> Going;

private:
  // Removes the rejected candidates and keeps the scan's successor record in step.
  void CompactCandidates();
  // The successor of each candidate as the scan recorded it, where the record is current.
  void RecordedSuccessors(TLargeVector<int32_t>& Next);
  // The candidate that begins where candidate I ends, or -1. Recorded is what the scan
  // recorded (-1: it saw none there): trusted as far as it can be used safely, and
  // searched for otherwise. N is the count of candidates.
  int32_t SuccessorOf(uint32_t I, int32_t Recorded, uint32_t N);
  // Builds the runs of the chains through the candidates Only marks (every chain when
  // null) beside the slices there are, which stay in the order of their first members.
  void BuildRunsOf(const std::vector<bool>* Only);
  // Removes the rejected candidates and the runs through them, and builds the runs of the
  // chains they were on again.
  void RebuildRunsWithoutRejected();

  // What the statistics count for the single-frame test: the candidates between audio
  // frames, in runs or not, and the stretch [From, To) they cover; the members of the runs'
  // parts between audio frames, and their bytes.
  struct TFramedTally {
    uint64_t Candidates = 0;
    uint64_t From = UINT64_MAX;
    uint64_t To = 0;
    uint64_t Members = 0;
    uint64_t RunBytes = 0;
  };
  TFramedTally Framed;
  uint8_t AudioMarker = 255;
  bool AudioMarkerCounted = false;
  // Scratch lists as long as the candidate list, kept for the next step.
  TLargeVector<int32_t> WorkList;
  TLargeVector<uint32_t> ChainLength; // also the single-frame test's bucket index
  TLargeVector<uint64_t> LoneStarts;
  TLargeVector<uint32_t> LoneLengths;
  TLargeVector<uint8_t> LoneSizeFits;
  std::vector<int32_t> Chain;
  // The single-frame test's note of each run's part [first, last] (first -1: none), and
  // of the run marks it cleared.
  TLargeVector<std::pair<int32_t, int32_t>> RunParts;
  TLargeVector<std::pair<uint32_t, int32_t>> ClearedRuns;
};

} // namespace clw
