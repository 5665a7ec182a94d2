#include "mp4/Mp4BoxTypes.h"
#include "mp4repair/ScanRules.h"
#include "mp4repair/ScanState.h"
#include "support/Mp4Builder.h"

#include <gtest/gtest.h>

#include <random>
#include <tuple>

namespace clw {
namespace {

using namespace test;

constexpr uint64_t kRead = 0x100000;    // the scan reads 1 MiB at a time
constexpr uint64_t kWindow = 0x2000000; // into a window of 32 MiB

// A reader over bytes in memory, scanned as media data.
struct TScanned : TMp4InMemory {
  explicit TScanned(TBytes bytes, bool scanMode = false) : TMp4InMemory(std::move(bytes)) {
    Atoms.ScanMode = scanMode;
  }
  int32_t Scan(uint64_t start = 0, uint64_t length = UINT64_MAX) {
    return Reader.ScanMediaData(-1, std::min(length, Memory.Data.size() - start), start);
  }
  const TMDATChunk* At(uint64_t position) const {
    for (uint32_t i = 0; i < Reader.Scan.MDATChunks.Count(); ++i)
      if (Reader.Scan.MDATChunks[i].Position == position) return &Reader.Scan.MDATChunks[i];
    return nullptr;
  }
};

// The fields of a candidate by value: the record is packed, and no reference may bind to them.
auto Fields(const TMDATChunk& c) {
  return std::tuple(uint64_t(c.Position), uint32_t(c.Length), uint16_t(c.Flags), int(c.Header),
                    int(c.SliceType), int(c.Neighbour), int32_t(c.Run));
}

// A plain, position-by-position reading of the candidate rules, against which the scanner
// with its prefilters, carried tails and pending ends is checked.
bool RefAudioEnd(uint16_t w) {
  for (int k = 0; k <= 8; ++k)
    if ((w & ((1u << (k + 3)) - 1)) == (7u << k)) return true;
  return false;
}

bool RefAccepts(uint8_t h, uint32_t l) {
  const int nri = (h >> 5) & 3, type = h & 0x1F;
  if (type >= 1 && type <= 5) return l >= 4 && l <= 4 * 127 * 8192 && (type != 5 || nri > 0);
  if (type == 7) return l >= 4 && l <= 8592;
  if (type == 8) return l >= 2 && l <= 5320;
  if (type == 13) return l <= 24;
  if (type == 9) return nri == 0 && l <= 2;
  if (type == 6 || type == 12) return nri == 0 && l <= 1048576;
  return (type == 14 || type == 15 || type == 19 || type == 20) && l < 1048576;
}

struct TRefScan {
  std::vector<TMDATChunk> Chunks;
  std::vector<std::pair<uint64_t, uint64_t>> Nulls;
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
  for (uint64_t p = start, q = start; p < end; p = q + 1) {
    for (q = p; q < end && f[q] == 0;)
      ++q;
    if (q < end && q - p >= 513) out.Nulls.emplace_back(p, q - p);
  }
  return out;
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
    switch (const uint32_t kind = random() % 6) {
    case 0:
    case 1:
    case 2:
      for (uint32_t n = 100 + random() % 3000; n > 0; --n)
        b.Bytes.push_back(kind == 0 ? uint8_t(random()) : alphabet[random() % std::size(alphabet)]);
      break;
    case 3: {
      const size_t lengths[] = {1, 7, 8, 15, 16, 511, 512, 513, 514, 3000, 70000};
      b.Fill(lengths[random() % std::size(lengths)], 0);
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

// Every offset is tried once whatever read it falls in, and every candidate learns the byte
// at its end wherever that lies: in the same read, in the bytes waiting for the next read,
// at the start of a read, several reads later, behind a move of the window, or in an
// all-zero read. (Seed, size, range start, bytes after.)
TEST(ScanMatchesReference, OnDenseData) {
  // clang-format off
  const std::tuple<uint32_t, uint64_t, uint64_t, uint64_t> cases[] = {
      {1, 5 * kRead + 123, 0, 0}, {2, 3 * kWindow + 5, 8, 0}, {3, 3 * kRead + 17, 1001, 0},
      {4, 4 * kRead, 8, 40000}, {5, 2 * kRead - 5, kRead - 3, 0}, {6, 300, 0, 0}, {7, 20, 0, 0}};
  // clang-format on
  for (const auto& [seed, size, start, trimEnd] : cases) {
    SCOPED_TRACE(seed);
    const TBytes bytes = DenseData(seed, size);
    TScanned scanned(bytes);
    scanned.Reader.Scan.PruneAbove = UINT32_MAX; // every candidate, as the reference lists them
    const uint64_t length = size - start - trimEnd;
    scanned.Memory.Pos = 77;
    ASSERT_EQ(scanned.Scan(start, length), 0);
    EXPECT_EQ(scanned.Memory.Pos, 77) << "the stream position is restored";
    const TRefScan ref = ReferenceScan(bytes, start, length);
    const THgMP4FileReader& r = scanned.Reader;
    ASSERT_EQ(r.Scan.MDATChunks.Count(), ref.Chunks.size());
    for (uint32_t i = 0; i < r.Scan.MDATChunks.Count(); ++i)
      ASSERT_EQ(Fields(r.Scan.MDATChunks[i]), Fields(ref.Chunks[i])) << "candidate " << i;
    // The one that begins where each ends; unknown where the end lies past the positions
    // searched.
    ASSERT_EQ(r.Scan.ChunkSuccessors.size(), ref.Chunks.size());
    for (uint32_t i = 0; i < ref.Chunks.size(); ++i) {
      const uint64_t e = ref.Chunks[i].End();
      const auto at =
          std::lower_bound(ref.Chunks.begin(), ref.Chunks.end(), e,
                           [](const TMDATChunk& c, uint64_t p) { return c.Position < p; });
      int32_t expected = e + 18 <= start + length ? -1 : kSuccessorUnknown;
      if (at != ref.Chunks.end() && at->Position == e) expected = int32_t(at - ref.Chunks.begin());
      ASSERT_EQ(r.Scan.ChunkSuccessors[i], expected) << "candidate " << i;
    }
    std::vector<std::pair<uint64_t, uint64_t>> nulls;
    for (uint32_t i = 0; i < r.Scan.NullBlocks.Count(); ++i)
      nulls.emplace_back(r.Scan.NullBlocks[i].Start, r.Scan.NullBlocks[i].Length);
    EXPECT_EQ(nulls, ref.Nulls);
  }
}

// The 16-lane prefilter agrees lane by lane with the plain rule, with and without SSE2.
TEST(ScanPrefilter, LanesMatchThePlainRule) {
  const TBytes bytes = DenseData(9, 40000);
  for (size_t q = 0; q + 20 <= bytes.size(); q += 16) {
    uint32_t expected = 0;
    for (int i = 0; i < 16; ++i)
      if (MayStartCandidate(&bytes[q + i])) expected |= 1u << i;
    ASSERT_EQ(CandidateLanes(&bytes[q]), expected) << "at " << q;
    ASSERT_EQ(CandidateLanesPortable(&bytes[q]), expected) << "at " << q;
  }
}

// Every way the search can run on this processor finds what the plain one finds: among
// dense bytes, at the first two positions (the audio test has no bytes before them), and
// after slice headers whose two codes take more than 64 bits or are no values.
TEST(ScanSearch, EveryWidthFindsTheSame) {
  for (const size_t lead : {0, 1}) {
    TMediaDataBuilder b;
    b.Fill(lead, 0);
    b.Unit(kNonIdr, 300, 5, 1u << 30); // 61 bits and 5
    b.Unit(kNonIdr, 300, 5, 1u << 29); // 59 and 5: the 64 just hold them
    b.Unit(kIdr, 300, 7, 1u << 31);    // no value
    b.Raw({0, 0, 1, 0, kNonIdr, 0x80, 0, 0, 0, 0, 0, 0, 0, 0x80}); // the second code none
    b.Raw({0, 0, 1, 0, kNonIdr, 0, 0, 0, 0, 0x80});                // the first code none
    TBytes bytes = b.Bytes;
    const TBytes dense = DenseData(11, 2000000);
    bytes.insert(bytes.end(), dense.begin(), dense.end());

    scan::TScan s;
    s.FileSize = bytes.size();
    s.Ranges = MakeLengthRanges(MaxNalLength(s.FileSize));
    s.MakeWindow(bytes.size());
    std::copy(bytes.begin(), bytes.end(), s.Window.get());
    const size_t to = bytes.size() - scan::kCarried;
    std::vector<uint32_t> hits(scan::kBatch + 64);
    const auto search = [&](TSearchWidth width) {
      std::vector<scan::TFoundCandidate> out(to);
      out.resize(scan::FindCandidatesAs(width, 0, to, s, hits.data(), out.data()));
      std::vector<std::tuple<uint64_t, uint32_t, int, int>> found;
      for (const scan::TFoundCandidate& f : out)
        found.emplace_back(f.Position, f.Length, f.Header, f.Info | f.End << 8);
      return found;
    };
    const auto plain = search(TSearchWidth::Plain);
    ASSERT_GT(plain.size(), 1000u) << "dense enough";
    for (int w = 1; w <= int(WidestSearch()); ++w)
      EXPECT_EQ(search(TSearchWidth(w)), plain) << "lead " << lead << ", width " << w;
  }
}

// The prefilter passes every unit the length table takes, at both ends of its lengths.
TEST(ScanPrefilter, PassesWhatTheLengthTableTakes) {
  const TLengthRanges ranges = MakeLengthRanges(kMaxNalLength);
  for (uint32_t h = 0; h < 256; ++h)
    for (const uint32_t length : {ranges[h].Min, ranges[h].Max}) {
      if (ranges[h].Min > ranges[h].Max) continue;
      uint8_t unit[5] = {0, 0, 0, 0, uint8_t(h)};
      WriteBE32(unit, length);
      EXPECT_TRUE(MayStartCandidate(unit)) << "header " << h << ", length " << length;
    }
}

// The candidate rules at their limits, one unit at a time: (name, unit, kept, slice type
// and picture start of a kept one).
TEST(ScanCandidateRule, AcceptsOrRejects) {
  struct TCase {
    const char* Name;
    TUnit Unit;
    bool Kept;
    uint8_t SliceType = TMDATChunk::kSliceTypeUnknown;
    bool PictureStart = false;
  };
  // clang-format off
  const TCase cases[] = {
      {"sps_8592", {kSps, 8592}, true}, {"sps_8593", {kSps, 8593}, false},
      {"pps_5320", {kPps, 5320}, true}, {"pps_5321", {kPps, 5321}, false},
      {"aud_2", {kAud, 2}, true}, {"aud_3", {kAud, 3}, false},
      {"idr_nri_0", {NalHeader(0, 5), 300, 7}, false}, {"idr_i", {kIdr, 300, 7}, true, 7, true},
      {"idr_p_dropped", {kIdr, 300, 0}, false},
      {"p_slice_not_first", {kNonIdr, 300, 5, 17}, true, 5, false},
      // A 4K picture's later slices: the two codes take more than 32 bits together.
      {"first_mb_of_4k", {kNonIdr, 300, 5, 32399}, true, 5, false},
      {"first_mb_too_long", {kNonIdr, 300, 5, 0xFFFFFFFF}, false}, {"length_0", {kIdr, 0}, false}};
  // clang-format on
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TMediaDataBuilder b;
    b.Fill(40);
    const uint64_t at = b.Unit(c.Unit);
    b.Fill(40000); // the file holds four times the longest unit tried
    TScanned scanned(b.Bytes);
    ASSERT_EQ(scanned.Scan(), 0);
    const TMDATChunk* found = scanned.At(at);
    ASSERT_EQ(found != nullptr, c.Kept);
    if (found) {
      EXPECT_EQ(std::pair(int(found->SliceType), (found->Flags & TMDATChunk::kPictureStart) != 0),
                std::pair(int(c.SliceType), c.PictureStart));
    }
  }
}

// The unit must end by the end of the file (a recording's last picture ends with it), and
// be shorter than a quarter of it: bytes before and after a unit of 104 bytes, and whether
// it is a candidate.
TEST(ScanCandidateLimits, FileSizeBoundsTheUnit) {
  for (const auto& [before, after, kept] :
       {std::tuple(400, 0, true), std::tuple(399, -1, false), std::tuple(400, 1, true),
        std::tuple(40, 259, false), std::tuple(40, 260, true)}) {
    TMediaDataBuilder b;
    b.Fill(size_t(before));
    const uint64_t at = b.Unit(kNonIdr, 100, 5);
    if (after < 0)
      b.Bytes.resize(b.Bytes.size() - size_t(-after)); // the unit is cut short
    else
      b.Fill(size_t(after));
    TScanned scanned(b.Bytes);
    scanned.Scan();
    EXPECT_EQ(scanned.At(at) != nullptr, kept) << before << " before, " << after << " after";
  }
}

// No coded slice longer than slice detection can ever keep is a candidate, however large
// the file: the longest kept is four times the largest typical size, 127 steps of 8 KiB.
TEST(ScanCandidateLimits, CodedSlicesAreAtMostTheLongestKept) {
  for (const auto& [length, kept] :
       {std::pair(4 * 127 * 8192u, true), std::pair(4 * 127 * 8192u + 1, false)}) {
    TMediaDataBuilder b;
    b.Fill(40);
    const uint64_t at = b.Unit(kNonIdr, length, 5);
    b.Fill(4 * length);
    TScanned scanned(b.Bytes);
    ASSERT_EQ(scanned.Scan(), 0);
    EXPECT_EQ(scanned.At(at) != nullptr, kept) << length;
  }
}

// Units at P whose ends lie at E, for P and E at and around the places where reads and
// the bytes waiting for the next read meet, up to the longest unit the scan takes, in one
// file long enough for the window to move several times: each must know the audio end
// before it and the audio byte after it, and the last the unit that begins where it ends.
TEST(ScanFollowingByte, ReachesEveryCandidateWhereverItEnds) {
  const int64_t near[] = {-17, -1, 0, 1};
  std::vector<std::pair<uint64_t, uint64_t>> units; // position, end
  TMediaDataBuilder b;
  uint64_t edge = kRead;
  const auto place = [&](int64_t dp, uint64_t reads, int64_t de) {
    const uint64_t p = uint64_t(int64_t(edge) + dp);
    const uint64_t e = uint64_t(int64_t(edge + reads * kRead) + de);
    b.Fill(p - 2 - b.Offset());
    b.Raw({0x03, 0x80});
    units.emplace_back(b.Unit(kNonIdr, uint32_t(e - p - 4), 5, 3), e);
    b.Fill(1, kAudioLead);
    edge += kRead * (reads + 1);
  };
  for (const int64_t dp : near)
    for (const int64_t de : near) {
      place(dp, 1, de);
      if (de > dp + 16) place(dp, 0, de);
    }
  for (const int64_t d : near)
    place(d, 3, d - 1); // as long as a unit the scan takes can be
  // A unit that ends where the next begins.
  b.Fill(30);
  const uint64_t leader = b.Unit(kNonIdr, 2 * kRead, 5, 3);
  const uint64_t follower = b.Unit(kNonIdr, 100, 5, 3);
  b.Fill(std::max(kRead, 3 * kWindow - b.Offset() + 1));
  ASSERT_GT(b.Bytes.size(), 3 * kWindow);

  TScanned scanned(b.Bytes);
  ASSERT_EQ(scanned.Scan(), 0);
  for (const auto& [at, end] : units) {
    const TMDATChunk* c = scanned.At(at);
    ASSERT_NE(c, nullptr) << "unit at " << at << " ending at " << end;
    EXPECT_EQ(c->Neighbour, (kAudioLead & 0xFE) | 1) << "unit at " << at << " ending at " << end;
  }
  const TMp4ScanResults& found = scanned.Reader.Scan;
  int64_t leaderIndex = -1;
  int64_t followerIndex = -1;
  for (uint32_t i = 0; i < found.MDATChunks.Count(); ++i) {
    if (found.MDATChunks[i].Position == leader) leaderIndex = i;
    if (found.MDATChunks[i].Position == follower) followerIndex = i;
  }
  ASSERT_GE(leaderIndex, 0);
  ASSERT_GE(followerIndex, 0);
  EXPECT_EQ(found.ChunkSuccessors[size_t(leaderIndex)], followerIndex);
}

// The last 17 bytes of the range are never a unit's start, but they can hold its end.
// Beyond the range the byte is not the scan's to read.
TEST(ScanFollowingByte, ReachesTheLastBytesOfTheRange) {
  for (size_t tail = 1; tail <= 18; ++tail) {
    TMediaDataBuilder b;
    b.Fill(3 * kRead);
    const uint64_t at = b.Unit(kNonIdr, 5000, 5);
    b.Fill(1, kAudioLead);
    b.Fill(tail - 1);
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
  b.Fill(kRead - 10);
  const uint64_t at = b.Raw({0, 0, 0, 20, kSei, kFiller, kFiller, kFiller, kFiller, kFiller});
  b.Fill(kRead + 3, 0);
  b.Fill(3000);
  TScanned scanned(b.Bytes);
  scanned.Scan();
  const TMDATChunk* c = scanned.At(at);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->Neighbour, 0x00);
  ASSERT_EQ(scanned.Reader.Scan.NullBlocks.Count(), 1u);
  EXPECT_EQ(
      std::pair(scanned.Reader.Scan.NullBlocks[0].Start, scanned.Reader.Scan.NullBlocks[0].Length),
      std::pair(kRead, kRead + 3));
}

TBytes BoxHeader(uint32_t size, const char (&type)[5]) {
  return Join({BE32(size), BytesOf(type)});
}

// A box header met in damaged data becomes a top-level node only in scan mode, with a
// known type, and with a size believable for its type.
TEST(ScanBoxInData, IsTakenOnlyWhenPlausible) {
  struct TCase {
    const char* Name;
    TBytes Header;
    bool ScanMode, Taken;
    int64_t DataOffset = 8, Size = 0;
    int32_t Flags = nfMediaData;
  };
  const TCase cases[] = {{"stco_9000000", BoxHeader(9000000, "stco"), true, false},
                         {"stco_8388608", BoxHeader(8388608, "stco"), true, true, 8, 8388608},
                         {"mdat_huge", BoxHeader(0xF0000000, "mdat"), true, true, 8, 0xF0000000},
                         {"moov_container", BoxHeader(50000000, "moov"), true, true, 8, 50000000},
                         {"free_2000000", BoxHeader(2000000, "free"), true, false},
                         {"free_1048576", BoxHeader(1048576, "free"), true, true, 8, 1048576},
                         {"unknown_type", BoxHeader(100, "abcd"), true, false},
                         {"not_in_scan_mode", BoxHeader(100, "free"), false, false},
                         {"large_header", Join({BoxHeader(1, "mdat"), BE64(0x123456789)}), true,
                          true, 16, 0x123456789, nfMediaData | nfLargeHeader}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TMediaDataBuilder b;
    b.Fill(300);
    const uint64_t at = b.Raw(c.Header);
    b.Fill(300);
    TScanned scanned(b.Bytes, c.ScanMode);
    scanned.Scan();
    const THgMP4FileReader& r = scanned.Reader;
    ASSERT_EQ(r.Count(), c.Taken ? 1u : 0u);
    if (c.Taken) {
      EXPECT_EQ(std::tuple(r.Id(0), r.DataPosition(0), r.Size(0), r.Flags(0)),
                std::tuple(ReadLE32(&c.Header[4]), int64_t(at) + c.DataOffset, c.Size, c.Flags));
    }
  }
}

// The headers are found beside the search, stretch by stretch and part by part, and join
// the tree in file order wherever they fall: on the edges of reads and of the search's parts.
TEST(ScanBoxInData, JoinsTheTreeInFileOrderAcrossReads) {
  TMediaDataBuilder b;
  std::vector<uint64_t> headers;
  bool odd = false;
  for (uint64_t edge = 0x10000; edge < 5 * kRead; edge += edge % kRead == 0 ? 0x10000 : 0xF0000) {
    // Headers nine bytes apart, so that each offset next to the edge opens one in turn.
    for (int64_t d = odd ? -45 : -44; d <= 10; d += 9) {
      b.Fill(uint64_t(int64_t(edge) + d) - b.Offset());
      headers.push_back(b.Raw(BoxHeader(100, "free")));
    }
    odd = !odd;
  }
  b.Fill(kRead);
  TScanned scanned(b.Bytes, true);
  ASSERT_EQ(scanned.Scan(), 0);
  const THgMP4FileReader& r = scanned.Reader;
  ASSERT_EQ(r.Count(), headers.size());
  for (uint32_t i = 0; i < r.Count(); ++i)
    EXPECT_EQ(r.DataPosition(int32_t(i)), int64_t(headers[i]) + 8) << "node " << i;
}

TEST(ScanControl, CancelStopsAfterTheCurrentRead) {
  TScanned scanned(TBytes(40 * kRead, kFiller));
  std::vector<int64_t> reports;
  scanned.Reader.OnProgress = [&](const void*, int64_t percent) {
    reports.push_back(percent);
    scanned.Reader.Cancel(true);
  };
  EXPECT_EQ(scanned.Scan(), -1);
  EXPECT_EQ(reports.size(), 1u);
  scanned.Reader.OnProgress = nullptr;
  EXPECT_EQ(scanned.Scan(), -1) << "a set flag stops the scan before it reads";
}

} // namespace
} // namespace clw
