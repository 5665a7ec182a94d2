#pragma once
// The reader of one MP4, MOV or 3GP file. It is itself the chunk tree of the file: the
// analysis walks the boxes through the atom stream into nodes, judges whether the
// structure is sound, reads the movie and track headers and sample tables into TMp4Trak
// records, and, when the movie header is missing or damaged, scans the raw media data for
// H.264 units and groups them into video slices with the audio gaps between them.
//
// Where the work lives:
//   Mp4Reader.cpp           opening, tracks, ClearAnalysis
//   Mp4Tables.cpp           the box readers (ftyp, headers, stsd, sample tables)
//   Mp4Analysis.cpp         Analyze: the walk and reading the tables
//   Mp4TreeJudge.cpp        judging the walked tree, rebuilding its nesting after damage
//   Mp4Dump.cpp             the text dump (DumpInfo)
//   Mp4DebugDump.cpp        the diagnostic tag-stream dump
//   mp4repair/MediaDataScanner.cpp   ScanMediaData
//   mp4repair/SliceDetection.cpp     FindSlices and its steps
//
// Node flags of the chunk tree (Flags of each node):
//   nfLargeHeader  the box has a 16-byte header (start = data position - 16, else - 8)
//   nfEncloses     the node encloses later nodes (while the hierarchy is rebuilt)
//   nfMediaData    media-data region: an "mdat" found or made by a tolerant walk, or a box
//                  taken from a scan of damaged data
//   nfDropped      the node lies inside a media-data region or is out of order
// The level of a node (its depth in the box hierarchy, 0 at the top) is kept in ListType.
#include "container/HgBlocksOfOffset.h"
#include "container/HgFileBase.h"
#include "mp4/HgMp4Stream.h"
#include "mp4/Mp4Format.h"
#include "mp4repair/MdatFormat.h"
#include "streams/BufferedFileStream.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace clw {

enum : int32_t { nfLargeHeader = 1, nfEncloses = 2, nfMediaData = 4, nfDropped = 8 };

class THgMP4FileReader : public THgFileReader {
public:
  // Granularity of the index by offset that files candidates under their ends.
  static constexpr int32_t kOffsetBlockGranularity = 0x10000;

  // Opens FileName for reading; OpenError is kNotFound when it does not exist and
  // kCannotOpen when it cannot be opened. Never raises for either.
  explicit THgMP4FileReader(const std::string& FileName);
  // Works on an atom stream it does not own (tests, and trees built beside the reader's).
  explicit THgMP4FileReader(THgMp4Stream& Stream);
  ~THgMP4FileReader() override;
  THgMP4FileReader(const THgMP4FileReader&) = delete;
  THgMP4FileReader& operator=(const THgMP4FileReader&) = delete;

  // Modes: 0 quick analysis (stops at the first damage), 1 strict walk without a scan,
  // 2 full check, 3 full check of a file whose quick analysis found damage.
  int32_t Analyze(uint8_t Mode) override;
  void DumpInfo(const std::string& FileName) override;
  // The text dump with its outcome: 0 written, -1 the file could not be created.
  int32_t WriteInfo(const std::string& FileName);
  // The diagnostic tag-stream dump of the whole analysis state, to DumpFileName.
  void WriteDebugDump();

  // Tracks and tables. Each reader works on the last track and on the box the atom
  // stream has been set on; 0 when the box was read whole, -1 otherwise.
  int32_t AddTrack(int32_t TrakNode);
  int32_t ReadFtyp();
  int32_t ReadMvhd();
  int32_t ReadTkhd();
  int32_t ReadMdhd();
  int32_t ReadHdlr();
  int32_t ReadStsd(int32_t StsdNode);
  int32_t ReadStco();
  int32_t ReadCo64();
  int32_t ReadStts();
  int32_t ReadStsz();
  int32_t ReadStss();
  int32_t ReadStsc();
  int32_t ReadElst();
  int32_t SetVideoMediaHeader(int32_t Node);
  int32_t SetSoundMediaHeader(int32_t Node);
  // Forgets the tree, the tracks and every list the scan and slice detection filled.
  void ClearAnalysis();

