// The diagnostic dump of an MP4 analysis: the whole state the repair works from (headers,
// tracks and their tables, the candidates, zero runs, the index by offset and the box tree)
// in the tag-stream format, so a failed repair can be replayed from the ".dmp" file a user
// sends without the damaged film itself. Records go out as their bytes, little-endian and
// packed; pages of records go out whole, their unused tail as zeros.
#include "mp4/Mp4Dump.h"

#include "streams/Endian.h"
#include "streams/TagStream.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string_view>
#include <vector>

namespace clw {

// The records are written straight from memory; their layout in the dump is little-endian.
static_assert(std::endian::native == std::endian::little);

namespace {

// Tags of the dump; the per-track tags nest inside kTracks.
enum : uint16_t {
  kSeparator = 0, // the dump's signature, and the empty element between two tracks
  kTrackFields = 128,
  kTkhd = 129,
  kMdhd = 130,
  kHdlr = 131,
  kMediaData = 16384,
  kFtyp = 16385,
  kMvhd = 16386,
  kTracks = 16387,
  kCandidates = 16388,
  kNullBlocks = 16389,
  kOffsetIndex = 16390,
  kBoxTree = 16391,
  kStsd = 16400,
  kStco = 16401,
  kStts = 16402,
  kStsz = 16403,
  kStss = 16404,
  kStsc = 16405,
  kSampleDescriptions = 16406,
  kSlices = 16407,
};

constexpr uint32_t kPage = 512;
constexpr size_t kNodeBytes = 52;
constexpr size_t kSliceHeadBytes = 26;
// Larger bodies go out in pieces, since a tag-stream write takes a 32-bit count.
constexpr size_t kPiece = 1 << 20;

// Writes through a tag stream and keeps the dump within Limit bytes. Once a write fails
// or the next one would pass the limit, nothing more is written, but every element opened
// before is still closed with its true size, so the cut dump stays well formed.
class TDumpWriter {
public:
  TDumpWriter(TStream64& Out, uint64_t ALimit) : Tags(Out), Limit(ALimit) {}

  bool Whole() const { return !Stopped; }

  void Begin(uint16_t Tag) {
    const int n = HeaderLength(Tag);
    if (!Reserve(n) || Tags.BeginElement(Tag) != n) {
      Stopped = true;
      ++DeadDepth;
    }
  }
  void End() {
    if (DeadDepth > 0)
      --DeadDepth;
    else
      Tags.EndElement();
  }
  void Element(uint16_t Tag, const void* Data, size_t Size) {
    const int n = HeaderLength(Tag);
    if (Size > size_t(INT32_MAX) || !Reserve(uint64_t(n) + Size)) {
      Stopped = true;
      return;
    }
    // The result is the count of the last write: the body's, or the header's without one.
    const int64_t expected = Size > 0 ? int64_t(Size) : n;
    if (Tags.WriteElement(Tag, Data, int32_t(Size)) != expected) Stopped = true;
  }

  void Byte(uint8_t Value) { Bytes(&Value, 1); }
  void Word(uint16_t Value) {
    uint8_t b[2];
    WriteLE16(b, Value);
    Bytes(b, 2);
  }
  void Integer(uint32_t Value) {
    uint8_t b[4];
    WriteLE32(b, Value);
    Bytes(b, 4);
  }
  void Int64(uint64_t Value) {
    uint8_t b[8];
    WriteLE64(b, Value);
    Bytes(b, 8);
  }
  // A 16-bit length, then the bytes; a longer string is cut to what the length can say.
  void String(std::string_view S, size_t Longest = 0xFFFF) {
    S = S.substr(0, std::min(Longest, size_t(0xFFFF)));
    if (Reserve(2 + S.size()) && Tags.WriteString(S) != (S.empty() ? 2 : int64_t(S.size())))
      Stopped = true;
  }
  void Bytes(const void* Data, size_t Count) {
    if (!Reserve(Count)) return;
    const auto* p = static_cast<const uint8_t*>(Data);
    while (Count > 0 && !Stopped) {
      const size_t n = std::min(Count, kPiece);
      if (Tags.WriteBytes(p, int32_t(n)) != int64_t(n)) Stopped = true;
      p += n;
      Count -= n;
    }
  }

private:
  static int HeaderLength(uint16_t Tag) { return Tag < 128 ? 2 : Tag < 16384 ? 4 : 6; }

  // Claims Count bytes of the budget; false, and nothing more is written, past it.
  bool Reserve(uint64_t Count) {
    if (Stopped || Count > Limit - Written) {
      Stopped = true;
      return false;
    }
    Written += Count;
    return true;
  }

