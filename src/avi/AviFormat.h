#pragma once
// Constants and record layouts of AVI files, shared by the reader, the analysis, the
// writer and the dump. Records are plain host-order structs; bytes from a file are turned
// into them by Parse and back by Serialize, one field at a time, so no layout or byte
// order of the compiler ever meets the file.
#include "container/RiffFourCC.h"
#include "streams/Endian.h"
#include "streams/FourCC.h"

#include <array>
#include <cstdint>
#include <vector>

namespace clw {

// Marks the AVI reader leaves on the nodes of its chunk tree.
enum : int32_t {
  cfDamaged = 4,   // size or position disagrees with the chunks around it
  cfExcluded = 8,  // not copied into the repaired file
  cfKeyFrame = 16, // a frame the decoder can start from; audio chunks always are
  // A header found inside the data of a chunk that turned out whole: frame bytes that
  // looked like a header, not a chunk (always excluded).
  cfFalseChunk = 32,
  // A video frame lost to damage or dropped with the rest of its group of pictures: the
  // copy holds an empty chunk in its place, which players show as the picture before, so
  // the frames after it keep their time and stay in step with the sound.
  cfEmptyFrame = 64,
  // A place the copy keeps for a chunk an intact index lists but damage took together with
  // its header: an empty chunk (cfEmptyFrame) or silence (cfSilence) of the index's size.
  cfLostChunk = 128,
  // Sound lost with its header: the copy holds silence of the chunk's size in its place, so
  // the sound after it keeps its time.
  cfSilence = 256,
  // An intact index lists the chunk with this position, id and size.
  cfIndexed = 512,
  // The lost-sector test of a compressed stream ran while the walk passed the chunk's bytes
  // (cfSectorsSeen), and found a sector of zeros (cfZeroedSector); a chunk whose position,
  // size or id changes after the walk loses both and is tested again.
  cfSectorsSeen = 1024,
  cfZeroedSector = 2048,
};
inline constexpr int32_t kNotGoodFlags = cfDamaged | cfExcluded;
inline bool IsGoodChunk(int32_t Flags) {
  return (Flags & kNotGoodFlags) == 0;
}
// Whether the copy holds a chunk for the node: its data, or an empty frame or silence in its
// place.
inline bool IsWrittenChunk(int32_t Flags) {
  return IsGoodChunk(Flags) || (Flags & (cfEmptyFrame | cfSilence)) != 0;
}

// Stream types in "strh".
inline constexpr TFourCC kvids = MakeFourCC("vids");
inline constexpr TFourCC kauds = MakeFourCC("auds");

// "strf" of a video stream is a BITMAPINFOHEADER; its compression code sits after the
// size, width, height, planes and bit count.
inline constexpr int64_t kBitmapCompressionOffset = 16;

// Whether a stream's data can hold long runs of zero bytes as content: PCM and float
// sound (silence), A-law and mu-law, the extensible format (PCM in all the files we meet),
// and uncompressed video (black pictures); an unknown format is not judged. Compressed
// frames never hold 512 zero bytes in a row, so in them such a run is a sector the card
// lost.
inline bool IsUncompressedAudio(uint16_t FormatTag) {
  return FormatTag == 0x0000 || FormatTag == 0x0001 || FormatTag == 0x0003 || FormatTag == 0x0006 ||
         FormatTag == 0x0007 || FormatTag == 0xFFFE;
}
bool IsUncompressedVideo(TFourCC Handler, TFourCC Compression);

// What silence is in a PCM-like format: the byte that fills it, or -1 when the format has
// no silence of its own (compressed sound). 8-bit PCM is unsigned around 0x80; A-law and
// mu-law code their zero level as 0xD5 and 0xFF.
inline int32_t SilenceByteOf(uint16_t FormatTag, uint16_t BitsPerSample) {
  if (FormatTag == 0x0006) return 0xD5;
  if (FormatTag == 0x0007) return 0xFF;
  if (!IsUncompressedAudio(FormatTag)) return -1;
  return BitsPerSample == 8 ? 0x80 : 0x00;
}

// How key frames of the video stream are recognised.
enum : uint8_t {
  kFamilyMsMpeg4 = 0, // MS-MPEG-4 variants: bit 0x40 of the first byte marks a P-frame
  kFamilyMpeg4 = 1,   // MPEG-4 Part 2: the first VOP header gives the coding type
  kFamilyAllKey = 2,  // anything else is copied as if every frame were a key frame
};

// "avih": fourteen 32-bit values.
struct TAviMainHeader {
  static constexpr int64_t kSize = 56;

