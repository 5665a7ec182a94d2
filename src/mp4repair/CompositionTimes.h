#pragma once
// Composition offsets for video rebuilt from the media data. A stream with B-frames stores
// its pictures in decoding order; the order in which they are shown is in each picture's
// order count, which a slice header carries. Without "ctts" a player shows the pictures
// at their decoding times, each a few frames off.
#include "mp4/H264Syntax.h"
#include "mp4repair/HgMP4FileWriter.h"

#include <cstdint>
#include <vector>

namespace clw {

enum TCompositionOutcome : int32_t {
  coWritten = 0,    // the track has its offsets
  coInOrder = 1,    // pictures are shown as they are decoded: no offsets needed
  coPocType1 = 2,   // order counts from a frame-number cycle: not rebuilt, no offsets
  coUnreadable = 3, // a sample's slice header could not be read: no offsets rather than wrong ones
  coOutOfRange = 4, // an offset does not fit its field
};

// Picture order counts of pic_order_cnt_type 0, one picture at a time in decoding order:
// the high part follows the wraps of the low part against the last reference picture and
// starts again at every IDR picture.
class TPictureOrderCounter {
public:
  // The picture's order: of a frame the earlier of its two fields, of a field its own.
  // Log2MaxLsb is that of the sequence parameter set the slice refers to.
  int64_t Next(const TH264SliceHeader& Slice, uint32_t Log2MaxLsb);
  // Which run of pictures from one IDR picture to the next the last picture belongs to.
  uint32_t Period() const { return PeriodIndex; }

private:
  int64_t PrevMsb = 0;
  int64_t PrevLsb = 0;
  uint32_t PeriodIndex = 0;
  bool Started = false;
};

// The place of each picture in display order: pictures sorted by their IDR period, then
// by order count (ties keep decoding order).
std::vector<uint32_t> DisplayRanks(const std::vector<uint32_t>& Periods,
                                   const std::vector<int64_t>& Orders);

// Offsets that show the picture of rank r at the decoding time of the r-th sample, shifted
// so that none is negative (version 0, as cameras write them): the edit list then starts
// the presentation at the smallest composition time. Durations holds each sample's. False
// when an offset does not fit 32 bits.
bool OffsetsFromRanks(const std::vector<uint32_t>& Ranks, const std::vector<uint32_t>& Durations,
                      std::vector<int32_t>& Offsets);

// Reads the first coded slice header of every sample of Track from Source (the parameter
// sets of AvcC, replaced by any the samples carry) and sets Track.CompositionOffsets and
// CompositionVersion when the pictures are reordered. Each sample's duration is its own
// or Track.DefaultSampleDuration.
TCompositionOutcome AssignCompositionOffsets(TStream64& Source, const std::vector<uint8_t>& AvcC,
                                             TRebuiltTrack& Track);

} // namespace clw
