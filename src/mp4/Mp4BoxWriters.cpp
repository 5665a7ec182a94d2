// The box writers. The header boxes and the edit list go through the same field lists as
// their readers (Mp4Format.h); the sample tables mirror ReadWordTable, ReadStsz and
// ReadStco/ReadCo64 field for field.
#include "mp4/Mp4BoxWriters.h"

#include "mp4/Mp4BoxTypes.h"
#include "streams/Endian.h"

#include <algorithm>
#include <concepts>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <vector>

namespace clw {

namespace {

constexpr uint64_t kMax32 = std::numeric_limits<uint32_t>::max();
// A camera's hour of video has a few hundred thousand samples; its tables go out in blocks
// of this size rather than one buffer the size of the table.
constexpr size_t kBlockBytes = 0x10000;

// One box being written: its header goes out at once, the payload collects here and goes
// out in blocks, and End patches the size. It is also the Io of the field lists, writing
// each field big-endian and handing it back unchanged.
class TBoxWriter {
public:
  TBoxWriter(THgMp4Stream& Out, TFourCC Type, uint8_t Version = 0)
      : FOut(Out), FWide(Version == 1), FOpen(Out.BeginAtom(Type, false) >= 0), FOk(FOpen) {}
  TBoxWriter(const TBoxWriter&) = delete;
  TBoxWriter& operator=(const TBoxWriter&) = delete;

  void FullBoxHead(uint8_t Version, const uint8_t (&Flags)[3]) {
    (*this)(Version);
    Bytes(Flags);
  }
  template <std::integral T> T operator()(T V) {
    Put(uint64_t(std::make_unsigned_t<T>(V)), sizeof(T));
    return V;
  }
  // The caller has chosen version 1 for any value that does not fit 32 bits.
  template <std::integral T> T Time(T V) {
    Put(uint64_t(V), FWide ? 8 : 4);
    return V;
  }
  template <typename T> T Raw(T V) {
    Append(&V, sizeof V);
    return V;
  }
  template <size_t N> void Bytes(const uint8_t (&B)[N]) { Append(B, N); }

  void Append(const void* Data, size_t Count) {
    const auto* bytes = static_cast<const uint8_t*>(Data);
    FBytes.insert(FBytes.end(), bytes, bytes + Count);
    if (FBytes.size() >= kBlockBytes) Flush();
  }
  // Sends what has collected, so that a child box can follow.
  bool Flush() {
    if (FOk && !FBytes.empty())
      FOk = FOut.WriteData(FBytes.data(), int64_t(FBytes.size())) == int64_t(FBytes.size());
    FBytes.clear();
    return FOk;
  }
  // Closes the box; false when any part of it was refused or its size does not fit.
  [[nodiscard]] bool End() {
    if (!FOpen) return false;
    FOpen = false;
    const bool sent = Flush();
    return FOut.EndAtom(false) >= 0 && sent;
  }

private:
  void Put(uint64_t V, size_t Width) {
    uint8_t b[8];
    WriteBE64(b, V);
    Append(b + 8 - Width, Width);
  }