  TTagStream Tags;
  uint64_t Limit;
  uint64_t Written = 0;
  bool Stopped = false;
  int32_t DeadDepth = 0; // elements whose opening was refused; their ends pop nothing
};

// Pages of 512 records, the last one padded with zeros, as the paged lists hold them.
template <typename T> void WritePages(TDumpWriter& W, const TPagedArray<T>& List) {
  const uint32_t count = List.Count();
  W.Integer(count);
  std::vector<uint8_t> page(size_t(kPage) * sizeof(T));
  for (uint64_t first = 0; first < count; first += kPage) {
    const auto n = uint32_t(std::min<uint64_t>(kPage, count - first));
    std::fill(page.begin(), page.end(), uint8_t(0));
    // Records of one page are contiguous; the records past Count may be left from an
    // earlier analysis and are not the dump's business.
    std::memcpy(page.data(), &List[uint32_t(first)], size_t(n) * sizeof(T));
    W.Bytes(page.data(), page.size());
  }
}

// A chunk tree: its node count, then pages of 512 nodes of 52 bytes each, the fields in
// their declared order without the padding the in-memory node carries.
void WriteTree(TDumpWriter& W, const THgChunkTree& Tree) {
  const uint32_t count = Tree.Count();
  W.Integer(count);
  std::vector<uint8_t> page(kPage * kNodeBytes);
  for (uint64_t first = 0; first < count; first += kPage) {
    std::fill(page.begin(), page.end(), uint8_t(0));
    const auto n = uint32_t(std::min<uint64_t>(kPage, count - first));
    for (uint32_t i = 0; i < n; ++i) {
      const TChunkNode& node = Tree.Node(int32_t(first + i));
      uint8_t* p = page.data() + size_t(i) * kNodeBytes;
      WriteLE32(p, node.Id);
      WriteLE64(p + 4, uint64_t(node.DataPosition));
      WriteLE64(p + 12, uint64_t(node.NewOffset));
      WriteLE64(p + 20, uint64_t(node.Size));
      WriteLE32(p + 28, uint32_t(node.NextSibling));
      WriteLE32(p + 32, uint32_t(node.Flags));
      WriteLE32(p + 36, node.ListType);
      WriteLE32(p + 40, uint32_t(node.FirstChild));
      WriteLE32(p + 44, uint32_t(node.LastChild));
      WriteLE32(p + 48, uint32_t(node.ChildCount));
    }
    W.Bytes(page.data(), page.size());
  }
}

void WriteOffsetIndex(TDumpWriter& W, const THgBlocksOfOffset* Index) {
  if (!Index) {
    for (int i = 0; i < 6; ++i)
      W.Integer(0);
    return;
  }
  const uint32_t values = Index->ValueCount();
  W.Integer(uint32_t(Index->Shift));
  W.Integer(values);
  W.Integer(Index->FreeListCount);
  W.Integer(Index->BlockCount);
  std::vector<uint8_t> page(size_t(kPage) * 4);
  for (uint64_t first = 0; first < values; first += kPage) {
    std::fill(page.begin(), page.end(), uint8_t(0));
    const auto n = uint32_t(std::min<uint64_t>(kPage, values - first));
    for (uint32_t i = 0; i < n; ++i)
      WriteLE32(page.data() + size_t(i) * 4, Index->Value(uint32_t(first + i)));
    W.Bytes(page.data(), page.size());
  }
  W.Integer(uint32_t(Index->FreeLists.size()));
  W.Bytes(Index->FreeLists.data(), Index->FreeLists.size() * sizeof(uint32_t));
  W.Integer(uint32_t(Index->BlockTable.size()));
  static_assert(sizeof(TBoOBlock) == 8);
  W.Bytes(Index->BlockTable.data(), Index->BlockTable.size() * sizeof(TBoOBlock));
}

// The version byte, the three flag bytes and the entry count that open every table box.
void WriteTableHead(TDumpWriter& W, uint8_t Version, const uint8_t (&Flags)[3], uint32_t Count) {
  W.Byte(Version);
  W.Bytes(Flags, 3);
  W.Integer(Count);
}

// A table holds its entries only when the box was read; the entries, never more than the
// count says, go out as the count says they are.
template <typename Entry>
void WriteTable(TDumpWriter& W, const std::vector<Entry>& Table, uint32_t Count) {
  W.Bytes(Table.data(), std::min<size_t>(Count, Table.size()) * sizeof(Entry));
}

void WriteTrack(TDumpWriter& W, const TMp4Trak& T) {
  W.Begin(kTrackFields);
  W.Integer(uint32_t(T.TrakNode));
  W.Byte(T.MediaKind);
  W.Word(uint16_t(T.ReferenceTrackIndex));
  W.Integer(uint32_t(T.VmhdNode));
  W.Integer(uint32_t(T.SmhdNode));
  W.Integer(uint32_t(T.StsdNode));
  W.Integer(T.DefaultSampleDuration);
  W.Word(T.TableFlags);
  W.Int64(T.WriterValue);
  W.End();

  W.Element(kTkhd, &T.tkhd, sizeof T.tkhd);
  W.Element(kMdhd, &T.mdhd, sizeof T.mdhd);

  // The name is cut where the element's 16-bit size would overflow.
  W.Begin(kHdlr);
  W.Bytes(static_cast<const TMp4_hdlrFixed*>(&T.hdlr), sizeof(TMp4_hdlrFixed));
  W.String(T.hdlr.Name, 0xFFFF - sizeof(TMp4_hdlrFixed) - 2);
  W.End();

  W.Begin(kStsd);
  WriteTableHead(W, T.stsd.Version, T.stsd.Flags, T.stsd.EntryCount);
  W.Bytes(T.stsd.Entries.data(), T.stsd.Entries.size() * sizeof(TMp4_SampleEntry));
  W.End();

  W.Begin(kStco);
  WriteTableHead(W, T.stco.Version, T.stco.Flags, T.stco.EntryCount);
  WriteTable(W, T.stco.Table, T.stco.EntryCount);
  W.End();

  static_assert(sizeof(TMp4_stts_entry) == 8 && sizeof(TMp4_stsc_entry) == 12);
  W.Begin(kStts);
  WriteTableHead(W, T.stts.Version, T.stts.Flags, T.stts.EntryCount);
  WriteTable(W, T.stts.Table, T.stts.EntryCount);
  W.End();

  W.Begin(kStsz);
  W.Byte(T.stsz.Version);
  W.Bytes(T.stsz.Flags, 3);
  W.Integer(T.stsz.SampleSize);
  W.Integer(T.stsz.SampleCount);
  WriteTable(W, T.stsz.Table, T.stsz.SampleCount);
  W.End();

  W.Begin(kStss);
  WriteTableHead(W, T.stss.Version, T.stss.Flags, T.stss.EntryCount);
  WriteTable(W, T.stss.Table, T.stss.EntryCount);
  W.End();

  W.Begin(kStsc);
  WriteTableHead(W, T.stsc.Version, T.stsc.Flags, T.stsc.EntryCount);
  WriteTable(W, T.stsc.Table, T.stsc.EntryCount);
  W.End();

  W.Begin(kSampleDescriptions);
  WriteTree(W, T.SampleDescriptions);
  W.End();

  // Each chunk's head (offset, size, flags, duration, sample count) and its first sample.
  W.Begin(kSlices);
  const uint32_t slices = uint32_t(std::min<size_t>(T.SliceCount, T.Slices.size()));
  W.Integer(slices);
  for (uint32_t i = 0; i < slices; ++i) {
    const TSlice& s = T.Slices[i];
    uint8_t head[kSliceHeadBytes];
    WriteLE64(head, s.Offset);
    WriteLE64(head + 8, s.Size);
    WriteLE16(head + 16, s.Flags);
    WriteLE32(head + 18, s.Duration);
    WriteLE32(head + 22, uint32_t(s.SampleCount));
    W.Bytes(head, sizeof head);
    if (s.SampleCount > 0 && !s.Samples.empty()) W.Bytes(&s.Samples[0], sizeof(TNewChunk));
  }
  W.End();
}

} // namespace

bool WriteMp4DebugDump(const THgMP4FileReader& Reader, TStream64& Out, uint64_t Limit) {
  TDumpWriter w(Out, Limit);

  w.Begin(kSeparator);
  w.String("CLW_MP4_DUMP");
  w.Integer(1);
  w.End();

  w.Begin(kMediaData);
  w.Int64(uint64_t(Reader.Scan.MediaDataStart));
  // Where a repair put the media data in its copy; the dump is of a check, before any copy.
  w.Int64(0);
  w.Int64(Reader.FileSize);
  w.Integer(uint32_t(Reader.Scan.MediaDataNode));
  w.End();

  w.Begin(kFtyp);
  w.Integer(Reader.Ftyp.MajorBrand);
  w.Integer(Reader.Ftyp.MinorVersion);
  w.String(Reader.Ftyp.CompatibleBrands);
  w.End();

  w.Element(kMvhd, &Reader.Mvhd, sizeof Reader.Mvhd);

  w.Begin(kTracks);
  w.Integer(uint32_t(Reader.TrackCount()));
  for (size_t i = 0; i < Reader.Traks.size(); ++i) {
    if (i > 0) w.Element(kSeparator, nullptr, 0);
    WriteTrack(w, Reader.Traks[i]);
  }
  w.End();

  w.Begin(kCandidates);
  WritePages(w, Reader.Scan.MDATChunks);
  w.End();

  w.Begin(kNullBlocks);
  WritePages(w, Reader.Scan.NullBlocks);
  w.End();

  w.Begin(kOffsetIndex);
  WriteOffsetIndex(w, Reader.Scan.BlocksOfOffset.get());
  w.End();

  w.Begin(kBoxTree);
  WriteTree(w, Reader);
  w.End();
  return w.Whole();
}

// A dump must never cost the user the check: when its file cannot be created the dump is
// skipped, and a write that fails ends it quietly.
void THgMP4FileReader::WriteDebugDump() {
  if (DumpFileName.empty()) return;
  { TtsFileStreamW created(DumpFileName, fmCreate); }
  TtsFileStreamW out(DumpFileName, fmOpenWrite | fmShareDenyNone);
  if (out.Handle < 0) return;
  (void)WriteMp4DebugDump(*this, out);
}

} // namespace clw
