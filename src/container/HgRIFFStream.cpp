#include "container/HgRIFFStream.h"

#include "container/RiffFourCC.h"
#include "streams/Endian.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define CLW_RIFF_HAS_AVX2 1
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace clw {

namespace {

// The header lists of the AVI files we meet end well inside the first 128 KiB; below that
// a frame id seen in "hdrl" or "odml" must not switch the reader to the strict rules of
// the movie data.
constexpr int64_t kNearStart = 0x20000;
// Plain chunks beyond 2 GiB do not exist in AVI files (OpenDML segments stay far below);
// such a size is damage, not data.
constexpr int64_t kMaxPlainChunkSize = 0x7FFFFFFF;
constexpr uint32_t kStackGrowth = 16;
constexpr int64_t kMaxSizeField = std::numeric_limits<uint32_t>::max();

uint8_t CharOf(TFourCC id, int index) {
  return uint8_t(id >> (8 * index));
}
bool IsDigit(uint8_t c) {
  return c >= '0' && c <= '9';
}
bool IsAlnum(uint8_t c) {
  return IsDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
int64_t PaddedEnd(const TRIFFChunkEntry& entry) {
  return clw::PaddedEnd(entry.DataPosition, entry.Size);
}

// Two decimal digits at characters first and first + 1, tens first; -1 when not digits.
int64_t TwoDigits(TFourCC id, int first) {
  const uint8_t tens = CharOf(id, first), units = CharOf(id, first + 1);
  if (!IsDigit(tens) || !IsDigit(units)) return -1;
  return int64_t(tens - '0') * 10 + int64_t(units - '0');
}

#if defined(CLW_RIFF_HAS_AVX2)
// Bit i set when byte P[i] is a letter or a digit, for the 32 bytes from P. (x <= limit,
// unsigned, as min(x, limit) == x.)
__attribute__((target("avx2"))) inline uint32_t AlnumLanes32(const uint8_t* p) {
  const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i digit = _mm256_sub_epi8(v, _mm256_set1_epi8('0'));
  const __m256i letter =
      _mm256_sub_epi8(_mm256_or_si256(v, _mm256_set1_epi8(0x20)), _mm256_set1_epi8('a'));
  const __m256i isDigit = _mm256_cmpeq_epi8(_mm256_min_epu8(digit, _mm256_set1_epi8(9)), digit);
  const __m256i isLetter = _mm256_cmpeq_epi8(_mm256_min_epu8(letter, _mm256_set1_epi8(25)), letter);
  return uint32_t(_mm256_movemask_epi8(_mm256_or_si256(isDigit, isLetter)));
}
#endif

// The same for the 64 bytes from P.
template <bool Wide> [[gnu::always_inline]] inline uint64_t AlnumBits(const uint8_t* p) {
#if defined(CLW_RIFF_HAS_AVX2)
  if constexpr (Wide) return AlnumLanes32(p) | uint64_t(AlnumLanes32(p + 32)) << 32;
#endif
#if defined(__SSE2__)
  uint64_t bits = 0;
  for (int k = 0; k < 4; ++k) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
    const auto atMost = [](__m128i x, char limit) {
      return _mm_cmpeq_epi8(_mm_min_epu8(x, _mm_set1_epi8(limit)), x);
    };
    const __m128i digit = atMost(_mm_sub_epi8(v, _mm_set1_epi8('0')), 9);
    const __m128i letter =
        atMost(_mm_sub_epi8(_mm_or_si128(v, _mm_set1_epi8(0x20)), _mm_set1_epi8('a')), 25);
    bits |= uint64_t(uint16_t(_mm_movemask_epi8(_mm_or_si128(digit, letter)))) << (16 * k);
  }
  return bits;
#else
  uint64_t bits = 0;
  for (int i = 0; i < 64; ++i)
    bits |= uint64_t(IsAlnum(p[i])) << i;
  return bits;
#endif
}

// Whether an id at P can open a header in the movie data: a frame's opens with its stream's
// two digits, an OpenDML index's with "ix"; "idx1", "JUNK", "RIFF" and "LIST" end the
// movie data.
inline bool OpensMoviId(const uint8_t* p) {
  const uint16_t two = ReadLE16(p);
  return (IsDigit(p[0]) && IsDigit(p[1])) || two == kPrefix_ix || two == uint16_t(kidx1) ||
         two == uint16_t(kJUNK) || two == uint16_t(kRIFF) || two == uint16_t(kLIST);
}

// The first offset from I on in the N bytes at B whose four bytes are all letters and
// digits (and, in the movie data, whose first two open an id there), looked for 61 offsets
// at a time (all whose ids lie in 64 bytes) while 64 bytes are left; else the offset the
// look stopped at.
template <bool Wide>
[[gnu::always_inline]] inline size_t SkipToIdIn(const uint8_t* b, size_t i, size_t n, bool movi) {
  constexpr size_t kStep = 61;
  for (; i + 64 <= n; i += kStep) {
    const uint64_t a = AlnumBits<Wide>(b + i);
    uint64_t ids = a & (a >> 1) & (a >> 2) & (a >> 3) & ((uint64_t(1) << kStep) - 1);
    // Text written over the frames is letters at every offset.
    if (movi)
      while (ids != 0 && !OpensMoviId(b + i + size_t(std::countr_zero(ids))))
        ids &= ids - 1;
    if (ids != 0) return i + size_t(std::countr_zero(ids));
  }
  return i;
}

#if defined(CLW_RIFF_HAS_AVX2)
__attribute__((target("avx2,bmi"))) size_t SkipToIdWide(const uint8_t* b, size_t i, size_t n,
                                                        bool movi) {
  return SkipToIdIn<true>(b, i, n, movi);
}
#endif

size_t SkipToId(const uint8_t* b, size_t i, size_t n, bool movi) {
#if defined(CLW_RIFF_HAS_AVX2)
  static const bool wide = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi");
  if (wide) return SkipToIdWide(b, i, n, movi);
#endif
  return SkipToIdIn<false>(b, i, n, movi);
}

// "ix00".."ix99": an OpenDML standard index, whatever the stream count says.
bool HasIndexShape(TFourCC id) {
  return uint16_t(id & 0xFFFF) == kPrefix_ix && TwoDigits(id, 2) >= 0;
}

} // namespace

THGRIFFStream::THGRIFFStream(TStream64& stream) : Stream(&stream) {
  FileSize = Stream->Size();
  Reset();
}

void THGRIFFStream::Reset() {
  ListEnd = 0;
  ContextList = 0;
  ScanPosition = 0;
  FExpectedHeader = -1;
  FLastFound = -1;
  Depth = 0;
  Resync = false;
  // The fallback scan of Descend starts at DataPosition; a value left from an earlier walk
  // would make a new walk skip everything before it.
  DataPosition = 0;
}

int64_t THGRIFFStream::Seek(int64_t offset, uint16_t origin) {
  return Stream->Seek(offset, origin);
}

bool THGRIFFStream::ReadExact(uint8_t* buffer, int64_t count, int64_t& position) {
  const int64_t got = Stream->Read(buffer, count);
  if (got != count) return false;
  position += got;
  return true;
}

// The stream layer reports a failed write as a short count; a chunk writer must not carry
// on after one as if the header or size field were in place.
int64_t THGRIFFStream::WriteExact(const void* buffer, int64_t count) {
  const int64_t put = Stream->Write(buffer, count);
  if (put == count) return put;
  return put < 0 ? put : -1;
}

void THGRIFFStream::Push(TFourCC id, TFourCC listType, int64_t dataPosition, int64_t size) {
  if (Depth == ChunkStack.size()) ChunkStack.resize(ChunkStack.size() + kStackGrowth);
  ChunkStack[Depth++] = TRIFFChunkEntry{id, listType, dataPosition, size};
}

// "00dc" compressed video, "00db" uncompressed video, "01wb" audio, "00pc" palette change
// (8-bit video in files from the early capture programs), for a stream the file declares.
bool THGRIFFStream::IsStreamDataId(TFourCC id) const {
  const uint16_t suffix = uint16_t(id >> 16);
  if (suffix != kSuffix_dc && suffix != kSuffix_db && suffix != kSuffix_wb && suffix != kSuffix_pc)
    return false;
  const int64_t number = TwoDigits(id, 0);
  return number >= 0 && number < StreamCount;
}

bool THGRIFFStream::IsStreamIndexId(TFourCC id) const {
  return HasIndexShape(id) && TwoDigits(id, 2) < StreamCount;
}

bool THGRIFFStream::IsPlausibleChunkId(TFourCC id) {
  return PlausibleAt(id, Stream->Position());
}

bool THGRIFFStream::PlausibleAt(TFourCC id, int64_t position) {
  if (position < kNearStart) ContextList = 0;
  if (id == kidx1) {
    ContextList = kidx1;
    return true;
  }
  if (id == kJUNK || id == kRIFF || id == kLIST) {
    ContextList = 0;
    return true;
  }
  // idx1 entries begin with the id of the chunk they index, so a resynchronising scan
  // through the legacy index meets stream ids every 16 bytes.
  if (ContextList == kidx1 && IsStreamDataId(id)) return true;
  if (ContextList != kmovi) {
    for (int i = 0; i < 4; ++i)
      if (!IsAlnum(CharOf(id, i))) return false;
    // The first frame id tells us we are in the movie data, even when its list header was
    // lost.
    if (IsStreamDataId(id)) ContextList = kmovi;
    return true;
  }
  // Inside the movie data only frames and the OpenDML indexes between them occur; anything
  // else there is frame bytes read as a header.
  return IsStreamDataId(id) || IsStreamIndexId(id);
}

bool THGRIFFStream::IsKnownList(TFourCC id, TFourCC listType) {
  if (id == kRIFF) return listType == kAVI || listType == kAVIX;
  if (id != kLIST) return false;
  if (listType == kmovi) {
    ContextList = kmovi;
    return true;
  }
  return listType == khdrl || listType == kstrl || listType == krec || listType == kodml ||
         listType == kINFO;
}

// The scan reads the stream in blocks of its own: one stream call per 2- or 4-byte step
// would crawl through gigabytes of damage (a card's never-written tail runs to the end of
// the file), and a zero stretch is passed over 8 bytes at a time.
int64_t THGRIFFStream::ScanForChunk() {
  if (FScanBlock.size() < size_t(kLongScanBlock)) FScanBlock.resize(size_t(kLongScanBlock));
  int64_t p = Stream->Position();
  if (p < 0) return -1;
  int64_t blockStart = p;
  int64_t blockLength = 0;
  // Most scans end within a few bytes: the first block is short. A scan through a long
  // stretch of damage goes on in long ones.
  int64_t blockSize = kScanBlock;
  int64_t nextPoll = p + kScanPollBytes;
  bool stopped = false;
  // Makes [At, At + N) readable in the block; false when the stream ends first or the
  // caller asked the scan to stop.
  const auto have = [&](int64_t at, int64_t n) {
    if (at >= blockStart && at - blockStart + n <= blockLength) return true;
    if (at >= nextPoll) {
      nextPoll = at + kScanPollBytes;
      if (KeepScanning && !KeepScanning(at)) {
        stopped = true;
        return false;
      }
    }
    if (Stream->Seek(at, soBeginning) != at) return false;
    blockStart = at;
    blockLength = std::max<int64_t>(Stream->Read(FScanBlock.data(), blockSize), 0);
    blockSize = kLongScanBlock;
    return n <= blockLength;
  };
  const auto bytesAt = [&](int64_t at) { return FScanBlock.data() + (at - blockStart); };
  const auto found = [&](int64_t at, int64_t headerLength) {
    Stream->Seek(at + headerLength, soBeginning);
    // A list's first child follows its header; a plain chunk's successor follows its data.
    FExpectedHeader = headerLength == 12 ? at + 12 : PaddedEnd(at + 8, ChunkSize);
    FLastFound = at;
    return at;
  };
  const auto fail = [&] {
    // What could be read is used up; a stopped scan leaves the walk nothing more either.
    Stream->Seek(0, soEnd);
    return int64_t(-1);
  };

  // Whether a plain chunk's claimed end meets another plausible header (or the end of the
  // file): frame bytes that happen to spell an id rarely also hold a size that leads to one.
  // The peek goes through the stream, so the scan's block stays where it is.
  const auto endChecksOut = [&](int64_t at, int64_t size) {
    const int64_t next = PaddedEnd(at + 8, size);
    // A whole last chunk ends with the file, with or without its pad byte; a size that
    // leads past the end leads to nothing.
    if (next == FileSize || at + 8 + size == FileSize) return true;
    if (next > FileSize) return false;
    uint8_t id[4];
    if (Stream->Seek(next, soBeginning) != next || Stream->Read(id, 4) != 4) return false;
    const TFourCC saved = ContextList;
    const bool plausible = ReadLE32(id) != 0 && PlausibleAt(ReadLE32(id), next + 4);
    ContextList = saved; // the walk judges that header again when it gets there
    return plausible;
  };

  for (;;) {
    // Past the header lists an offset whose four bytes are not all letters and digits
    // opens no header in any context (nor, in the movie data, one that opens no id there),
    // and judging it changes nothing: damaged frame data is passed over many offsets at a
    // time.
    if (p + 4 >= kNearStart && p >= blockStart && p < blockStart + blockLength) {
      const int64_t q = blockStart + int64_t(SkipToId(FScanBlock.data(), size_t(p - blockStart),
                                                      size_t(blockLength), ContextList == kmovi));
      if (q > p) {
        ChunkId = ReadLE32(bytesAt(q - 1)); // as judging the offsets passed over leaves it
        Resync = true;
        p = q;
      }
    }
    if (!have(p, 4)) return fail();
    ChunkId = ReadLE32(bytesAt(p));
    if (ChunkId == 0) {
      // No header starts at an id of zeros: past a zero stretch the first candidate is the
      // one whose last byte is the first non-zero byte.
      Resync = true;
      int64_t nonZero = p + 4;
      while (have(nonZero, 8) && ReadLE64(bytesAt(nonZero)) == 0)
        nonZero += 8;
      if (stopped) return fail();
      while (have(nonZero, 1) && *bytesAt(nonZero) == 0)
        ++nonZero;
      if (stopped) return fail();
      p = std::max(p + 1, nonZero - 3);
      continue;
    }
    const TFourCC context = ContextList;
    if (PlausibleAt(ChunkId, p + 4)) {
      if (!have(p, 8)) return fail();
      ChunkSize = ReadLE32(bytesAt(p + 4));
      if (!IsListId(ChunkId)) {
        // A header is taken when the one before it leads to it or its own end leads on:
        // either way two headers agree. The walk finds every header twice (leaving the
        // chunk before it, then entering it); the second time it stands as judged.
        if (p == FLastFound || p == FExpectedHeader || endChecksOut(p, ChunkSize)) {
          // A plain chunk has no list type; one left from an earlier list would end up in
          // the chunk tree.
          ListType = 0;
          return found(p, 8);
        }
      } else if (have(p, 12)) {
        ListType = ReadLE32(bytesAt(p + 8));
        ChunkSize -= 4;
        if (ListType != 0 && IsKnownList(ChunkId, ListType)) return found(p, 12);
        // A list of no type we know is more likely frame bytes that spell "LIST"; its
        // content, if real, is found by going on scanning.
      } else {
        return fail();
      }
      ContextList = context;
    }
    // One inserted or lost byte shifts every header after it: the scan tries every offset.
    Resync = true;
    ++p;
  }
}

bool THGRIFFStream::Descend() {
  AtEndOfFile = true;
  HasChunk = false;
  if (Resync) {
    if (ScanPosition > 0) Stream->Seek(ScanPosition, soBeginning);
    ScanPosition = ScanForChunk();
    if (ScanPosition < 0) return false;
    ScanPosition += 1;
  } else {
    int64_t position = Stream->Position();
    uint8_t header[8];
    if (!ReadExact(header, 8, position)) return false;
    ChunkId = ReadLE32(header);
    ChunkSize = ReadLE32(header + 4);
    ListType = 0;
    if (IsListId(ChunkId)) {
      ContextList = 0;
      if (!ReadExact(header, 4, position)) return false;
      ListType = ReadLE32(header);
      ChunkSize -= 4;
    } else if (!PlausibleAt(ChunkId, position) || ChunkSize > kMaxPlainChunkSize) {
      // The chunk before this one claimed a size that ends inside other data. From here on
      // no size is trusted: headers come from the scan, which starts over at that chunk's
      // data, whether or not its first bytes happen to look like a header themselves.
      Resync = true;
      Stream->Seek(DataPosition, soBeginning);
      ScanPosition = ScanForChunk();
      if (ScanPosition < 0) return false;
      ScanPosition += 1;
    }
  }
  DataPosition = Stream->Position();
  if (IsListId(ChunkId)) ListEnd = PaddedEnd(DataPosition, ChunkSize);
  // A list header with a size below 4, or a chunk that runs past the end of its list: the
  // sizes around here cannot be right.
  if (!Resync && (ChunkSize < 0 || (ListEnd != 0 && DataPosition + ChunkSize > ListEnd)))
    Resync = true;
  AtEndOfFile = DataPosition >= FileSize;
  HasChunk = true;
  Push(ChunkId, ListType, DataPosition, ChunkSize);
  ChunkExhausted = ChunkSize == 0;
  return true;
}

int64_t THGRIFFStream::Ascend() {
  ChunkExhausted = false;
  if (!HasChunk) return -1;
  int64_t result = -1;
  if (Resync) {
    // A standard index repeats its stream's data chunk id in its 32-byte header; the
    // entries after it are offsets and sizes that rarely spell a header.
    if (Depth > 0 && HasIndexShape(ChunkStack[Depth - 1].Id)) {
      const int64_t entries = ChunkStack[Depth - 1].DataPosition + kStdIndexHeaderSize;
      if (Stream->Position() != entries) result = Stream->Seek(entries, soBeginning);
    }
    if (ScanPosition > 0) Stream->Seek(ScanPosition, soBeginning);
    ScanPosition = ScanForChunk();
    // Every chunk that ends at or before the header just found is closed, the current one
    // always. Calls at depth 0 only move the scan on.
    const int64_t position = Stream->Position();
    if (Depth > 0) {
      do {
        --Depth;
      } while (Depth > 0 && PaddedEnd(ChunkStack[Depth - 1]) <= position);
    }
  } else if (Depth > 0) {
    const int64_t end = PaddedEnd(ChunkStack[Depth - 1]);
    if (Stream->Position() != end) result = Stream->Seek(end, soBeginning);
    --Depth;
  }
  const int64_t position = Stream->Position();
  if (Depth > 0) {
    const TRIFFChunkEntry& top = ChunkStack[Depth - 1];
    ChunkId = top.Id;
    ChunkSize = top.Size;
    if (IsListId(top.Id)) ListEnd = PaddedEnd(top);
  } else {
    ListEnd = 0;
    ChunkId = kNoChunk;
  }
  const bool outside = position >= FileSize || position < 0;
  AtEndOfFile = outside;
  if (Depth > 0) {
    const TRIFFChunkEntry& top = ChunkStack[Depth - 1];
    ChunkExhausted = top.DataPosition + top.Size <= position || outside;
  }
  return result;
}

int64_t THGRIFFStream::WriteChunk(TFourCC id, TFourCC listType, int64_t size, const void* data) {
  const bool list = IsListId(id);
  const int64_t listTypeLength = list ? 4 : 0;
  if (size < 0 || size > kMaxSizeField - listTypeLength) throw ERangeError();
  uint8_t header[12];
  WriteLE32(header, id);
  WriteLE32(header + 4, uint32_t(size + listTypeLength));
  WriteLE32(header + 8, listType);
  const int64_t headerLength = 8 + listTypeLength;
  int64_t put = WriteExact(header, headerLength);
  if (put < 0) return put;
  if (size == 0) return headerLength;
  put = WriteExact(data, size);
  if (put < 0) return put;
  if (size & 1) {
    const uint8_t pad = 0;
    put = WriteExact(&pad, 1);
    if (put < 0) return put;
  }
  return size;
}

int64_t THGRIFFStream::CreateChunk(TFourCC id, TFourCC listType) {
  const int64_t result = WriteChunk(id, listType, 0, nullptr);
  if (result < 0) return result;
  Push(id, listType, Stream->Position(), 0);
  Writing = true;
  return result;
}

int64_t THGRIFFStream::WriteData(const void* buffer, int64_t count) {
  if (!Writing) return -1;
  return Stream->Write(buffer, count);
}

int64_t THGRIFFStream::CloseChunk() {
  if (!Writing || Depth == 0) return -1;
  const TRIFFChunkEntry top = ChunkStack[Depth - 1];
  const bool list = IsListId(top.Id);
  // Everything from the chunk's data to the end of the stream belongs to it.
  FileSize = Stream->Size();
  const int64_t size = FileSize - top.DataPosition;
  const int64_t sizeField = size + (list ? 4 : 0);
  // A chunk that outgrew the 32-bit size field would be written with a wrapped size and
  // leave every reader lost in the rest of the file.
  if (size < 0 || sizeField > kMaxSizeField) throw ERangeError();
  int64_t result;
  if (size & 1) {
    // The pad byte goes at the end of the chunk, wherever the caller left the position.
    result = Stream->Seek(FileSize, soBeginning);
    if (result < 0) return result;
    const uint8_t pad = 0;
    result = WriteExact(&pad, 1);
    if (result < 0) return result;
  }
  result = Stream->Seek(top.DataPosition - (list ? 8 : 4), soBeginning);
  if (result < 0) return result;
  uint8_t field[4];
  WriteLE32(field, uint32_t(sizeField));
  result = WriteExact(field, 4);
  if (result < 0) return result;
  result = Stream->Seek(0, soEnd);
  if (result < 0) return result;
  FileSize = result;
  --Depth;
  Writing = Depth > 0;
  return result;
}

} // namespace clw
