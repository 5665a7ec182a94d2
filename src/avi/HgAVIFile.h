#pragma once
// The reader of one AVI file. It is itself the chunk tree of the file: the analysis walks
// the RIFF structure through the chunk stream, records every chunk it meets as a node with
// the marks of AviFormat.h, and the writer copies the chunks left good. Opening and the
// header list live in AviReader.cpp, the walk in AviAnalysis.cpp, the text dump in
// AviDump.cpp and the codec names in CodecNames.cpp.
#include "avi/AviFormat.h"
#include "container/HgFileBase.h"
#include "container/HgRIFFStream.h"
#include "streams/BufferedFileStream.h"
#include "streams/BufferedWriteStream.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace clw {

class THgAVIFileReader : public THgFileReader {
public:
  // Opens FileName for reading. Never raises for a file that is missing, unreadable or
  // not RIFF: OpenError tells (kNotFound, kCannotOpen, kCannotReadSignature, kBadSignature
  // or kOpened).
  explicit THgAVIFileReader(const std::string& FileName);
  // Works on a chunk stream it does not own, from wherever that stream stands; the
  // analysis uses such a reader to hold a rebuilt tree.
  explicit THgAVIFileReader(THGRIFFStream& Stream);
  ~THgAVIFileReader() override;
  THgAVIFileReader(const THgAVIFileReader&) = delete;
  THgAVIFileReader& operator=(const THgAVIFileReader&) = delete;

  int32_t Analyze(uint8_t Mode) override;
  // Writes the chunk tree as text; a file that cannot be created is skipped silently.
  void DumpInfo(const std::string& FileName) override;
  // The dump with its outcome: 0 written, -1 the file could not be created.
  int32_t WriteDump(const std::string& FileName);
  bool DescribeVideo(TVideoDescription& Out) override;

  // Takes FileSize from the source stream and sets OpenError by the first four bytes.
  // The lent stream's position is left where it was.
  void CheckSignature();
  // Parses "avih" and every "strl" of the tree's header list into MainHeader,
  // VideoHeader, VideoCompression, CodecFamily and AudioStreamCount. Needs the nodes of
  // "RIFF"/"hdrl" and their children in the tree; does nothing once HeadersRead is set.
  void ReadHeaders();
  // Forgets the tree and everything an analysis derived from it.
  void ClearAnalysis();
  // File position of a node's header: id and size (and the list type of a list) precede
  // its data.
  int64_t GetChunkStart(int32_t Node) const;

  // Reads the first bytes of a node's data into Buffer, at most Capacity, never past the
  // chunk's stored size or the end of the file. Returns the count read.
  int64_t ReadChunkPrefix(int32_t Node, uint8_t* Buffer, int64_t Capacity);
  // The stream the chunk stream reads from, or null when the file could not be opened.
  TStream64* Source() const { return RiffStream ? RiffStream->Stream : nullptr; }

  int64_t FileSize = 0;
  TAviMainHeader MainHeader;
  TAviStreamHeader VideoHeader; // of the last "vids" stream
  // Compression code of the video stream's "strf"; decides the codec family when the
  // handler names nothing known.
  TFourCC VideoCompression = 0;
  bool IsOpenDML = false;
  uint8_t CodecFamily = kFamilyAllKey;
  bool HeadersRead = false;
  // Declared before OwnRiffStream so that the chunk stream goes first on destruction.
  std::unique_ptr<THgBufferedFileStreamW> OwnFileStream;
  std::unique_ptr<THGRIFFStream> OwnRiffStream;
  THGRIFFStream* RiffStream = nullptr; // OwnRiffStream or a lent stream
  std::vector<uint8_t> FrameBuffer;    // read buffer of the key-frame test
  std::vector<uint8_t> SectorBuffer;   // read buffer of the lost-sector test
  TMoviStreams MoviStreams;
  int32_t MoviStreamCount = 0;
  // By stream number: the stream is compressed, so a sector of zeros in its data is damage.
  std::vector<bool> ZeroRunsAreDamage;
  int32_t AudioStreamCount = 0;

  // How the copy keeps the place of a chunk of a stream that damage took with its header.
  enum : uint8_t {
    kPlaceNone = 0,        // left out: compressed sound with no silence we can write
    kPlaceEmpty = 1,       // an empty chunk (video)
    kPlaceSilence = 2,     // the index's size of the stream's fill byte (PCM)
    kPlaceMpegSilence = 3, // a silent MPEG audio frame of the index's size (MP3, MP2)
  };
  struct TLostChunkPlace {
    uint8_t Kind = kPlaceNone;
    uint8_t Fill = 0;
    // The first four bytes of a frame of the stream, for kPlaceMpegSilence; 0 when none.
    uint32_t FrameHeader = 0;
  };
  std::vector<TLostChunkPlace> LostChunkPlaces; // by stream number
  // A chunk an intact index lists where the walk found no header: its place in the copy, or
  // (Whole) the chunk itself when only its id was hit and its size field still agrees.
  struct TLostChunk {
    int64_t Header = 0; // file position of the chunk's header
    TFourCC Id = 0;
    int64_t Size = 0;
    bool Whole = false;
  };
  std::vector<TLostChunk> LostChunks; // by position, none overlapping

