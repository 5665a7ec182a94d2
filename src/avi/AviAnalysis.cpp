// The analysis of an AVI file: the walk that records every chunk in the tree, the passes
// that decide which chunks can be trusted, the rebuild into the nesting a correct file
// has, the key-frame test and the verdict.
#include "avi/HgAVIFile.h"

#include <algorithm>
#include <limits>

namespace clw {

namespace {

constexpr int64_t kProgressStep = 1048576;
constexpr int64_t kFrameBufferSize = 16384;
// Pass 1 restores a damaged chunk at the very end of the file only when it is this small:
// a large one running to the end is more likely a cut recording than a whole chunk.
constexpr int64_t kLastChunkLimit = 1048576;

bool IsVideoSuffix(uint16_t Suffix) {
  return Suffix == kSuffix_dc || Suffix == kSuffix_db;
}

} // namespace

bool THgAVIFileReader::IsGood(int32_t Node) const {
  return IsGoodChunk(Flags(Node));
}

void THgAVIFileReader::Mark(int32_t Node, int32_t Bits) {
  SetFlags(Node, Flags(Node) | Bits);
}

int32_t THgAVIFileReader::Analyze(uint8_t Mode) {
  if (!RiffStream) return kNothingToAnalyse;
  AudioStreamCount = 0;
  Cancelled = false;
  HeadersRead = false;
  Error = kNoDamage;
  ClearAnalysis();

  TStream64& source = *RiffStream->Stream;
  FileSize = source.Size();
  const int64_t hundredth = FileSize / 100;
  int64_t lastReported = 0;
  source.SetPosition(0);
  RiffStream->Reset();
  if (!RiffStream->Descend()) return kNothingToAnalyse;
  if (Mode != 1 && RiffStream->ChunkId != kRIFF) return kNothingToAnalyse;
  FrameBuffer.assign(size_t(kFrameBufferSize), 0);
  RiffStream->StreamCount = 0;

  int32_t parent = AddNode(-1, RiffStream->ChunkId, RiffStream->ListType, RiffStream->DataPosition,
                           RiffStream->ChunkSize);
  // Parents to return to when a list is left; the first RIFF is its bottom entry.
  std::vector<int32_t> parents{parent};
  parents.reserve(512);
  const bool keyFrames = Mode == 1 || Mode == 2;
  // A scan for the next header can pass over gigabytes of damage: it reports its progress
  // and stops when the check is cancelled.
  RiffStream->KeepScanning = [this, hundredth](int64_t Position) {
    Progress(hundredth == 0 ? 0 : (Position + 1) / hundredth);
    return !Cancelled;
  };
  struct TScanHook {
    THGRIFFStream& Stream;
    ~TScanHook() { Stream.KeepScanning = nullptr; }
  } scanHook{*RiffStream};

  while (!RiffStream->AtEndOfFile && PollStep()) {
    if (RiffStream->ChunkExhausted) {
      RiffStream->Ascend();
      // Back to the parent the list was entered from; leaving the first RIFF (the bottom
      // entry) returns to the top level.
      parent = -1;
      if (!parents.empty()) {
        parent = parents.back();
        parents.pop_back();
        if (parents.empty()) parent = -1;
      }
    } else if (RiffStream->Descend()) {
      const TFourCC id = RiffStream->ChunkId;
      const TFourCC listType = RiffStream->ListType;
      const int64_t size = RiffStream->ChunkSize;
      const int64_t data = RiffStream->DataPosition;
      if (RiffStream->Resync) {
        if (Mode == 0 && HeadersRead) break;
        // The header had to be searched for: unless it starts right where the chunk
        // before it ends, that chunk's size cannot be right.
        const int32_t last = int32_t(Count()) - 1;
        if (last >= 0 && !IsListId(Id(last)) && !IsListId(id) &&
            data - 8 != PaddedEnd(DataPosition(last), Size(last)))
          Mark(last, cfDamaged);
      }
      if (id == kRIFF) {
        parent = AddNode(-1, id, listType, data, size);
        if (Mode == 0 && data > 12) {
          RiffStream->Ascend();
          break;
        }
      } else if (id == kidx1) {
        parent = AddNode(LastTopLevelNode(), id, listType, data, size);
        RiffStream->Ascend();
      } else if (id == kLIST) {
        parents.push_back(parent);
        parent = AddNode(parent, id, listType, data, size);
        if (listType == kmovi) {
          ReadHeaders();
          if (Mode == 0) {
            RiffStream->Ascend();
            break;
          }
        }
      } else {
        const int32_t node = AddNode(parent, id, listType, data, size);
        if (keyFrames && StreamNumberOf(id) >= 0) {
          const uint16_t suffix = SuffixOf(id);
          if (CodecFamily == kFamilyAllKey || suffix == kSuffix_wb ||
              (IsVideoSuffix(suffix) && IsKeyFrame(data, size)))
            Mark(node, cfKeyFrame);
        } else if (!HeadersRead && id == kstrh) {
          ++RiffStream->StreamCount;
        }
        if (size > FileSize || data > FileSize - size)
          Mark(node, cfDamaged);
        else
          SeeSectorsInPassing(node);
        RiffStream->Ascend();
      }
    }
    const int64_t position = source.Position();
    if (OnProgress && position - lastReported > kProgressStep) {
      lastReported = position;
      Progress(hundredth == 0 ? 0 : (position + 1) / hundredth);
    }
  }

  if (Cancelled) return kCancelled;
  ReadHeaders();
  if (const int32_t avi = FindChildWithListType(-1, kRIFF, kAVI); avi >= 0)
    IsOpenDML = FindNextWithListType(avi, kRIFF, kAVIX) >= 0;
  WitnessIndexes();
  RestoreChunksThatFit();
  ExcludeOutOfOrder();
  ExcludeOverlapping();
  RebuildTree();
  if (Cancelled) return kCancelled;
  JudgeSegments(Mode);
  Progress(100);
  return Cancelled ? kCancelled : kDone;
}

int32_t THgAVIFileReader::LastTopLevelNode() const {
  int32_t last = FindChildWithListType(-1, kRIFF, kAVI);
  if (last < 0) last = Count() > 0 ? 0 : -1; // no "AVI " segment: the top-level chain
  while (last >= 0 && NextSibling(last) >= 0)
    last = NextSibling(last);
  return last;
}

// A chunk marked damaged because the next header had to be searched for may have been
// whole after all: when a later header starts exactly where it ends, the headers found in
// between were inside its data (frame bytes that happen to look like a header). A chunk an
// index lists as lost ends the search like a header: the damage began after this chunk.
void THgAVIFileReader::RestoreChunksThatFit() {
  const int32_t count = int32_t(Count());
  for (int32_t i = 0; i < count; ++i) {
    const int32_t flags = Flags(i);
    if ((flags & cfDamaged) == 0 || (flags & cfExcluded) != 0 || IsListId(Id(i))) continue;
    const int64_t end = PaddedEnd(DataPosition(i), Size(i));
    int32_t j = i + 1;
    while (j < count && GetChunkStart(j) < end && PollStep())
      ++j;
    if (Cancelled) return;
    const auto lost =
        std::lower_bound(LostChunks.begin(), LostChunks.end(), DataPosition(i),
                         [](const TLostChunk& c, int64_t position) { return c.Header < position; });
    const bool lostInside = lost != LostChunks.end() && lost->Header < end;
    // Zeros that took the next header began inside a compressed chunk that ends in them.
    const bool lostAtEnd = lost != LostChunks.end() && lost->Header == end &&
                           (j >= count || GetChunkStart(j) >= end) && !EndsInLostZeros(i);
    const bool fits =
        !lostInside && (lostAtEnd || (j < count ? GetChunkStart(j) == end
                                                : end == FileSize && Size(i) < kLastChunkLimit));
    if (!fits) continue;
    // Restoring keeps the key-frame mark: a restored key frame must still end a drop.
    SetFlags(i, flags & ~kNotGoodFlags);
    for (int32_t k = i + 1; k < j; ++k)
      SetFlags(k, cfExcluded | cfFalseChunk);
  }
}

// A good chunk must not start before the data of the good chunk before it.
void THgAVIFileReader::ExcludeOutOfOrder() {
  int64_t last = -1;
  for (int32_t i = 0; i < int32_t(Count()); ++i) {
    if (!IsGood(i)) continue;
    if (GetChunkStart(i) >= last)
      last = DataPosition(i);
    else
      Mark(i, cfDamaged | cfExcluded);
  }
}

// A good chunk that starts inside another chunk's data shows that chunk's size is wrong.
void THgAVIFileReader::ExcludeOverlapping() {
  const int32_t count = int32_t(Count());
  for (int32_t i = 0; i < count; ++i) {
    if (!IsGood(i) || IsListId(Id(i))) continue;
    const int64_t end = PaddedEnd(DataPosition(i), Size(i));
    for (int32_t k = i + 1; k < count && GetChunkStart(k) < end && PollStep(); ++k)
      if (IsGood(k)) {
        Mark(i, cfDamaged | cfExcluded);
        break;
      }
  }
}

// The place the copy keeps for a lost chunk of this id and size: an empty frame, silence,
// or none (0).
int32_t THgAVIFileReader::PlaceOf(TFourCC Id, int64_t Size) const {
  const uint16_t suffix = SuffixOf(Id);
  if (IsVideoSuffix(suffix)) return cfEmptyFrame;
  // A lost palette change has no place: the pictures after it keep their time anyway.
  const size_t stream = size_t(StreamNumberOf(Id));
  if (suffix != kSuffix_wb || stream >= LostChunkPlaces.size()) return 0;
  const TLostChunkPlace& place = LostChunkPlaces[stream];
  const bool silence =
      place.Kind == kPlaceSilence ||
      (place.Kind == kPlaceMpegSilence && MpegSilenceHeader(place.FrameHeader, Size) != 0);
  return silence ? cfSilence : 0;
}

// Puts the nodes into the nesting of a correct AVI file: header and movie lists and
// "idx1" right under their RIFF segment, other lists by where they end, and data chunks
// found outside any movie list under one made for them.
void THgAVIFileReader::RebuildTree() {
  struct TEntry {
    int32_t Node;
    int64_t End; // 64-bit: OpenDML lists end beyond 2 GiB
  };
  // Entry 0 stands for the top level until the first RIFF replaces it.
  std::vector<TEntry> stack{{-1, std::numeric_limits<int64_t>::max()}};
  size_t d = 0;
  bool inMovi = false;
  THgChunkTree rebuilt;
  auto parentAt = [&](size_t k) { return k < stack.size() && k < d ? stack[k].Node : -1; };
  auto setEntry = [&](size_t k, TEntry e) {
    if (stack.size() <= k) stack.resize(k + 1);
    stack[k] = e;
  };

  // Lost chunks go into the movie list where their headers were: a place the copy keeps
  // for each, or the chunk itself when only its id was hit.
  size_t nextLost = 0;
  const auto addLostBefore = [&](int64_t Position) {
    for (; nextLost < LostChunks.size() && LostChunks[nextLost].Header < Position; ++nextLost) {
      const TLostChunk& lost = LostChunks[nextLost];
      if (!inMovi || d != 2 || rebuilt.ListType(stack[1].Node) != kmovi) continue;
      const int64_t data = lost.Header + 8;
      int32_t flags = cfExcluded | cfLostChunk | PlaceOf(lost.Id, lost.Size);
      if (lost.Whole)
        flags = !IsVideoSuffix(SuffixOf(lost.Id)) || CodecFamily == kFamilyAllKey ||
                        IsKeyFrame(data, lost.Size)
                    ? cfKeyFrame
                    : 0;
      rebuilt.SetFlags(rebuilt.AddNode(stack[1].Node, lost.Id, 0, data, lost.Size), flags);
    }
  };

  for (int32_t i = 0; i < int32_t(Count()); ++i) {
    const TChunkNode& old = Node(i);
    const int64_t end = old.DataPosition + old.Size;
    addLostBefore(GetChunkStart(i));
    auto add = [&](int32_t Parent) {
      const int32_t node =
          rebuilt.AddNode(Parent, old.Id, old.ListType, old.DataPosition, old.Size);
      rebuilt.SetFlags(node, old.Flags);
      return node;
    };
    if (old.Flags & cfExcluded) {
      add(d > 0 ? parentAt(d - 1) : -1);
    } else if (old.Id == kRIFF) {
      inMovi = false;
      d = 1;
      setEntry(0, {add(-1), end});
    } else if (old.Id == kidx1 ||
               (old.Id == kLIST && (old.ListType == kmovi || old.ListType == khdrl))) {
      if (old.ListType == kmovi && old.Id == kLIST) inMovi = true;
      const int32_t segment = d > 0 ? parentAt(0) : -1;
      d = 2;
      setEntry(1, {add(segment), end});
    } else if (old.Id == kLIST) {
      // A list that starts where the open one ends is its sibling. Levels above it close
      // too when they ended as well ("INFO" after a header list whose last stream list
      // just ended), but a movie list is never left that way: recorders leave its size
      // stale, and the record lists after its stated end still belong in it.
      const int64_t start = GetChunkStart(i);
      if (d > 0 && stack[d - 1].End <= start) {
        --d;
        while (d > 1 && stack[d - 1].End <= start && rebuilt.ListType(stack[d - 1].Node) != kmovi)
          --d;
      }
      ++d;
      setEntry(d - 1, {add(d >= 2 ? stack[d - 2].Node : -1), end});
    } else {
      const uint16_t suffix = SuffixOf(old.Id);
      if (!inMovi && (IsVideoSuffix(suffix) || suffix == kSuffix_wb) && d > 1 &&
          rebuilt.ListType(stack[d - 1].Node) != kmovi) {
        const int32_t movi = rebuilt.AddNode(stack[0].Node, kLIST, kmovi, 0, 0);
        d = 2;
        setEntry(1, {movi, 0});
        inMovi = true;
      }
      add(d > 0 ? stack[d - 1].Node : -1);
    }
  }
  addLostBefore(std::numeric_limits<int64_t>::max());
  static_cast<THgChunkTree&>(*this) = std::move(rebuilt);
}

void THgAVIFileReader::JudgeSegments(uint8_t Mode) {
  // The stream table covers every segment: a capture cut just after its second segment
  // began still has both streams' data in the first.
  MoviStreams.assign(kMaxStreams, TMoviStream{});
  int32_t segmentsWithMovi = 0;
  for (int32_t r = FindChild(-1, kRIFF); r >= 0; r = FindNext(r, kRIFF)) {
    if (DataPosition(r) + Size(r) > FileSize && Error == kNoDamage) Error = kDamagedIndex;
    const int32_t movi = FindChildWithListType(r, kLIST, kmovi);
    if (movi >= 0) CheckMovi(movi);
    if (const int32_t idx1 = FindChild(r, kidx1); idx1 >= 0) CheckAfterIndex(idx1);
    if (movi >= 0 && (Flags(movi) & cfExcluded) == 0) ++segmentsWithMovi;
  }
  CompactMoviStreams();
  if (segmentsWithMovi > 1) IsOpenDML = true;
  if (RiffStream->Resync) Error = kDamagedData;
  for (int32_t r = FindChild(-1, kRIFF); r >= 0; r = FindNext(r, kRIFF))
    if (FindChildWithListType(r, kLIST, kmovi) < 0) {
      Error = kDamagedData;
      Mark(r, cfDamaged | cfExcluded);
    }
  if (Mode == 2 && Error == kNoDamage) CheckIndexes();
}

// Index check of a full check: a plain file needs "idx1"; every segment of an OpenDML
// file needs a standard index for each stream that has data chunks in it.
void THgAVIFileReader::CheckIndexes() {
  int32_t number = 0;
  for (int32_t r = FindChild(-1, kRIFF); r >= 0; r = FindNext(r, kRIFF), ++number) {
    if (!IsOpenDML && number == 0 && FindChild(r, kidx1) < 0) {
      Error = kDamagedIndex;
      return;
    }
    const int32_t movi = FindChildWithListType(r, kLIST, kmovi);
    if (movi < 0) {
      Error = kDamagedData;
      return;
    }
    if (!IsOpenDML) continue;
    TMoviStreams present(kMaxStreams);
    CollectStreams(movi, present);
    for (const TMoviStream& stream : present)
      if (stream.DataChunkId != 0 && FindChild(movi, StdIndexIdOf(stream.DataChunkId)) < 0) {
        Error = kDamagedIndex;
        return;
      }
  }
}

void THgAVIFileReader::CheckMovi(int32_t Movi) {
  if (FirstChild(Movi) < 0) {
    Mark(Movi, cfExcluded);
    return;
  }
  bool recordLists = false;
  for (int32_t c = FirstChild(Movi); c >= 0; c = NextSibling(c))
    recordLists = recordLists || (Id(c) == kLIST && IsGood(c));

  if (recordLists) {
    // Chunks grouped in "rec " lists: a list is kept whole or not at all.
    for (int32_t c = FirstChild(Movi); c >= 0; c = NextSibling(c)) {
      if (Id(c) != kLIST) {
        // Places for lost chunks belong in record lists, which the index does not give.
        SetFlags(c, (Flags(c) | cfExcluded) & ~(cfEmptyFrame | cfSilence));
        continue;
      }
      bool whole = FirstChild(c) >= 0;
      for (int32_t k = FirstChild(c); k >= 0 && whole; k = NextSibling(k))
        whole = IsGood(k);
      if (whole) continue;
      Mark(c, cfExcluded);
      for (int32_t k = FirstChild(c); k >= 0; k = NextSibling(k))
        Mark(k, cfExcluded);
    }
  } else {
    // After a damaged video chunk that stream's frames are dropped up to its next good key
    // frame, so no kept frame refers to a lost one; each dropped frame keeps its place in
    // the timeline as an empty frame. The other streams lose nothing that is intact, and a
    // damaged audio chunk (or palette change) is lost alone.
    // A good chunk of a compressed stream with a lost sector in it is damaged like one
    // whose header was. A damaged chunk of another stream ends where the next header was
    // found; when that span is longer than any good chunk of its stream, frames whose
    // headers were lost lay in it too, and every video stream is dropped up to its next key
    // frame.
    std::vector<int64_t> largest(size_t(kMaxStreams), 0);
    for (int32_t c = FirstChild(Movi); c >= 0 && PollStep(); c = NextSibling(c)) {
      const TFourCC id = Id(c);
      if (!IsGood(c) || !IsStreamDataId(id)) continue;
      const size_t number = size_t(StreamNumberOf(id));
      const bool seen = (Flags(c) & cfSectorsSeen) != 0;
      if (ZeroRunsAreDamageIn(id) &&
          (seen ? (Flags(c) & cfZeroedSector) != 0 : HasZeroedSector(c))) {
        Mark(c, cfDamaged);
        Error = kDamagedData;
      } else {
        largest[number] = std::max(largest[number], PaddedEnd(0, Size(c)));
      }
    }
    const auto holdsLostFrames = [&](int32_t c) {
      int32_t next = NextSibling(c);
      // Headers the scan took from damaged bytes are no chunk of the file.
      while (next >= 0 &&
             ((Flags(next) & cfFalseChunk) != 0 || (!IsGood(next) && !IsStreamDataId(Id(next)))))
        next = NextSibling(next);
      const int64_t end = next >= 0 ? GetChunkStart(next) : FileSize;
      // A lost frame takes at least its 8-byte header.
      return end - DataPosition(c) > largest[size_t(StreamNumberOf(Id(c)))] + 8;
    };
    std::vector<bool> dropping(size_t(kMaxStreams), false);
    const auto emptyFrame = [&](int32_t c) {
      SetFlags(c, (Flags(c) | cfExcluded | cfEmptyFrame) & ~cfKeyFrame);
    };
    for (int32_t c = FirstChild(Movi); c >= 0; c = NextSibling(c)) {
      const int32_t flags = Flags(c);
      const TFourCC id = Id(c);
      const bool video = IsStreamDataId(id) && IsVideoSuffix(SuffixOf(id));
      const size_t stream = video ? size_t(StreamNumberOf(id)) : 0;
      if (video && dropping[stream]) {
        if (IsGoodChunk(flags) && (flags & cfKeyFrame) != 0) {
          dropping[stream] = false;
        } else {
          emptyFrame(c);
          continue;
        }
      }
      if (IsGoodChunk(flags)) continue;
      Mark(c, cfExcluded);
      if (video && !(flags & cfFalseChunk)) {
        dropping[stream] = true;
        emptyFrame(c);
      } else if (!video && (flags & cfIndexed) != 0) {
        // Sound whose size an index vouches for keeps its time, as a lost chunk's place.
        SetFlags(c, Flags(c) | PlaceOf(id, Size(c)));
      } else if (!video && IsStreamDataId(id) && !(flags & (cfFalseChunk | cfLostChunk)) &&
                 holdsLostFrames(c)) {
        dropping.assign(dropping.size(), true);
      }
    }
  }
  bool anyGood = false;
  for (int32_t c = FirstChild(Movi); c >= 0 && !anyGood; c = NextSibling(c))
    anyGood = IsGood(c);
  if (!anyGood) Mark(Movi, cfExcluded);
  CollectStreams(Movi, MoviStreams);
}

// Records the data chunk id of every stream with good chunks in a movie list (directly
// or in its record lists). A palette change never replaces a stream's data chunk id.
void THgAVIFileReader::CollectStreams(int32_t Movi, TMoviStreams& Streams) const {
  if (Streams.size() < size_t(kMaxStreams)) Streams.resize(size_t(kMaxStreams));
  auto record = [&](int32_t c) {
    const TFourCC id = Id(c);
    if (!IsGood(c) || !IsStreamDataId(id)) return;
    TMoviStream& stream = Streams[size_t(StreamNumberOf(id))];
    if (SuffixOf(id) != kSuffix_pc || stream.DataChunkId == 0) stream.DataChunkId = id;
  };
  for (int32_t c = FirstChild(Movi); c >= 0; c = NextSibling(c)) {
    record(c);
    if (Id(c) == kLIST)
      for (int32_t k = FirstChild(c); k >= 0; k = NextSibling(k))
        record(k);
  }
}

void THgAVIFileReader::CompactMoviStreams() {
  MoviStreamCount = 0;
  for (const TMoviStream& stream : TMoviStreams(MoviStreams))
    if (stream.DataChunkId != 0) MoviStreams[size_t(MoviStreamCount++)] = stream;
}

// Entries of an "idx1" read as chunk headers by the scan after the index ended early:
// their flags word (0 or 16) shows as the size.
void THgAVIFileReader::CheckAfterIndex(int32_t Index) {
  for (int32_t s = NextSibling(Index); s >= 0; s = NextSibling(s)) {
    if (!IsStreamDataId(Id(s)) || (Size(s) != 0 && Size(s) != 16)) break;
    Mark(s, cfExcluded);
  }
}

bool THgAVIFileReader::ZeroRunsAreDamageIn(TFourCC Id) const {
  const size_t stream = size_t(StreamNumberOf(Id)); // wraps when the id names no stream
  return stream < ZeroRunsAreDamage.size() && ZeroRunsAreDamage[stream];
}

// Zeros may begin anywhere in the chunk's last sector, so its very last byte decides: frames
// of the codecs we meet end in stuffing bits or an end marker, and the rare frame that ends
// in a zero byte is only dropped, as it was before the index could vouch for it.
bool THgAVIFileReader::EndsInLostZeros(int32_t Node) {
  constexpr int64_t kTail = 1;
  if (!ZeroRunsAreDamageIn(Id(Node))) return false;
  TStream64* source = Source();
  const int64_t size = std::min(Size(Node), kTail);
  const int64_t at = DataPosition(Node) + Size(Node) - size;
  uint8_t tail[kTail] = {};
  if (!source || size <= 0 || at < 0 || at > FileSize - size) return false;
  const int64_t back = source->Position();
  const bool read = source->Seek(at, soBeginning) == at && source->Read(tail, size) == size;
  source->SetPosition(back);
  return read && std::all_of(tail, tail + size, [](uint8_t b) { return b == 0; });
}

// The walk stands on the chunk's header with the bytes after it in the read window: the
// lost-sector test reads them from there rather than from the file again later. Chunks
// longer than any frame are left to the later test, so a size that damage made up costs
// the walk nothing.
void THgAVIFileReader::SeeSectorsInPassing(int32_t Node) {
  constexpr int64_t kLongest = 0x1000000;
  if (!HeadersRead || !IsStreamDataId(Id(Node)) || !ZeroRunsAreDamageIn(Id(Node)) ||
      Size(Node) > kLongest)
    return;
  Mark(Node, cfSectorsSeen | (HasZeroedSector(Node) ? cfZeroedSector : 0));
}

// The walk has just read a chunk's header through the stream's window, so its frame bytes
// are usually there already: they are looked at in place, not copied out.
const uint8_t* THgAVIFileReader::BytesAt(int64_t Position, int64_t Count,
                                         std::vector<uint8_t>& Into, int64_t& Got) {
  Got = 0;
  TStream64* source = Source();
  if (!source || Count <= 0 || Position < 0) return nullptr;
  if (auto* window = dynamic_cast<THgBufferedFileStreamW*>(source)) {
    const uint8_t* held = window->Held(Position, Count, Got);
    if (Got == Count) return held;
  }
  if (Into.size() < size_t(Count)) Into.resize(size_t(Count));
  const int64_t back = source->Position();
  Got = source->Seek(Position, soBeginning) == Position ? source->Read(Into.data(), Count) : 0;
  Got = std::max<int64_t>(Got, 0);
  source->SetPosition(back);
  return Got > 0 ? Into.data() : nullptr;
}

bool THgAVIFileReader::HasZeroedSector(int32_t Node) {
  constexpr int64_t kSector = 512;
  constexpr int64_t kBlock = 128 * kSector;
  const int64_t data = DataPosition(Node);
  if (!Source() || data < 0 || data >= FileSize) return false;
  const int64_t end = data + std::min(std::max<int64_t>(Size(Node), 0), FileSize - data);
  int64_t at = (data + kSector - 1) / kSector * kSector; // first sector inside the data
  bool found = false;
  while (!found && end - at >= kSector) {
    const int64_t want = std::min(kBlock, (end - at) / kSector * kSector);
    int64_t got = 0;
    const uint8_t* block = BytesAt(at, want, SectorBuffer, got);
    if (got != want) break;
    for (int64_t s = 0; s < want && !found; s += kSector) {
      const uint8_t* p = block + s;
      uint64_t bits = 0;
      for (int64_t k = 0; k < kSector && bits == 0; k += 64)
        for (int64_t w = 0; w < 64; w += 8)
          bits |= ReadLE64(p + k + w);
      found = bits == 0;
    }
    at += want;
  }
  return found;
}

bool THgAVIFileReader::IsKeyFrame(int64_t Position, int64_t Size) {
  if (!RiffStream) return false;
  // An empty chunk is an encoder's placeholder for a dropped frame: nothing to start from.
  if (CodecFamily == kFamilyAllKey) return true;
  if (Size <= 0) return false;
  int64_t got = 0;
  const uint8_t* frame = BytesAt(Position, std::min(Size, kFrameBufferSize), FrameBuffer, got);
  bool key = true; // unreadable data (past the end of a cut file) is not judged
  if (got > 0 && CodecFamily == kFamilyMsMpeg4) {
    key = (frame[0] & 0x40) == 0;
  } else if (got > 0) {
    // The first VOP header of the frame: coding type 0 is an intra VOP.
    key = false;
    for (int64_t i = 0; i + 5 < got; ++i)
      if (frame[i] == 0 && frame[i + 1] == 0 && frame[i + 2] == 1 && frame[i + 3] == 0xB6) {
        key = (frame[i + 4] & 0xC0) == 0;
        break;
      }
  }
  return key;
}

} // namespace clw