  uint32_t MicroSecPerFrame = 0;
  uint32_t MaxBytesPerSec = 0;
  uint32_t PaddingGranularity = 0;
  uint32_t Flags = 0;
  uint32_t TotalFrames = 0; // of the first RIFF segment only in OpenDML files
  uint32_t InitialFrames = 0;
  uint32_t Streams = 0;
  uint32_t SuggestedBufferSize = 0;
  uint32_t Width = 0;
  uint32_t Height = 0;
  std::array<uint32_t, 4> Reserved{};

  static TAviMainHeader Parse(const uint8_t* p) {
    TAviMainHeader h;
    h.MicroSecPerFrame = ReadLE32(p);
    h.MaxBytesPerSec = ReadLE32(p + 4);
    h.PaddingGranularity = ReadLE32(p + 8);
    h.Flags = ReadLE32(p + 12);
    h.TotalFrames = ReadLE32(p + 16);
    h.InitialFrames = ReadLE32(p + 20);
    h.Streams = ReadLE32(p + 24);
    h.SuggestedBufferSize = ReadLE32(p + 28);
    h.Width = ReadLE32(p + 32);
    h.Height = ReadLE32(p + 36);
    for (size_t i = 0; i < 4; ++i)
      h.Reserved[i] = ReadLE32(p + 40 + 4 * i);
    return h;
  }
  void Serialize(uint8_t* p) const {
    WriteLE32(p, MicroSecPerFrame);
    WriteLE32(p + 4, MaxBytesPerSec);
    WriteLE32(p + 8, PaddingGranularity);
    WriteLE32(p + 12, Flags);
    WriteLE32(p + 16, TotalFrames);
    WriteLE32(p + 20, InitialFrames);
    WriteLE32(p + 24, Streams);
    WriteLE32(p + 28, SuggestedBufferSize);
    WriteLE32(p + 32, Width);
    WriteLE32(p + 36, Height);
    for (size_t i = 0; i < 4; ++i)
      WriteLE32(p + 40 + 4 * i, Reserved[i]);
  }
};

// "strh", taken as 64 bytes. Most muxers store the frame rectangle as four 16-bit values
// and the chunk as 56 bytes; then only the first 8 rectangle bytes come from the file.
struct TAviStreamHeader {
  static constexpr int64_t kSize = 64;

  TFourCC Type = 0;    // "vids", "auds", "txts", ...
  TFourCC Handler = 0; // codec FourCC for video; often 0 or garbage for audio
  uint32_t Flags = 0;
  uint16_t Priority = 0;
  uint16_t Language = 0;
  uint32_t InitialFrames = 0;
  uint32_t Scale = 0; // Rate / Scale is the frame rate of a video stream
  uint32_t Rate = 0;
  uint32_t Start = 0;
  uint32_t Length = 0;
  uint32_t SuggestedBufferSize = 0;
  uint32_t Quality = 0;
  uint32_t SampleSize = 0;
  std::array<uint8_t, 16> Frame{}; // as stored

  static TAviStreamHeader Parse(const uint8_t* p) {
    TAviStreamHeader h;
    h.Type = ReadLE32(p);
    h.Handler = ReadLE32(p + 4);
    h.Flags = ReadLE32(p + 8);
    h.Priority = ReadLE16(p + 12);
    h.Language = ReadLE16(p + 14);
    h.InitialFrames = ReadLE32(p + 16);
    h.Scale = ReadLE32(p + 20);
    h.Rate = ReadLE32(p + 24);
    h.Start = ReadLE32(p + 28);
    h.Length = ReadLE32(p + 32);
    h.SuggestedBufferSize = ReadLE32(p + 36);
    h.Quality = ReadLE32(p + 40);
    h.SampleSize = ReadLE32(p + 44);
    for (size_t i = 0; i < 16; ++i)
      h.Frame[i] = p[48 + i];
    return h;
  }
  void Serialize(uint8_t* p) const {
    WriteLE32(p, Type);
    WriteLE32(p + 4, Handler);
    WriteLE32(p + 8, Flags);
    WriteLE16(p + 12, Priority);
    WriteLE16(p + 14, Language);
    WriteLE32(p + 16, InitialFrames);
    WriteLE32(p + 20, Scale);
    WriteLE32(p + 24, Rate);
    WriteLE32(p + 28, Start);
    WriteLE32(p + 32, Length);
    WriteLE32(p + 36, SuggestedBufferSize);
    WriteLE32(p + 40, Quality);
    WriteLE32(p + 44, SampleSize);
    for (size_t i = 0; i < 16; ++i)
      p[48 + i] = Frame[i];
  }
};

// One entry of the legacy "idx1" index. Offset counts from the "movi" FourCC of the list
// that holds the chunk, so the first chunk of the list has offset 4.
struct TAviIndexEntry {
  static constexpr int64_t kSize = 16;
  static constexpr uint32_t kKeyFrame = 0x10;
  // Set on palette-change chunks; they are not frames, and players must not seek to them.
  static constexpr uint32_t kPaletteChange = 0x10000;