  // The key-frame test of one video chunk, by the codec family's bitstream rule.
  bool IsKeyFrame(int64_t Position, int64_t Size);
  // Checks of one RIFF segment after the rebuild: which movie chunks are kept, and index
  // entries the scan took for chunks.
  void CheckMovi(int32_t Movi);
  void CheckAfterIndex(int32_t Index);

private:
  bool IsGood(int32_t Node) const;
  void Mark(int32_t Node, int32_t Bits);
  int32_t LastTopLevelNode() const;
  // The indexes ("idx1" and the OpenDML standard indexes) as witnesses of the movie data:
  // sizes and ids of chunks whose headers were hit, and LostChunks.
  void WitnessIndexes();
  void RestoreChunksThatFit();
  void ExcludeOutOfOrder();
  void ExcludeOverlapping();
  void RebuildTree();
  void JudgeSegments(uint8_t Mode);
  void CheckIndexes();
  void CollectStreams(int32_t Movi, TMoviStreams& Streams) const;
  void CompactMoviStreams();

  // Count bytes of the file from Position, or fewer where it ends: from the read window
  // when it holds them all, else read into Into. Got is how many; null when none.
  const uint8_t* BytesAt(int64_t Position, int64_t Count, std::vector<uint8_t>& Into, int64_t& Got);
  // Whether a chunk's data holds a 512-byte sector of the file that is all zeros.
  bool HasZeroedSector(int32_t Node);
  // The same test while the walk passes a chunk of a compressed stream, kept in its flags.
  void SeeSectorsInPassing(int32_t Node);
  // Whether the stream a chunk id names is compressed, so a sector of zeros in it is damage.
  bool ZeroRunsAreDamageIn(TFourCC Id) const;
  // Whether a chunk of a compressed stream ends in zeros: a lost header's damage began in it.
  bool EndsInLostZeros(int32_t Node);
  // The place flag (cfEmptyFrame, cfSilence or 0) the copy keeps for a lost chunk.
  int32_t PlaceOf(TFourCC Id, int64_t Size) const;
};

// Writes the repaired copy of an analysed AVI file: every chunk the analysis left good, in
// the rebuilt tree's order and nesting, with fresh indexes in place of the old ones. The
// legacy "idx1" follows the first segment's movie data; an OpenDML file also gets one
// standard index per stream at the end of every segment's movie data and the streams'
// super indexes, which point at those, filled in once the whole file is written.
class THgAVIFileWriter : public THgFileWriter {
public:
  // Write's result when the output could not be written in full; the copy is not usable.
  static constexpr int32_t kWriteFailed = -3;
  // Write's result when nothing of the movie data survived: there is no copy to keep.
  static constexpr int32_t kNothingRecovered = -4;

  // Creates (truncating) the output; exceptions of the file streams pass to the caller.
  THgAVIFileWriter(THgAVIFileReader& Reader, const std::string& FileName);
  // Writes into Output (not owned) from its current position.
  THgAVIFileWriter(THgAVIFileReader& Reader, TStream64& Output);
  ~THgAVIFileWriter() override;
  THgAVIFileWriter(const THgAVIFileWriter&) = delete;
  THgAVIFileWriter& operator=(const THgAVIFileWriter&) = delete;

  // Returns kDone, kCancelled, kWriteFailed or kNothingRecovered. Records NewOffset on
  // every node it writes and adds a node per standard index to the reader's tree.
  int32_t Write() override;

  THgAVIFileReader& Reader; // the analysed source; outlives the writer
  // Declared before OwnRiffStream so that the chunk stream goes first on destruction.
  std::unique_ptr<TFileStreamW> FileStream;
  // Collects the output's many small writes and size patches into large writes.
  std::unique_ptr<TBufferedWriteStream> Output;
  std::unique_ptr<THGRIFFStream> OwnRiffStream;
  THGRIFFStream* RiffStream = nullptr;
  bool DropJunk = true;             // padding chunks of the input are not copied
  std::vector<uint8_t> CopyBuffer;  // chunk data in transit; zeros for placeholders
  std::vector<uint8_t> IndexBuffer; // "idx1" entries collected before a block write
  // Movie lists that will be written; the number of entries of every super index.
  int32_t SegmentCount = 0;

private:
  bool IsGood(int32_t Node) const;
  int32_t CountSegments() const;
  int64_t OutputPosition() const;
  // Copies what the input holds of a chunk's data; false only when the output fails.
  bool CopyData(int64_t Offset, int64_t Size, int64_t& Copied);
  bool WriteSilence(int32_t Node);
  bool WriteSuperIndexPlaceholder(int32_t StreamNumber);
  bool LeaveList(int32_t List, bool& LegacyIndexWritten, bool FirstSegment);
  bool WriteStdIndex(int32_t Movi, TFourCC Id);
  bool WriteSuperIndex(TFourCC Id, int64_t Position);
  bool WriteLegacyIndex(int32_t Movi);
  bool WriteHeaderCounts();
  void ReportProgress(int64_t& LastReported, int64_t Hundredth);
};

// The header of a silent MPEG audio frame (layer II or III) of exactly Size bytes, in the
// version, sample rate and channel mode of Template (a frame header of the same stream,
// first byte highest): the bit rate and padding that give that size, no checksum. 0 when
// Template is no such header or no bit rate gives Size. Zeros after it decode as silence.
uint32_t MpegSilenceHeader(uint32_t Template, int64_t Size);

// How key frames of a video stream are recognised. The handler decides, whatever its
// letter case; a handler that is empty or names no known codec leaves it to the
// "strf" compression code (0 when there is none).
uint8_t CodecFamilyOf(TFourCC Handler, TFourCC Compression);

// A readable name for the video codec of an analysed reader, or "" when the handler is
// not one of the MPEG-4 codecs whose key frames the analysis understands.
std::string GetCodecName(const THgAVIFileReader& Reader);

// The four bytes of Code in file order, in double quotes when one of them is a space.
std::string FourCCText(TFourCC Code);

} // namespace clw
