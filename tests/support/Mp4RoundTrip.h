#pragma once
// The MP4 check and repair as the repair job runs them, on arbitrary bytes: the quick
// analysis, then the full check of a file found damaged on a fresh reader, and both dumps
// of what each analysis left; then the repaired copy, written into memory, checked again.
// A copy the writer calls done must check clean and have tables that hold together. The
// fuzz target runs it on every input, and a test on the inputs it once failed on.
//
// The first byte chooses what the rest is: with its top bit clear, one damaged file; with it
// set, a damaged file and after it a reference clip of the same camera, split at the
// fraction (low seven bits) / 128 of the rest (scripts/mp4-fuzz-seeds.py writes both kinds).
#include "mp4/AacDecoder.h"
#include "mp4/Mp4BoxTypes.h"
#include "mp4/Mp4Dump.h"
#include "mp4repair/HgMP4FileWriter.h"
#include "mp4repair/MediaDataAnalysis.h"
#include "mp4repair/ReferenceClip.h"

#include "support/MemoryStream.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

namespace clw::test {

// Bounds the time and memory of one run; a larger input adds nothing the structure of a
// smaller one does not already reach.
inline constexpr size_t kMaxInput = 1 << 20;
inline constexpr uint64_t kMaxDump = 1 << 24;
inline constexpr uint8_t kWithReference = 0x80;

// Takes the dumps without keeping them: it only tracks the size and position, so the
// tag stream can seek back and patch its element sizes.
class TDiscardStream : public TStream64 {
public:
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void*, int64_t Count) override {
    if (Count <= 0) return 0;
    Pos += Count;
    End = std::max(End, Pos);
    return Count;
  }
  int64_t Seek(int64_t Offset, uint16_t Origin) override {
    const int64_t base = Origin == soCurrent ? Pos : Origin == soEnd ? End : 0;
    if (Offset < -base) return -1;
    Pos = base + Offset;
    return Pos;
  }

private:
  int64_t Pos = 0;
  int64_t End = 0;
};

// A reader over bytes it owns, analysed in the given mode on construction.
struct TMemoryHolder {
  explicit TMemoryHolder(std::vector<uint8_t> Bytes) : Memory(std::move(Bytes)) {}
  TMemoryStream Memory;
  THgMp4Stream HeldAtoms{&Memory};
};
// FAAD2 is not ours to test, and on garbage it misbehaves in ways no fix here can reach:
// the round trip runs without it throughout, so the check judges no AAC by decoding and
// the repair leaves undelimited AAC out, as without the library.
inline const TAacLibrary* NoAacLibrary() {
  static const std::unique_ptr<TAacLibrary> none = TAacLibrary::Open("none");
  return none.get();
}

class TMemoryMp4Reader : private TMemoryHolder, public THgMP4FileReader {
public:
  explicit TMemoryMp4Reader(std::vector<uint8_t> Bytes)
      : TMemoryHolder(std::move(Bytes)), THgMP4FileReader(HeldAtoms, &MediaDataAnalysis()) {
    AacDecoderLibrary = NoAacLibrary();
  }
};

