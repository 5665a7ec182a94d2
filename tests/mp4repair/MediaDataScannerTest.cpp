#include "mp4/HgMP4File.h"
#include "mp4/Mp4BoxTypes.h"
#include "mp4repair/ScanRules.h"
#include "streams/Endian.h"
#include "support/MemoryStream.h"
#include "support/NalBuilder.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <random>

namespace clw {
namespace {

using test::AddVideoChunk;
using test::kAudioLead;
using test::kFiller;
using test::NalHeader;
using test::TBytes;
using test::TMediaDataBuilder;
using test::TMemoryStream;
using test::TUnit;

constexpr uint64_t kRead = 0x10000; // the scan reads 64 KiB at a time

// A reader over bytes in memory, with the file size the analysis would have set.
struct TScanned {
  explicit TScanned(TBytes bytes, bool scanMode = false)
      : Memory(std::make_unique<TMemoryStream>(std::move(bytes))),
        Atoms(std::make_unique<THgMp4Stream>(Memory.get())),
        Reader(std::make_unique<THgMP4FileReader>(*Atoms)) {
    Atoms->ScanMode = scanMode;
    Reader->FileSize = Memory->Data.size();
  }
  int32_t Scan(uint64_t start = 0, std::optional<uint64_t> length = {}) {
    return Reader->ScanMediaData(-1, length.value_or(Memory->Data.size() - start), start);
  }
  const TMDATChunk* At(uint64_t position) const {
    for (uint32_t i = 0; i < Reader->MDATChunks.Count(); ++i)
      if (Reader->MDATChunks[i].Position == position) return &Reader->MDATChunks[i];
    return nullptr;
  }
  std::unique_ptr<TMemoryStream> Memory;
  std::unique_ptr<THgMp4Stream> Atoms;
  std::unique_ptr<THgMP4FileReader> Reader;
};

// ---------------------------------------------------------------------------------------
// A plain, position-by-position reading of the candidate rules, against which the scanner
// with its prefilters, carried tails and pending ends is checked.

bool RefAudioEnd(uint16_t w) {
  for (int k = 0; k <= 8; ++k)
    if ((w & ((1u << (k + 3)) - 1)) == (7u << k)) return true;
  return false;
}

bool RefAccepts(uint8_t h, uint32_t l) {
  const int nri = (h >> 5) & 3;
  // clang-format off
  switch (h & 0x1F) {
  case 5: return nri > 0 && l >= 4;
  case 1: case 2: case 3: case 4: return l >= 4;
  case 7: return l >= 4 && l <= 8592;
  case 8: return l >= 2 && l <= 5320;
  case 13: return l <= 24;
  case 9: return nri == 0 && l <= 2;
  case 6: case 12: return nri == 0 && l <= 1048576;
  case 14: case 15: case 19: case 20: return l < 1048576;
  default: return false;
  }
  // clang-format on
}

struct TRefScan {
  std::vector<TMDATChunk> Chunks;
  std::vector<TNullBlock> Nulls;
};

TRefScan ReferenceScan(const TBytes& f, uint64_t start, uint64_t length) {
  TRefScan out;
  const uint64_t s = f.size();
  const uint64_t end = std::min<uint64_t>(start + length, s);
  const uint64_t maxNal = std::min<uint64_t>(0x6400000, s / 4);
  for (uint64_t p = start; p + 18 <= end; ++p) {
    const uint32_t l = ReadBE32(&f[p]);
    const uint8_t h = f[p + 4];
    if (l == 0 || l >= maxNal || p + 4 + l >= s || (h & 0x80) || !RefAccepts(h, l)) continue;
    TMDATChunk c;
    c.Position = p;
    c.Length = l;
    c.Header = h;
    const int type = h & 0x1F;
    if (type >= 1 && type <= 5) {
      // The plain bit-by-bit reader, not the two-count shortcut the scan takes first.
      detail::TGolombReader bits(&f[p + 5], &f[p + 18]);
      uint32_t first = 0;
      uint32_t sliceType = 0;
      if (bits.Read(first)) {
        if (first == 0) c.Flags |= TMDATChunk::kPictureStart;
        if (bits.Read(sliceType) && sliceType <= 9) c.SliceType = uint8_t(sliceType);
      }
    }
    const int st = c.SliceType;
    if (type == 5 && st != 2 && st != 4 && st != 7 && st != 9) continue;
    if (type >= 1 && type <= 4 && st >= 10) continue;
    if (p == start || (p >= start + 2 && RefAudioEnd(ReadBE16(&f[p - 2])))) c.Neighbour |= 1;
    const uint64_t e = p + 4 + l;
    if (e < end && (f[e] & 0xE0) != 0xE0) c.Neighbour = uint8_t((f[e] & 0xFE) | (c.Neighbour & 1));
    out.Chunks.push_back(c);
  }
  uint64_t runStart = 0;
  bool open = false;
  for (uint64_t p = start; p < end; ++p) {
    if (f[p] == 0) {
      if (!open) runStart = p;
      open = true;
    } else {
      if (open && p - runStart >= 513) out.Nulls.push_back({runStart, p - runStart});
      open = false;
    }
  }
  return out;
}

// The fields of a candidate by value: the record is packed, and a test must not bind
// references to its fields.
struct TFields {
  explicit TFields(const TMDATChunk& c)
      : Position(c.Position), Length(c.Length), Flags(c.Flags), Header(c.Header),
        SliceType(c.SliceType), Neighbour(c.Neighbour), Run(c.Run) {}
  uint64_t Position;
  uint32_t Length;
  uint16_t Flags;
  uint8_t Header, SliceType, Neighbour;
  int32_t Run;
};

void ExpectSameAsReference(const TScanned& scanned, const TRefScan& ref) {
  const THgMP4FileReader& r = *scanned.Reader;
  ASSERT_EQ(r.MDATChunks.Count(), ref.Chunks.size());
  for (uint32_t i = 0; i < r.MDATChunks.Count(); ++i) {
    const TFields a(r.MDATChunks[i]);
    const TFields b(ref.Chunks[i]);
    ASSERT_EQ(a.Position, b.Position) << "candidate " << i;
    EXPECT_EQ(a.Length, b.Length) << "at " << a.Position;
    EXPECT_EQ(a.Flags, b.Flags) << "at " << a.Position;
    EXPECT_EQ(a.Header, b.Header) << "at " << a.Position;
    EXPECT_EQ(a.SliceType, b.SliceType) << "at " << a.Position;
    EXPECT_EQ(a.Neighbour, b.Neighbour) << "at " << a.Position << " length " << a.Length;
    EXPECT_EQ(a.Run, 0);
  }
  ASSERT_EQ(r.NullBlocks.Count(), ref.Nulls.size());
  for (uint32_t i = 0; i < r.NullBlocks.Count(); ++i) {
    EXPECT_EQ(r.NullBlocks[i].Start, ref.Nulls[i].Start);
    EXPECT_EQ(r.NullBlocks[i].Length, ref.Nulls[i].Length);
  }
}

// Bytes that make candidates every few dozen offsets, as zero-rich encoder output does:
// small length bytes, plausible headers, terminator patterns, zero runs of every length
// around the null-block limit, and real units whose ends fall anywhere.
TBytes DenseData(uint32_t seed, size_t size) {
  std::mt19937 random(seed);
  const uint8_t alphabet[] = {0,    0,    0,    0,    1,    2,    3,    4,    5,    6,
                              0x05, 0x21, 0x25, 0x41, 0x45, 0x65, 0x67, 0x68, 0x06, 0x09,
                              0x0C, 0x0D, 0x0E, 0x07, 0x80, 0x88, 0x03, 0xE0, 0xFF, 0x10};
  TMediaDataBuilder b;
  while (b.Bytes.size() < size) {
    switch (random() % 6) {
    case 0:
      for (uint32_t n = 100 + random() % 3000; n > 0; --n)
        b.Bytes.push_back(uint8_t(random()));
      break;
    case 1:
    case 2:
      for (uint32_t n = 100 + random() % 3000; n > 0; --n)
        b.Bytes.push_back(alphabet[random() % std::size(alphabet)]);
      break;
    case 3: {
      const size_t lengths[] = {1, 7, 8, 15, 16, 511, 512, 513, 514, 3000, 70000};
      b.Zeros(lengths[random() % std::size(lengths)]);
      break;
    }
    case 4:
      b.Unit(uint8_t(alphabet[random() % std::size(alphabet)] & 0x7F), 1 + random() % 40000,
             random() % 12, random() % 4);
      break;
    default:
      b.Audio(10 + random() % 2000, uint8_t(random() & 0x3F));
      break;
    }
  }
  b.Bytes.resize(size);
  return b.Bytes;
}

struct TOracleCase {
  uint32_t Seed;
  size_t Size;
  uint64_t Start;
  uint64_t TrimEnd; // bytes of the file after the scanned range
};

class ScanMatchesReference : public ::testing::TestWithParam<TOracleCase> {};

// Every offset is tried once whatever read it falls in, and every candidate learns the
// byte at its end wherever that lies: in the same read, in the carried tail, at the start
// of a read, several reads later, or in an all-zero read.
TEST_P(ScanMatchesReference, OnDenseData) {
  const TOracleCase& c = GetParam();
  const TBytes bytes = DenseData(c.Seed, c.Size);
  TScanned scanned(bytes);
  const uint64_t length = c.Size - c.Start - c.TrimEnd;
  scanned.Memory->Pos = 77;
  ASSERT_EQ(scanned.Scan(c.Start, length), 0);
  EXPECT_EQ(scanned.Memory->Pos, 77) << "the stream position is restored";
  ExpectSameAsReference(scanned, ReferenceScan(bytes, c.Start, length));
}

INSTANTIATE_TEST_SUITE_P(Ranges, ScanMatchesReference,
                         ::testing::Values(TOracleCase{1, 5 * kRead + 123, 0, 0},
                                           TOracleCase{2, 5 * kRead, 8, 0},
                                           TOracleCase{3, 3 * kRead + 17, 1001, 0},
                                           TOracleCase{4, 4 * kRead, 8, 40000},
                                           TOracleCase{5, 2 * kRead - 5, kRead - 3, 0},
                                           TOracleCase{6, 300, 0, 0}, TOracleCase{7, 20, 0, 0}));

// The 16-lane prefilter agrees lane by lane with the plain rule, with and without SSE2.
TEST(ScanPrefilter, LanesMatchThePlainRule) {
  const TBytes bytes = DenseData(9, 40000);
  for (uint8_t top : {0, 1, 4, 6}) {
    for (size_t q = 0; q + 20 <= bytes.size(); q += 16) {
      uint32_t expected = 0;
      for (int i = 0; i < 16; ++i)
        if (MayStartCandidate(&bytes[q + i], top)) expected |= 1u << i;
      ASSERT_EQ(CandidateLanes(&bytes[q], top), expected) << "at " << q << " top " << int(top);
      ASSERT_EQ(CandidateLanesPortable(&bytes[q], top), expected) << "at " << q;
    }
  }
}

// ---------------------------------------------------------------------------------------
// The candidate rules at their limits, one unit at a time.

struct TRuleCase {
  const char* Name;
  TUnit Unit;
  bool Kept;
  uint8_t SliceType = TMDATChunk::kSliceTypeUnknown;
  bool PictureStart = false;
};

class ScanCandidateRule : public ::testing::TestWithParam<TRuleCase> {};

TEST_P(ScanCandidateRule, AcceptsOrRejects) {
  const TRuleCase& c = GetParam();
  TMediaDataBuilder b;
  b.Fill(40, kFiller);
  const uint64_t at = b.Unit(c.Unit);
  b.Fill(40000, kFiller); // the file holds four times the longest unit tried
  TScanned scanned(b.Bytes);
  ASSERT_EQ(scanned.Scan(), 0);
  const TMDATChunk* found = scanned.At(at);
  ASSERT_EQ(found != nullptr, c.Kept);
  if (!found) return;
  const TFields f(*found);
  EXPECT_EQ(f.Length, c.Unit.LengthField.value_or(c.Unit.Length));
  EXPECT_EQ(f.Header, c.Unit.Header);
  EXPECT_EQ(f.SliceType, c.SliceType);
  EXPECT_EQ((f.Flags & TMDATChunk::kPictureStart) != 0, c.PictureStart);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, ScanCandidateRule,
    ::testing::Values(TRuleCase{"sps_8592", {test::kSps, 8592}, true},
                      TRuleCase{"sps_8593", {test::kSps, 8593}, false},
                      TRuleCase{"pps_5320", {test::kPps, 5320}, true},
                      TRuleCase{"pps_5321", {test::kPps, 5321}, false},
                      TRuleCase{"aud_2", {test::kAud, 2}, true},
                      TRuleCase{"aud_3", {test::kAud, 3}, false},
                      TRuleCase{"idr_nri_0", {NalHeader(0, 5), 300, 7}, false},
                      TRuleCase{"idr_i", {test::kIdr, 300, 7}, true, 7, true},
                      TRuleCase{"idr_p_dropped", {test::kIdr, 300, 0}, false},
                      TRuleCase{"p_slice_not_first", {test::kNonIdr, 300, 5, 17}, true, 5, false},
                      // A 4K picture's later slices: first_mb_in_slice 32399 takes 31 bits,
                      // slice_type follows beyond the first 32.
                      TRuleCase{"first_mb_of_4k", {test::kNonIdr, 300, 5, 32399}, true, 5, false},
                      TRuleCase{"first_mb_too_long", {test::kNonIdr, 300, 5, 0xFFFFFFFF}, false},
                      TRuleCase{"length_0", {test::kIdr, 0, 7, 0, 0u}, false}),
    [](const auto& info) { return std::string(info.param.Name); });

// The unit must end before the end of the file, and its length must stay below a quarter
// of the file.
TEST(ScanCandidateLimits, FileSizeBoundsTheUnit) {
  for (size_t after : {0u, 1u}) {
    TMediaDataBuilder b;
    b.Fill(400, kFiller);
    const uint64_t at = b.Unit(test::kNonIdr, 100, 5);
    b.Fill(after, kFiller);
    TScanned scanned(b.Bytes);
    scanned.Scan();
    EXPECT_EQ(scanned.At(at) != nullptr, after == 1) << "bytes after the unit: " << after;
  }
  for (size_t size : {403u, 404u}) {
    TMediaDataBuilder b;
    b.Fill(40, kFiller);
    const uint64_t at = b.Unit(test::kNonIdr, 100, 5);
    b.Fill(size - b.Bytes.size(), kFiller);
    TScanned scanned(b.Bytes);
    scanned.Scan();
    EXPECT_EQ(scanned.At(at) != nullptr, size == 404u) << "file of " << size;
  }
}

// ---------------------------------------------------------------------------------------
// Audio ends, following bytes and the classes of positions where they used to be lost.

// A unit at P whose end lies at E, for P and E at and around the places where reads,
// carried tails and 128 KiB blocks meet; each must know the audio end before it and the
// audio byte after it.
TEST(ScanFollowingByte, ReachesEveryCandidateWhereverItEnds) {
  std::vector<uint64_t> places;
  for (uint64_t edge : {kRead, 2 * kRead, 3 * kRead})
    for (int64_t d : {-18, -17, -16, -2, -1, 0, 1, 2, 4})
      places.push_back(uint64_t(int64_t(edge) + d));
  for (uint64_t start : {0u, 8u}) {
    for (uint64_t p : places) {
      for (uint64_t e : places) {
        if (e < p + 12) continue;
        TMediaDataBuilder b(start);
        b.Fill(p - 2 - start, kFiller);
        b.Raw({0x03, 0x80});
        const uint64_t at = b.Unit(test::kNonIdr, uint32_t(e - p - 4), 5, 3);
        b.Fill(1, kAudioLead);
        b.Fill(3 * kRead + 100 - b.Offset(), kFiller);
        TBytes file(start, kFiller);
        file.insert(file.end(), b.Bytes.begin(), b.Bytes.end());
        TScanned scanned(file);
        scanned.Reader->FileSize = 64 * kRead; // long units are plausible
        scanned.Scan(start);
        const TMDATChunk* c = scanned.At(at);
        ASSERT_NE(c, nullptr) << "unit at " << p << " ending at " << e;
        EXPECT_EQ(c->Neighbour, (kAudioLead & 0xFE) | 1)
            << "unit at " << p << " ending at " << e << " from " << start;
      }
    }
  }
}

// The last 17 bytes of the range are never a unit's start, but they can hold its end.
// Beyond the range the byte is not the scan's to read.
TEST(ScanFollowingByte, ReachesTheLastBytesOfTheRange) {
  for (size_t tail = 1; tail <= 18; ++tail) {
    TMediaDataBuilder b;
    b.Fill(3 * kRead, kFiller);
    const uint64_t at = b.Unit(test::kNonIdr, 5000, 5);
    b.Fill(1, kAudioLead);
    b.Fill(tail - 1, kFiller);
    TScanned scanned(b.Bytes);
    scanned.Scan();
    ASSERT_NE(scanned.At(at), nullptr);
    EXPECT_EQ(scanned.At(at)->Neighbour, kAudioLead & 0xFE) << tail << " bytes from the end";

    TScanned shorter(b.Bytes);
    shorter.Scan(0, b.Bytes.size() - tail);
    ASSERT_NE(shorter.At(at), nullptr);
    EXPECT_EQ(shorter.At(at)->Neighbour, TMDATChunk::kNeighbourUnknown);
  }
}

// A unit whose length field lies in the last bytes of a read is found in the next read
// even when that read is all zero, and its end there reads as zero.
TEST(ScanCarriedTail, IsExaminedBeforeAnAllZeroRead) {
  TMediaDataBuilder b;
  b.Fill(kRead - 10, kFiller);
  const uint64_t at = b.Raw({0, 0, 0, 20, test::kSei, kFiller, kFiller, kFiller, kFiller, kFiller});
  b.Zeros(kRead + 3);
  b.Fill(3000, kFiller);
  TScanned scanned(b.Bytes);
  scanned.Scan();
  const TMDATChunk* c = scanned.At(at);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->Neighbour, 0x00);
  ASSERT_EQ(scanned.Reader->NullBlocks.Count(), 1u);
  EXPECT_EQ(scanned.Reader->NullBlocks[0].Start, kRead);
  EXPECT_EQ(scanned.Reader->NullBlocks[0].Length, kRead + 3);
}

// ---------------------------------------------------------------------------------------
// Boxes met inside damaged data.

struct TBoxCase {
  const char* Name;
  TBytes Header;
  bool ScanMode;
  bool Taken;
  int64_t DataOffset = 8;
  int64_t Size = 0;
  int32_t Flags = nfMediaData;
};

TBytes BoxHeader(uint32_t size, const char (&type)[5]) {
  TBytes h(8);
  WriteBE32(h.data(), size);
  std::copy(type, type + 4, h.begin() + 4);
  return h;
}

class ScanBoxInData : public ::testing::TestWithParam<TBoxCase> {};

TEST_P(ScanBoxInData, IsTakenOnlyWhenPlausible) {
  const TBoxCase& c = GetParam();
  TMediaDataBuilder b;
  b.Fill(300, kFiller);
  const uint64_t at = b.Raw(c.Header);
  b.Fill(300, kFiller);
  TScanned scanned(b.Bytes, c.ScanMode);
  scanned.Scan();
  const THgMP4FileReader& r = *scanned.Reader;
  ASSERT_EQ(r.Count(), c.Taken ? 1u : 0u);
  if (!c.Taken) return;
  EXPECT_EQ(r.Id(0), ReadLE32(&c.Header[4]));
  EXPECT_EQ(r.DataPosition(0), int64_t(at) + c.DataOffset);
  EXPECT_EQ(r.Size(0), c.Size);
  EXPECT_EQ(r.Flags(0), c.Flags);
  EXPECT_EQ(r.NodeLevel(0), 0);
  EXPECT_EQ(r.NodeStart(0), int64_t(at));
}

TBytes LargeBoxHeader(uint64_t size, const char (&type)[5]) {
  TBytes h = BoxHeader(1, type);
  h.resize(16);
  WriteBE64(h.data() + 8, size);
  return h;
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ScanBoxInData,
    ::testing::Values(
        TBoxCase{"stco_9000000", BoxHeader(9000000, "stco"), true, false},
        TBoxCase{"stco_8388608", BoxHeader(8388608, "stco"), true, true, 8, 8388608},
        TBoxCase{"mdat_huge", BoxHeader(0xF0000000, "mdat"), true, true, 8, 0xF0000000},
        TBoxCase{"moov_container", BoxHeader(50000000, "moov"), true, true, 8, 50000000},
        TBoxCase{"free_2000000", BoxHeader(2000000, "free"), true, false},
        TBoxCase{"free_1048576", BoxHeader(1048576, "free"), true, true, 8, 1048576},
        TBoxCase{"unknown_type", BoxHeader(100, "abcd"), true, false},
        TBoxCase{"not_in_scan_mode", BoxHeader(100, "free"), false, false},
        TBoxCase{"large_header", LargeBoxHeader(0x123456789, "mdat"), true, true, 16, 0x123456789,
                 nfMediaData | nfLargeHeader}),
    [](const auto& info) { return std::string(info.param.Name); });

// ---------------------------------------------------------------------------------------
// Control: cancel, progress, a missing stream.

TEST(ScanControl, CancelStopsAfterTheCurrentRead) {
  TScanned scanned(TBytes(40 * kRead, kFiller));
  scanned.Reader->FileSize = 40 * kRead;
  std::vector<int64_t> reports;
  scanned.Reader->OnProgress = [&](const void*, int64_t percent) {
    reports.push_back(percent);
    scanned.Reader->Cancel(true);
  };
  scanned.Memory->Pos = 5;
  EXPECT_EQ(scanned.Scan(), -1);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], (17 * kRead + 1) / (40 * kRead / 100)) << "after 1 MiB + 1 byte";
  EXPECT_EQ(scanned.Memory->Pos, 5);

  scanned.Reader->OnProgress = nullptr;
  EXPECT_EQ(scanned.Scan(), -1) << "a set flag stops the scan before it reads";
}

