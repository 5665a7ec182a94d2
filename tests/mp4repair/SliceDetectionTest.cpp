#include "mp4/Mp4BoxTypes.h"
#include "mp4repair/SliceDetector.h"
#include "mp4repair/SliceOps.h"
#include "streams/Endian.h"
#include "support/Mp4Builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

namespace clw {
namespace {

using namespace test;

// A single bin b is first covered by the window centred at b - 1; two equal bins keep the
// earlier; a short histogram reads as empty beyond its end.
TEST(SliceHistogramPeak, FindsTheFirstHeaviestWindow) {
  // (bin, count) pairs, histogram size, peak
  using TCase = std::tuple<std::vector<std::pair<int, int>>, size_t, int32_t>;
  // clang-format off
  const TCase cases[] = {{{}, 512, 1}, {{{1, 5}}, 512, 1}, {{{2, 5}}, 512, 1}, {{{3, 5}}, 512, 2},
                         {{{511, 1}}, 512, 510}, {{{5, 2}}, 8, 4}, {{{10, 4}, {20, 4}}, 512, 9},
                         {{{10, 4}, {20, 5}}, 512, 19}};
  // clang-format on
  for (const auto& [bins, size, peak] : cases) {
    std::vector<int32_t> h(size, 0);
    for (const auto& [bin, count] : bins)
      h[size_t(bin)] = count;
    EXPECT_EQ(TSliceDetector::HistogramPeak(h), peak) << "peak " << peak;
  }
}

struct TCand {
  uint64_t Position;
  uint32_t Length;
  uint8_t Header = kNonIdr, Neighbour = 0x00;
  bool PictureStart = true;
};

class SliceFixture : public ::testing::Test {
protected:
  SliceFixture() { Reader.FileSize = 1u << 30; }
  uint32_t Add(const TCand& c) {
    const uint8_t sliceType = (c.Header & 0x1F) == 5 ? 7 : (c.Header & 0x1F) <= 4 ? 5 : 15;
    const uint16_t flags = c.PictureStart ? TMDATChunk::kPictureStart : 0;
    return Reader.Scan.MDATChunks.Add(
        {c.Position, c.Length, flags, c.Header, sliceType, c.Neighbour, 0});
  }
  // Contiguous coded slices from Position; the indices of the members.
  std::vector<int32_t> Contiguous(uint64_t position, std::vector<uint32_t> lengths) {
    std::vector<int32_t> members;
    for (uint32_t length : lengths) {
      members.push_back(int32_t(Add({position, length})));
      position += length + 4;
    }
    return members;
  }
  // A slice over the given members, as BuildRuns would make it.
  void Slice(std::vector<int32_t> members) {
    TMDATSlice s;
    s.Members.assign(members.begin(), members.end());
    s.Count = int32_t(members.size());
    slices::RecountVCL(s, Reader.Scan.MDATChunks);
    slices::UpdateExtent(s, Reader.Scan.MDATChunks);
    for (int32_t m : members)
      Reader.Scan.MDATChunks[uint32_t(m)].Run = s.Count - 1;
    Reader.MDATSlices.push_back(s);
  }
  void Reset() {
    Reader.Scan.MDATChunks.Reset();
    Reader.MDATSlices.clear();
  }
  // The slices as "start+size:coded slices[members]".
  std::string Slices() const {
    std::string out;
    for (const TMDATSlice& s : Reader.MDATSlices) {
      out += (out.empty() ? "" : " ") + std::to_string(s.Start) + "+" + std::to_string(s.Size) +
             ":" + std::to_string(s.VCLCount) + "[";
      for (int32_t k = 0; k < s.Count; ++k)
        out += (k > 0 ? "," : "") + std::to_string(s.Members[size_t(k)]);
      out += "]";
    }
    return out;
  }