  TFourCC ChunkId = 0;
  uint32_t Flags = 0;
  uint32_t Offset = 0;
  uint32_t Length = 0; // data size without header and pad byte

  static TAviIndexEntry Parse(const uint8_t* p) {
    return {ReadLE32(p), ReadLE32(p + 4), ReadLE32(p + 8), ReadLE32(p + 12)};
  }
  void Serialize(uint8_t* p) const {
    WriteLE32(p, ChunkId);
    WriteLE32(p + 4, Flags);
    WriteLE32(p + 8, Offset);
    WriteLE32(p + 12, Length);
  }
};

// OpenDML index types.
enum : uint8_t { kIndexOfIndexes = 0, kIndexOfChunks = 1 };

// Header of a standard index chunk ("ix00"), chunk id and size included.
struct TAviStdIndexHeader {
  static constexpr int64_t kSize = kStdIndexHeaderSize;

  TFourCC ChunkId = 0;
  uint32_t ChunkSize = 0; // 24 + 8 x entries
  uint16_t LongsPerEntry = 2;
  uint8_t IndexSubType = 0;
  uint8_t IndexType = kIndexOfChunks;
  uint32_t EntriesInUse = 0;
  TFourCC DataChunkId = 0;
  uint64_t BaseOffset = 0; // data position of the stream's first chunk in this "movi"
  uint32_t Reserved = 0;

  static TAviStdIndexHeader Parse(const uint8_t* p) {
    TAviStdIndexHeader h;
    h.ChunkId = ReadLE32(p);
    h.ChunkSize = ReadLE32(p + 4);
    h.LongsPerEntry = ReadLE16(p + 8);
    h.IndexSubType = p[10];
    h.IndexType = p[11];
    h.EntriesInUse = ReadLE32(p + 12);
    h.DataChunkId = ReadLE32(p + 16);
    h.BaseOffset = ReadLE64(p + 20);
    h.Reserved = ReadLE32(p + 28);
    return h;
  }
  void Serialize(uint8_t* p) const {
    WriteLE32(p, ChunkId);
    WriteLE32(p + 4, ChunkSize);
    WriteLE16(p + 8, LongsPerEntry);
    p[10] = IndexSubType;
    p[11] = IndexType;
    WriteLE32(p + 12, EntriesInUse);
    WriteLE32(p + 16, DataChunkId);
    WriteLE64(p + 20, BaseOffset);
    WriteLE32(p + 28, Reserved);
  }
};

// Entry of a standard index: where a chunk's data lies relative to the base offset.
struct TAVISTDINDEX {
  static constexpr int64_t kSize = 8;
  // Set in Size when the chunk is not a key frame.
  static constexpr uint32_t kNotKeyFrame = 0x80000000u;

  uint32_t Offset = 0;
  uint32_t Size = 0;

  static TAVISTDINDEX Parse(const uint8_t* p) { return {ReadLE32(p), ReadLE32(p + 4)}; }
  void Serialize(uint8_t* p) const {
    WriteLE32(p, Offset);
    WriteLE32(p + 4, Size);
  }
};

// Header of a super index chunk ("indx" in a stream's "strl"), chunk id and size included.
struct TAviSuperIndexHeader {
  static constexpr int64_t kSize = 32;

