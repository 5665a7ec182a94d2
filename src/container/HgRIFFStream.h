#pragma once
// Walks and writes the RIFF chunk structure of AVI files on top of a 64-bit stream.
// Reading is a descend/ascend pair built for damaged files: it knows which chunk ids can
// occur where in an AVI file, and once a header is implausible or a chunk overruns its
// list it stops trusting sizes and finds every further header by scanning the bytes one
// offset at a time. Writing creates chunks and lists, pads odd data and patches sizes on close.
// Chunk sizes in the file are 32-bit little-endian; every position and size here is 64-bit.
#include "streams/FourCC.h"
#include "streams/Stream64.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace clw {

// One open chunk: DataPosition is the first byte after the header (after the list type of
// a "RIFF" or "LIST"), Size the data size without the list type.
struct TRIFFChunkEntry {
  TFourCC Id = 0;
  TFourCC ListType = 0;
  int64_t DataPosition = 0;
  int64_t Size = 0;
};

class THGRIFFStream {
public:
  // ChunkId after ascending out of the outermost chunk.
  static constexpr TFourCC kNoChunk = 0xFFFFFFFFu;

  explicit THGRIFFStream(TStream64& stream);

  void Reset();
  int64_t Seek(int64_t offset, uint16_t origin);

  // Reads the next chunk header and enters the chunk; false at the end of what can be read.
  bool Descend();
  // Leaves the current chunk; returns the position sought to, or -1 when no seek was made.
  int64_t Ascend();

  // Whether an id can start a chunk at the current place; both may change ContextList.
  bool IsPlausibleChunkId(TFourCC id);
  bool IsKnownList(TFourCC id, TFourCC listType);
  // Finds the next plausible header from the current position; returns its position, or -1
  // when the stream ends first. The stream is left after the header.
  int64_t ScanForChunk();

  // A whole chunk; Size 0 writes a header to be patched by CloseChunk. Raises ERangeError
  // when the size field cannot hold Size. Returns Size, the header length for Size 0, or a
  // negative value when a write fails.
  int64_t WriteChunk(TFourCC id, TFourCC listType, int64_t size, const void* data);
  int64_t CreateChunk(TFourCC id, TFourCC listType);
  int64_t WriteData(const void* buffer, int64_t count);
  // Closes the innermost created chunk at the end of the stream; returns that end position.
  int64_t CloseChunk();

  int64_t FileSize = 0;
  TFourCC ContextList = 0; // "movi", "idx1" or 0: which rules apply to the ids read
  TFourCC ChunkId = 0;
  int64_t ChunkSize = 0;
  TFourCC ListType = 0;
  bool ChunkExhausted = false;
  bool AtEndOfFile = false;
  bool HasChunk = false;
  bool Writing = false;
  uint32_t Depth = 0;
  std::vector<TRIFFChunkEntry> ChunkStack; // entries [0, Depth) are open, outermost first
  bool Resync = false;
  int64_t DataPosition = 0;
  int64_t StreamCount = 0; // stream headers seen; bounds the stream numbers in chunk ids
  TStream64* Stream = nullptr;
  int64_t ListEnd = 0;
  int64_t ScanPosition = 0;
  // Called about every megabyte a scan passes over, with the position reached; a false
  // answer stops the scan as if the stream had ended there.
  std::function<bool(int64_t Position)> KeepScanning;

private:
  static constexpr int64_t kScanBlock = 0x10000;
  // As long as a buffered file stream's window: read past it, straight into the block.
  static constexpr int64_t kLongScanBlock = 0x40000;
  static constexpr int64_t kScanPollBytes = 0x100000;

  bool PlausibleAt(TFourCC id, int64_t position);
  bool IsStreamDataId(TFourCC id) const;
  bool IsStreamIndexId(TFourCC id) const;
  bool ReadExact(uint8_t* buffer, int64_t count, int64_t& position);
  int64_t WriteExact(const void* buffer, int64_t count);
  void Push(TFourCC id, TFourCC listType, int64_t dataPosition, int64_t size);

  std::vector<uint8_t> FScanBlock;
  // Where the header after the last one the scan found should start, and where that one
  // started.
  int64_t FExpectedHeader = -1;
  int64_t FLastFound = -1;
};

} // namespace clw