  TMp4InMemory In{{}};
  THgMP4FileReader& Reader = In.Reader;
  TSliceDetector Detector{Reader};
};

using SliceBuildRuns = SliceFixture;

// A run ends a byte off and at nothing; a parameter set is no coded slice. Of two chains
// that run into the same units, the later, shorter one gives way and makes no run, and the
// earlier, shorter one loses its tail to the later, longer one.
TEST_F(SliceBuildRuns, ChainsExactlyContiguousCandidates) {
  const auto build = [&](std::vector<TCand> candidates) {
    Reset();
    for (const TCand& c : candidates)
      Add(c);
    Detector.BuildRuns();
    return Slices();
  };
  EXPECT_EQ(build({{0, 96},
                   {100, 196},
                   {300, 96},
                   {401, 96},
                   {502, 10},
                   {1000, 20},
                   {1024, 20, kSps, 0, false}}),
            "0+400:3[0,1,2] 1000+48:1[5,6]");
  EXPECT_EQ(build({{0, 46}, {10, 86}, {50, 46}, {100, 96}, {200, 96}}), "0+300:4[0,2,3,4]");
  EXPECT_EQ(build({{0, 6}, {10, 86}, {20, 6}, {30, 16}, {50, 46}, {100, 96}, {200, 96}}),
            "0+100:2[0,1] 20+280:5[2,3,4,5,6]");
}

using SliceGatherStatistics = SliceFixture;

TEST_F(SliceGatherStatistics, LearnsMarkerSizesGapAndChunkLength) {
  // Lone frames of 40 000 bytes (bin 4) every 2 000 bytes of audio (bin 15), each with an
  // audio end before it and the audio marker 0x21 after it.
  for (uint64_t k = 0; k < 6; ++k)
    Add({k * 42000, 40000, kNonIdr, 0x21});
  // Runs of three coded slices of 9 000 bytes (bin 1), followed by the next length field.
  for (uint64_t r = 0; r < 3; ++r)
    Slice(Contiguous(6 * 42000 + r * 30000, {9000, 9000, 9000}));
  Reader.Scan.MDATChunks[0].Neighbour = 0xE0; // nothing known after the first
  Detector.GatherStatistics();
  // Neighbours >> 1: 0x10 five times, 0 nine times.
  EXPECT_EQ(Reader.SliceStatistics.AudioMarker, 0);
  EXPECT_EQ(Reader.Scan.BlocksOfOffset->ValueCount(), 0u) << "no lone candidate for marker 0";

  for (uint32_t i = 6; i < Reader.Scan.MDATChunks.Count(); ++i)
    Reader.Scan.MDATChunks[i].Neighbour = 0x20; // as if audio followed every unit
  Reader.Scan.MDATChunks[0].Neighbour = 0x21;
  Detector.GatherStatistics();
  EXPECT_EQ(Reader.SliceStatistics.AudioMarker, 0x10);
  ASSERT_EQ(Reader.Scan.BlocksOfOffset->ValueCount(), 6u);
  EXPECT_EQ(Reader.Scan.BlocksOfOffset->Value(5), 5u);
  // Type 1 lengths: six in bin 4, nine in bin 1: the windows centred at 1 and 2 hold nine;
  // type 5 has an empty histogram. Three normal-sized slices per run: bin 3.
  EXPECT_EQ(std::tuple(Reader.SliceStatistics.TypicalNALSize[0],
                       Reader.SliceStatistics.TypicalNALSize[4],
                       Reader.SliceStatistics.TypicalCandidateSize,
                       Reader.SliceStatistics.TypicalGap, Reader.SliceStatistics.TypicalVCLCount),
            std::tuple(1u << 13, 1u << 13, 4u * 8192, 14u << 7, 2u));
}

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
    Reset();
    Slice(Contiguous(0, c.I));
    Slice(Contiguous(c.JStart, c.J));
    Reader.SliceStatistics.TypicalVCLCount = c.TypicalVCLCount;
    EXPECT_EQ(Detector.ResolveOverlap(0, 1), c.Answer) << "j at " << c.JStart;
  }
  EXPECT_EQ(Detector.ResolveOverlap(0, 7), 0) << "no such slice";
}

using SliceArbitration = SliceFixture;

