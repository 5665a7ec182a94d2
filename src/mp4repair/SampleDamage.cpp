#include "mp4repair/SampleDamage.h"

#include "mp4/Mp4BoxTypes.h"
#include "mp4repair/TrackDescriptions.h"
#include "streams/Endian.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace clw {

namespace {

constexpr size_t kReadBlock = 1 << 20;
constexpr size_t kUnitHeadRead = kJudgedUnitHead;
constexpr size_t kCttsHead = 8;  // version, flags, entry count
constexpr size_t kCttsEntry = 8; // sample count, offset

} // namespace

TSampleRules SampleRulesFor(const THgMP4FileReader& Reader, const TMp4Trak& Trak) {
  TSampleRules rules;
  if (Trak.stsd.Version == kNotRead || Trak.stsd.Entries.empty()) return rules;
  const TFourCC type = Trak.stsd.Entries[0].Type;
  if (Trak.MediaKind == mkVideo) {
    rules.Zeros = true;
    if (IsH264SampleEntry(type)) {
      const std::vector<uint8_t> entry =
          FirstSampleEntry(ReadNodePayload(Reader, Trak.StsdNode, kPlainBoxLimit));
      rules.NalLengthSize = NalLengthSize(entry);
      const std::vector<uint8_t> avcC = AvcConfigPayload(entry);
      rules.UnitsOfStream =
          MakeNalLimits(avcC.data(), avcC.size(), kOwnStreamNalTypes, rules.Limits) &&
          rules.Limits.NalLengthSize == rules.NalLengthSize;
    }
  } else if (Trak.MediaKind == mkSound) {
    rules.Zeros = !IsPcmSampleEntry(type);
  }
  return rules;
}

void TSampleJudge::FindLostSectors(uint64_t From, uint64_t To) {
  Lost.clear();
  To = std::min(To, FileSize);
  uint64_t at = From / kSectorSize * kSectorSize; // file offset of buffer[0]
  if (at >= To) return;
  // A run of zeros counts only by the whole sectors it covers, so a sector boundary at a
  // time is enough: one that does not open with zeros (nearly all) costs one word.
  std::vector<uint8_t> buffer(
      size_t(std::max<uint64_t>(kSectorSize, std::min<uint64_t>(To - at, kReadBlock))));
  uint8_t* p = buffer.data();
  const int64_t saved = Stream.Position();
  if (Stream.Seek(int64_t(at), soBeginning) != int64_t(at)) return;
  size_t held = 0; // bytes in the buffer, a sector's tail carried from the last read first
  while (at + held < To) {
    const int64_t got =
        Stream.Read(p + held, int64_t(std::min<uint64_t>(To - at - held, buffer.size() - held)));
    if (got <= 0 || !KeepGoing()) {
      Stopped = got > 0;
      break;
    }
    held += size_t(got);
    const size_t whole = held / kSectorSize * kSectorSize;
    for (size_t i = 0; i < whole; i += kSectorSize) {
      if (FirstNonZeroByte(p + i, kSectorSize) < kSectorSize) continue;
      if (!Lost.empty() && Lost.back().End == at + i)
        Lost.back().End += kSectorSize;
      else
        Lost.push_back({at + i, at + i + kSectorSize});
    }
    std::memmove(p, p + whole, held - whole);
    at += whole;
    held -= whole;
  }
  Stream.Seek(saved, soBeginning);
}

bool TSampleJudge::TouchesLostSector(uint64_t Start, uint64_t End) const {
  const auto it = std::upper_bound(Lost.begin(), Lost.end(), Start,
                                   [](uint64_t s, const TByteRange& r) { return s < r.End; });
  return it != Lost.end() && it->Start < End;
}

// Unit headers lie a slice apart, often further than a buffered window reaches: a read of a
// few bytes from a file goes straight to it instead of refilling a window each time.
bool TSampleJudge::ReadAt(uint64_t Offset, uint8_t* Out, uint64_t Count) {
  if (const auto* file = dynamic_cast<const THandleStream64*>(&Stream); file && file->Handle >= 0)
    return ::pread(file->Handle, Out, size_t(Count), off_t(Offset)) == ssize_t(Count);
  return Stream.Seek(int64_t(Offset), soBeginning) == int64_t(Offset) &&
         Stream.Read(Out, int64_t(Count)) == int64_t(Count);
}

