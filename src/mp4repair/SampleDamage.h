#pragma once
// Damage inside the samples of a movie whose tables survived. A memory card that lost
// sectors reads back 512-byte stretches of zeros where part of a picture or a sound frame
// was; a sector written over with other data leaves H.264 units whose length fields no
// longer add up to the sample. The check asks whether any sample is damaged; the repair
// takes damaged samples out of the tables it keeps: a damaged picture with the rest of its
// group of pictures (what follows it up to the next sync sample cannot be decoded), a
// damaged sound frame alone, handing their time to the sample before them so that sound
// and pictures stay in step.
#include "mp4/HgMP4File.h"
#include "mp4/NalUnitCheck.h"
#include "mp4repair/HgMP4FileWriter.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace clw {

inline constexpr uint64_t kSectorSize = 512;

// A stretch [Start, End) of the file.
struct TByteRange {
  uint64_t Start = 0;
  uint64_t End = 0;
};

// How the samples of a track are judged.
struct TSampleRules {
  bool Zeros = false;         // a lost sector in a sample damages it (never PCM: silence is zeros)
  uint32_t NalLengthSize = 0; // H.264: bytes of each unit's length field; 0 for other formats
  // H.264 with a readable "avcC": every unit must also be one the stream's parameter sets
  // allow (a slice of a picture set it does not have is stray data that fits its length).
  bool UnitsOfStream = false;
  TNalLimits Limits;
  bool Judged() const { return Zeros || NalLengthSize > 0; }
};
// Video is judged by lost sectors, and H.264 also by its units; compressed sound by lost
// sectors; anything else not at all.
TSampleRules SampleRulesFor(const THgMP4FileReader& Reader, const TMp4Trak& Trak);

// Judges samples of one file: finds its lost sectors once, then answers for each sample.
class TSampleJudge {
public:
  // KeepGoing is asked after every read of the file and every few thousand samples; once
  // it answers false (a cancel), the judge finds nothing more.
  TSampleJudge(TStream64& Stream, uint64_t FileSize, std::function<bool()> KeepGoing)
      : Stream(Stream), FileSize(FileSize), KeepGoing(std::move(KeepGoing)) {}
  // Finds the lost sectors from the sector boundary at or before From up to To: runs of
  // zeros that begin on a sector boundary and fill at least one whole sector. Only the
  // whole sectors count; zeros a run spills into the next sector are taken for the leading
  // zero bytes of the next unit's length field.
  void FindLostSectors(uint64_t From, uint64_t To);
  bool IsDamaged(uint64_t Offset, uint64_t Size, const TSampleRules& Rules);
  const std::vector<TByteRange>& LostSectors() const { return Lost; }

private:
  bool TouchesLostSector(uint64_t Start, uint64_t End) const;
  // Whether the H.264 units of the sample fill it exactly: no unit of length 0, none with
  // its forbidden bit set, none reaching past the sample's end, and with limits of the
  // stream none they refuse.
  bool UnitsFill(uint64_t Offset, uint64_t Size, const TSampleRules& Rules);
  bool ReadAt(uint64_t Offset, uint8_t* Out, uint64_t Count);

  TStream64& Stream;
  uint64_t FileSize;
  std::function<bool()> KeepGoing;
  bool Stopped = false;
  uint32_t Judged = 0;
  std::vector<TByteRange> Lost; // in file order
};

// Whether any sample the tables of Reader's video and sound tracks list is damaged.
bool HasDamagedSamples(THgMP4FileReader& Reader);

// What taking samples out of a track left to do: the time the samples removed before the
// first kept one lasted (in the track's time scale), and how many went.
struct TSampleRemoval {
  uint64_t LeadingDuration = 0;
  size_t Removed = 0;
};

// Takes the samples marked in Damaged (one flag per sample, in table order) out of Track's
// chunks; with WholeGroups also every sample after a damaged one up to the next sync
// sample. Each removed sample's duration goes to the kept sample before it. Composition
// offsets, when given (one per sample), lose the entries of the removed samples.
TSampleRemoval RemoveSamples(TRebuiltTrack& Track, const std::vector<bool>& Damaged,
                             bool WholeGroups, std::vector<int32_t>* CompositionOffsets);

// The per-sample composition offsets of a "ctts" payload for Samples samples; empty when it
// does not cover exactly that many.
std::vector<int32_t> CompositionOffsets(const std::vector<uint8_t>& CttsPayload, uint64_t Samples);
// The composition offsets of the damaged file's track at TrakNode, for its Samples samples,
// and the version of its "ctts" (1: the offsets are signed); empty when it has none that
// covers them.
std::vector<int32_t> SourceCompositionOffsets(const THgMP4FileReader& Input, int32_t TrakNode,
                                              uint64_t Samples, uint8_t& Version);

// The samples the tables of a track list, in table order, as far as the tables hold them.
// Only listed sizes: a track of one uniform size is uncompressed sound.
template <typename TEach> void ForEachListedSample(const TMp4Trak& Trak, TEach Each) {
  const TMp4_stsz_table& sizes = Trak.stsz.Table;
  if (Trak.stsz.SampleSize != 0) return;
  size_t next = 0;
  ForEachChunk(Trak, [&](size_t Chunk, uint32_t Samples) {
    uint64_t at = Trak.stco.Table[Chunk];
    for (uint32_t i = 0; i < Samples && next < sizes.size(); ++i, ++next) {
      Each(at, sizes[next]);
      at += sizes[next];
    }
    return next < sizes.size();
  });
}

} // namespace clw