// The tables of every track of the copy: "stsc" over the chunks of "stco" accounts for
// exactly the samples of "stsz", and every chunk's samples lie inside the payload of "mdat".
inline const char* CheckTables(const THgMP4FileReader& Copy) {
  const int32_t mdat = Copy.FindChild(-1, kmdat);
  if (mdat < 0) return "the copy has no media data";
  const uint64_t begin = uint64_t(std::max<int64_t>(Copy.DataPosition(mdat), 0));
  const uint64_t end =
      std::min<uint64_t>(uint64_t(std::max<int64_t>(Copy.NodeEnd(mdat), 0)), Copy.FileSize);
  for (const TMp4Trak& t : Copy.Traks) {
    if (t.stco.Version == kNotRead || t.stsc.Version == kNotRead || t.stsz.Version == kNotRead)
      return "a track of the copy lacks a sample table";
    const TMp4_stsc_table& stsc = t.stsc.Table;
    if (!t.stco.Table.empty() && (stsc.empty() || stsc.front().FirstChunk != 1))
      return "the copy's sample-to-chunk table does not start at chunk 1";
    const bool uniform = t.stsz.SampleSize > 0;
    const uint64_t sized = uniform ? t.stsz.SampleCount : t.stsz.Table.size();
    uint64_t sample = 0;
    size_t entry = 0;
    for (size_t c = 0; c < t.stco.Table.size(); ++c) {
      while (entry + 1 < stsc.size() && stsc[entry + 1].FirstChunk <= c + 1)
        ++entry;
      const uint64_t count = stsc[entry].SamplesPerChunk;
      if (count > sized - sample) return "the copy's chunks hold more samples than its sizes";
      uint64_t bytes = uniform ? count * t.stsz.SampleSize : 0;
      for (uint64_t i = 0; !uniform && i < count; ++i)
        bytes += t.stsz.Table[size_t(sample + i)];
      sample += count;
      const uint64_t offset = t.stco.Table[c];
      if (offset < begin || offset > end || bytes > end - offset)
        return "a chunk of the copy lies outside its media data";
    }
    if (sample != sized) return "the copy's chunks hold fewer samples than its sizes";
  }
  return nullptr;
}

// What a copy the writer called done must satisfy; the first rule it breaks, or null. Zeros
// in the copy are reported by the full check, and sound may hold silence, so a full check
// that finds a zero run is no fault of the copy.
inline const char* CheckCopy(std::vector<uint8_t> Bytes) {
  TMemoryMp4Reader copy(std::move(Bytes));
  if (copy.Analyze(0) != kDone || copy.Error != kNoDamage)
    return "the quick check finds damage in the copy";
  if (const char* broken = CheckTables(copy)) return broken;
  if (copy.Analyze(2) != kDone) return "the full check of the copy did not finish";
  if (copy.Error != kNoDamage && copy.Scan.NullBlocks.Count() == 0)
    return "the full check finds damage in the copy";
  return nullptr;
}

// One input through the check, the dumps and the repair; the rule the copy breaks, or null.
inline const char* CheckMp4RoundTrip(const uint8_t* Data, size_t Size) {
  if (Size == 0 || Size > kMaxInput) return nullptr;
  const uint8_t choice = Data[0];
  const size_t rest = Size - 1;
  const size_t split = choice & kWithReference ? rest * (choice & 0x7F) / 128 : rest;
  const std::vector<uint8_t> damaged(Data + 1, Data + 1 + split);

  for (const uint8_t mode : {uint8_t(0), uint8_t(3)}) {
    TMemoryMp4Reader reader(damaged);
    // The full check lets candidates go from the sixteenth on, as a dense recording of
    // gigabytes does: the inputs are too short to reach the real limit.
    if (mode == 3) reader.Scan.PruneAbove = 16;
    reader.Analyze(mode);
    TDiscardStream text;
    WriteMp4Info(reader, text);
    TDiscardStream dump;
    WriteMp4DebugDump(reader, dump, kMaxDump);
  }

  TMemoryMp4Reader reader(damaged);
  if (reader.Analyze(0) == kNothingToAnalyse ||
      reader.Analyze(reader.Error == kDamagedData ? 3 : 2) != kDone)
    return nullptr;
  TMemoryStream output;
  int32_t result;
  {
    THgMP4FileWriter writer(reader, output);
    writer.AacDecoderLibrary = nullptr;
    if (split < rest) {
      auto reference =
          std::make_unique<TMemoryMp4Reader>(std::vector<uint8_t>(Data + 1 + split, Data + Size));
      if (reference->Analyze(0) != kNothingToAnalyse && JudgeReference(*reference) == rvUsable)
        writer.ReferenceReader = std::move(reference);
    }
    result = writer.Write();
  }
  if (result != kDone) return nullptr;
  return CheckCopy(std::move(output.Data));
}

} // namespace clw::test