// Cutting j's head with a threshold of 0 can leave it without members; it goes. Cutting
// i's tail back to j's start keeps nothing of i either.
TEST_F(SliceArbitration, ASliceCutToNothingIsDeleted) {
  Slice(Contiguous(0, {496, 496, 496})); // 0 .. 1500
  Slice(Contiguous(1100, {398, 100}));   // 1100 .. 1502 .. 1606
  Reader.SliceStatistics.TypicalVCLCount = 1;
  ASSERT_EQ(Detector.ResolveOverlap(0, 1), 4);
  slices::ArbitrateOverlaps(Detector);
  EXPECT_EQ(Slices(), "0+1500:3[0,1,2]");

  Reset();
  Slice(Contiguous(0, {996, 96}));      // 0 .. 1000 .. 1100
  Slice(Contiguous(500, {96, 96, 96})); // 500 .. 800
  ASSERT_EQ(Detector.ResolveOverlap(0, 1), 3);
  slices::ArbitrateOverlaps(Detector);
  EXPECT_EQ(Slices(), "500+300:3[2,3,4]");
}

TEST_F(SliceArbitration, ACutHeadIsFiledAgainByItsNewStart) {
  Slice(Contiguous(0, {496, 496, 496, 496, 496})); // 0 .. 2500
  Slice(Contiguous(2400, {96, 96, 996}));          // 2400 .. 2500 .. 2600 .. 3600
  Slice(Contiguous(2550, {20}));                   // a small one in between
  Reader.SliceStatistics.TypicalVCLCount = 2;
  ASSERT_EQ(Detector.ResolveOverlap(0, 1), 4);
  slices::ArbitrateOverlaps(Detector);
  // j loses its members up to i's end + 4 and now starts at 2600, behind the small one.
  EXPECT_EQ(Slices(), "0+2500:5[0,1,2,3,4] 2550+24:1[8] 2600+1000:1[7]");
}

TEST_F(SliceArbitration, ASliceOverManyRicherOnesIsSwallowed) {
  for (int richer : {5, 6}) {
    Reset();
    Slice(Contiguous(0, {9996}));     // 1 coded slice over 0 .. 10000
    Slice(Contiguous(100, {96, 96})); // 2
    Slice(Contiguous(500, std::vector<uint32_t>(size_t(richer - 2), 96)));
    Slice(Contiguous(20000, {96, 96, 96, 96, 96, 96, 96})); // outside
    slices::DeleteSwallowed(Detector);
    EXPECT_EQ(Reader.MDATSlices.size(), richer == 6 ? 3u : 4u) << richer;
  }
}

// Built media data (from offset 8) in an "mdat" box with 16 bytes after it, scanned.
struct TScannedMedia : TMp4InMemory {
  explicit TScannedMedia(const TMediaDataBuilder& b, bool allowSingleFrame = true,
                         bool pcmSound = false)
      : TMp4InMemory(Join({TBytes(8, kFiller), b.Bytes, TBytes(16, kFiller)})) {
    Reader.AddNode(-1, kmdat, 0, 8, int64_t(b.Bytes.size()) + 8);
    Reader.ScanMediaData(0, b.Bytes.size(), 8);
    if (pcmSound) {
      TMp4Trak& sound = Reader.Traks[size_t(Reader.AddTrack(-1))];
      sound.MediaKind = mkSound;
      sound.stsd.Entries.resize(1);
      sound.stsd.Entries[0].Type = MakeFourCC("sowt");
    }
    Reader.FindSlices(0, allowSingleFrame);
  }
  // Where the slices lie, or the audio gaps beside them.
  std::vector<TSpan> Spans(bool gaps = false) const {
    std::vector<TSpan> out;
    for (const TMDATSlice& s : Reader.MDATSlices)
      out.push_back(gaps ? TSpan(s.GapStart, s.GapStart + uint64_t(s.GapLength))
                         : TSpan(s.Start, s.Start + s.Size));
    return out;
  }
};