bool TSampleJudge::UnitsFill(uint64_t Offset, uint64_t Size, const TSampleRules& Rules) {
  const uint64_t field = std::clamp<uint32_t>(Rules.NalLengthSize, 1, 4);
  // The length field and as much of the unit as its slice header needs.
  uint8_t head[kUnitHeadRead];
  for (uint64_t at = 0; at < Size;) {
    if (Size - at < field + 1) return false;
    const uint64_t held =
        std::min<uint64_t>(Size - at, Rules.UnitsOfStream ? kUnitHeadRead : field + 1);
    // A sample the file cannot give back is not this rule's to judge.
    if (!ReadAt(Offset + at, head, held)) return true;
    uint64_t length = 0;
    for (uint64_t i = 0; i < field; ++i)
      length = length << 8 | head[i];
    if (length == 0 || (head[field] & 0x80) || length > Size - at - field) return false;
    if (Rules.UnitsOfStream &&
        CheckNalUnit(head + field, size_t(held - field), length, Rules.Limits) != nvAccepted)
      return false;
    at += field + length;
  }
  return true;
}

bool TSampleJudge::IsDamaged(uint64_t Offset, uint64_t Size, const TSampleRules& Rules) {
  if (!Stopped && (++Judged & 0xFFF) == 0) Stopped = !KeepGoing();
  // Samples outside the file are another damage, dealt with by the chunk lists.
  if (Stopped || Size == 0 || Offset >= FileSize || Size > FileSize - Offset) return false;
  if (Rules.Zeros && TouchesLostSector(Offset, Offset + Size)) return true;
  if (Rules.NalLengthSize == 0) return false;
  const int64_t saved = Stream.Position();
  const bool fills = UnitsFill(Offset, Size, Rules);
  Stream.Seek(saved, soBeginning);
  return !fills;
}

bool HasDamagedSamples(THgMP4FileReader& Reader) {
  TStream64* stream = Reader.Source();
  if (!stream) return false;
  std::vector<TSampleRules> rules;
  uint64_t from = UINT64_MAX;
  uint64_t to = 0;
  for (const TMp4Trak& t : Reader.Traks) {
    rules.push_back(SampleRulesFor(Reader, t));
    if (!rules.back().Zeros) continue;
    ForEachListedSample(t, [&](uint64_t Offset, uint32_t Size) {
      from = std::min(from, Offset);
      to = std::max(to, Offset + Size);
    });
  }
  TSampleJudge judge(*stream, Reader.FileSize, [&Reader] { return Reader.Poll(); });
  // A sector that begins inside the last sample is lost only if it is zeros to its end.
  if (from < to) judge.FindLostSectors(from, to + kSectorSize);
  for (size_t i = 0; i < Reader.Traks.size(); ++i) {
    if (!rules[i].Judged()) continue;
    bool damaged = false;
    ForEachListedSample(Reader.Traks[i], [&](uint64_t Offset, uint32_t Size) {
      damaged = damaged || judge.IsDamaged(Offset, Size, rules[i]);
    });
    if (damaged) return true;
  }
  return false;
}

TSampleRemoval RemoveSamples(TRebuiltTrack& Track, const std::vector<bool>& Damaged,
                             bool WholeGroups, std::vector<int32_t>* CompositionOffsets) {
  TSampleRemoval removal;
  std::vector<int32_t> keptOffsets;
  TNewChunk* kept = nullptr;
  bool dropping = false;
  size_t k = 0;
  for (TSlice& c : Track.Chunks) {
    bool any = false;
    for (TNewChunk& s : c.Samples) {
      if (k < Damaged.size() && Damaged[k])
        dropping = true;
      else if (!WholeGroups || (s.Flags & TNewChunk::kSync))
        dropping = false;
      if (dropping) {
        s.Flags |= TNewChunk::kDeleted;
        any = true;
        ++removal.Removed;
        if (kept)
          kept->Duration =
              uint32_t(std::min<uint64_t>(uint64_t(kept->Duration) + s.Duration, UINT32_MAX));
        else
          removal.LeadingDuration += s.Duration;
      } else {
        kept = &s;
        if (CompositionOffsets && k < CompositionOffsets->size())
          keptOffsets.push_back((*CompositionOffsets)[k]);
      }
      ++k;
    }
    if (!any) continue;
    CompactSamples(c);
    FitToSamples(c);
    if (c.Samples.empty()) c.Flags |= TSlice::kDeleted;
  }
  if (removal.Removed == 0) return removal;
  CompactChunks(Track.Chunks);
  if (CompositionOffsets && !CompositionOffsets->empty()) *CompositionOffsets = keptOffsets;
  return removal;
}

