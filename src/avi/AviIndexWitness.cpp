// The indexes as witnesses of the movie data. Damage that hits a chunk's header leaves the
// walk two kinds of hole: a header whose size (or id) is wrong, which the walk can only call
// damaged before it scans for the next one, and chunks whose headers were wiped with them
// (a card's lost sectors, a stretch of zeros), which the walk never sees. An intact index
// still knows both. The legacy "idx1" and every OpenDML standard index ("ix##", found in
// the movie data or through the streams' "indx") are read into one list of entries each;
// where the entries around one lead to chunks the walk found, the index is believed: a
// damaged size or a wrong id takes the index's, and a chunk the walk never found becomes a
// lost chunk whose place the copy keeps, so that the streams after it stay in step.
#include "avi/HgAVIFile.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace clw {

namespace {

// More entries than this are not read: a damaged index size must not become an allocation.
constexpr int64_t kMaxEntries = 1 << 24;
constexpr int64_t kSuperIndexPrefix = 24; // super index fields before its entries
// One super index entry per RIFF segment of about a gigabyte: room for 64 TiB.
constexpr int64_t kMaxSegments = 1 << 16;

// One entry of either index, as a place in the file.
struct TIndexed {
  int64_t Header = 0; // file position of the chunk's header
  TFourCC Id = 0;
  int64_t Size = 0;
};
using TEntries = std::vector<TIndexed>;

// Count bytes at Position, leaving the source where it was; false when the file lacks them.
bool ReadAt(TStream64& Source, int64_t FileSize, int64_t Position, uint8_t* Buffer, int64_t Count) {
  if (Position < 0 || Count < 0 || Count > FileSize || Position > FileSize - Count) return false;
  const int64_t back = Source.Position();
  const bool read =
      Source.Seek(Position, soBeginning) == Position && Source.Read(Buffer, Count) == Count;
  Source.SetPosition(back);
  return read;
}

// Reads the indexes of an analysed tree and judges their entries against the chunks the
// walk found.
class TIndexWitness {
public:
  TIndexWitness(THgAVIFileReader& Reader, TStream64& Source) : R(Reader), Source(Source) {
    for (int32_t i = 0; i < int32_t(R.Count()); ++i)
      if (!IsListId(R.Id(i))) Headers.emplace_back(R.GetChunkStart(i), i);
    std::sort(Headers.begin(), Headers.end());
  }

  TEntries ReadLegacyIndex() const;
  std::vector<TEntries> ReadStandardIndexes() const;
  // Applies what one index witnesses to the tree and adds the chunks it lists that the walk
  // never found to Lost.
  void Witness(const TEntries& Entries, std::vector<THgAVIFileReader::TLostChunk>& Lost);

private:
  // The chunk (not list) whose header starts at Position, or -1.
  int32_t NodeAt(int64_t Position) const {
    const auto it =
        std::lower_bound(Headers.begin(), Headers.end(), std::pair<int64_t, int32_t>{Position, -1});
    return it != Headers.end() && it->first == Position ? it->second : -1;
  }
  bool Agrees(const TIndexed& Entry) const {
    const int32_t node = NodeAt(Entry.Header);
    return node >= 0 && R.Id(node) == Entry.Id;
  }
  void ReadStandardIndex(int64_t Position, std::vector<TEntries>& Out) const;
  bool FitsBetweenFoundChunks(const TIndexed& Entry) const;
  void TakeFromIndex(int32_t Node, const TIndexed& Entry);