// Camera-like interleaves, chunks of frames of one or more coded slices and audio between:
// the slices found are the chunks written, and the gaps the audio. Media data that starts
// with audio ends with a slice that holds only the last audio.
TEST(SliceFindSlices, FindsTheChunksOfAnInterleave) {
  for (bool audioFirst : {false, true}) {
    TMediaDataBuilder b(8);
    std::vector<TSpan> chunks, audio;
    const auto addAudio = [&](size_t length) {
      const uint64_t start = b.Audio(length);
      audio.emplace_back(start, b.Offset());
    };
    if (audioFirst) addAudio(4000);
    for (int k = 0; k < 16; ++k) {
      chunks.push_back(AddVideoChunk(b, 5, k % 4 == 0, 6000 + 37 * uint32_t(k), 1 + k % 2));
      addAudio(3000 + 13 * size_t(k));
    }
    if (audioFirst) chunks.emplace_back(UINT64_MAX, UINT64_MAX);
    const TScannedMedia m(b);
    EXPECT_EQ(m.Reader.SliceStatistics.SingleFrameInterleave, 0);
    EXPECT_EQ(m.Spans(), chunks) << (audioFirst ? "audio first" : "video first");
    EXPECT_EQ(m.Spans(true), audio);
  }
}

// One frame, then one audio frame: the frames stand alone and each becomes a slice; not
// beside uncompressed sound, which has no terminator to go by.
TEST(SliceFindSlices, FindsSingleFramesBetweenAudioFrames) {
  TMediaDataBuilder b(8);
  std::vector<TSpan> frames;
  for (int k = 0; k < 40; ++k) {
    frames.push_back(AddVideoChunk(b, 1, k == 0, k == 0 ? 20000 : 6000 + 50 * uint32_t(k % 7)));
    b.Audio(380 + size_t(k % 5) * 10);
  }
  const TScannedMedia m(b);
  EXPECT_EQ(m.Reader.SliceStatistics.SingleFrameInterleave, 1);
  EXPECT_EQ(m.Spans(), frames);

  EXPECT_EQ(TScannedMedia(b, true, true).Reader.SliceStatistics.SingleFrameInterleave, 0);
}

// In every other audio frame after the first two, an audio end and a coded slice that
// reaches over the next two frames into the audio frame after them, where a byte like an
// audio frame's first follows it: a lone candidate that overlaps two frames. The frames'
// sizes and gaps fit the file's pattern better, so they stay and it gives way.
TEST(SliceFindSlices, ALoneCandidateOverlappingFramesGivesWay) {
  constexpr int kFrames = 41;
  const auto frameLength = [](int k) { return k == 0 ? 20000u : 6000u + 50 * uint32_t(k % 7); };
  const auto audioLength = [](int k) { return 380 + size_t(k % 5) * 10; };
  TMediaDataBuilder b(8);
  std::vector<TSpan> frames;
  std::vector<uint64_t> audio;
  for (int k = 0; k < kFrames; ++k) {
    frames.push_back(AddVideoChunk(b, 1, k == 0, frameLength(k)));
    audio.push_back(b.Audio(audioLength(k)));
  }
  for (size_t k = 2; k + 2 < audio.size(); k += 2) {
    const uint64_t at = audio[k] + 100;
    const uint64_t end = audio[k + 2] + 50;
    TMediaDataBuilder unit;
    unit.Unit(kNonIdr, uint32_t(end - at - 4), 5, 0);
    WriteBE16(&b.Bytes[size_t(at - b.Origin) - 2], kAudioEnd);
    std::copy_n(unit.Bytes.begin(), 16, &b.Bytes[size_t(at - b.Origin)]);
    b.Bytes[size_t(end - b.Origin)] = kAudioLead;
  }
  const TScannedMedia m(b);
  EXPECT_EQ(m.Reader.SliceStatistics.SingleFrameInterleave, 1);
  EXPECT_EQ(m.Spans(), frames);
}

// The single-frame test cuts runs at members without an audio end before them; answering
// no, it must leave the runs as they were, or a chunk after damaged audio is lost.
TEST(SliceFindSlices, ASingleFrameTestThatSaysNoChangesNothing) {
  TMediaDataBuilder b(8);
  std::vector<TSpan> chunks;
  for (int k = 0; k < 12; ++k) {
    chunks.push_back(AddVideoChunk(b, 4, k % 3 == 0, 7000));
    // Every third audio frame is damaged at its end: the next chunk has no audio end.
    b.Audio(2500, kAudioLead, k % 3 == 1 ? 0xAAAA : kAudioEnd);
  }
  const TScannedMedia m(b);
  EXPECT_EQ(m.Reader.SliceStatistics.SingleFrameInterleave, 0);
  EXPECT_EQ(m.Spans(), chunks);
}

