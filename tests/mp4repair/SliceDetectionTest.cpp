#include "mp4/HgMP4File.h"
#include "mp4/Mp4BoxTypes.h"
#include "mp4repair/SliceOps.h"
#include "support/MemoryStream.h"
#include "support/NalBuilder.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>

namespace clw {
namespace {

using test::AddVideoChunk;
using test::kAudioLead;
using test::kFiller;
using test::TBytes;
using test::TMediaDataBuilder;
using test::TMemoryStream;
using test::TVideoChunk;

// ---------------------------------------------------------------------------------------
// HistogramPeak.

struct TPeakCase {
  std::vector<std::pair<int, int>> Bins; // (bin, count)
  size_t Size;
  int32_t Peak;
};

class SliceHistogramPeak : public ::testing::TestWithParam<TPeakCase> {};

TEST_P(SliceHistogramPeak, FindsTheFirstHeaviestWindow) {
  const TPeakCase& c = GetParam();
  std::vector<int32_t> h(c.Size, 0);
  for (const auto& [bin, count] : c.Bins)
    h[size_t(bin)] = count;
  EXPECT_EQ(THgMP4FileReader::HistogramPeak(h), c.Peak);
}

// A single bin b is first covered by the window centred at b - 1; two equal bins keep the
// earlier; a short histogram reads as empty beyond its end.
INSTANTIATE_TEST_SUITE_P(Windows, SliceHistogramPeak,
                         ::testing::Values(TPeakCase{{}, 512, 1}, TPeakCase{{{1, 5}}, 512, 1},
                                           TPeakCase{{{2, 5}}, 512, 1}, TPeakCase{{{3, 5}}, 512, 2},
                                           TPeakCase{{{511, 1}}, 512, 510},
                                           TPeakCase{{{10, 4}, {20, 4}}, 512, 9},
                                           TPeakCase{{{10, 4}, {20, 5}}, 512, 19},
                                           TPeakCase{{{5, 2}}, 8, 4}));

// ---------------------------------------------------------------------------------------
// Candidates and slices written directly.

struct TCand {
  uint64_t Position;
  uint32_t Length;
  uint8_t Header = test::kNonIdr;
  uint8_t Neighbour = 0x00;
  bool PictureStart = true;
};

class SliceFixture : public ::testing::Test {
protected:
  SliceFixture() { Reader.FileSize = 1u << 30; }
  uint32_t Add(const TCand& c) {
    TMDATChunk x;
    x.Position = c.Position;
    x.Length = c.Length;
    x.Header = c.Header;
    x.SliceType = (c.Header & 0x1F) == 5 ? 7 : (c.Header & 0x1F) <= 4 ? 5 : 15;
    x.Flags = c.PictureStart ? TMDATChunk::kPictureStart : 0;
    x.Neighbour = c.Neighbour;
    return Reader.MDATChunks.Add(x);
  }
  // Contiguous coded slices from Position; the indices of the members.
  std::vector<int32_t> Contiguous(uint64_t position, std::vector<uint32_t> lengths,
                                  uint8_t header = test::kNonIdr) {
    std::vector<int32_t> members;
    for (uint32_t length : lengths) {
      members.push_back(int32_t(Add({position, length, header})));
      position += length + 4;
    }
    return members;
  }
  // A slice over the given members, as BuildRuns would make it.
  void Slice(std::vector<int32_t> members) {
    TMDATSlice s;
    s.Members = std::move(members);
    s.Count = int32_t(s.Members.size());
    slices::RecountVCL(s, Reader.MDATChunks);
    slices::UpdateExtent(s, Reader.MDATChunks);
    for (int32_t m : s.Members)
      Reader.MDATChunks[uint32_t(m)].Run = s.Count - 1;
    Reader.MDATSlices.push_back(std::move(s));
  }
  std::vector<uint64_t> Starts() const {
    std::vector<uint64_t> out;
    for (const TMDATSlice& s : Reader.MDATSlices)
      out.push_back(s.Start);
    return out;
  }
  std::vector<int32_t> Members(size_t slice) const {
    const TMDATSlice& s = Reader.MDATSlices.at(slice);
    return std::vector<int32_t>(s.Members.begin(), s.Members.begin() + s.Count);
  }
  int32_t Run(uint32_t i) const { return Reader.MDATChunks[i].Run; } // by value: packed