  // Scans Length bytes of media data from Start for NAL-unit candidates and zero runs.
  // 0 when scanned, -1 without an atom stream or when cancelled.
  int32_t ScanMediaData(int32_t MediaNode, uint64_t Length, uint64_t Start);

  // Slice detection over the candidates; MediaNode is the media-data node or -1.
  void FindSlices(int32_t MediaNode, bool AllowSingleFrame);
  void BuildRuns();
  void GatherStatistics();
  bool FindSingleFrameInterleave();
  // Arbitrates between overlapping slices i (earlier) and j: 1 drop i, 2 drop j, 3 cut
  // i's tail, 4 cut j's head.
  int32_t ResolveOverlap(int32_t I, int32_t J);
  void ComputeSliceExtents(int32_t MediaNode);
  // Index 1..510 of the heaviest window of three bins; ties keep the earlier one.
  static int32_t HistogramPeak(const std::vector<int32_t>& H);

  int32_t TrackCount() const { return int32_t(Traks.size()); }
  // Start of a node's box (its header) and its end.
  int64_t NodeStart(int32_t Node) const;
  int64_t NodeEnd(int32_t Node) const;
  int32_t NodeLevel(int32_t Node) const { return int32_t(ListType(Node)); }

  // The stream the atom stream reads from, or null when the file could not be opened.
  TStream64* Source() const { return Atoms ? Atoms->Stream : nullptr; }

  TMp4_stco_table32 Stco32; // scratch for 32-bit chunk offsets, grown, never shrunk
  TMp4_ftyp Ftyp;
  TMp4_mvhd Mvhd;
  TMp4Traks Traks;

  // Scan results and slice detection.
  TMDATChunks MDATChunks{512};
  TNullBlocks NullBlocks{512};
  TMDATSlices MDATSlices;
  std::unique_ptr<THgBlocksOfOffset> BlocksOfOffset;
  // Where the media data begins in this file, and where the writer put it in the copy.
  int64_t MediaDataStart = 0;
  int64_t MediaDataNewOffset = 0;
  int32_t MediaDataNode = -1;
  uint64_t FileSize = 0;

  // Statistics learnt from the file by slice detection.
  uint8_t AudioMarker = 255; // most frequent top seven bits of the byte after a unit
  uint32_t TypicalNALSize[5] = {}; // NAL types 1..5
  uint32_t TypicalCandidateSize = 0;
  uint32_t TypicalGap = 0;
  uint32_t TypicalVCLCount = 0;
  uint8_t SingleFrameInterleave = 0;
  std::vector<int32_t> Histogram;
  std::vector<int32_t> WorkList;

private:
  std::unique_ptr<THgBufferedFileStreamW> FileStream;
  std::unique_ptr<THgMp4Stream> OwnedAtoms;
  THgMp4Stream* Atoms = nullptr;
  std::vector<uint8_t> ScanBuffer;

  // Helpers of the walk and the table readers.
  // The steps of Analyze. WalkBoxes answers false when a quick analysis met damage and
  // must end at once.
  bool WalkBoxes(uint8_t Mode);
  void ScanFromBox(uint8_t Mode, int32_t BoxNode, int64_t DataPos, int64_t HeaderLength);
  void JudgeTree(uint8_t Mode);
  void RebuildHierarchy();
  void ReadTables();
  bool LastTrackHolds(TFourCC Type) const;
  // Makes Node the atom stream's only open box, ending where the node ends.
  void EnterNode(int32_t Node);

  // Helpers of the scanner.
  // For each candidate, the index of the candidate that begins exactly where it ends, as
  // the scan saw it: -1 none, -2 unknown (the end lay outside the scanned bytes). Runs are
  // chains of successors; slice detection takes them from here instead of searching
  // millions of positions again, as long as SuccessorsFingerprint shows that the list is
  // still the one the scan (or a compaction) left.
  std::vector<int32_t> ChunkSuccessors;
  uint64_t SuccessorsFingerprint = 0;
  uint64_t CandidateFingerprint() const;

  // Helpers of slice detection.
  // Removes the rejected candidates and keeps the scan's successor record in step.
  void CompactCandidates();

  // Helpers of the dumps.
};

} // namespace clw