// A coded slice far larger than the file's typical one is rejected: the run it sat in is
// cut before it, and the runs of the other chunks stand as they were found.
TEST(SliceFindSlices, AnOversizedSliceCutsOnlyItsOwnRun) {
  TMediaDataBuilder b(8);
  std::vector<TSpan> chunks;
  for (int k = 0; k < 12; ++k) {
    const uint64_t start = b.Offset();
    chunks.push_back(AddVideoChunk(b, 2, k % 4 == 0, 7000));
    if (k == 5) {
      b.Unit(kNonIdr, 40000, 5, 0);
      AddVideoChunk(b, 1, false, 7000);
      chunks.back() = TSpan(start, start + 2 * (4 + 7000));
    }
    b.Audio(2500);
  }
  const TScannedMedia m(b);
  EXPECT_EQ(m.Spans(), chunks);
}

// Three nested lone candidates in every audio frame: the test keeps one of each three
// before it answers no, and the candidates it set aside are left as they were.
TEST(SliceFindSlices, ASingleFrameTestThatSaysNoLeavesTheCandidates) {
  TMediaDataBuilder b(8);
  std::vector<TSpan> chunks;
  std::vector<uint64_t> audio;
  for (int k = 0; k < 12; ++k) {
    chunks.push_back(AddVideoChunk(b, 2, k % 3 == 0, 7000));
    audio.push_back(b.Audio(2500));
  }
  for (const uint64_t frame : audio)
    for (const uint32_t offset : {100u, 300u, 500u}) {
      const uint64_t at = frame + offset;
      const uint32_t length = 2200 - 2 * offset;
      TMediaDataBuilder unit;
      unit.Unit(kNonIdr, length, 5, 0);
      WriteBE16(&b.Bytes[size_t(at - b.Origin) - 2], kAudioEnd);
      std::copy_n(unit.Bytes.begin(), 16, &b.Bytes[size_t(at - b.Origin)]);
      b.Bytes[size_t(at + 4 + length - b.Origin)] = kAudioLead;
    }
  const TScannedMedia tested(b);
  const TScannedMedia untested(b, false);
  EXPECT_EQ(tested.Reader.SliceStatistics.SingleFrameInterleave, 0);
  EXPECT_EQ(tested.Spans(), chunks);
  const TMDATChunks& a = tested.Reader.Scan.MDATChunks;
  const TMDATChunks& u = untested.Reader.Scan.MDATChunks;
  ASSERT_EQ(a.Count(), u.Count());
  for (uint32_t i = 0; i < a.Count(); ++i)
    EXPECT_EQ(a[i].Neighbour, u[i].Neighbour) << uint64_t(a[i].Position);
}

// Trailing parameter sets are cut off; runs without a coded slice, or without the start
// of a picture, are no video.
TEST(SliceFindSlices, TrimsAndDropsWhatIsNoVideo) {
  TMediaDataBuilder b(8);
  std::vector<TSpan> kept;
  for (int k = 0; k < 10; ++k) {
    kept.push_back(AddVideoChunk(b, 4, k % 5 == 0, 8000));
    if (k == 3) b.Unit(kSps, 12); // a parameter set after the last slice
    b.Audio(2000);
    if (k == 6) {
      b.Unit(kSps, 12); // parameter sets only
      b.Unit(kPps, 4);
      b.Audio(2000);
      b.Unit(kNonIdr, 8000, 5, 1800); // the second halves of two pictures
      b.Unit(kNonIdr, 8000, 5, 1800);
      b.Audio(2000);
    }
  }
  EXPECT_EQ(TScannedMedia(b, false).Spans(), kept);
}

} // namespace
} // namespace clw
