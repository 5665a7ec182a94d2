// The analysis of an MP4-family file: the walk that maps the boxes into the chunk tree and
// decides where media data lies and how much of it is scanned, and the reading of the
// movie and track tables from the judged tree. Judging the tree is in Mp4TreeJudge.cpp.
#include "mp4/HgMP4File.h"

#include "container/LargeBlocks.h"

#include "mp4/AacDecoder.h"
#include "mp4/Mp4BoxTypes.h"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

namespace clw {

namespace {

constexpr int64_t kProgressStep = 0x100000;

// A header of zeros is no box, and the search for the next header that follows it moves
// through the zeros four bytes at a time. A card's never-written clusters read as zeros
// for gigabytes, so the walk measures such a stretch in large reads first and leaves the
// stream where that search would have met the first non-zero word (or at the end of the
// file): the header read there is zeros too, so the search goes on exactly from that word.
// Answers false when cancelled. The quick analysis and the full check walk the same file
// one after the other: a stretch measured once, in a file of the same size, is taken as
// measured.
bool SkipZeroStretch(THgFileReader& Reader, TStream64& Stream, TZeroStretch& Known,
                     int64_t FileSize) {
  constexpr int64_t kMinStretch = 64;
  const int64_t header = Stream.Position();
  if (header < 0) return true;
  if (Known.Header == header && Known.FileSize == FileSize) {
    Stream.Seek(Known.Resume, soBeginning);
    return true;
  }
  uint8_t lead[kMinStretch];
  const int64_t got = Stream.Read(lead, kMinStretch);
  if (got < kMinStretch ||
      std::any_of(lead, lead + kMinStretch, [](uint8_t b) { return b != 0; })) {
    Stream.Seek(header, soBeginning);
    return true;
  }
  std::vector<uint8_t> buffer(0x10000);
  int64_t at = header + kMinStretch;
  int64_t polled = at;
  for (;;) {
    const int64_t n = Stream.Read(buffer.data(), int64_t(buffer.size()));
    if (n <= 0) break;
    const size_t i = FirstNonZeroByte(buffer.data(), size_t(n));
    at += int64_t(i);
    if (i < size_t(n)) break;
    if (at - polled >= kProgressStep) {
      polled = at;
      if (!Reader.Poll()) return false;
    }
  }
  // The search after a rejected header at H reads aligned words from H + 5.
  const int64_t resume = header + (at - header - 5) / 4 * 4;
  Known = TZeroStretch{header, resume, at, FileSize};
  Stream.Seek(resume, soBeginning);
  return true;
}

} // namespace

int32_t THgMP4FileReader::Analyze(uint8_t Mode) {
  int32_t result = AnalyzeOnce(Mode);
  // Slice detection found that the scan let go of candidates the file's audio marker
  // needs (it expected another): once more, with that marker listed. The second scan
  // lists them, so it never asks again.
  const uint8_t marker = Scan.ScanAgainFor;
  if (result == kDone && marker < kMarkers) {
    const uint8_t setting = std::exchange(Scan.ListedMarker, marker);
    result = AnalyzeOnce(Mode);
    Scan.ListedMarker = setting;
  }
  // The memory the scan and slice detection gave back goes to the system.
  ReleaseCachedLarge();
  return result;
}

int32_t THgMP4FileReader::AnalyzeOnce(uint8_t Mode) {
  if (!Atoms || !Atoms->Stream) return kNothingToAnalyse;
  THgMp4Stream& atoms = *Atoms;
  Mvhd = TMp4_mvhd{};
  Ftyp = TMp4_ftyp{};
  TableCheck = TTableCheck{};
  MovieIncomplete = false;
  Cancelled = false;
  ClearAnalysis();
  atoms.Seek(0, soBeginning);
  atoms.Reset();
  FileSize = uint64_t(std::max<int64_t>(atoms.Stream->Size(), 0));
  // The file may have grown since it was opened (a recording still being copied).
  atoms.StreamSize = int64_t(FileSize);

  // A file of this family opens with a top-level box at its first byte. When it does not,
  // its header was never written or has been overwritten; there is no structure to walk,
  // and the verdict must not be left at "no damage" for the full check to pass over it.
  const bool readable = FileSize > 0 && atoms.NextAtom(false);
  const bool opensWell = readable && atoms.Depth == 1 && IsTopLevelBoxType(atoms.AtomType) &&
                         atoms.AtomDataPosition - atoms.AtomHeaderLength == 0;
  if (!opensWell) {
    if (Mode != 3 || FileSize == 0) {
      Error = kDamagedData;
      return kNothingToAnalyse;
    }
    // Everything is media data. The node starts where the scan starts and ends with the
    // file, as if an 8-byte header stood before the first byte.
    atoms.ScanMode = true;
    const int32_t node = AddNode(-1, kmdat, 0, 0, int64_t(FileSize) + 8);
    SetFlags(node, nfMediaData);
    Scan.MediaDataNode = node;
    Scan.MediaDataStart = 0;
    ScanMediaData(node, FileSize, 0);
  } else if (!WalkBoxes(Mode)) {
    return Cancelled ? kCancelled : kDone;
  }
  // A cancelled check gives no verdict: what was walked or scanned so far is no file.
  if (Cancelled) return kCancelled;

  JudgeTree(Mode);
  ReadTables();
  if (Cancelled) return kCancelled;
  const bool damaged = atoms.ScanMode;
  if (Mode == 2 || Mode == 3 || damaged) FindSlices(Scan.MediaDataNode, true);
  if (Cancelled) return kCancelled;
  if (Scan.ScanAgainFor < kMarkers) return kDone; // Analyze checks again
  // Without a track nothing tells a player where a frame lies. A recording stopped before
  // its movie header was written is the commonest damage of all, and every box it does
  // hold is sound.
  const bool noTrack = Traks.empty();
  if (Scan.NullBlocks.Count() > 0 || damaged || noTrack || MovieIncomplete) Error = kDamagedData;
  // A track read from tables found without their "trak" has lost its place in the movie,
  // and a track header without a track of its own lost the rest.
  const auto whole = size_t(
      std::count_if(Traks.begin(), Traks.end(), [](const TMp4Trak& t) { return t.TrakNode >= 0; }));
  if (Error == kNoDamage && whole < TrackHeadersFound()) Error = kDamagedIndex;
  // A whole movie box can still point elsewhere than its chunks are: a garbled offset
  // table, or a start of the file cut away.
  if ((Mode == 2 || Mode == 3) && !noTrack) {
    TableCheck = CheckChunkTables(*this, AacDecoderLibrary ? AacDecoderLibrary : AacLibrary());
    if (Cancelled) return kCancelled;
    if (Error == kNoDamage && TableCheck.WrongIndex())
      Error = kDamagedIndex;
    else if (Error == kNoDamage && TableCheck.AnyFailed())
      Error = kDamagedData;
  }
  // Tables that survived can still list pictures a lost sector or stray data broke.
  if ((Mode == 2 || Mode == 3) && Error == kNoDamage && Analysis &&
      Analysis->HasDamagedSamples(*this))
    Error = kDamagedData;
  Progress(100);
  return Cancelled ? kCancelled : kDone;
}

bool THgMP4FileReader::WalkBoxes(uint8_t Mode) {
  THgMp4Stream& atoms = *Atoms;
  bool tolerant = Mode == 2 || Mode == 3;
  // Nodes of the boxes the walk is inside, innermost last.
  std::vector<int32_t> parents;
  parents.reserve(512);
  const int64_t hundredth = int64_t(FileSize / 100);
  int64_t lastReport = 0;
  uint32_t depthBefore = 0;
  bool haveHeader = true; // the first header has been read by Analyze
  // Where the next top-level header stands when the boxes follow each other.
  int64_t nextTopLevel = 0;

  while (!Cancelled) {
    if (!haveHeader) {
      if (atoms.AtEndOfFile) break;
      if (atoms.AtEndOfAtom) {
        atoms.LeaveAtom();
        if (!parents.empty()) parents.pop_back();
        continue;
      }
      depthBefore = atoms.Depth;
      // Only a strict walk searches for the next header; a tolerant one takes the rest of
      // the file as media data at once.
      if (!tolerant && !atoms.ScanMode &&
          !SkipZeroStretch(*this, *atoms.Stream, KnownZeroStretch, int64_t(FileSize)))
        break;
      // A header that cannot be read leaves the stream at the end of the file.
      if (!atoms.NextAtom(tolerant)) continue;
    }
    haveHeader = false;

    // A size field of 2..7 enters nothing: the stream only reports the size and scans on.
    const bool entered = atoms.Depth > depthBefore;
    const TFourCC type = entered ? atoms.AtomType : 0;
    // A 64-bit size from a damaged header may exceed what a node's signed size holds.
    const uint64_t size = std::min<uint64_t>(atoms.AtomSize, uint64_t(INT64_MAX));
    const int64_t headerLength = entered ? atoms.AtomHeaderLength : 8;
    const int64_t dataPos =
        entered ? atoms.AtomDataPosition : std::min(atoms.LastDataPosition + 4, int64_t(FileSize));

    if (size < 8 || size > BoxSizeLimit(type)) atoms.ScanMode = true;

    int32_t node = -1;
    if (!atoms.ScanMode) {
      const bool topLevel = parents.empty();
      node = AddNode(parents.empty() ? -1 : parents.back(), type, TFourCC(parents.size()), dataPos,
                     int64_t(size));
      if (headerLength > 8) SetFlags(node, nfLargeHeader);
      if (topLevel && entered) {
        // A top-level box that does not start where the one before it ended was found by
        // searching past a header that could not be believed: whatever box that header
        // opened ("moov" with its type overwritten) is lost, however much of its inside
        // the search then finds.
        if (NodeStart(node) != nextTopLevel) {
          if (Mode == 0) {
            Error = kDamagedData;
            return false;
          }
          MovieIncomplete = true;
        }
        nextTopLevel = NodeEnd(node);
      }
      parents.push_back(node);
    } else {
      if (Mode == 0) {
        Error = kDamagedData;
        return false;
      }
      // After damage the nesting is unknown; what is kept goes to the top and is sorted
      // back into place when the tree is judged.
      parents.clear();
      if (size >= 8 && size <= BoxSizeLimit(type)) {
        // Media data found after damage is taken to run to the end of the file.
        const int64_t nodeSize =
            type == kmdat ? int64_t(FileSize) - dataPos + headerLength : int64_t(size);
        node = AddNode(-1, type, 0, dataPos, nodeSize);
        SetFlags(node, nfMediaData | (headerLength > 8 ? nfLargeHeader : 0));
      }
    }

    if (!entered || !atoms.IsContainerAtom) {
      if (!parents.empty()) parents.pop_back();
      if (type == kftyp) {
        ReadFtyp();
        atoms.LeaveAtom();
      } else if ((type == kmdat && (Mode == 2 || Mode == 3)) || (tolerant && atoms.ScanMode)) {
        tolerant = false;
        ScanFromBox(Mode, type == kmdat ? node : -1, dataPos, headerLength);
        // The first damage, or in mode 3 the first media data, ends the walk: what follows
        // has been scanned as media data.
        if (Mode == 3 || atoms.ScanMode) return true;
        atoms.LeaveAtom();
      } else {
        atoms.LeaveAtom();
      }
    }

    const int64_t position = atoms.Stream->Position();
    if (OnProgress && position - lastReport > kProgressStep) {
      lastReport = position;
      Progress(hundredth == 0 ? 0 : (position + 1) / hundredth);
    }
  }
  return true;
}

// Scans the media data that starts with the payload of the box at DataPos. An "mdat" with a
// node of its own is scanned as it stands, or in mode 3 to the end of the file; any other
// box that cannot be trusted becomes the start of media data reaching to the end of the
// file, with a node that covers exactly the scanned bytes.
void THgMP4FileReader::ScanFromBox(uint8_t Mode, int32_t BoxNode, int64_t DataPos,
                                   int64_t HeaderLength) {
  const int64_t fileSize = int64_t(FileSize);
  int32_t media = BoxNode;
  if (media < 0) {
    media = AddNode(-1, kmdat, 0, DataPos, fileSize - DataPos + HeaderLength);
    SetFlags(media, nfMediaData | (HeaderLength > 8 ? nfLargeHeader : 0));
    EnterNode(media);
  }
  Scan.MediaDataNode = media;
  Scan.MediaDataStart = DataPos;
  const int64_t end = Mode == 3 ? fileSize : std::min(NodeEnd(media), fileSize);
  ScanMediaData(media, uint64_t(std::max<int64_t>(end - DataPos, 0)), uint64_t(DataPos));
}

void THgMP4FileReader::EnterNode(int32_t Node) {
  // The stream infers a 16-byte header from a size of 4 GiB or more; choose the size it is
  // given so that the box it enters ends where the node ends, whatever header the box had.
  const int64_t payload = std::max<int64_t>(NodeEnd(Node) - DataPosition(Node), 0);
  uint64_t size = uint64_t(payload) + 8;
  if (size >= (uint64_t(1) << 32)) size += 8;
  Atoms->SetRoot(Id(Node), size, DataPosition(Node));
}

size_t THgMP4FileReader::TrackHeadersFound() const {
  size_t trak = 0, tkhd = 0;
  for (int32_t i = 0; i < int32_t(Count()); ++i) {
    if (Flags(i) & nfDropped) continue;
    trak += Id(i) == ktrak ? 1 : 0;
    tkhd += Id(i) == ktkhd ? 1 : 0;
  }
  return std::max(trak, tkhd);
}

bool THgMP4FileReader::LastTrackHolds(TFourCC Type) const {
  const TMp4Trak& t = Traks.back();
  switch (Type) {
  case kmdhd:
    return t.mdhd.Version != kNotRead;
  case ktkhd:
    return t.tkhd.Version != kNotRead;
  case kstsd:
    return t.stsd.Version != kNotRead;
  case kstco:
  case kco64:
    return t.stco.Version != kNotRead;
  case kstts:
    return t.stts.Version != kNotRead;
  case kstsz:
    return t.stsz.Version != kNotRead;
  case kstss:
    return t.stss.Version != kNotRead;
  case kstsc:
    return t.stsc.Version != kNotRead;
  case kvmhd:
  case ksmhd:
    return t.VmhdNode >= 0 || t.SmhdNode >= 0;
  default:
    return false;
  }
}

void THgMP4FileReader::ReadTables() {
  // Path[level] is the last node met at that level: the ancestors of the current node.
  std::vector<int32_t> path;
  const int32_t count = int32_t(Count());
  for (int32_t i = 0; i < count; ++i) {
    const TFourCC type = Id(i);
    const uint32_t level = ListType(i);
    if (level >= uint32_t(count)) continue; // no level deeper than the tree is large
    if (path.size() <= level) path.resize(size_t(level) + 1, -1);
    path[level] = i;
    if (IsContainerBoxType(type)) {
      if (type == ktrak) AddTrack(i);
      continue;
    }
    if (!IsReadBox(type)) continue;
    EnterNode(i);
    if (Traks.empty() && type != kmvhd) {
      // Tables without any track: the index of the movie is damaged.
      AddTrack(-1);
      if (Error == kNoDamage) Error = kDamagedIndex;
    } else if (!Traks.empty() && level == 1 && LastTrackHolds(type)) {
      // Straight under a top-level box its "trak" is lost; a table the last track already
      // has belongs to the next track.
      AddTrack(-1);
    }
    switch (type) {
    case kmvhd:
      ReadMvhd();
      break;
    case ktkhd:
      ReadTkhd();
      break;
    case kmdhd:
      ReadMdhd();
      break;
    case khdlr:
      // Only the media handler names the track's kind; "minf" may hold a data handler.
      if (level == 3 && Id(path[2]) == kmdia) ReadHdlr();
      break;
    case kvmhd:
      SetVideoMediaHeader(i);
      break;
    case ksmhd:
      SetSoundMediaHeader(i);
      break;
    case kstsd:
      ReadStsd(i);
      break;
    case kstco:
      ReadStco();
      break;
    case kco64:
      ReadCo64();
      break;
    case kstts:
      ReadStts();
      break;
    case kstsz:
      ReadStsz();
      break;
    case kstss:
      ReadStss();
      break;
    case kstsc:
      ReadStsc();
      break;
    case kelst:
      ReadElst();
      break;
    default:
      break;
    }
  }
}

} // namespace clw