// Candidates of a realistic interleave are the units written, and nothing else stands at
// the units' places; runs of the scan and of a search agree.
TEST(ScanControl, SuccessorsOfTheScanMatchASearch) {
  TMediaDataBuilder b(8);
  for (int chunk = 0; chunk < 12; ++chunk) {
    AddVideoChunk(b, 3, chunk % 4 == 0, 9000 + 700 * uint32_t(chunk), 2);
    b.Audio(3000 + 100 * size_t(chunk));
  }
  TBytes file(8, kFiller);
  file.insert(file.end(), b.Bytes.begin(), b.Bytes.end());
  TScanned scanned(file);
  scanned.Scan(8);
  scanned.Reader->BuildRuns();

  THgMP4FileReader copy(*scanned.Atoms);
  copy.FileSize = scanned.Reader->FileSize;
  for (uint32_t i = 0; i < scanned.Reader->MDATChunks.Count(); ++i)
    copy.MDATChunks.Add(scanned.Reader->MDATChunks[i]);
  copy.BuildRuns();

  ASSERT_EQ(scanned.Reader->MDATSlices.size(), copy.MDATSlices.size());
  for (size_t k = 0; k < copy.MDATSlices.size(); ++k)
    EXPECT_EQ(scanned.Reader->MDATSlices[k].Members, copy.MDATSlices[k].Members) << k;
  EXPECT_EQ(copy.MDATSlices.size(), 12u);
}

} // namespace
} // namespace clw
