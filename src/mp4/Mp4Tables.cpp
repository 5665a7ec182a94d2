// The readers of the movie and track boxes. Each reads the box the atom stream has been set
// on, converts every number from big-endian once, and keeps the record's version byte at
// kNotRead until the box has been read whole, so a half-read header is never mistaken for
// a real one. Entry counts come from damaged files: no table is ever sized from a count
// before the count has been held against the bytes the box can actually supply.
#include "mp4/HgMP4File.h"

#include "mp4/Mp4BoxTypes.h"
#include "streams/Endian.h"

#include <algorithm>
#include <cstring>

namespace clw {

namespace {

// The shortest a sample entry can be: its size and type.
constexpr int64_t kEntryHeaderLength = 8;

// Rewrites a big-endian field of a stored record in host order, in place.
void ToHost16(uint8_t* p) {
  const uint16_t v = ReadBE16(p);
  std::memcpy(p, &v, sizeof v);
}
void ToHost32(uint8_t* p) {
  const uint32_t v = ReadBE32(p);
  std::memcpy(p, &v, sizeof v);
}
void WordsToHost(void* data, size_t words) {
  auto* p = static_cast<uint8_t*>(data);
  for (size_t i = 0; i < words; ++i)
    ToHost32(p + 4 * i);
}

// How many entries of EntrySize bytes a table may hold when Available bytes are left for
// it: a last partial entry counts (it is kept, zero-padded, as the stream supplies it).
uint32_t BoundedCount(uint32_t Count, int64_t Available, int64_t EntrySize) {
  if (Available <= 0) return 0;
  const int64_t fit = Available / EntrySize + (Available % EntrySize != 0 ? 1 : 0);
  return fit < int64_t(Count) ? uint32_t(fit) : Count;
}

// Fixed parts of sample entries hold their numbers big-endian in the file; these turn the
// fields the rest of the program reads into host order.
void ConvertCommon(uint8_t* f) {
  ToHost16(f + 6); // data reference index
}

void ConvertVisual(uint8_t* f) {
  ConvertCommon(f);
  // Version, revision and vendor stay as written; from the temporal quality on every number
  // is converted, the 32-byte compressor name (a Pascal string) is not.
  ToHost32(f + 16); // temporal quality
  ToHost32(f + 20); // spatial quality
  ToHost16(f + 24); // width
  ToHost16(f + 26); // height
  ToHost32(f + 28); // horizontal resolution
  ToHost32(f + 32); // vertical resolution
  ToHost32(f + 36); // data size
  ToHost16(f + 40); // frame count
  ToHost16(f + 74); // depth
  ToHost16(f + 76); // colour table id
}

void ConvertSound(uint8_t* f) {
  ConvertCommon(f);
  ToHost16(f + 16); // channel count
  ToHost16(f + 18); // sample size
  ToHost16(f + 20); // compression id
  ToHost16(f + 22); // packet size
  ToHost32(f + 24); // sample rate, 16.16
}

template <typename TRecord> void BeginRecord(TRecord& Record, const uint8_t* Head) {
  Record.Version = kNotRead;
  std::memcpy(Record.Flags, Head + 1, sizeof Record.Flags);
}

// Bytes the current box can still supply: up to its end, or the end of the file if that
// comes first.
int64_t BytesLeft(THgMp4Stream& S) {
  if (!S.Stream) return 0;
  int64_t end = S.StreamSize;
  if (S.Depth > 0) end = std::min(end, S.Tags[S.Depth - 1].End());
  return std::max<int64_t>(end - S.Stream->Position(), 0);
}

// Bytes up to the end of the current box as its header gives it, whatever the file holds.
int64_t PayloadLeft(THgMp4Stream& S) {
  if (!S.Stream || S.Depth == 0) return BytesLeft(S);
  return std::max<int64_t>(S.Tags[S.Depth - 1].End() - S.Stream->Position(), 0);
}

bool ReadAll(THgMp4Stream& S, void* Buffer, int64_t Count) {
  return Count == 0 || S.Read(Buffer, Count) == Count;
}

// The times and duration of a header box, read before they go into its packed record.
struct TTimes {
  uint64_t Creation = 0;
  uint64_t Modification = 0;
  uint64_t Duration = 0;
};

// Creation and modification time, then the fields up to the duration, then the duration:
// 32-bit in version 0 boxes, 64-bit in version 1. Middle is what stands between the times
// and the duration (the time scale, or the track ID and a reserved word).
bool ReadTimes(THgMp4Stream& S, uint8_t Version, TTimes& Times, uint8_t* Middle,
               int64_t MiddleLength) {
  uint8_t field[16];
  const int64_t width = Version == 1 ? 8 : 4;
  if (!ReadAll(S, field, 2 * width)) return false;
  Times.Creation = width == 8 ? ReadBE64(field) : ReadBE32(field);
  Times.Modification = width == 8 ? ReadBE64(field + 8) : ReadBE32(field + 4);
  if (!ReadAll(S, Middle, MiddleLength) || !ReadAll(S, field, width)) return false;
  Times.Duration = width == 8 ? ReadBE64(field) : ReadBE32(field);
  return true;
}

// The common head of the counted tables: version and flags, then the entry count, bounded
// by the bytes left for entries of EntrySize. Null when the head itself is cut short.
template <typename TTable>
bool BeginTable(THgMp4Stream& S, TTable& Table, int64_t EntrySize, uint8_t& Version) {
  uint8_t head[8];
  if (!ReadAll(S, head, sizeof head)) {
    Table.Version = kNotRead;
    Table.EntryCount = 0;
    Table.Table.clear();
    return false;
  }
  BeginRecord(Table, head);
  Version = head[0];
  Table.EntryCount = BoundedCount(ReadBE32(head + 4), BytesLeft(S), EntrySize);
  return true;
}

// Tables whose entries are big-endian 32-bit words: "stts", "stss", "stsc".
template <typename TRecord> int32_t ReadWordTable(THgMp4Stream& S, TRecord& Record) {
  using TEntry = typename decltype(Record.Table)::value_type;
  uint8_t version = 0;
  if (!BeginTable(S, Record, sizeof(TEntry), version)) return -1;
  Record.Table.assign(Record.EntryCount, TEntry{});
  S.Read(Record.Table.data(), int64_t(Record.EntryCount) * int64_t(sizeof(TEntry)));
  WordsToHost(Record.Table.data(), size_t(Record.EntryCount) * (sizeof(TEntry) / 4));
  Record.Version = version;
  return 0;
}

} // namespace

int32_t THgMP4FileReader::ReadFtyp() {
  if (!Atoms) return -1;
  THgMp4Stream& S = *Atoms;
  uint8_t head[8];
  if (!ReadAll(S, head, sizeof head)) return -1;
  Ftyp.MajorBrand = ReadLE32(head);
  Ftyp.MinorVersion = ReadBE32(head + 4);
  // The brands run to the end of the box; a box cut by the end of the file holds fewer.
  Ftyp.CompatibleBrands.assign(size_t(BytesLeft(S)), '\0');
  if (!Ftyp.CompatibleBrands.empty())
    S.Read(Ftyp.CompatibleBrands.data(), int64_t(Ftyp.CompatibleBrands.size()));
  return 0;
}

int32_t THgMP4FileReader::ReadMvhd() {
  if (!Atoms) return -1;
  THgMp4Stream& S = *Atoms;
  uint8_t head[4];
  if (!ReadAll(S, head, 4)) {
    Mvhd.Version = kNotRead;
    return -1;
  }
  BeginRecord(Mvhd, head);
  TMp4_mvhd m = Mvhd;
  uint8_t scale[4];
  uint8_t rest[80];
  TTimes times;
  if (!ReadTimes(S, head[0], times, scale, 4) || !ReadAll(S, rest, sizeof rest)) return -1;
  m.CreationTime = times.Creation;
  m.ModificationTime = times.Modification;
  m.Duration = times.Duration;
  m.TimeScale = ReadBE32(scale);
  m.Rate = ReadBE32(rest);
  m.Volume = ReadBE16(rest + 4);
  std::memcpy(m.Reserved, rest + 6, sizeof m.Reserved);
  for (int i = 0; i < 9; ++i)
    m.Matrix[i] = ReadBE32(rest + 16 + 4 * i);
  for (int i = 0; i < 6; ++i)
    m.PreDefined[i] = ReadBE32(rest + 52 + 4 * i);
  m.NextTrackId = ReadBE32(rest + 76);
  m.Version = head[0];
  Mvhd = m;
  return 0;
}

int32_t THgMP4FileReader::ReadTkhd() {
  if (Traks.empty() || !Atoms) return -1;
  THgMp4Stream& S = *Atoms;
  TMp4_tkhd& record = Traks.back().tkhd;
  uint8_t head[4];
  if (!ReadAll(S, head, 4)) {
    record.Version = kNotRead;
    return -1;
  }
  BeginRecord(record, head);
  TMp4_tkhd t = record;
  uint8_t ids[8];
  uint8_t rest[60];
  TTimes times;
  if (!ReadTimes(S, head[0], times, ids, 8) || !ReadAll(S, rest, sizeof rest)) return -1;
  t.CreationTime = times.Creation;
  t.ModificationTime = times.Modification;
  t.Duration = times.Duration;
  t.TrackId = ReadBE32(ids);
  t.Reserved1 = ReadBE32(ids + 4);
  std::memcpy(t.Reserved2, rest, sizeof t.Reserved2);
  t.Layer = ReadBE16(rest + 8);
  t.AlternateGroup = ReadBE16(rest + 10);
  t.Volume = ReadBE16(rest + 12);
  std::memcpy(&t.Reserved3, rest + 14, sizeof t.Reserved3);
  for (int i = 0; i < 9; ++i)
    t.Matrix[i] = ReadBE32(rest + 16 + 4 * i);
  t.Width = ReadBE32(rest + 52);
  t.Height = ReadBE32(rest + 56);
  t.Version = head[0];
  record = t;
  return 0;
}

int32_t THgMP4FileReader::ReadMdhd() {
  if (Traks.empty() || !Atoms) return -1;
  THgMp4Stream& S = *Atoms;
  TMp4_mdhd& record = Traks.back().mdhd;
  uint8_t head[4];
  if (!ReadAll(S, head, 4)) {
    record.Version = kNotRead;
    return -1;
  }
  BeginRecord(record, head);
  TMp4_mdhd m = record;
  uint8_t scale[4];
  uint8_t rest[4];
  TTimes times;
  if (!ReadTimes(S, head[0], times, scale, 4) || !ReadAll(S, rest, sizeof rest)) return -1;
  m.CreationTime = times.Creation;
  m.ModificationTime = times.Modification;
  m.Duration = times.Duration;
  m.TimeScale = ReadBE32(scale);
  m.Language = ReadBE16(rest);
  m.Quality = ReadBE16(rest + 2);
  m.Version = head[0];
  record = m;
  return 0;
}

int32_t THgMP4FileReader::ReadHdlr() {
  if (Traks.empty() || !Atoms) return -1;
  THgMp4Stream& S = *Atoms;
  TMp4_hdlr& record = Traks.back().hdlr;
  uint8_t fixed[24];
  if (!ReadAll(S, fixed, sizeof fixed)) {
    record.Version = kNotRead;
    return -1;
  }
  BeginRecord(record, fixed);
  record.PreDefined = ReadBE32(fixed + 4);
  record.HandlerType = ReadLE32(fixed + 8);
  std::memcpy(record.Reserved, fixed + 12, sizeof record.Reserved);
  // The name fills the rest of the box; its last byte is the terminating zero of an ISO
  // name (or the last character of a QuickTime one, which is lost the same way).
  record.Name.clear();
  const int64_t nameLength = PayloadLeft(S);
  if (nameLength > 1) {
    record.Name.assign(size_t(std::min(nameLength - 1, BytesLeft(S))), '\0');
    if (!record.Name.empty()) S.Read(record.Name.data(), int64_t(record.Name.size()));
  }
  record.Version = fixed[0];
  return 0;
}

int32_t THgMP4FileReader::ReadStsd(int32_t StsdNode) {
  if (Traks.empty() || !Atoms) return -1;
  THgMp4Stream& S = *Atoms;
  TMp4Trak& trak = Traks.back();
  TMp4_stsd& stsd = trak.stsd;
  uint8_t head[8];
  if (!ReadAll(S, head, sizeof head)) {
    stsd.Version = kNotRead;
    return -1;
  }
  BeginRecord(stsd, head);
  stsd.EntryCount = BoundedCount(ReadBE32(head + 4), BytesLeft(S), kEntryHeaderLength);
  stsd.Entries.assign(stsd.EntryCount, TMp4_SampleEntry{});
  trak.SampleDescriptions.Clear();

  int64_t running = S.Depth > 0 ? S.Tags[S.Depth - 1].DataPosition : 0;
  for (uint32_t e = 0; e < stsd.EntryCount; ++e) {
    TMp4_SampleEntry& entry = stsd.Entries[e];
    const int64_t available = BytesLeft(S);
    uint8_t header[8];
    if (!ReadAll(S, header, sizeof header)) return -1;
    entry.Size = ReadBE32(header);
    entry.Type = ReadLE32(header + 4);
    const TSampleEntryKind kind = SampleEntryKind(entry.Type);
    if (kind.MediaKind != mkNone) trak.MediaKind = kind.MediaKind;
    const int64_t payload = int64_t(entry.Size) - kEntryHeaderLength;
    const int64_t fixedLength = kind.FixedLength >= 0 ? kind.FixedLength : payload;
    // An entry that runs past what the box holds, or is too short for its own fixed part,
    // is cut or broken: a description with zeros for its dimensions or without its decoder
    // configuration would make an unplayable copy, so it counts as not read.
    if (payload < 0 || fixedLength > payload || int64_t(entry.Size) > available) return -1;
    entry.FixedLength = uint32_t(fixedLength);
    const int64_t stored = std::min<int64_t>(fixedLength, sizeof entry.Fixed);
    if (!ReadAll(S, entry.Fixed, stored)) return -1;
    S.Skip(fixedLength - stored);
    const int32_t node = trak.SampleDescriptions.AddNode(-1, entry.Type, 0, running, fixedLength);
    running += fixedLength;

    // What follows the fixed part are boxes: "avcC", "esds", "btrt", "pasp"...
    int64_t remainder = payload - fixedLength;
    while (remainder >= 8) {
      uint32_t childSize = 0;
      uint8_t childType[4];
      if (S.ReadU32BE(childSize) != 4 || !ReadAll(S, childType, 4)) break;
      remainder -= 8;
      if (childSize < 8) break; // not a box header; the rest of the entry is skipped below
      trak.SampleDescriptions.AddNode(node, ReadLE32(childType), 1, running, childSize);
      running += childSize;
      // A child that claims more than its entry holds is cut at the entry's end, so the
      // next entry is still read from where it starts.
      const int64_t body = std::min<int64_t>(int64_t(childSize) - 8, remainder);
      S.Skip(body);
      remainder -= body;
    }
    if (remainder > 0) S.Skip(remainder);
  }

  for (TMp4_SampleEntry& entry : stsd.Entries) {
    if (trak.MediaKind == mkVideo)
      ConvertVisual(entry.Fixed);
    else if (trak.MediaKind == mkSound)
      ConvertSound(entry.Fixed);
    else
      ConvertCommon(entry.Fixed);
  }
  trak.StsdNode = StsdNode;
  stsd.Version = head[0];
  return 0;
}

int32_t THgMP4FileReader::ReadStco() {
  if (Traks.empty() || !Atoms) return -1;
  THgMp4Stream& S = *Atoms;
  TMp4_stco& stco = Traks.back().stco;
  uint8_t version = 0;
  if (!BeginTable(S, stco, 4, version)) return -1;
  if (Stco32.size() < stco.EntryCount) Stco32.resize(stco.EntryCount);
  S.Read(Stco32.data(), int64_t(stco.EntryCount) * 4);
  stco.Table.resize(stco.EntryCount);
  const auto* bytes = reinterpret_cast<const uint8_t*>(Stco32.data());
  for (uint32_t i = 0; i < stco.EntryCount; ++i)
    stco.Table[i] = ReadBE32(bytes + 4 * size_t(i));
  stco.Version = version;
  return 0;
}

int32_t THgMP4FileReader::ReadCo64() {
  if (Traks.empty() || !Atoms) return -1;
  THgMp4Stream& S = *Atoms;
  TMp4_stco& stco = Traks.back().stco;
  uint8_t version = 0;
  if (!BeginTable(S, stco, 8, version)) return -1;
  stco.Table.assign(stco.EntryCount, 0);
  S.Read(stco.Table.data(), int64_t(stco.EntryCount) * 8);
  for (uint64_t& offset : stco.Table) {
    const uint64_t v = ReadBE64(reinterpret_cast<const uint8_t*>(&offset));
    offset = v;
  }
  stco.Version = version;
  return 0;
}

int32_t THgMP4FileReader::ReadStts() {
  return Traks.empty() || !Atoms ? -1 : ReadWordTable(*Atoms, Traks.back().stts);
}

int32_t THgMP4FileReader::ReadStss() {
  return Traks.empty() || !Atoms ? -1 : ReadWordTable(*Atoms, Traks.back().stss);
}

int32_t THgMP4FileReader::ReadStsc() {
  return Traks.empty() || !Atoms ? -1 : ReadWordTable(*Atoms, Traks.back().stsc);
}

int32_t THgMP4FileReader::ReadStsz() {
  if (Traks.empty() || !Atoms) return -1;
  THgMp4Stream& S = *Atoms;
  TMp4_stsz& stsz = Traks.back().stsz;
  uint8_t head[12];
  if (!ReadAll(S, head, sizeof head)) {
    stsz.Version = kNotRead;
    stsz.Table.clear();
    return -1;
  }
  BeginRecord(stsz, head);
  stsz.SampleSize = ReadBE32(head + 4);
  stsz.SampleCount = ReadBE32(head + 8);
  stsz.Table.clear();
  // With one size for every sample there is no table, and the count says how many samples
  // the track has; with listed sizes the count is what the table holds.
  if (stsz.SampleSize == 0) {
    stsz.SampleCount = BoundedCount(stsz.SampleCount, BytesLeft(S), 4);
    stsz.Table.assign(stsz.SampleCount, 0);
    S.Read(stsz.Table.data(), int64_t(stsz.SampleCount) * 4);
    WordsToHost(stsz.Table.data(), stsz.SampleCount);
  }
  stsz.Version = head[0];
  return 0;
}

} // namespace clw