std::vector<int32_t> CompositionOffsets(const std::vector<uint8_t>& CttsPayload, uint64_t Samples) {
  if (CttsPayload.size() < kCttsHead) return {};
  const uint64_t count = std::min<uint64_t>(ReadBE32(CttsPayload.data() + 4),
                                            (CttsPayload.size() - kCttsHead) / kCttsEntry);
  uint64_t covered = 0;
  for (uint64_t e = 0; e < count; ++e)
    covered += ReadBE32(CttsPayload.data() + kCttsHead + e * kCttsEntry);
  if (covered != Samples) return {};
  std::vector<int32_t> offsets;
  offsets.reserve(size_t(Samples));
  for (uint64_t e = 0; e < count; ++e) {
    const uint8_t* entry = CttsPayload.data() + kCttsHead + e * kCttsEntry;
    offsets.insert(offsets.end(), ReadBE32(entry), int32_t(ReadBE32(entry + 4)));
  }
  return offsets;
}

std::vector<int32_t> SourceCompositionOffsets(const THgMP4FileReader& Input, int32_t TrakNode,
                                              uint64_t Samples, uint8_t& Version) {
  Version = 0;
  int32_t node = TrakNode;
  for (TFourCC type : {kmdia, kminf, kstbl, kctts})
    node = node >= 0 ? Input.FindChild(node, type) : -1;
  if (node < 0) return {};
  const std::vector<uint8_t> ctts = ReadNodePayload(Input, node, kCttsHead + kCttsEntry * Samples);
  std::vector<int32_t> offsets = CompositionOffsets(ctts, Samples);
  if (!offsets.empty()) Version = ctts[0];
  return offsets;
}

void THgMP4FileWriter::RemoveDamagedSamples(bool Rebuilt) {
  TStream64* stream = Input.Source();
  if (!stream || !JudgeSamples) return;
  std::vector<TSampleRules> rules(Tracks.size());
  std::vector<bool> judged(Tracks.size());
  uint64_t from = UINT64_MAX;
  uint64_t to = 0;
  for (size_t i = 0; i < Tracks.size(); ++i) {
    TRebuiltTrack& t = Tracks[i];
    // First the samples the damaged file's own tables describe; then, once the zero runs
    // are out, the samples the repair sized itself from the tables' remains, which the
    // copy's check judges just the same.
    if (t.UniformSampleSize > 0 || t.SamplesAsInSource == Rebuilt || t.SamplesTrimmed) continue;
    // A track made for what the scan found is described by the reference clip's track.
    const THgMP4FileReader* reference = Reference();
    if (t.Source >= 0)
      rules[i] = SampleRulesFor(Input, Input.Traks[size_t(t.Source)]);
    else if (reference && t.ReferenceTrackIndex >= 0)
      rules[i] = SampleRulesFor(*reference, reference->Traks[size_t(t.ReferenceTrackIndex)]);
    else
      continue;
    if (t.HasUnitLimits && rules[i].UnitsOfStream) {
      rules[i].Limits = t.UnitLimits;
      rules[i].NalLengthSize = t.UnitLimits.NalLengthSize;
    }
    judged[i] = rules[i].Judged();
    if (!Rebuilt) t.SamplesJudged = judged[i];
    if (!rules[i].Zeros) continue;
    for (const TSlice& c : t.Chunks)
      for (const TNewChunk& s : c.Samples) {
        const uint64_t offset = s.Offset; // a packed field: no reference to it
        from = std::min(from, offset);
        to = std::max(to, offset + s.Size);
      }
  }
  TSampleJudge judge(*stream, Input.FileSize, [this] { return Poll(); });
  if (from < to) judge.FindLostSectors(from, to + kSectorSize);

  for (size_t i = 0; i < Tracks.size(); ++i) {
    TRebuiltTrack& t = Tracks[i];
    if (!judged[i]) continue;
    std::vector<bool> damaged;
    bool any = false;
    for (const TSlice& c : t.Chunks)
      for (const TNewChunk& s : c.Samples) {
        damaged.push_back(judge.IsDamaged(s.Offset, s.Size, rules[i]));
        any = any || damaged.back();
      }
    if (!any) continue;

    if (Rebuilt) {
      // Rebuilt samples have no composition offsets of the file's to keep.
      t.LeadingDuration =
          RemoveSamples(t, damaged, t.MediaKind == mkVideo, nullptr).LeadingDuration;
      continue;
    }
    uint8_t version = 0;
    std::vector<int32_t> offsets =
        SourceCompositionOffsets(Input, t.TrakNode, damaged.size(), version);
    const TSampleRemoval removal = RemoveSamples(t, damaged, t.MediaKind == mkVideo, &offsets);
    t.SamplesAsInSource = false;
    t.SamplesTrimmed = true;
    t.CompositionVersion = version;
    t.CompositionOffsets = std::move(offsets);
    t.LeadingDuration = removal.LeadingDuration;
  }
}

} // namespace clw
