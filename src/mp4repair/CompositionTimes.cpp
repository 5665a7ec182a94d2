#include "mp4repair/CompositionTimes.h"

#include "mp4/NalUnitCheck.h"

#include <algorithm>
#include <numeric>

namespace clw {

namespace {

// A slice header's fields up to the order count take a few dozen bytes even with escapes;
// the units before the first slice (a delimiter, short SEI) fit in the same read.
constexpr size_t kWindow = 256;

// The bytes of one sample, read a window at a time: one read serves a sample whose first
// slice starts within its first kWindow bytes, the usual case.
class TSampleWindow {
public:
  // The writer's other steps read the same stream: its position is left as it was.
  explicit TSampleWindow(TStream64& S) : Source(S), Saved(S.Position()) {}
  ~TSampleWindow() { Source.Seek(Saved, soBeginning); }
  TSampleWindow(const TSampleWindow&) = delete;
  TSampleWindow& operator=(const TSampleWindow&) = delete;
  void Open(uint64_t Offset, uint32_t Size) {
    SampleOffset = Offset;
    SampleSize = Size;
    Held = 0;
  }
  // Bytes [From, From + Need) of the sample, cut at its end; null when the file does not
  // hold them.
  const uint8_t* Get(uint64_t From, size_t Need, size_t& Got) {
    if (From >= SampleSize) return nullptr;
    Got = size_t(std::min<uint64_t>(Need, SampleSize - From));
    if (From < Start || From - Start + Got > Held) {
      const size_t want = size_t(std::min<uint64_t>(std::max(Got, kWindow), SampleSize - From));
      Buffer.resize(want);
      Start = From;
      Held = 0;
      const int64_t at = int64_t(SampleOffset + From);
      if (Source.Seek(at, soBeginning) != at) return nullptr;
      Held = size_t(std::max<int64_t>(Source.Read(Buffer.data(), int64_t(want)), 0));
      if (Got > Held) return nullptr;
    }
    return Buffer.data() + (From - Start);
  }

private:
  TStream64& Source;
  int64_t Saved;
  std::vector<uint8_t> Buffer;
  uint64_t SampleOffset = 0;
  uint64_t SampleSize = 0;
  uint64_t Start = 0;
  size_t Held = 0;
};

// The header of the sample's first coded slice; parameter sets met on the way replace
// those of the same id.
bool FirstSliceHeader(TSampleWindow& Window, uint32_t LengthSize, uint64_t SampleSize,
                      TH264ParameterSets& Sets, TH264SliceHeader& Out) {
  uint64_t at = 0;
  while (SampleSize - at > LengthSize) {
    size_t got = 0;
    const uint8_t* head = Window.Get(at, LengthSize + 1, got);
    if (!head || got < LengthSize + 1) return false;
    uint64_t length = 0;
    for (uint32_t i = 0; i < LengthSize; ++i)
      length = length << 8 | head[i];
    const uint8_t type = head[LengthSize] & 0x1F;
    const uint64_t body = at + LengthSize;
    if (length == 0 || length > SampleSize - body) return false;
    if (type == 7 || type == 8) {
      const uint8_t* unit = Window.Get(body, size_t(std::min(length, kMaxSpsLength)), got);
      if (unit && got == length) Sets.Add(unit, got);
    } else if (type == 1 || type == 5) {
      const uint8_t* unit = Window.Get(body, size_t(std::min<uint64_t>(length, kWindow)), got);
      return unit && ReadSliceHeader(unit, got, Sets, Out);
    } else if (type >= 2 && type <= 4) {
      return false; // partitioned slices: no camera writes them
    }
    at = body + length;
  }
  return false;
}

} // namespace

int64_t TPictureOrderCounter::Next(const TH264SliceHeader& Slice, uint32_t Log2MaxLsb) {
  const int64_t maxLsb = int64_t(1) << Log2MaxLsb;
  if (Slice.IsIdr()) {
    if (Started) ++PeriodIndex;
    PrevMsb = 0;
    PrevLsb = 0;
  }
  Started = true;
  const int64_t lsb = Slice.PicOrderCntLsb;
  int64_t msb = PrevMsb;
  if (lsb < PrevLsb && PrevLsb - lsb >= maxLsb / 2)
    msb += maxLsb;
  else if (lsb > PrevLsb && lsb - PrevLsb > maxLsb / 2)
    msb -= maxLsb;
  int64_t order = msb + lsb;
  if (!Slice.FieldPic) order = std::min(order, order + Slice.DeltaPicOrderCntBottom);
  if (Slice.NalRefIdc != 0) {
    PrevMsb = msb;
    PrevLsb = lsb;
  }
  return order;
}

std::vector<uint32_t> DisplayRanks(const std::vector<uint32_t>& Periods,
                                   const std::vector<int64_t>& Orders) {
  const size_t n = std::min(Periods.size(), Orders.size());
  std::vector<uint32_t> byDisplay(n);
  std::iota(byDisplay.begin(), byDisplay.end(), 0u);
  std::stable_sort(byDisplay.begin(), byDisplay.end(), [&](uint32_t a, uint32_t b) {
    return Periods[a] != Periods[b] ? Periods[a] < Periods[b] : Orders[a] < Orders[b];
  });
  std::vector<uint32_t> ranks(n);
  for (size_t k = 0; k < n; ++k)
    ranks[byDisplay[k]] = uint32_t(k);
  return ranks;
}

bool OffsetsFromRanks(const std::vector<uint32_t>& Ranks, const std::vector<uint32_t>& Durations,
                      std::vector<int32_t>& Offsets) {
  const size_t n = Ranks.size();
  if (Durations.size() != n) return false;
  // Decoding times fit 64 bits with room: at most 2^32 samples of at most 2^32 - 1 each.
  std::vector<int64_t> decode(n);
  int64_t time = 0;
  for (size_t i = 0; i < n; ++i) {
    decode[i] = time;
    time += Durations[i];
  }
  std::vector<int64_t> wide(n);
  int64_t lowest = 0;
  for (size_t i = 0; i < n; ++i) {
    if (Ranks[i] >= n) return false;
    wide[i] = decode[Ranks[i]] - decode[i];
    lowest = std::min(lowest, wide[i]);
  }
  Offsets.assign(n, 0);
  for (size_t i = 0; i < n; ++i) {
    const int64_t offset = wide[i] - lowest;
    if (offset > INT32_MAX) return false;
    Offsets[i] = int32_t(offset);
  }
  return true;
}

TCompositionOutcome AssignCompositionOffsets(TStream64& Source, const std::vector<uint8_t>& AvcC,
                                             TRebuiltTrack& Track) {
  Track.CompositionOffsets.clear();
  Track.CompositionVersion = 0;
  TAvcConfig config;
  if (!ReadAvcConfig(AvcC.data(), AvcC.size(), config)) return coUnreadable;
  TH264ParameterSets sets;
  for (const std::vector<uint8_t>& unit : config.Sps)
    sets.Add(unit.data(), unit.size());
  for (const std::vector<uint8_t>& unit : config.Pps)
    sets.Add(unit.data(), unit.size());

  TSampleWindow window(Source);
  TPictureOrderCounter counter;
  std::vector<uint32_t> periods;
  std::vector<int64_t> orders;
  std::vector<uint32_t> durations;
  for (const TSlice& chunk : Track.Chunks)
    for (const TNewChunk& s : chunk.Samples) {
      window.Open(s.Offset, s.Size);
      TH264SliceHeader slice;
      if (!FirstSliceHeader(window, config.NalLengthSize, s.Size, sets, slice)) return coUnreadable;
      // The header read, its sets exist.
      const TH264Sps& sps = *sets.SpsOf(*sets.FindPps(slice.PpsId));
      if (sps.PicOrderCntType == 1) return coPocType1;
      if (sps.PicOrderCntType == 2) return coInOrder;
      orders.push_back(counter.Next(slice, sps.Log2MaxPicOrderCntLsb));
      periods.push_back(counter.Period());
      const uint32_t duration = s.Duration; // a packed field: no reference to it
      durations.push_back(duration > 0 ? duration : Track.DefaultSampleDuration);
    }
  std::vector<int32_t> offsets;
  if (!OffsetsFromRanks(DisplayRanks(periods, orders), durations, offsets)) return coOutOfRange;
  if (std::all_of(offsets.begin(), offsets.end(), [](int32_t o) { return o == 0; }))
    return coInOrder;
  Track.CompositionOffsets = std::move(offsets);
  return coWritten;
}

} // namespace clw
