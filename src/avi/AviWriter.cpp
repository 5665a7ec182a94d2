// The writer of the repaired AVI copy: a walk over the analysed tree that copies good
// chunks through the output chunk stream, and the three index builders that replace the
// input's indexes (which are never copied: after a repair their offsets are all wrong).
#include "avi/HgAVIFile.h"

#include <algorithm>
#include <limits>

namespace clw {

namespace {

constexpr int64_t kCopyBlock = 16384;
constexpr int64_t kIndexBlockEntries = 1024;
constexpr int64_t kProgressStep = 1048576;
constexpr int64_t kMax32 = std::numeric_limits<uint32_t>::max();
// Sizes in a standard index share their word with the "not a key frame" bit.
constexpr int64_t kMaxStdIndexSize = int64_t(TAVISTDINDEX::kNotKeyFrame) - 1;
constexpr int64_t kSuperIndexEntrySize = TAVISUPERINDEX::kSize;

bool IsMovi(const THgChunkTree& Tree, int32_t Node) {
  return Tree.Id(Node) == kLIST && Tree.ListType(Node) == kmovi;
}
bool IsRec(const THgChunkTree& Tree, int32_t Node) {
  return Tree.Id(Node) == kLIST && Tree.ListType(Node) == krec;
}
// Any id at the segment level that starts with "ix" is an index, whatever follows.
bool HasIndexPrefix(TFourCC Id) {
  return uint16_t(Id) == kPrefix_ix;
}

// Visits the movie lists that the walk writes, in file order: good ones at the top level (a
// file whose first RIFF header was lost) or directly in a good top-level RIFF.
template <typename TVisit> void ForEachWrittenMovi(const THgChunkTree& Tree, TVisit Visit) {
  const auto good = [&](int32_t Node) { return IsGoodChunk(Tree.Flags(Node)); };
  for (int32_t t = Tree.Count() > 0 ? 0 : -1; t >= 0; t = Tree.NextSibling(t)) {
    if (!good(t)) continue;
    if (IsMovi(Tree, t)) Visit(t);
    if (Tree.Id(t) == kRIFF)
      for (int32_t c = Tree.FirstChild(t); c >= 0; c = Tree.NextSibling(c))
        if (IsMovi(Tree, c) && good(c)) Visit(c);
  }
}

} // namespace

THgAVIFileWriter::THgAVIFileWriter(THgAVIFileReader& Reader, const std::string& FileName)
    : Reader(Reader), FileStream(CreateOutput(FileName)),
      Output(std::make_unique<TBufferedWriteStream>(*FileStream)),
      OwnRiffStream(std::make_unique<THGRIFFStream>(*Output)), RiffStream(OwnRiffStream.get()) {}

THgAVIFileWriter::THgAVIFileWriter(THgAVIFileReader& Reader, TStream64& Out)
    : Reader(Reader), Output(std::make_unique<TBufferedWriteStream>(Out)),
      OwnRiffStream(std::make_unique<THGRIFFStream>(*Output)), RiffStream(OwnRiffStream.get()) {}

THgAVIFileWriter::~THgAVIFileWriter() = default;

bool THgAVIFileWriter::IsGood(int32_t Node) const {
  return IsGoodChunk(Reader.Flags(Node));
}

int64_t THgAVIFileWriter::OutputPosition() const {
  return Output->Position();
}

// Every movie list the walk writes gets its own standard indexes, so every one is an entry
// of the super indexes.
int32_t THgAVIFileWriter::CountSegments() const {
  int32_t count = 0;
  ForEachWrittenMovi(Reader, [&](int32_t) { ++count; });
  return count;
}

int32_t THgAVIFileWriter::Write() {
  Cancelled = false;
  const int64_t hundredth = Reader.FileSize / 100;
  int64_t lastReported = 0;
  const int32_t streamCount =
      std::clamp<int32_t>(Reader.MoviStreamCount, 0, int32_t(Reader.MoviStreams.size()));
  for (int32_t i = 0; i < streamCount; ++i)
    Reader.MoviStreams[size_t(i)].IndexPosition = 0;

  // The input's own indexes point into the input; fresh ones are built from the tree.
  const int32_t count = int32_t(Reader.Count());
  for (int32_t i = 0; i < count; ++i) {
    const TFourCC id = Reader.Id(i);
    if (id == kidx1 || id == kindx || IsStdIndexId(id))
      Reader.SetFlags(i, Reader.Flags(i) | cfExcluded);
  }
  SegmentCount = CountSegments();
  CopyBuffer.assign(size_t(kCopyBlock), 0);
  IndexBuffer.assign(size_t(kIndexBlockEntries * TAviIndexEntry::kSize), 0);

  // Only written lists are ever pushed, so every entry is a chunk open in the output and
  // leaving one closes exactly that chunk.
  std::vector<int32_t> open;
  open.reserve(512);
  int32_t segment = -1;    // last top-level RIFF visited
  int32_t strlNumber = 0;  // stream lists met so far in the open header list
  int32_t strlStream = -1; // stream number of the stream list last entered
  bool legacyWritten = false;
  int64_t framesWritten = 0; // stream data chunks copied into the output
  int32_t node = count > 0 ? 0 : -1;
  while (node >= 0 && !Cancelled) {
    const TFourCC id = Reader.Id(node);
    const size_t depth = open.size();
    const int32_t parent = depth > 0 ? open.back() : -1;
    if (id == kRIFF && depth == 0) segment = node;
    // A stream's number is the place of its "strl" in the header list, written or not:
    // that is how players number the data chunks ("01wb" belongs to the second list).
    if (id == kLIST && Reader.ListType(node) == kstrl && Reader.Id(parent) == kLIST &&
        Reader.ListType(parent) == khdrl)
      strlStream = strlNumber++;

    bool descend = false;
    if ((id == kJUNK && DropJunk) || (depth == 1 && (id == kidx1 || HasIndexPrefix(id)))) {
      // not copied
    } else if (id == kindx) {
      const bool inStreamList = Reader.Id(parent) == kLIST && Reader.ListType(parent) == kstrl;
      if (inStreamList && !WriteSuperIndexPlaceholder(strlStream)) return kWriteFailed;
    } else if ((Reader.Flags(node) & cfEmptyFrame) != 0 && !IsListId(id)) {
      if (RiffStream->WriteChunk(id, 0, 0, nullptr) < 0) return kWriteFailed;
      Reader.SetNewOffset(node, OutputPosition());
      Reader.Node(node).Size = 0; // the indexes describe the chunk as written
    } else if ((Reader.Flags(node) & cfSilence) != 0 && !IsListId(id)) {
      if (!WriteSilence(node)) return kWriteFailed;
    } else if (IsGood(node)) {
      if (RiffStream->CreateChunk(id, Reader.ListType(node)) < 0) return kWriteFailed;
      Reader.SetNewOffset(node, OutputPosition());
      if (!IsListId(id)) {
        int64_t copied = 0;
        if (!CopyData(Reader.DataPosition(node), Reader.Size(node), copied)) return kWriteFailed;
        if (RiffStream->CloseChunk() < 0) return kWriteFailed;
        // After a short copy the indexes must describe the chunk as it is in the output.
        if (copied < Reader.Size(node)) Reader.Node(node).Size = copied;
        if (IsStreamDataId(id)) ++framesWritten;
      } else if (Reader.FirstChild(node) >= 0) {
        descend = true;
        if (Reader.ListType(node) == khdrl) strlNumber = 0;
      } else {
        // An empty list left open would swallow every chunk after it.
        if (!LeaveList(node, legacyWritten, segment <= 0)) return kWriteFailed;
      }
    }
    // A list that is not written takes its whole subtree with it: its children would land
    // in the enclosing list, and leaving it would close a chunk it never opened.

    if (descend) {
      open.push_back(node);
      node = Reader.FirstChild(node);
    } else {
      node = Reader.NextSibling(node);
      while (node < 0 && !open.empty()) {
        const int32_t list = open.back();
        open.pop_back();
        node = Reader.NextSibling(list);
        if (!LeaveList(list, legacyWritten, segment <= 0)) return kWriteFailed;
      }
    }
    ReportProgress(lastReported, hundredth);
  }

  if (Reader.IsOpenDML)
    for (int32_t i = 0; i < streamCount; ++i) {
      const TMoviStream& stream = Reader.MoviStreams[size_t(i)];
      if (stream.IndexPosition != 0 && !WriteSuperIndex(stream.DataChunkId, stream.IndexPosition))
        return kWriteFailed;
    }
  if (!WriteHeaderCounts()) return kWriteFailed;
  if (!Output->Flush()) return kWriteFailed;
  Progress(100);
  if (Cancelled) return kCancelled;
  // Headers without a single frame or sample are no repaired video.
  return framesWritten > 0 ? kDone : kNothingRecovered;
}

void THgAVIFileWriter::ReportProgress(int64_t& LastReported, int64_t Hundredth) {
  if (!OnProgress) return;
  const int64_t output = OutputPosition();
  if (output - LastReported <= kProgressStep) return;
  LastReported = output;
  TStream64* source = Reader.Source();
  const int64_t input = source ? source->Position() : 0;
  Progress(Hundredth == 0 ? 0 : (input + 1) / Hundredth);
}

// Room for the stream's super index, filled in when the standard indexes exist. A stream
// without data chunks has nothing to index, and a second "indx" in one stream list would
// compete for the same record: neither is written.
bool THgAVIFileWriter::WriteSuperIndexPlaceholder(int32_t StreamNumber) {
  if (!Reader.IsOpenDML || SegmentCount == 0 || StreamNumber < 0) return true;
  const int32_t streamCount =
      std::clamp<int32_t>(Reader.MoviStreamCount, 0, int32_t(Reader.MoviStreams.size()));
  TMoviStream* stream = nullptr;
  for (int32_t i = 0; i < streamCount && !stream; ++i) {
    TMoviStream& s = Reader.MoviStreams[size_t(i)];
    if (StreamNumberOf(s.DataChunkId) == StreamNumber) stream = &s;
  }
  if (!stream || stream->IndexPosition != 0) return true;
  const int64_t size = 24 + kSuperIndexEntrySize * int64_t(SegmentCount);
  const std::vector<uint8_t> zeros(size_t(size), 0);
  const int64_t position = OutputPosition();
  if (RiffStream->WriteChunk(kindx, 0, size, zeros.data()) != size) return false;
  stream->IndexPosition = position;
  return true;
}

// Leaving a written list: a movie list gets its standard indexes inside it and, in the
// first segment, the legacy index right after it.
bool THgAVIFileWriter::LeaveList(int32_t List, bool& LegacyIndexWritten, bool FirstSegment) {
  const bool movi = IsMovi(Reader, List);
  if (movi && Reader.IsOpenDML) {
    const int32_t streamCount =
        std::clamp<int32_t>(Reader.MoviStreamCount, 0, int32_t(Reader.MoviStreams.size()));
    for (int32_t i = 0; i < streamCount; ++i)
      if (!WriteStdIndex(List, Reader.MoviStreams[size_t(i)].DataChunkId)) return false;
  }
  if (RiffStream->CloseChunk() < 0) return false;
  if (movi && FirstSegment && !LegacyIndexWritten) {
    LegacyIndexWritten = true;
    if (!WriteLegacyIndex(List)) return false;
  }
  return true;
}

// Sound lost with its header: the index's size of the stream's silence in its place.
bool THgAVIFileWriter::WriteSilence(int32_t Node) {
  const size_t stream = size_t(StreamNumberOf(Reader.Id(Node)));
  const THgAVIFileReader::TLostChunkPlace place = stream < Reader.LostChunkPlaces.size()
                                                      ? Reader.LostChunkPlaces[stream]
                                                      : THgAVIFileReader::TLostChunkPlace{};
  if (RiffStream->CreateChunk(Reader.Id(Node), 0) < 0) return false;
  Reader.SetNewOffset(Node, OutputPosition());
  std::fill(CopyBuffer.begin(), CopyBuffer.end(), place.Fill);
  if (place.Kind == THgAVIFileReader::kPlaceMpegSilence && CopyBuffer.size() >= 4)
    WriteBE32(CopyBuffer.data(), MpegSilenceHeader(place.FrameHeader, Reader.Size(Node)));
  for (int64_t left = Reader.Size(Node); left > 0;) {
    const int64_t block = std::min(left, int64_t(CopyBuffer.size()));
    if (RiffStream->WriteData(CopyBuffer.data(), block) != block) return false;
    left -= block;
    std::fill_n(CopyBuffer.begin(), std::min<size_t>(4, CopyBuffer.size()), place.Fill);
  }
  return RiffStream->CloseChunk() >= 0;
}

bool THgAVIFileWriter::CopyData(int64_t Offset, int64_t Size, int64_t& Copied) {
  Copied = 0;
  TStream64* source = Reader.Source();
  const int64_t fileSize = Reader.FileSize;
  if (!source || Size <= 0 || Offset < 0 || Offset >= fileSize) return true;
  // A chunk cut by the end of the file keeps the bytes that are there.
  Size = std::min(Size, fileSize - Offset);
  if (source->Seek(Offset, soBeginning) != Offset) return true;
  // A chunk can be gigabytes long (raw video in OpenDML): a cancel must reach the copy.
  while (Size > 0 && Poll()) {
    const int64_t got = source->Read(CopyBuffer.data(), std::min(Size, kCopyBlock));
    if (got <= 0) break;
    if (RiffStream->WriteData(CopyBuffer.data(), got) != got) return false;
    Copied += got;
    Size -= got;
  }
  return true;
}

// Walks the chunks of a written movie list the way its indexes see them: chunks directly
// in it, and the chunks of its good "rec " lists (a list that was not written holds no
// chunk of the output). Visit returns false to end the walk.
template <typename TVisit>
static void ForEachMoviChunk(const THgAVIFileReader& Reader, int32_t Movi, bool RecOnlyAtStart,
                             TVisit Visit) {
  bool recPhase = true;
  for (int32_t c = Reader.FirstChild(Movi); c >= 0; c = Reader.NextSibling(c)) {
    if (IsRec(Reader, c) && (recPhase || !RecOnlyAtStart)) {
      if (!IsGoodChunk(Reader.Flags(c))) continue;
      for (int32_t k = Reader.FirstChild(c); k >= 0; k = Reader.NextSibling(k))
        if (!Visit(k)) return;
      continue;
    }
    recPhase = false;
    if (!Visit(c)) return;
  }
}

// "idx1" of the first segment. Its offsets count from the "movi" code, 32 bits wide: a
// first segment that grew past 4 GiB ends its index before the first chunk out of reach,
// which players treat like any short index.
bool THgAVIFileWriter::WriteLegacyIndex(int32_t Movi) {
  const int64_t base = Reader.NewOffset(Movi) + 4;
  if (RiffStream->CreateChunk(kidx1, 0) < 0) return false;
  int64_t collected = 0;
  bool ok = true;
  auto flush = [&] {
    const int64_t bytes = collected * TAviIndexEntry::kSize;
    if (bytes > 0 && RiffStream->WriteData(IndexBuffer.data(), bytes) != bytes) ok = false;
    collected = 0;
    return ok;
  };
  // Record lists are entered only while they lead the list, as muxers that use them write
  // nothing else between.
  ForEachMoviChunk(Reader, Movi, true, [&](int32_t c) {
    const TFourCC id = Reader.Id(c);
    if (!IsWrittenChunk(Reader.Flags(c)) || !IsStreamDataId(id)) return true;
    const int64_t offset = Reader.NewOffset(c) - base;
    const int64_t size = Reader.Size(c);
    if (offset < 0 || offset > kMax32 || size < 0 || size > kMax32) return false;
    TAviIndexEntry entry;
    entry.ChunkId = id;
    const uint16_t suffix = SuffixOf(id);
    if (suffix == kSuffix_pc)
      entry.Flags = TAviIndexEntry::kPaletteChange;
    else if (suffix == kSuffix_wb || Reader.CodecFamily == kFamilyAllKey ||
             (Reader.Flags(c) & cfKeyFrame) != 0)
      entry.Flags = TAviIndexEntry::kKeyFrame;
    entry.Offset = uint32_t(offset);
    entry.Length = uint32_t(size);
    entry.Serialize(IndexBuffer.data() + collected * TAviIndexEntry::kSize);
    if (++collected == kIndexBlockEntries) return flush();
    return true;
  });
  if (!ok || !flush()) return false;
  return RiffStream->CloseChunk() >= 0;
}

// One stream's standard index at the end of a movie list still open in the output. The
// entries' offsets are 32 bits from the first chunk and the sizes share their word with
// the key-frame bit: the index ends before a chunk that cannot be described.
bool THgAVIFileWriter::WriteStdIndex(int32_t Movi, TFourCC Id) {
  if (Id == 0) return true;
  std::vector<uint8_t> bytes(size_t(kStdIndexHeaderSize), 0);
  int64_t base = 0;
  uint32_t entries = 0;
  const bool allKey = SuffixOf(Id) == kSuffix_wb || Reader.CodecFamily == kFamilyAllKey;
  ForEachMoviChunk(Reader, Movi, false, [&](int32_t c) {
    if (Reader.Id(c) != Id || !IsWrittenChunk(Reader.Flags(c))) return true;
    if (entries == 0) base = Reader.NewOffset(c);
    const int64_t offset = Reader.NewOffset(c) - base;
    const int64_t size = Reader.Size(c);
    if (offset < 0 || offset > kMax32 || size < 0 || size > kMaxStdIndexSize ||
        24 + 8 * (int64_t(entries) + 1) > kMax32)
      return false;
    TAVISTDINDEX entry{uint32_t(offset), uint32_t(size)};
    if (!allKey && (Reader.Flags(c) & cfKeyFrame) == 0) entry.Size |= TAVISTDINDEX::kNotKeyFrame;
    bytes.resize(bytes.size() + size_t(TAVISTDINDEX::kSize));
    entry.Serialize(bytes.data() + bytes.size() - size_t(TAVISTDINDEX::kSize));
    ++entries;
    return true;
  });
  if (entries == 0) return true;

  TAviStdIndexHeader header;
  header.ChunkId = StdIndexIdOf(Id);
  header.ChunkSize = uint32_t(24 + 8 * int64_t(entries));
  header.EntriesInUse = entries;
  header.DataChunkId = Id;
  header.BaseOffset = uint64_t(base);
  header.Serialize(bytes.data());
  const int64_t dataPosition = OutputPosition() + 8;
  const int64_t size = int64_t(header.ChunkSize);
  if (RiffStream->WriteChunk(header.ChunkId, 0, size, bytes.data() + 8) != size) return false;
  const int32_t node = Reader.AddNode(Movi, header.ChunkId, 0, dataPosition, size);
  Reader.SetNewOffset(node, dataPosition);
  return true;
}

// Fills a placeholder with one entry per written movie list, in file order, each pointing
// at the stream's standard index of that list (or left zero when the stream had no chunk
// there).
bool THgAVIFileWriter::WriteSuperIndex(TFourCC Id, int64_t Position) {
  const TFourCC indexId = StdIndexIdOf(Id);
  const int64_t total = kStdIndexHeaderSize + kSuperIndexEntrySize * int64_t(SegmentCount);
  std::vector<uint8_t> bytes(size_t(total), 0);
  TAviSuperIndexHeader header;
  header.ChunkId = kindx;
  header.ChunkSize = uint32_t(total - 8);
  header.DataChunkId = Id;

  // Entries in use are only those filled: a stream silent in one segment leaves no zero
  // entry in between, which a player would follow to the start of the file.
  int32_t k = 0;
  ForEachWrittenMovi(Reader, [&](int32_t movi) {
    for (int32_t c = Reader.FirstChild(movi); c >= 0; c = Reader.NextSibling(c)) {
      if (Reader.Id(c) != indexId || !IsGood(c)) continue;
      if (k >= SegmentCount) return; // never past the entries the placeholder holds
      const int64_t size = Reader.Size(c) + 8;
      TAVISUPERINDEX entry{uint64_t(Reader.NewOffset(c) - 8), uint32_t(size),
                           TAVISUPERINDEX::DurationOf(uint32_t(size))};
      entry.Serialize(bytes.data() + kStdIndexHeaderSize + kSuperIndexEntrySize * k++);
      return;
    }
  });
  header.EntriesInUse = uint32_t(k);
  header.Serialize(bytes.data());

  if (Output->Seek(Position, soBeginning) != Position) return false;
  if (Output->Write(bytes.data(), total) != total) return false;
  return Output->Seek(0, soEnd) >= 0;
}

// After a repair the headers' frame and sample counts must describe the copy, or players
// show the recording's intended length (a clip cut at 11.5 s saying 16 s). A file found
// undamaged keeps its headers as they were.
bool THgAVIFileWriter::WriteHeaderCounts() {
  if (Reader.Error == kNoDamage) return true;
  std::vector<int64_t> chunks(size_t(kMaxStreams), 0), bytes(size_t(kMaxStreams), 0);
  std::vector<int64_t> firstSegment;
  int32_t video = -1; // the first video stream: the one the main header counts
  ForEachWrittenMovi(Reader, [&](int32_t Movi) {
    ForEachMoviChunk(Reader, Movi, false, [&](int32_t c) {
      const TFourCC id = Reader.Id(c);
      if (!IsWrittenChunk(Reader.Flags(c)) || !IsStreamDataId(id) || SuffixOf(id) == kSuffix_pc)
        return true;
      const int32_t number = StreamNumberOf(id);
      ++chunks[size_t(number)];
      bytes[size_t(number)] += Reader.Size(c);
      if ((SuffixOf(id) == kSuffix_dc || SuffixOf(id) == kSuffix_db) &&
          (video < 0 || number < video))
        video = number;
      return true;
    });
    if (firstSegment.empty()) firstSegment = chunks;
  });
  if (firstSegment.empty()) return true;

  const int32_t riff = Reader.FindChildWithListType(-1, kRIFF, kAVI);
  const int32_t hdrl = riff >= 0 ? Reader.FindChildWithListType(riff, kLIST, khdrl) : -1;
  if (hdrl < 0 || !IsGood(hdrl)) return true;
  const auto written = [&](int32_t Node, int64_t Needed) {
    return Node >= 0 && IsGood(Node) && Reader.Size(Node) >= Needed && Reader.NewOffset(Node) > 0;
  };
  const auto patch = [&](int32_t Node, int64_t Field, int64_t Value) {
    uint8_t field[4];
    WriteLE32(field, uint32_t(std::clamp<int64_t>(Value, 0, kMax32)));
    const int64_t at = Reader.NewOffset(Node) + Field;
    return Output->Seek(at, soBeginning) == at && Output->Write(field, 4) == 4;
  };
  bool ok = true;
  if (video >= 0) {
    // In an OpenDML file the main header counts the first segment's frames only.
    const int64_t frames = (Reader.IsOpenDML ? firstSegment : chunks)[size_t(video)];
    if (const int32_t avih = Reader.FindChild(hdrl, kavih); written(avih, 20))
      ok = ok && patch(avih, 16, frames);
    const int32_t odml = Reader.FindChildWithListType(hdrl, kLIST, kodml);
    if (const int32_t dmlh = odml >= 0 ? Reader.FindChild(odml, kdmlh) : -1; written(dmlh, 4))
      ok = ok && patch(dmlh, 0, chunks[size_t(video)]);
  }
  // A stream's length is in its own units: frames, or samples of SampleSize bytes for
  // sound stored as a byte stream, or blocks (one per chunk) for sound such as VBR MP3.
  size_t number = 0;
  for (int32_t strl = Reader.FindChildWithListType(hdrl, kLIST, kstrl);
       strl >= 0 && number < chunks.size();
       strl = Reader.FindNextWithListType(strl, kLIST, kstrl), ++number) {
    constexpr int64_t kThroughSampleSize = 48;
    const int32_t strh = Reader.FindChild(strl, kstrh);
    if (!written(strh, kThroughSampleSize)) continue;
    uint8_t bytesOf[TAviStreamHeader::kSize] = {};
    if (Reader.ReadChunkPrefix(strh, bytesOf, kThroughSampleSize) != kThroughSampleSize) continue;
    const TAviStreamHeader header = TAviStreamHeader::Parse(bytesOf);
    const int64_t length = header.Type != kvids && header.SampleSize > 0
                               ? bytes[number] / header.SampleSize
                               : chunks[number];
    ok = ok && patch(strh, 32, length);
  }
  return ok && Output->Seek(0, soEnd) >= 0;
}

} // namespace clw
