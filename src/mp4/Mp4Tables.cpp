// The readers of the movie and track boxes. Each reads the box the atom stream has been set
// on, converts every number from big-endian once, and keeps the record's version byte at
// kNotRead until the box has been read whole, so a half-read header is never mistaken for
// a real one. Entry counts come from damaged files: no table is ever sized from a count
// before the count has been held against the bytes the box can actually supply.
#include "mp4/HgMP4File.h"

#include "mp4/Mp4BoxTypes.h"
#include "streams/Endian.h"

#include <algorithm>
#include <concepts>
#include <cstring>
#include <type_traits>

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
void ToHost64(uint8_t* p) {
  const uint64_t v = ReadBE64(p);
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

// The version decides the layout, so unlike a video entry's it is converted too.
void ConvertSound(TMp4_SampleEntry& Entry) {
  uint8_t* f = Entry.Fixed;
  const uint16_t version = ReadBE16(f + 8);
  ConvertCommon(f);
  ToHost16(f + 8);  // version
  ToHost16(f + 10); // revision
  ToHost16(f + 16); // channel count
  ToHost16(f + 18); // sample size
  ToHost16(f + 20); // compression id
  ToHost16(f + 22); // packet size
  ToHost32(f + 24); // sample rate, 16.16
  if (Entry.FixedLength < SoundEntryFixedLength(version)) return;
  if (version == 1) {
    WordsToHost(f + 28, 4); // samples per packet, bytes per packet, frame, sample
  } else if (version == 2) {
    ToHost32(f + 28);       // size of the structure
    ToHost64(f + 32);       // sample rate, a double
    WordsToHost(f + 40, 6); // channels, 0x7F000000, bits, flags, bytes and frames per packet
  }
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

bool ReadAll(THgMp4Stream& S, void* Buffer, int64_t Count) {
  return Count == 0 || S.Read(Buffer, Count) == Count;
}

// Reads a header's fields in the order its field list gives them (MvhdFields, ...),
// converting each number from big-endian as it goes. Ok turns false once the box runs
// short; every field read past its end is zero.
class TFieldReader {
public:
  TFieldReader(THgMp4Stream& S, uint8_t Version) : FS(S), FWide(Version == 1) {}

  template <std::integral T> T operator()(T) { return T(Take(sizeof(T))); }
  template <std::integral T> T Time(T) {
    if (FWide) return T(Take(8));
    const uint32_t v = uint32_t(Take(4));
    // A 32-bit media time of 0xFFFFFFFF is -1, the empty edit.
    if constexpr (std::is_signed_v<T>) return T(int32_t(v));
    return T(v);
  }
  template <typename T> T Raw(T) {
    T v;
    Read(&v, sizeof v);
    return v;
  }
  template <size_t N> void Bytes(uint8_t (&B)[N]) { Read(B, N); }

  bool Ok = true;

private:
  uint64_t Take(int64_t Count) {
    uint8_t b[8];
    Read(b, Count);
    uint64_t v = 0;
    for (int64_t i = 0; i < Count; ++i)
      v = (v << 8) | b[i];
    return v;
  }
  void Read(void* Buffer, int64_t Count) { Ok = ReadAll(FS, Buffer, Count) && Ok; }

  THgMp4Stream& FS;
  bool FWide;
};

// Version and flags, then the fields of the list; the record takes them only when the box
// was read whole.
template <typename TRecord>
int32_t ReadHeaderBox(THgMp4Stream& S, TRecord& Record, void (*Fields)(TFieldReader&, TRecord&)) {
  uint8_t head[4];
  if (!ReadAll(S, head, sizeof head)) {
    Record.Version = kNotRead;
    return -1;
  }
  BeginRecord(Record, head);
  TRecord r = Record;
  TFieldReader reader(S, head[0]);
  Fields(reader, r);
  if (!reader.Ok) return -1;
  r.Version = head[0];
  Record = r;
  return 0;
}

// The common head of the counted tables: version and flags, then the entry count, bounded
// by the bytes left for entries of EntrySize (EntrySizeV1 in a version 1 box, when given).
// False when the head itself is cut short.
template <typename TTable>
bool BeginTable(THgMp4Stream& S, TTable& Table, int64_t EntrySize, uint8_t& Version,
                int64_t EntrySizeV1 = 0) {
  uint8_t head[8];
  if (!ReadAll(S, head, sizeof head)) {
    Table.Version = kNotRead;
    Table.EntryCount = 0;
    Table.Table.clear();
    return false;
  }
  BeginRecord(Table, head);
  Version = head[0];
  const int64_t entrySize = Version == 1 && EntrySizeV1 > 0 ? EntrySizeV1 : EntrySize;
  Table.EntryCount = BoundedCount(ReadBE32(head + 4), BytesLeft(S), entrySize);
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

// The boxes that follow a sample entry's fixed part ("avcC", "esds", "btrt", "chan"...), as
// nodes at Level under Parent. A QuickTime "wave" is entered: ffmpeg and QuickTime keep a
// MOV sound track's "esds" there. Remainder is what the entry has left, Running the position
// the tree gives the next box; returns the position after the last.
int64_t ReadEntryChildren(THgMp4Stream& S, THgChunkTree& Tree, int32_t Parent, uint32_t Level,
                          int64_t Remainder, int64_t Running) {
  while (Remainder >= 8) {
    uint32_t childSize = 0;
    uint8_t childType[4];
    if (S.ReadU32BE(childSize) != 4 || !ReadAll(S, childType, 4)) break;
    Remainder -= 8;
    if (childSize < 8) break; // not a box header; the rest of the entry is skipped below
    const TFourCC type = ReadLE32(childType);
    // A child that claims more than its entry holds is cut at the entry's end, so the next
    // entry is still read from where it starts.
    const int64_t body = std::min<int64_t>(int64_t(childSize) - 8, Remainder);
    // "wave" closes with a terminator: eight bytes, type zero.
    const int32_t node = type == 0 ? -1 : Tree.AddNode(Parent, type, Level, Running, childSize);
    if (type == kwave && Level == 1)
      ReadEntryChildren(S, Tree, node, Level + 1, body, Running + 8);
    else
      S.Skip(body);
    Running += childSize;
    Remainder -= body;
  }
  if (Remainder > 0) S.Skip(Remainder);
  return Running;
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
  return Atoms ? ReadHeaderBox(*Atoms, Mvhd, MvhdFields<TFieldReader>) : -1;
}

int32_t THgMP4FileReader::ReadTkhd() {
  if (Traks.empty() || !Atoms) return -1;
  return ReadHeaderBox(*Atoms, Traks.back().tkhd, TkhdFields<TFieldReader>);
}

int32_t THgMP4FileReader::ReadMdhd() {
  if (Traks.empty() || !Atoms) return -1;
  return ReadHeaderBox(*Atoms, Traks.back().mdhd, MdhdFields<TFieldReader>);
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
  // The name fills the rest of the box. An ISO name ends in a zero byte; a QuickTime name
  // is a Pascal string (a length byte, then the characters) without one, so only a single
  // trailing zero is dropped.
  record.Name.assign(size_t(BytesLeft(S)), '\0');
  if (!record.Name.empty()) S.Read(record.Name.data(), int64_t(record.Name.size()));
  if (!record.Name.empty() && record.Name.back() == '\0') record.Name.pop_back();
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
    int64_t fixedLength = kind.FixedLength >= 0 ? kind.FixedLength : payload;
    // An entry that runs past what the box holds, or is too short for its own fixed part,
    // is cut or broken: a description with zeros for its dimensions or without its decoder
    // configuration would make an unplayable copy, so it counts as not read.
    if (payload < 0 || fixedLength > payload || int64_t(entry.Size) > available) return -1;
    const int64_t stored = std::min<int64_t>(fixedLength, sizeof entry.Fixed);
    if (!ReadAll(S, entry.Fixed, stored)) return -1;
    S.Skip(fixedLength - stored);
    // A QuickTime sound description grows with its version. ISO files mark an entry as
    // version 1 only inside a version 1 "stsd", and keep the version 0 layout there.
    if (kind.MediaKind == mkSound && head[0] == 0) {
      const int64_t full = SoundEntryFixedLength(ReadBE16(entry.Fixed + 8));
      if (full > payload) return -1;
      if (!ReadAll(S, entry.Fixed + fixedLength, full - fixedLength)) return -1;
      fixedLength = full;
    }
    entry.FixedLength = uint32_t(fixedLength);
    const int32_t node = trak.SampleDescriptions.AddNode(-1, entry.Type, 0, running, fixedLength);
    running = ReadEntryChildren(S, trak.SampleDescriptions, node, 1, payload - fixedLength,
                                running + fixedLength);
  }

  for (TMp4_SampleEntry& entry : stsd.Entries) {
    if (trak.MediaKind == mkVideo)
      ConvertVisual(entry.Fixed);
    else if (trak.MediaKind == mkSound)
      ConvertSound(entry);
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

int32_t THgMP4FileReader::ReadElst() {
  if (Traks.empty() || !Atoms) return -1;
  THgMp4Stream& S = *Atoms;
  TMp4_elst& elst = Traks.back().elst;
  uint8_t version = 0;
  // Version 0 segments hold a 32-bit duration and media time, version 1 ones 64-bit.
  if (!BeginTable(S, elst, 12, version, 20)) return -1;
  elst.Table.assign(elst.EntryCount, TMp4_elst_entry{});
  // A last partial segment is kept zero-padded, as in the other tables.
  TFieldReader fields(S, version);
  for (TMp4_elst_entry& entry : elst.Table)
    ElstEntryFields(fields, entry);
  elst.Version = version;
  return 0;
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