  THgAVIFileReader& R;
  TStream64& Source;
  std::vector<std::pair<int64_t, int32_t>> Headers; // chunks by header position
};

TEntries TIndexWitness::ReadLegacyIndex() const {
  int32_t index = -1, movi = -1;
  for (int32_t i = 0; i < int32_t(R.Count()) && (index < 0 || movi < 0); ++i) {
    if (R.Id(i) == kidx1 && index < 0) index = i;
    if (R.Id(i) == kLIST && R.ListType(i) == kmovi && movi < 0) movi = i;
  }
  if (index < 0 || movi < 0 || R.DataPosition(index) >= R.FileSize) return {};
  const int64_t entries =
      std::min<int64_t>({std::max<int64_t>(R.Size(index), 0), R.FileSize - R.DataPosition(index),
                         kMaxEntries * TAviIndexEntry::kSize}) /
      TAviIndexEntry::kSize;
  if (entries < 3) return {};
  std::vector<uint8_t> bytes(size_t(entries * TAviIndexEntry::kSize));
  if (!ReadAt(Source, R.FileSize, R.DataPosition(index), bytes.data(), int64_t(bytes.size())))
    return {};
  const auto entry = [&](int64_t k) {
    return TAviIndexEntry::Parse(bytes.data() + size_t(k) * TAviIndexEntry::kSize);
  };
  // Offsets count from the movie list's type field, or (some muxers) from the file's start.
  const TAviIndexEntry first = entry(0);
  int64_t base = R.DataPosition(movi) - 4;
  if (!Agrees({base + first.Offset, first.ChunkId, 0})) {
    base = 0;
    if (!Agrees({first.Offset, first.ChunkId, 0})) return {};
  }
  TEntries out(static_cast<size_t>(entries));
  for (int64_t k = 0; k < entries; ++k) {
    const TAviIndexEntry e = entry(k);
    out[size_t(k)] = {base + e.Offset, e.ChunkId, e.Length};
  }
  return out;
}

// A standard index lists one stream's chunks of one movie list: their data positions as
// 32-bit offsets from a 64-bit base (segments of a capture lie far past 4 GiB).
void TIndexWitness::ReadStandardIndex(int64_t Position, std::vector<TEntries>& Out) const {
  uint8_t head[TAviStdIndexHeader::kSize];
  if (!ReadAt(Source, R.FileSize, Position, head, TAviStdIndexHeader::kSize)) return;
  const TAviStdIndexHeader header = TAviStdIndexHeader::Parse(head);
  // Field indexes (sub type 1) carry a third word per entry and describe no whole chunk.
  if (!IsStdIndexId(header.ChunkId) || header.LongsPerEntry != 2 ||
      header.IndexType != kIndexOfChunks || header.IndexSubType != 0 ||
      !IsStreamDataId(header.DataChunkId) || StdIndexIdOf(header.DataChunkId) != header.ChunkId ||
      header.BaseOffset > uint64_t(R.FileSize))
    return;
  const int64_t data = Position + TAviStdIndexHeader::kSize;
  const int64_t entries = std::min<int64_t>(
      {int64_t(header.EntriesInUse),
       (int64_t(header.ChunkSize) - (TAviStdIndexHeader::kSize - 8)) / TAVISTDINDEX::kSize,
       (R.FileSize - data) / TAVISTDINDEX::kSize, kMaxEntries});
  if (entries < 3) return;
  std::vector<uint8_t> bytes(size_t(entries * TAVISTDINDEX::kSize));
  if (!ReadAt(Source, R.FileSize, data, bytes.data(), int64_t(bytes.size()))) return;
  const auto base = int64_t(header.BaseOffset);
  TEntries out(static_cast<size_t>(entries));
  for (int64_t k = 0; k < entries; ++k) {
    const TAVISTDINDEX e = TAVISTDINDEX::Parse(bytes.data() + size_t(k) * TAVISTDINDEX::kSize);
    out[size_t(k)] = {base + e.Offset - 8, header.DataChunkId,
                      int64_t(e.Size & ~TAVISTDINDEX::kNotKeyFrame)};
  }
  Out.push_back(std::move(out));
}

// Standard indexes where the super indexes say they are, and those the walk met in the
// movie data (a super index can be lost while its standard indexes are whole).
std::vector<TEntries> TIndexWitness::ReadStandardIndexes() const {
  std::vector<int64_t> positions;
  for (int32_t i = 0; i < int32_t(R.Count()); ++i) {
    if (IsStdIndexId(R.Id(i))) positions.push_back(R.GetChunkStart(i));
    if (R.Id(i) != kindx) continue;
    const int64_t size = std::min({R.Size(i), R.FileSize - R.DataPosition(i),
                                   kSuperIndexPrefix + kMaxSegments * TAVISUPERINDEX::kSize});
    if (size < kSuperIndexPrefix + TAVISUPERINDEX::kSize) continue;
    std::vector<uint8_t> bytes(size_t(size) + 8, 0);
    if (R.ReadChunkPrefix(i, bytes.data() + 8, size) != size) continue;
    const TAviSuperIndexHeader header = TAviSuperIndexHeader::Parse(bytes.data());
    if (header.LongsPerEntry != 4 || header.IndexType != kIndexOfIndexes) continue;
    const int64_t entries = std::min<int64_t>(int64_t(header.EntriesInUse),
                                              (size - kSuperIndexPrefix) / TAVISUPERINDEX::kSize);
    for (int64_t k = 0; k < entries; ++k) {
      const TAVISUPERINDEX e = TAVISUPERINDEX::Parse(bytes.data() + 8 + kSuperIndexPrefix +
                                                     size_t(k) * TAVISUPERINDEX::kSize);
      if (e.Offset < uint64_t(R.FileSize)) positions.push_back(int64_t(e.Offset));
    }
  }
  std::sort(positions.begin(), positions.end());
  positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
  std::vector<TEntries> out;
  for (const int64_t position : positions)
    ReadStandardIndex(position, out);
  return out;
}

// Whether a chunk the index lists but the walk did not find lies in the file, in a stretch
// no found chunk claims: no header starts inside it, and the intact chunk before it ends
// before it begins (a damaged one's size is no evidence).
bool TIndexWitness::FitsBetweenFoundChunks(const TIndexed& Entry) const {
  if (!IsStreamDataId(Entry.Id) || Entry.Header < 0 || Entry.Size < 0 ||
      Entry.Size > R.FileSize - 8 || Entry.Header > R.FileSize - 8 - Entry.Size)
    return false;
  const auto next = std::lower_bound(Headers.begin(), Headers.end(),
                                     std::pair<int64_t, int32_t>{Entry.Header, -1});
  if (next != Headers.end() && next->first < PaddedEnd(Entry.Header + 8, Entry.Size)) return false;
  if (next == Headers.begin()) return true;
  const int32_t before = std::prev(next)->second;
  return (R.Flags(before) & cfDamaged) != 0 ||
         PaddedEnd(R.DataPosition(before), R.Size(before)) <= Entry.Header;
}

void TIndexWitness::TakeFromIndex(int32_t Node, const TIndexed& Entry) {
  const int64_t room = R.FileSize - R.DataPosition(Node);
  const bool resized = Entry.Size != R.Size(Node) && Entry.Size <= room;
  // The walk's lost-sector answer was for the old extent and stream.
  if (resized || R.Id(Node) != Entry.Id)
    R.SetFlags(Node, R.Flags(Node) & ~(cfSectorsSeen | cfZeroedSector));
  if (resized) R.Node(Node).Size = Entry.Size;
  if (R.Id(Node) == Entry.Id) return;
  // A header whose id was hit (a stream digit or the type letters): the chunk is the
  // index's, and its key-frame mark is judged again as a chunk of that stream.
  R.Node(Node).Id = Entry.Id;
  const uint16_t suffix = SuffixOf(Entry.Id);
  const bool key = suffix == kSuffix_wb || R.CodecFamily == kFamilyAllKey ||
                   ((suffix == kSuffix_dc || suffix == kSuffix_db) &&
                    R.IsKeyFrame(R.DataPosition(Node), R.Size(Node)));
  R.SetFlags(Node, key ? R.Flags(Node) | cfKeyFrame : R.Flags(Node) & ~cfKeyFrame);
}

void TIndexWitness::Witness(const TEntries& Entries,
                            std::vector<THgAVIFileReader::TLostChunk>& Lost) {
  const int64_t count = int64_t(Entries.size());
  std::vector<bool> agrees(static_cast<size_t>(count));
  for (int64_t k = 0; k < count; ++k)
    agrees[size_t(k)] = Agrees(Entries[size_t(k)]);
  // The entry nearest after each that leads to a chunk the walk found.
  std::vector<int64_t> nextAgreeing(size_t(count) + 1, -1);
  for (int64_t k = count - 1; k >= 0; --k)
    nextAgreeing[size_t(k)] = agrees[size_t(k)] ? k : nextAgreeing[size_t(k) + 1];

  int64_t lastAgreeing = -1;
  for (int64_t k = 0; k < count && R.PollStep(); ++k) {
    const TIndexed& e = Entries[size_t(k)];
    const int32_t node = NodeAt(e.Header);
    const bool bounded = lastAgreeing >= 0 && nextAgreeing[size_t(k) + 1] >= 0;
    if (node >= 0) {
      // A chunk with its own header: only the chunks right beside it vouch for the index.
      const bool damaged = (R.Flags(node) & cfDamaged) != 0;
      if ((damaged || R.Id(node) != e.Id) && IsStreamDataId(e.Id) && k > 0 && k + 1 < count &&
          agrees[size_t(k - 1)] && agrees[size_t(k + 1)])
        TakeFromIndex(node, e);
      if (bounded && R.Id(node) == e.Id && R.Size(node) == e.Size)
        R.SetFlags(node, R.Flags(node) | cfIndexed);
    } else if (bounded && FitsBetweenFoundChunks(e)) {
      // A header that still gives the index's size lost only its id: the chunk is whole.
      uint8_t head[8] = {};
      const bool read = ReadAt(Source, R.FileSize, e.Header, head, 8);
      const bool whole = read && ReadLE32(head) != 0 && int64_t(ReadLE32(head + 4)) == e.Size;
      Lost.push_back({e.Header, e.Id, e.Size, whole});
    }
    if (agrees[size_t(k)]) lastAgreeing = k;
  }
}

} // namespace