  THgMp4Stream& FOut;
  bool FWide;
  bool FOpen;
  bool FOk;
  std::vector<uint8_t> FBytes;
};

// The record's version when it is 0 or 1, but version 1 whenever a value needs 64 bits.
uint8_t VersionFor(uint8_t Recorded, bool Needs64) {
  return Needs64 || Recorded == 1 ? 1 : 0;
}

template <typename TRecord>
bool WriteHeaderBox(THgMp4Stream& Out, TFourCC Type, TRecord Record,
                    void (*Fields)(TBoxWriter&, TRecord&)) {
  const bool wide =
      Record.CreationTime > kMax32 || Record.ModificationTime > kMax32 || Record.Duration > kMax32;
  const uint8_t version = VersionFor(Record.Version, wide);
  TBoxWriter box(Out, Type, version);
  box.FullBoxHead(version, Record.Flags);
  Fields(box, Record);
  return box.End();
}

// Version and flags, the count the table's size gives, then each entry as Each writes it.
template <typename TRecord, typename TEach>
bool WriteTable(THgMp4Stream& Out, TFourCC Type, uint8_t Version, const TRecord& Record,
                TEach Each) {
  if (Record.Table.size() > kMax32) return false;
  TBoxWriter box(Out, Type, Version);
  box.FullBoxHead(Version, Record.Flags);
  box(uint32_t(Record.Table.size()));
  for (const auto& entry : Record.Table)
    Each(box, entry);
  return box.End();
}

} // namespace

bool WriteMvhd(THgMp4Stream& Out, const TMp4_mvhd& Mvhd) {
  return WriteHeaderBox(Out, kmvhd, Mvhd, MvhdFields<TBoxWriter>);
}

bool WriteTkhd(THgMp4Stream& Out, const TMp4_tkhd& Tkhd) {
  return WriteHeaderBox(Out, ktkhd, Tkhd, TkhdFields<TBoxWriter>);
}

bool WriteMdhd(THgMp4Stream& Out, const TMp4_mdhd& Mdhd) {
  return WriteHeaderBox(Out, kmdhd, Mdhd, MdhdFields<TBoxWriter>);
}

bool WriteHdlr(THgMp4Stream& Out, const TMp4_hdlr& Hdlr) {
  TBoxWriter box(Out, khdlr);
  box.FullBoxHead(0, Hdlr.Flags);
  box(Hdlr.PreDefined);
  uint8_t handler[4];
  WriteLE32(handler, Hdlr.HandlerType);
  box.Bytes(handler);
  box.Bytes(Hdlr.Reserved);
  box.Append(Hdlr.Name.data(), Hdlr.Name.size());
  box(uint8_t(0));
  return box.End();
}

bool WriteDinf(THgMp4Stream& Out) {
  constexpr uint8_t kNoFlags[3] = {};
  constexpr uint8_t kSelfContained[3] = {0, 0, 1};
  TBoxWriter dinf(Out, kdinf);
  TBoxWriter dref(Out, kdref);
  dref.FullBoxHead(0, kNoFlags);
  dref(uint32_t(1));
  const bool head = dref.Flush();
  TBoxWriter url(Out, kurl);
  url.FullBoxHead(0, kSelfContained);
  const bool entry = url.End();
  const bool refs = dref.End();
  const bool info = dinf.End();
  return head && entry && refs && info;
}

bool WriteStts(THgMp4Stream& Out, const TMp4_stts& Stts) {
  return WriteTable(Out, kstts, 0, Stts, [](TBoxWriter& Box, const TMp4_stts_entry& Entry) {
    Box(Entry.SampleCount);
    Box(Entry.SampleDelta);
  });
}

bool WriteStss(THgMp4Stream& Out, const TMp4_stss& Stss) {
  return WriteTable(Out, kstss, 0, Stss, [](TBoxWriter& Box, uint32_t Sample) { Box(Sample); });
}

bool WriteCtts(THgMp4Stream& Out, uint8_t Version, const std::vector<int32_t>& Offsets) {
  std::vector<TMp4_stts_entry> runs;
  for (int32_t offset : Offsets)
    if (!runs.empty() && runs.back().SampleDelta == uint32_t(offset))
      ++runs.back().SampleCount;
    else
      runs.push_back({1, uint32_t(offset)});
  if (runs.size() > kMax32) return false;
  constexpr uint8_t kNoFlags[3] = {};
  TBoxWriter box(Out, kctts);
  box.FullBoxHead(Version == 1 ? 1 : 0, kNoFlags);
  box(uint32_t(runs.size()));
  for (const TMp4_stts_entry& run : runs) {
    box(run.SampleCount);
    box(run.SampleDelta);
  }
  return box.End();
}

bool WriteStsc(THgMp4Stream& Out, const TMp4_stsc& Stsc) {
  return WriteTable(Out, kstsc, 0, Stsc, [](TBoxWriter& Box, const TMp4_stsc_entry& Entry) {
    Box(Entry.FirstChunk);
    Box(Entry.SamplesPerChunk);
    Box(Entry.SampleDescriptionIndex);
  });
}

bool WriteStsz(THgMp4Stream& Out, const TMp4_stsz& Stsz) {
  const bool listed = Stsz.SampleSize == 0;
  if (listed && Stsz.Table.size() > kMax32) return false;
  TBoxWriter box(Out, kstsz);
  box.FullBoxHead(0, Stsz.Flags);
  box(Stsz.SampleSize);
  box(listed ? uint32_t(Stsz.Table.size()) : Stsz.SampleCount);
  if (listed)
    for (uint32_t size : Stsz.Table)
      box(size);
  return box.End();
}

bool WriteStco(THgMp4Stream& Out, const TMp4_stco& Stco) {
  const bool large = std::any_of(Stco.Table.begin(), Stco.Table.end(),
                                 [](uint64_t Offset) { return Offset > kMax32; });
  if (large)
    return WriteTable(Out, kco64, 0, Stco, [](TBoxWriter& Box, uint64_t Offset) { Box(Offset); });
  return WriteTable(Out, kstco, 0, Stco,
                    [](TBoxWriter& Box, uint64_t Offset) { Box(uint32_t(Offset)); });
}

bool WriteEdts(THgMp4Stream& Out, const TMp4_elst& Elst) {
  const bool wide = std::any_of(Elst.Table.begin(), Elst.Table.end(), [](const auto& Entry) {
    return Entry.SegmentDuration > kMax32 ||
           Entry.MediaTime < std::numeric_limits<int32_t>::min() ||
           Entry.MediaTime > std::numeric_limits<int32_t>::max();
  });
  const uint8_t version = VersionFor(Elst.Version, wide);
  TBoxWriter edts(Out, kedts);
  const bool list =
      WriteTable(Out, kelst, version, Elst,
                 [](TBoxWriter& Box, TMp4_elst_entry Entry) { ElstEntryFields(Box, Entry); });
  return edts.End() && list;
}

} // namespace clw