  TMemoryStream Memory;
  THgMp4Stream Atoms{&Memory};
  THgMP4FileReader Reader{Atoms};
};

using SliceBuildRuns = SliceFixture;

TEST_F(SliceBuildRuns, OnlyExactlyContiguousCandidatesFormARun) {
  Add({0, 96});    // ends at 100
  Add({100, 196}); // ends at 300
  Add({300, 96});  // ends at 400
  Add({401, 96});  // one byte off
  Add({502, 10});  // ends at 516, nothing there
  Add({1000, 20}); // a run of two with the next
  Add({1024, 20, 0x67, 0, false});
  Reader.BuildRuns();
  ASSERT_EQ(Reader.MDATSlices.size(), 2u);
  EXPECT_EQ(Members(0), (std::vector<int32_t>{0, 1, 2}));
  EXPECT_EQ(Reader.MDATSlices[0].Start, 0u);
  EXPECT_EQ(Reader.MDATSlices[0].Size, 400u);
  EXPECT_EQ(Reader.MDATSlices[0].VCLCount, 3);
  EXPECT_EQ(Members(1), (std::vector<int32_t>{5, 6}));
  EXPECT_EQ(Reader.MDATSlices[1].VCLCount, 1) << "a sequence parameter set is no coded slice";
  for (uint32_t i : {0u, 1u, 2u})
    EXPECT_EQ(Run(i), 2);
  for (uint32_t i : {3u, 4u})
    EXPECT_EQ(Run(i), 0);
  EXPECT_EQ(Run(5), 1);
}

// Two chains that run into the same units: the later, shorter one gives way and makes no
// run; the earlier, shorter one loses its tail to the later, longer one.
TEST_F(SliceBuildRuns, TheLongerOfTwoMergingRunsWins) {
  const uint32_t a0 = Add({0, 46});  // -> 50
  const uint32_t b1 = Add({10, 86}); // -> 100
  const uint32_t a1 = Add({50, 46}); // -> 100
  Contiguous(100, {96, 96});         // 100 -> 200 -> 300
  Reader.BuildRuns();
  ASSERT_EQ(Reader.MDATSlices.size(), 1u);
  EXPECT_EQ(Members(0), (std::vector<int32_t>{int32_t(a0), int32_t(a1), 3, 4}));
  EXPECT_EQ(Run(b1), 0);
  EXPECT_EQ(Run(3), 3);
}

TEST_F(SliceBuildRuns, AnEarlierShorterRunKeepsItsHead) {
  const uint32_t b0 = Add({0, 6});   // -> 10
  const uint32_t b1 = Add({10, 86}); // -> 100
  const uint32_t a0 = Add({20, 6});  // -> 30
  const uint32_t a1 = Add({30, 16}); // -> 50
  const uint32_t a2 = Add({50, 46}); // -> 100
  Contiguous(100, {96, 96});
  Reader.BuildRuns();
  ASSERT_EQ(Reader.MDATSlices.size(), 2u);
  EXPECT_EQ(Members(0), (std::vector<int32_t>{int32_t(b0), int32_t(b1)}));
  EXPECT_EQ(Reader.MDATSlices[0].Size, 100u);
  EXPECT_EQ(Reader.MDATSlices[0].VCLCount, 2);
  EXPECT_EQ(Members(1), (std::vector<int32_t>{int32_t(a0), int32_t(a1), int32_t(a2), 5, 6}));
}

// ---------------------------------------------------------------------------------------
// Statistics.

using SliceGatherStatistics = SliceFixture;

TEST_F(SliceGatherStatistics, LearnsMarkerSizesGapAndChunkLength) {
  // Lone frames of 40 000 bytes (bin 4) every 2 000 bytes of audio (bin 15), each with an
  // audio end before it and the audio marker 0x21 after it.
  uint64_t at = 0;
  for (int k = 0; k < 6; ++k) {
    Add({at, 40000, test::kNonIdr, 0x21});
    at += 40000 + 2000;
  }
  // Runs of three coded slices of 9 000 bytes (bin 1), followed by the next length field.
  for (int r = 0; r < 3; ++r) {
    Slice(Contiguous(at, {9000, 9000, 9000}));
    at += 30000;
  }
  Reader.MDATChunks[0].Neighbour = 0xE0; // nothing known after the first
  Reader.GatherStatistics();
  // Neighbours >> 1: 0x10 five times, 0 nine times.
  EXPECT_EQ(Reader.AudioMarker, 0);
  EXPECT_EQ(Reader.BlocksOfOffset->ValueCount(), 0u) << "no lone candidate for marker 0";

  for (uint32_t i = 6; i < Reader.MDATChunks.Count(); ++i)
    Reader.MDATChunks[i].Neighbour = 0x20; // as if audio followed every unit
  Reader.MDATChunks[0].Neighbour = 0x21;
  Reader.GatherStatistics();
  EXPECT_EQ(Reader.AudioMarker, 0x10);
  ASSERT_EQ(Reader.BlocksOfOffset->ValueCount(), 6u);
  for (uint32_t q = 0; q < 6; ++q)
    EXPECT_EQ(Reader.BlocksOfOffset->Value(q), q);
  // Type 1 lengths: six in bin 4, nine in bin 1: the windows centred at 1 and 2 hold nine.
  EXPECT_EQ(Reader.TypicalNALSize[0], 1u << 13);
  EXPECT_EQ(Reader.TypicalNALSize[4], 1u << 13) << "empty histogram";
  EXPECT_EQ(Reader.TypicalCandidateSize, 4u * 8192);
  EXPECT_EQ(Reader.TypicalGap, 14u << 7);
  EXPECT_EQ(Reader.TypicalVCLCount, 2u) << "three normal-sized slices per run, bin 3";
}

TEST_F(SliceGatherStatistics, WithoutAnyFollowingByteNothingIsLearnt) {
  Reader.TypicalNALSize[0] = 5 << 13;
  Add({0, 100, test::kNonIdr, 0xE1});
  Add({200, 100, test::kNonIdr, 0x81});
  Reader.GatherStatistics();
  EXPECT_EQ(Reader.AudioMarker, 255);
  EXPECT_EQ(Reader.TypicalCandidateSize, 0u);
  EXPECT_EQ(Reader.TypicalGap, 0u);
  EXPECT_EQ(Reader.TypicalNALSize[0], 5u << 13) << "kept";
  EXPECT_EQ(Reader.TypicalVCLCount, 0u) << "no slices";
}

// ---------------------------------------------------------------------------------------
// Arbitration between overlapping slices.

using SliceResolveOverlap = SliceFixture;

TEST_F(SliceResolveOverlap, AnswersByCodedSliceCountsAndOverlap) {
  struct TCase {
    std::vector<uint32_t> I, J; // lengths of contiguous members
    uint64_t JStart;
    uint32_t TypicalVCLCount;
    int32_t Answer;
  };
  const TCase cases[] = {
      {{96, 96}, {96, 96, 96, 96}, 150, 8, 1},         // i below the threshold, j not
      {{96, 96, 96, 96}, {96, 96}, 150, 8, 2},         // the other way round
      {{96, 96}, {96, 96}, 50, 0, 1},                  // all four scores 2: the first wins
      {{96, 96, 96}, {96, 96, 96, 96, 96}, 250, 4, 3}, // s3 = 10 - 1
      {{96, 96, 96, 96, 96}, {96, 96, 96}, 450, 4, 4}, // s4 = 10 - 1
  };
  for (const TCase& c : cases) {
    Reader.MDATChunks.Reset();
    Reader.MDATSlices.clear();
    Slice(Contiguous(0, c.I));
    Slice(Contiguous(c.JStart, c.J));
    Reader.TypicalVCLCount = c.TypicalVCLCount;
    EXPECT_EQ(Reader.ResolveOverlap(0, 1), c.Answer) << "j at " << c.JStart;
  }
  EXPECT_EQ(Reader.ResolveOverlap(0, 7), 0) << "no such slice";
}

using SliceArbitration = SliceFixture;

// Cutting j's head with a threshold of 0 can leave it without members; it goes.
TEST_F(SliceArbitration, ASliceCutToNothingIsDeleted) {
  Slice(Contiguous(0, {496, 496, 496})); // 0 .. 1500
  Slice(Contiguous(1100, {398, 100}));   // 1100 .. 1502 .. 1606
  Reader.TypicalVCLCount = 1;
  ASSERT_EQ(Reader.ResolveOverlap(0, 1), 4);
  slices::ArbitrateOverlaps(Reader);
  EXPECT_EQ(Starts(), (std::vector<uint64_t>{0}));

  // Cutting i's tail back to j's start keeps nothing of i either.
  Reader.MDATChunks.Reset();
  Reader.MDATSlices.clear();
  Slice(Contiguous(0, {996, 96}));      // 0 .. 1000 .. 1100
  Slice(Contiguous(500, {96, 96, 96})); // 500 .. 800
  ASSERT_EQ(Reader.ResolveOverlap(0, 1), 3);
  slices::ArbitrateOverlaps(Reader);
  EXPECT_EQ(Starts(), (std::vector<uint64_t>{500}));
}

TEST_F(SliceArbitration, ACutHeadIsFiledAgainByItsNewStart) {
  Slice(Contiguous(0, {496, 496, 496, 496, 496})); // 0 .. 2500
  Slice(Contiguous(2400, {96, 96, 996}));          // 2400 .. 2500 .. 2600 .. 3600
  Slice(Contiguous(2550, {20}));                   // a small one in between
  Reader.TypicalVCLCount = 2;
  ASSERT_EQ(Reader.ResolveOverlap(0, 1), 4);
  slices::ArbitrateOverlaps(Reader);
  // j loses its members up to i's end + 4 and now starts at 2600, behind the small one.
  EXPECT_EQ(Starts(), (std::vector<uint64_t>{0, 2550, 2600}));
  EXPECT_EQ(Reader.MDATSlices[2].Count, 1);
  EXPECT_EQ(Reader.MDATSlices[2].VCLCount, 1);
  EXPECT_EQ(Reader.MDATSlices[2].Size, 1000u);
}

using SliceSwallow = SliceFixture;

TEST_F(SliceSwallow, ASliceOverManyRicherOnesGoes) {
  for (int richer : {5, 6}) {
    Reader.MDATChunks.Reset();
    Reader.MDATSlices.clear();
    Slice(Contiguous(0, {9996}));     // 1 coded slice over 0 .. 10000
    Slice(Contiguous(100, {96, 96})); // 2
    Slice(Contiguous(500, std::vector<uint32_t>(size_t(richer - 2), 96)));
    Slice(Contiguous(20000, {96, 96, 96, 96, 96, 96, 96})); // outside
    slices::DeleteSwallowed(Reader);
    EXPECT_EQ(Reader.MDATSlices.size(), richer == 6 ? 3u : 4u) << richer;
  }
}

// ---------------------------------------------------------------------------------------
// The whole detection over scanned media data.

// A reader over built media data inside an "mdat" box at file offset 8, scanned.
struct TScannedMedia {
  explicit TScannedMedia(const TMediaDataBuilder& b) {
    // The file goes on for 16 bytes after the media data.
    TBytes file(8 + b.Bytes.size() + 16, kFiller);
    std::copy(b.Bytes.begin(), b.Bytes.end(), file.begin() + 8);
    Memory = std::make_unique<TMemoryStream>(file);
    Atoms = std::make_unique<THgMp4Stream>(Memory.get());
    Reader = std::make_unique<THgMP4FileReader>(*Atoms);
    Reader->FileSize = file.size();
    Node = Reader->AddNode(-1, kmdat, 0, 8, int64_t(b.Bytes.size()) + 8);
    Reader->ScanMediaData(Node, b.Bytes.size(), 8);
  }
  std::vector<std::pair<uint64_t, uint64_t>> SliceSpans() const {
    std::vector<std::pair<uint64_t, uint64_t>> out;
    for (const TMDATSlice& s : Reader->MDATSlices)
      out.emplace_back(s.Start, s.Start + s.Size);
    return out;
  }
  std::unique_ptr<TMemoryStream> Memory;
  std::unique_ptr<THgMp4Stream> Atoms;
  std::unique_ptr<THgMP4FileReader> Reader;
  int32_t Node = -1;
};

std::vector<std::pair<uint64_t, uint64_t>> Spans(const std::vector<TVideoChunk>& chunks) {
  std::vector<std::pair<uint64_t, uint64_t>> out;
  for (const TVideoChunk& c : chunks)
    out.emplace_back(c.Start, c.End);
  return out;
}

// Camera-like interleaves: several frames of one or more coded slices per chunk, then
// about a second of audio; the slices found are the chunks written, and the gaps the
// audio between them.
TEST(SliceFindSlices, FindsTheChunksOfAnInterleave) {
  for (bool audioFirst : {false, true}) {
    TMediaDataBuilder b(8);
    std::vector<TVideoChunk> chunks;
    std::vector<std::pair<uint64_t, uint64_t>> audio;
    const auto addAudio = [&](size_t length) {
      const uint64_t start = b.Audio(length);
      audio.emplace_back(start, b.Offset());
    };
    if (audioFirst) addAudio(4000);
    for (int k = 0; k < 16; ++k) {
      chunks.push_back(AddVideoChunk(b, 5, k % 4 == 0, 6000 + 37 * uint32_t(k), 1 + k % 2));
      addAudio(3000 + 13 * size_t(k));
    }
    TScannedMedia m(b);
    m.Reader->FindSlices(m.Node, true);
    EXPECT_EQ(m.Reader->SingleFrameInterleave, 0);
    auto spans = m.SliceSpans();
    if (audioFirst) {
      ASSERT_EQ(spans.size(), chunks.size() + 1);
      EXPECT_EQ(m.Reader->MDATSlices.back().Count, 0) << "the last audio has a slice";
      spans.pop_back();
    }
    EXPECT_EQ(spans, Spans(chunks)) << (audioFirst ? "audio first" : "video first");
    for (size_t k = 0; k < m.Reader->MDATSlices.size(); ++k) {
      const TMDATSlice& s = m.Reader->MDATSlices[k];
      EXPECT_EQ(s.GapStart, audio[k].first) << k;
      EXPECT_EQ(uint64_t(s.GapLength), audio[k].second - audio[k].first) << k;
    }
  }
}

// One frame, then one audio frame: the frames stand alone and each becomes a slice.
TEST(SliceFindSlices, FindsSingleFramesBetweenAudioFrames) {
  TMediaDataBuilder b(8);
  std::vector<TVideoChunk> frames;
  frames.push_back(AddVideoChunk(b, 1, true, 20000));
  b.Audio(400);
  for (int k = 1; k < 40; ++k) {
    frames.push_back(AddVideoChunk(b, 1, false, 6000 + 50 * uint32_t(k % 7)));
    b.Audio(380 + size_t(k % 5) * 10);
  }
  TScannedMedia m(b);
  m.Reader->FindSlices(m.Node, true);
  EXPECT_EQ(m.Reader->SingleFrameInterleave, 1);
  EXPECT_EQ(m.SliceSpans(), Spans(frames));

  // Uncompressed sound has no terminator to go by.
  TScannedMedia pcm(b);
  pcm.Reader->AddTrack(-1);
  pcm.Reader->Traks[0].MediaKind = mkSound;
  pcm.Reader->Traks[0].stsd.Entries.resize(1);
  pcm.Reader->Traks[0].stsd.Entries[0].Type = MakeFourCC("sowt");
  pcm.Reader->FindSlices(pcm.Node, true);
  EXPECT_EQ(pcm.Reader->SingleFrameInterleave, 0);
}

// The single-frame test cuts runs at members without an audio end before them; answering
// no, it must leave the runs as they were, or a chunk after damaged audio is lost.
TEST(SliceFindSlices, ASingleFrameTestThatSaysNoChangesNothing) {
  TMediaDataBuilder b(8);
  for (int k = 0; k < 12; ++k) {
    AddVideoChunk(b, 4, k % 3 == 0, 7000);
    // Every third audio frame is damaged at its end: the next chunk has no audio end.
    b.Audio(2500, kAudioLead, k % 3 == 1 ? 0xAAAA : test::kAudioEnd);
  }
  TScannedMedia with(b);
  with.Reader->FindSlices(with.Node, true);
  TScannedMedia without(b);
  without.Reader->FindSlices(without.Node, false);
  EXPECT_EQ(with.Reader->SingleFrameInterleave, 0);
  EXPECT_EQ(with.SliceSpans(), without.SliceSpans());
  EXPECT_EQ(with.SliceSpans().size(), 12u);
}

// Trailing parameter sets are cut off; runs without a coded slice, or without the start
// of a picture, are no video.
TEST(SliceFindSlices, TrimsAndDropsWhatIsNoVideo) {
  TMediaDataBuilder b(8);
  std::vector<TVideoChunk> kept;
  for (int k = 0; k < 10; ++k) {
    kept.push_back(AddVideoChunk(b, 4, k % 5 == 0, 8000));
    if (k == 3) b.Unit(test::kSps, 12); // a parameter set after the last slice
    b.Audio(2000);
    if (k == 6) {
      b.Unit(test::kSps, 12); // parameter sets only
      b.Unit(test::kPps, 4);
      b.Audio(2000);
      b.Unit(test::kNonIdr, 8000, 5, 1800); // the second halves of two pictures
      b.Unit(test::kNonIdr, 8000, 5, 1800);
      b.Audio(2000);
    }
  }
  TScannedMedia m(b);
  m.Reader->FindSlices(m.Node, false);
  EXPECT_EQ(m.SliceSpans(), Spans(kept));
}

// Noise makes candidates of every kind and runs that overlap in every way; whatever the
// detection keeps must still be a run of coded slices that starts a picture.
TEST(SliceFindSlices, KeepsOnlyWellFormedSlicesOfNoise) {
  for (uint32_t seed = 1; seed <= 6; ++seed) {
    std::mt19937 random(seed);
    const uint8_t alphabet[] = {0,    0,    0,    1,    2,    0x05, 0x21, 0x25, 0x41, 0x45, 0x65,
                                0x67, 0x68, 0x06, 0x09, 0x07, 0x80, 0x88, 0x03, 0xE0, 0xFF};
    TMediaDataBuilder b(8);
    while (b.Bytes.size() < 300000) {
      if (random() % 3 == 0) {
        AddVideoChunk(b, 1 + int(random() % 3), random() % 2 == 0, 200 + random() % 5000);
        b.Audio(50 + random() % 900);
      } else {
        for (uint32_t n = 50 + random() % 2000; n > 0; --n)
          b.Bytes.push_back(alphabet[random() % std::size(alphabet)]);
      }
    }
    for (bool single : {true, false}) {
      TScannedMedia m(b);
      m.Reader->FindSlices(single ? m.Node : -1, single);
      const TMDATChunks& chunks = m.Reader->MDATChunks;
      uint64_t lastStart = 0;
      for (const TMDATSlice& s : m.Reader->MDATSlices) {
        if (s.Count == 0) {
          EXPECT_EQ(&s, &m.Reader->MDATSlices.back()) << "only the tail holder is empty";
          continue;
        }
        ASSERT_LE(size_t(s.Count), s.Members.size());
        EXPECT_GE(s.Start, lastStart);
        lastStart = s.Start;
        bool pictureStart = false;
        for (int32_t k = 0; k < s.Count; ++k) {
          ASSERT_LT(uint32_t(s.Members[size_t(k)]), chunks.Count());
          const TMDATChunk& c = chunks[uint32_t(s.Members[size_t(k)])];
          pictureStart |= (c.Flags & TMDATChunk::kPictureStart) != 0;
          if (k > 0) {
            EXPECT_EQ(uint64_t(c.Position), chunks[uint32_t(s.Members[size_t(k) - 1])].End());
          }
        }
        EXPECT_TRUE(pictureStart);
        EXPECT_TRUE(chunks[uint32_t(s.Members[size_t(s.Count) - 1])].IsVCL());
        EXPECT_EQ(s.Start, uint64_t(chunks[uint32_t(s.Members[0])].Position));
      }
    }
  }
}

} // namespace
} // namespace clw