  TFourCC ChunkId = 0;
  uint32_t ChunkSize = 0; // 24 + 16 x segments
  uint16_t LongsPerEntry = 4;
  uint8_t IndexSubType = 0;
  uint8_t IndexType = kIndexOfIndexes;
  uint32_t EntriesInUse = 0;
  TFourCC DataChunkId = 0;
  std::array<uint32_t, 3> Reserved{};

  static TAviSuperIndexHeader Parse(const uint8_t* p) {
    TAviSuperIndexHeader h;
    h.ChunkId = ReadLE32(p);
    h.ChunkSize = ReadLE32(p + 4);
    h.LongsPerEntry = ReadLE16(p + 8);
    h.IndexSubType = p[10];
    h.IndexType = p[11];
    h.EntriesInUse = ReadLE32(p + 12);
    h.DataChunkId = ReadLE32(p + 16);
    for (size_t i = 0; i < 3; ++i)
      h.Reserved[i] = ReadLE32(p + 20 + 4 * i);
    return h;
  }
  void Serialize(uint8_t* p) const {
    WriteLE32(p, ChunkId);
    WriteLE32(p + 4, ChunkSize);
    WriteLE16(p + 8, LongsPerEntry);
    p[10] = IndexSubType;
    p[11] = IndexType;
    WriteLE32(p + 12, EntriesInUse);
    WriteLE32(p + 16, DataChunkId);
    for (size_t i = 0; i < 3; ++i)
      WriteLE32(p + 20 + 4 * i, Reserved[i]);
  }
};

// Entry of a super index: one per RIFF segment, pointing at its standard index chunk.
struct TAVISUPERINDEX {
  static constexpr int64_t kSize = 16;

  uint64_t Offset = 0;   // file position of the standard index chunk's header
  uint32_t Size = 0;     // that chunk's data size + 8
  uint32_t Duration = 0; // its number of entries

  // The standard index of Size bytes (header included) holds this many 8-byte entries.
  static uint32_t DurationOf(uint32_t Size) {
    return Size <= uint32_t(kStdIndexHeaderSize) ? 0 : (Size - uint32_t(kStdIndexHeaderSize)) / 8;
  }
  static TAVISUPERINDEX Parse(const uint8_t* p) {
    return {ReadLE64(p), ReadLE32(p + 8), ReadLE32(p + 12)};
  }
  void Serialize(uint8_t* p) const {
    WriteLE64(p, Offset);
    WriteLE32(p + 8, Size);
    WriteLE32(p + 12, Duration);
  }
};

// A stream that has data chunks in the movie data, as the writer indexes it.
struct TMoviStream {
  TFourCC DataChunkId = 0;   // "00dc", "01wb", ...; 0 = empty record
  int64_t IndexPosition = 0; // output position of the stream's "indx" header; 0 = none
};
using TMoviStreams = std::vector<TMoviStream>;
// Stream numbers are two decimal digits.
inline constexpr int32_t kMaxStreams = 100;

inline bool IsDecimalDigit(uint32_t c) {
  return c >= '0' && c <= '9';
}

// "00dc" compressed video, "00db" uncompressed video, "01wb" audio, "00pc" palette change;
// the two digits are the stream number, tens first.
inline bool IsStreamDataId(TFourCC Id) {
  if (!IsDecimalDigit(Id & 0xFF) || !IsDecimalDigit((Id >> 8) & 0xFF)) return false;
  const auto suffix = uint16_t(Id >> 16);
  return suffix == kSuffix_dc || suffix == kSuffix_db || suffix == kSuffix_wb ||
         suffix == kSuffix_pc;
}

// Stream number of an id that starts with two decimal digits, else -1.
inline int32_t StreamNumberOf(TFourCC Id) {
  const uint32_t tens = Id & 0xFF, units = (Id >> 8) & 0xFF;
  if (!IsDecimalDigit(tens) || !IsDecimalDigit(units)) return -1;
  return int32_t(tens - '0') * 10 + int32_t(units - '0');
}

// "ix" and two decimal digits: an OpenDML standard index chunk.
inline bool IsStdIndexId(TFourCC Id) {
  return uint16_t(Id) == kPrefix_ix && IsDecimalDigit((Id >> 16) & 0xFF) &&
         IsDecimalDigit(Id >> 24);
}

// The standard index id of a stream: "ix" followed by the digits of its data chunk id.
inline TFourCC StdIndexIdOf(TFourCC DataChunkId) {
  return uint32_t(kPrefix_ix) | (DataChunkId << 16);
}

} // namespace clw