uint32_t MpegSilenceHeader(uint32_t Template, int64_t Size) {
  // Bit rates in kbit/s by index: MPEG-1 layer III, MPEG-1 layer II, MPEG-2 and 2.5 (both).
  static constexpr uint16_t kRates[3][15] = {
      {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
      {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
      {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}};
  static constexpr uint32_t kSampleRates[3] = {44100, 48000, 32000}; // MPEG-1
  const uint32_t version = (Template >> 19) & 3; // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
  const uint32_t layer = (Template >> 17) & 3;   // 1 layer III, 2 layer II
  const uint32_t rateIndex = (Template >> 10) & 3;
  if ((Template >> 21) != 0x7FF || version == 1 || (layer != 1 && layer != 2) || rateIndex == 3)
    return 0;
  const uint32_t sampleRate = kSampleRates[rateIndex] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
  // MPEG-2 layer III frames hold half the samples of the others.
  const uint32_t perKbit = version != 3 && layer == 1 ? 72000 : 144000;
  const uint16_t* rates = kRates[version != 3 ? 2 : layer == 1 ? 0 : 1];
  for (uint32_t index = 1; index < 15; ++index)
    for (uint32_t padding = 0; padding < 2; ++padding)
      if (int64_t(perKbit * rates[index] / sampleRate + padding) == Size)
        return (Template & ~0x1F200u) | 0x10000u | (index << 12) | (padding << 9);
  return 0;
}

void THgAVIFileReader::WitnessIndexes() {
  LostChunks.clear();
  TStream64* source = Source();
  if (!source) return;
  bool anyDamaged = RiffStream && RiffStream->Resync;
  for (int32_t i = 0; i < int32_t(Count()) && !anyDamaged; ++i)
    anyDamaged = IsStreamDataId(Id(i)) && (Flags(i) & cfDamaged) != 0;
  if (!anyDamaged) return;

  // A lost MPEG audio frame takes the version, sample rate and channels of the stream's
  // first whole frame.
  for (int32_t i = 0; i < int32_t(Count()); ++i) {
    const size_t stream = size_t(StreamNumberOf(Id(i)));
    if (!IsStreamDataId(Id(i)) || stream >= LostChunkPlaces.size() ||
        LostChunkPlaces[stream].Kind != kPlaceMpegSilence ||
        LostChunkPlaces[stream].FrameHeader != 0 || (Flags(i) & cfDamaged) != 0)
      continue;
    uint8_t head[4];
    if (ReadChunkPrefix(i, head, 4) == 4 && MpegSilenceHeader(ReadBE32(head), Size(i)) != 0)
      LostChunkPlaces[stream].FrameHeader = ReadBE32(head);
  }

  TIndexWitness witness(*this, *source);
  std::vector<TLostChunk> lost;
  witness.Witness(witness.ReadLegacyIndex(), lost);
  for (const TEntries& entries : witness.ReadStandardIndexes())
    witness.Witness(entries, lost);

  // The legacy and the standard indexes list the same chunks: one place each. Indexes that
  // disagree about a position, or list chunks that overlap, witness none of them.
  std::sort(lost.begin(), lost.end(), [](const TLostChunk& a, const TLostChunk& b) {
    return a.Header != b.Header ? a.Header < b.Header
           : a.Id != b.Id       ? a.Id < b.Id
                                : a.Size < b.Size;
  });
  const auto same = [](const TLostChunk& a, const TLostChunk& b) {
    return a.Header == b.Header && a.Id == b.Id && a.Size == b.Size;
  };
  lost.erase(std::unique(lost.begin(), lost.end(), same), lost.end());
  int64_t end = -1;
  for (size_t k = 0; k < lost.size(); ++k) {
    const TLostChunk& chunk = lost[k];
    const bool contested = (k > 0 && lost[k - 1].Header == chunk.Header) ||
                           (k + 1 < lost.size() && lost[k + 1].Header == chunk.Header);
    if (!contested && chunk.Header >= end) LostChunks.push_back(chunk);
    end = std::max(end, PaddedEnd(chunk.Header + 8, chunk.Size));
  }
}

} // namespace clw
