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
//   Mp4ChunkCheck.cpp       the tables checked against the media data they point into
//   Mp4Dump.cpp             the text dump (DumpInfo)
//   Mp4DebugDump.cpp        the diagnostic tag-stream dump
// The scan of the media data and slice detection are supplied by the repair code through
// TMp4MediaDataAnalysis (Mp4MediaData.h); without one the analysis walks and reads tables
// but finds no slices.
//
// Node flags of the chunk tree (Flags of each node):
//   nfLargeHeader  the box has a 16-byte header (start = data position - 16, else - 8)
//   nfEncloses     the node encloses later nodes (while the hierarchy is rebuilt)
//   nfMediaData    media-data region: an "mdat" found or made by a tolerant walk, or a box
//                  taken from a scan of damaged data
//   nfDropped      the node lies inside a media-data region or is out of order
// The level of a node (its depth in the box hierarchy, 0 at the top) is kept in ListType.
#include "container/HgFileBase.h"
#include "mp4/HgMp4Stream.h"
#include "mp4/Mp4ChunkCheck.h"
#include "mp4/Mp4Format.h"
#include "mp4/Mp4MediaData.h"
#include "streams/BufferedFileStream.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace clw {

enum : int32_t { nfLargeHeader = 1, nfEncloses = 2, nfMediaData = 4, nfDropped = 8 };

struct TZeroStretch {
  int64_t Header = -1;
  int64_t Resume = 0;
  int64_t End = 0; // the first non-zero byte after the header, or the end of the file
  int64_t FileSize = -1;
};

class THgMP4FileReader : public THgFileReader {
public:
  // Opens FileName for reading; OpenError is kNotFound when it does not exist and
  // kCannotOpen when it cannot be opened. Never raises for either. Analysis (not owned, may
  // be null) scans the media data and finds the slices in it.
  THgMP4FileReader(const std::string& FileName, const TMp4MediaDataAnalysis* Analysis);
  // Works on an atom stream it does not own (tests, and trees built beside the reader's).
  THgMP4FileReader(THgMp4Stream& Stream, const TMp4MediaDataAnalysis* Analysis);
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
  // 0 when scanned (or without a media-data analysis), -1 without an atom stream or when
  // cancelled.
  int32_t ScanMediaData(int32_t MediaNode, uint64_t Length, uint64_t Start);
  // Slice detection over the candidates; MediaNode is the media-data node or -1.
  void FindSlices(int32_t MediaNode, bool AllowSingleFrame);

  int32_t TrackCount() const { return int32_t(Traks.size()); }
  // Start of a node's box (its header) and its end.
  int64_t NodeStart(int32_t Node) const;
  int64_t NodeEnd(int32_t Node) const;
  int32_t NodeLevel(int32_t Node) const { return int32_t(ListType(Node)); }

  // The stream the atom stream reads from, or null when the file could not be opened.
  TStream64* Source() const { return Atoms ? Atoms->Stream : nullptr; }
  // True once the walk met damage and took to searching for boxes in the bytes.
  bool InScanMode() const { return Atoms && Atoms->ScanMode; }
  const TMp4MediaDataAnalysis* MediaAnalysis() const { return Analysis; }

  TMp4_stco_table32 Stco32; // scratch for 32-bit chunk offsets, grown, never shrunk
  TMp4_ftyp Ftyp;
  TMp4_mvhd Mvhd;
  TMp4Traks Traks;

  uint64_t FileSize = 0;
  // The last long stretch of zeros the walk measured after a header of zeros: where that
  // header was, where the search for the next header resumes, where the zeros end, and
  // the file's size then. The scan of the media data passes over it without reading it.
  TZeroStretch KnownZeroStretch;
  // What the scan found in the media data, the video slices slice detection made of it,
  // and what slice detection learnt of the file on the way.
  TMp4ScanResults Scan;
  TMDATSlices MDATSlices;
  TSliceStatistics SliceStatistics;
  // The chunk tables checked against the media data (full checks of a file with tracks).
  TTableCheck TableCheck;
  // The decoder library AAC chunks are judged with; null: the process's binding.
  const TAacLibrary* AacDecoderLibrary = nullptr;
  // The movie box could not be walked whole: a top-level header had to be searched for, so
  // whatever box that header opened is lost, and what was read of it is only a part.
  bool MovieIncomplete = false;

private:
  std::unique_ptr<THgBufferedFileStreamW> FileStream;
  std::unique_ptr<THgMp4Stream> OwnedAtoms;
  THgMp4Stream* Atoms = nullptr;
  const TMp4MediaDataAnalysis* Analysis = nullptr;

  // Helpers of the walk and the table readers.
  // One check of the file; Analyze runs it again when slice detection asks for another
  // scan.
  int32_t AnalyzeOnce(uint8_t Mode);
  // The steps of Analyze. WalkBoxes answers false when a quick analysis met damage and
  // must end at once.
  bool WalkBoxes(uint8_t Mode);
  void ScanFromBox(uint8_t Mode, int32_t BoxNode, int64_t DataPos, int64_t HeaderLength);
  void JudgeTree(uint8_t Mode);
  void RebuildHierarchy();
  void ReadTables();
  bool LastTrackHolds(TFourCC Type) const;
  // The tracks whose "trak" or "tkhd" headers the walk kept, lost or not since.
  size_t TrackHeadersFound() const;
  // Makes Node the atom stream's only open box, ending where the node ends.
  void EnterNode(int32_t Node);
};

} // namespace clw
