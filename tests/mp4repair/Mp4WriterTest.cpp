// The repair writer on synthetic files: a camera-like interleave whose movie header is lost,
// rebuilt with a reference clip and read back with the project's own reader; pictures made
// of slice members; the tables of the rebuilt tracks; and the rules that keep a copy
// playable (what is left out, what is kept, where durations come from).
#include "mp4/Mp4BoxTypes.h"
#include "mp4repair/HgMP4FileWriter.h"

#include "support/Mp4Builder.h"
#include "support/Mp4RoundTrip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

// The fuzz target's round trip, so that every input it once failed on is run again here.

namespace clw::test {
namespace {

TBytes AvcConfig() {
  return {1, 0x64, 0, 0x1F, 0xFF, 0xE1, 0, 4, 0x67, 0x64, 0, 0x1F, 1, 0, 2, 0x68, 0xEE};
}

constexpr uint32_t kMovieScale = 600;
constexpr uint32_t kSoundRate = 44100; // the sound track of Trak() runs at this scale

// A reference clip: H.264 at 1001 per picture (one long last picture), and 16-bit stereo
// PCM, or AAC with its decoder configuration when Aac is set.
// An edit list of one segment that starts the sound 1024 samples in, past the priming.
TMp4Box SoundEdits() {
  return Container(
      "edts",
      {Box("elst", Join({FullBoxHead(0), BE32(1), BE32(1000), BE32(1024), BE32(0x10000)}))});
}

TBytes ReferenceClip(bool Aac = false, bool WithSound = true) {
  const TBytes esds = Join({FullBoxHead(0),
                            {3, 25, 0, 1, 0, 4, 17, 0x40, 0x15},
                            TBytes(11, 0),
                            {5, 2, 0x12, 0x10},
                            {6, 1, 2}});
  std::vector<TMp4Box> tracks = {
      Trak(true, 1,
           {Box("stsd",
                TablePayload(1, VisualSampleEntry("avc1", 320, 240, {Box("avcC", AvcConfig())}))),
            Box("stts", TablePayload(2, Words({100, 1001, 1, 5000})))})};
  if (WithSound) {
    tracks.push_back(Trak(
        false, 2,
        {Box("stsd",
             TablePayload(1, Aac ? SoundSampleEntry("mp4a", 2, 16, kSoundRate, {Box("esds", esds)})
                                 : SoundSampleEntry("sowt", 2, 16, kSoundRate)))}));
    tracks.back().Children.push_back(SoundEdits());
  }
  std::vector<TMp4Box> moov = {Box("mvhd", MvhdPayload(0, kMovieScale, 0))};
  moov.insert(moov.end(), tracks.begin(), tracks.end());
  return BuildMp4({Box("ftyp", BytesOf("isomxxxxisom")), Container("moov", moov)}).Bytes;
}

// Where the media data of a file built by DamagedFile starts.
constexpr uint64_t kMediaStart = 20 + 8;

// A recording without its movie header: "ftyp", then "mdat" with the media data.
TBytes DamagedFile(const TMediaDataBuilder& Media) {
  return BuildMp4({Box("ftyp", BytesOf("isomxxxxisom")), Box("mdat", Media.Bytes)}).Bytes;
}

// Chunks of five pictures, an IDR picture first in every other chunk, with Audio bytes of
// sound after each.
struct TCameraMedia {
  explicit TCameraMedia(int Chunks = 8, size_t Audio = 4000) : B(kMediaStart) {
    for (int k = 0; k < Chunks; ++k) {
      Video.push_back(AddVideoChunk(B, 5, k % 2 == 0, 6000 + 40 * uint32_t(k)));
      const uint64_t at = B.Audio(Audio + 4 * size_t(k));
      Sound.emplace_back(at, B.Offset());
    }
  }
  TMediaDataBuilder B;
  std::vector<TSpan> Video, Sound;
};

struct TRepair {
  int32_t Result = 0;
  bool AskedForReference = false;
  bool WithoutSound = false;
  std::unique_ptr<TMp4InMemory> Output; // analysed in the quick mode
  TBytes Bytes;
};

TRepair Repair(const TBytes& Damaged, const TBytes* Reference,
               const std::function<void(THgMP4FileWriter&)>& Tweak = {}) {
  TMp4InMemory in(Damaged);
  in.Reader.Analyze(0);
  in.Reader.Analyze(in.Reader.Error == kDamagedData ? 3 : 2);
  TMemoryStream out;
  THgMP4FileWriter writer(in.Reader, out);
  TRepair r;
  writer.OnReferenceNeeded = [&](const void*) {
    r.AskedForReference = true;
    if (Reference) {
      auto reference = std::make_unique<TMemoryMp4Reader>(*Reference);
      reference->Analyze(0);
      writer.ReferenceReader = std::move(reference);
    }
  };
  if (Tweak) Tweak(writer);
  r.Result = writer.Write();
  r.WithoutSound = writer.WithoutSound;
  r.Bytes = out.Data;
  r.Output = std::make_unique<TMp4InMemory>(out.Data);
  r.Output->Reader.Analyze(0);
  return r;
}

const TMp4Trak* TrackOfKind(const THgMP4FileReader& Reader, uint8_t Kind) {
  for (const TMp4Trak& t : Reader.Traks)
    if (t.MediaKind == Kind) return &t;
  return nullptr;
}

std::vector<TFourCC> TopLevel(const THgMP4FileReader& Reader) {
  std::vector<TFourCC> types;
  for (int32_t n = Reader.Count() > 0 ? 0 : -1; n >= 0; n = Reader.NextSibling(n))
    types.push_back(Reader.Id(n));
  return types;
}

// The main road: both tracks from the reference, pictures and sound from the scan, in the
// damaged file's order, and a copy that checks clean.
TEST(Mp4WriterRebuild, MoovlessInterleaveIsRebuiltWithTheReference) {
  const TCameraMedia media;
  const TBytes reference = ReferenceClip();
  const TRepair r = Repair(DamagedFile(media.B), &reference);
  ASSERT_EQ(r.Result, kDone);
  EXPECT_TRUE(r.AskedForReference);
  EXPECT_FALSE(r.WithoutSound);
  const THgMP4FileReader& out = r.Output->Reader;
  EXPECT_EQ(out.Error, kNoDamage);
  EXPECT_EQ(TopLevel(out), (std::vector<TFourCC>{kftyp, kmdat, kmoov}));
  const TMp4Trak* video = TrackOfKind(out, mkVideo);
  const TMp4Trak* sound = TrackOfKind(out, mkSound);
  ASSERT_TRUE(video && sound);

  // Pictures: the first of an IDR chunk carries its parameter sets; sync every ten.
  ASSERT_EQ(video->stsz.Table.size(), 40u);
  EXPECT_EQ(video->stsz.Table[0], 16u + 8u + 6004u);
  EXPECT_EQ(video->stsz.Table[1], 6004u);
  EXPECT_EQ(video->stss.Table, (TMp4_stss_table{1, 11, 21, 31}));
  ASSERT_EQ(video->stsc.Table.size(), 1u);
  EXPECT_EQ(video->stsc.Table[0].SamplesPerChunk, 5u);
  ASSERT_EQ(video->stts.Table.size(), 1u);
  EXPECT_EQ(video->stts.Table[0].SampleDelta, 1001u)
      << "the reference's pace, its odd last one aside";

  // Sound: every gap, the one after the last picture included, in frames of 4 bytes.
  uint64_t soundBytes = 0;
  for (const TSpan& s : media.Sound)
    soundBytes += s.second - s.first;
  EXPECT_EQ(sound->stsz.SampleSize, 4u);
  EXPECT_EQ(sound->stsz.SampleCount, soundBytes / 4);
  EXPECT_EQ(sound->stco.Table.size(), media.Sound.size());

  // The interleave of the damaged file, and its bytes.
  ASSERT_EQ(video->stco.Table.size(), media.Video.size());
  for (size_t k = 0; k < media.Video.size(); ++k) {
    EXPECT_LT(video->stco.Table[k], sound->stco.Table[k]);
    if (k + 1 < media.Video.size()) {
      EXPECT_LT(sound->stco.Table[k], video->stco.Table[k + 1]);
    }
    const TSpan& v = media.Video[k];
    EXPECT_TRUE(std::equal(media.B.Bytes.begin() + int64_t(v.first - kMediaStart),
                           media.B.Bytes.begin() + int64_t(v.second - kMediaStart),
                           r.Bytes.begin() + int64_t(video->stco.Table[k])))
        << "chunk " << k;
  }

  // The reference's movie time scale; the movie lasts as long as its longest track,
  // rounded up; the sound keeps its edit, now as long as the repaired sound.
  EXPECT_EQ(out.Mvhd.TimeScale, kMovieScale);
  const uint64_t soundTicks = (sound->mdhd.Duration * kMovieScale + kSoundRate - 1) / kSoundRate;
  EXPECT_EQ(out.Mvhd.Duration, std::max<uint64_t>(soundTicks, video->mdhd.Duration * kMovieScale /
                                                                  video->mdhd.TimeScale));
  ASSERT_EQ(sound->elst.Table.size(), 1u);
  EXPECT_EQ(sound->elst.Table[0].MediaTime, 1024);
  EXPECT_EQ(sound->elst.Table[0].SegmentDuration,
            (sound->mdhd.Duration - 1024) * kMovieScale / kSoundRate);
  EXPECT_TRUE(video->elst.Table.empty());

  TMp4InMemory again(r.Bytes);
  ASSERT_EQ(again.Reader.Analyze(2), kDone);
  EXPECT_EQ(again.Reader.Error, kNoDamage);
}

std::vector<TFourCC> Children(const THgMP4FileReader& Reader, int32_t Node) {
  std::vector<TFourCC> types;
  for (int32_t c = Reader.FirstChild(Node); Reader.IsNode(c); c = Reader.NextSibling(c))
    types.push_back(Reader.Id(c));
  return types;
}

// A movie header that survives with garbled chunk offsets: its tracks describe themselves,
// so no reference is asked for; the video comes from the scan and the sound, whose offsets
// point outside the media data, from the gaps. Headers lead each box; boxes the damaged
// file holds are copied, except those that describe samples one by one, which would now
// describe other samples, and "mvex", which would promise fragments.
TEST(Mp4WriterRebuild, SurvivingMovieHeaderKeepsItsBoxesAroundRebuiltTables) {
  const TCameraMedia media;
  const TBytes garbled = TablePayload(2, Words({0xFFFFFF00, 0xFFFFFF10}));
  TMp4Box video = Trak(
      true, 1,
      {Box("stsd",
           TablePayload(1, VisualSampleEntry("avc1", 320, 240, {Box("avcC", AvcConfig())}))),
       Box("stts", TablePayload(1, Words({40, 20}))), Box("ctts", TablePayload(1, Words({40, 0}))),
       Box("sdtp", TBytes(44, 0)), Box("stss", TablePayload(1, BE32(1))), Box("stco", garbled),
       Box("stsz", StszPayload(0, 2, {10, 10})), Box("stsc", TablePayload(1, Words({1, 1, 1})))});
  video.Children.insert(video.Children.begin() + 1,
                        Box("tref", Join({BE32(12), BytesOf("tmcd"), BE32(3)})));
  TMp4Box sound =
      Trak(false, 2,
           {Box("stsd", TablePayload(1, SoundSampleEntry("sowt", 2, 16, kSoundRate))),
            Box("sgpd", 16), Box("stss", TablePayload(1, BE32(1))), Box("stco", garbled)});
  const TBytes damaged =
      BuildMp4({Box("ftyp", BytesOf("isomxxxxisom")), Box("mdat", media.B.Bytes),
                Container("moov", {Box("udta", 16), Box("mvhd", MvhdPayload(0, kMovieScale, 0)),
                                   Box("mvex", 16), video, sound})})
          .Bytes;
  const TRepair r = Repair(damaged, nullptr);
  ASSERT_EQ(r.Result, kDone);
  EXPECT_FALSE(r.AskedForReference);
  const THgMP4FileReader& out = r.Output->Reader;
  const int32_t moov = out.FindChild(-1, kmoov);
  EXPECT_EQ(Children(out, moov), (std::vector<TFourCC>{kmvhd, MakeFourCC("udta"), ktrak, ktrak}));
  const int32_t trak = out.FindChild(moov, ktrak);
  EXPECT_EQ(Children(out, trak), (std::vector<TFourCC>{ktkhd, MakeFourCC("tref"), kmdia}));
  const int32_t mdia = out.FindChild(trak, kmdia);
  EXPECT_EQ(Children(out, mdia), (std::vector<TFourCC>{kmdhd, khdlr, kminf}));
  const int32_t minf = out.FindChild(mdia, kminf);
  EXPECT_EQ(Children(out, minf), (std::vector<TFourCC>{kvmhd, kdinf, kstbl}));
  EXPECT_EQ(Children(out, out.FindChild(minf, kstbl)),
            (std::vector<TFourCC>{kstsd, kstts, kstss, kstsc, kstsz, kstco}));
  const int32_t soundStbl =
      out.FindChild(out.FindChild(out.FindChild(out.FindNext(trak, ktrak), kmdia), kminf), kstbl);
  EXPECT_EQ(Children(out, soundStbl),
            (std::vector<TFourCC>{kstsd, MakeFourCC("sgpd"), kstts, kstsc, kstsz, kstco}));

  const TMp4Trak* rebuiltSound = TrackOfKind(out, mkSound);
  ASSERT_NE(rebuiltSound, nullptr);
  EXPECT_EQ(rebuiltSound->stco.Table.size(), media.Sound.size()) << "the gaps, not the tables";
  EXPECT_EQ(TrackOfKind(out, mkVideo)->stsz.Table.size(), 40u);
}

// A picture runs to its last coded slice; the next opens at a delimiter, SEI or parameter
// set after a coded slice, or at a slice that starts at macroblock 0.
TEST(Mp4WriterSamples, PicturesFromSliceMembers) {
  struct TCase {
    const char* Name;
    std::vector<TUnit> Units;
    std::vector<uint32_t> Sizes; // of the pictures, length fields included
    std::vector<bool> Sync;
  };
  const TCase cases[] = {
      {"parameter_sets_idr_two_p",
       {{kSps, 12}, {kPps, 4}, {kIdr, 100}, {kNonIdr, 50, 5}, {kNonIdr, 60, 5}},
       {16 + 8 + 104, 54, 64},
       {true, false, false}},
      {"four_slices_per_picture",
       {{kIdr, 100, 7, 0},
        {kIdr, 100, 7, 900},
        {kIdr, 100, 7, 1800},
        {kIdr, 100, 7, 2700},
        {kNonIdr, 50, 5, 0},
        {kNonIdr, 50, 5, 900},
        {kNonIdr, 50, 5, 1800},
        {kNonIdr, 50, 5, 2700}},
       {416, 216},
       {true, false}},
      {"delimiters_and_sei",
       {{kAud, 2},
        {kSei, 20},
        {kIdr, 100, 2},
        {kAud, 2},
        {kNonIdr, 50, 5},
        {kSei, 20},
        {kNonIdr, 60, 5}},
       {6 + 24 + 104, 6 + 54, 24 + 64},
       {true, false, false}},
      {"si_picture_is_no_sync_sample",
       {{kIdr, 100, 4}, {kNonIdr, 50, 5}},
       {104, 54},
       {false, false}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TMediaDataBuilder b(kMediaStart);
    for (const TUnit& u : c.Units)
      b.Unit(u);
    TMp4InMemory in(DamagedFile(b));
    in.Reader.FileSize = in.Memory.Data.size();
    TMDATSlice slice;
    for (const TUnit& u : c.Units) {
      const uint64_t at = slice.Members.empty()
                              ? kMediaStart
                              : in.Reader.Scan.MDATChunks[uint32_t(slice.Members.back())].End();
      const uint8_t sliceType =
          (u.Header & 0x1F) <= 5 ? uint8_t(u.SliceType) : TMDATChunk::kSliceTypeUnknown;
      slice.Members.push_back(int32_t(in.Reader.Scan.MDATChunks.Add(
          {at, u.Length, uint16_t(u.FirstMb == 0 ? TMDATChunk::kPictureStart : 0), u.Header,
           sliceType, TMDATChunk::kNeighbourUnknown, 0})));
    }
    slice.Count = int32_t(slice.Members.size());
    in.Reader.MDATSlices.push_back(slice);
    TMemoryStream out;
    THgMP4FileWriter writer(in.Reader, out);
    writer.RebuildMode = THgMP4FileWriter::rmFromScan;
    writer.VideoTrack = writer.AddTrack(mkVideo);
    writer.BuildChunkLists();
    ASSERT_EQ(writer.Tracks[0].Chunks.size(), 1u);
    std::vector<uint32_t> sizes;
    std::vector<bool> sync;
    for (const TNewChunk& s : writer.Tracks[0].Chunks[0].Samples) {
      sizes.push_back(uint32_t(s.Size));
      sync.push_back((s.Flags & TNewChunk::kSync) != 0);
    }
    EXPECT_EQ(sizes, c.Sizes);
    EXPECT_EQ(sync, c.Sync);
  }
}

// "stsc" opens an entry only where the samples per chunk change; "stss" numbers the sync
// samples from 1 across chunks.
TEST(Mp4WriterTables, SampleToChunkRunsAndSyncNumbers) {
  TMp4InMemory in(TBytes(64, 0));
  TMemoryStream out;
  THgMP4FileWriter writer(in.Reader, out);
  const int32_t t = writer.AddTrack(mkVideo);
  for (int count : {5, 5, 7}) {
    TSlice chunk;
    for (int s = 0; s < count; ++s)
      chunk.Samples.push_back({uint64_t(100 * s), 10, 0, uint16_t(s == 0 ? TNewChunk::kSync : 0)});
    writer.Tracks[size_t(t)].Chunks.push_back(chunk);
  }
  writer.Tracks[size_t(t)].DefaultSampleDuration = 512;
  writer.BuildTrackTables(t);
  const TRebuiltTrack& track = writer.Tracks[size_t(t)];
  ASSERT_EQ(track.stsc.Table.size(), 2u);
  EXPECT_EQ(std::tuple(track.stsc.Table[0].FirstChunk, track.stsc.Table[0].SamplesPerChunk),
            std::tuple(1u, 5u));
  EXPECT_EQ(std::tuple(track.stsc.Table[1].FirstChunk, track.stsc.Table[1].SamplesPerChunk),
            std::tuple(3u, 7u));
  EXPECT_EQ(track.stss.Table, (TMp4_stss_table{1, 6, 11}));
  ASSERT_EQ(track.stts.Table.size(), 1u);
  EXPECT_EQ(std::tuple(track.stts.Table[0].SampleCount, track.stts.Table[0].SampleDelta),
            std::tuple(17u, 512u));
}

// What keeps a copy playable, one rule a case.
struct TRuleCase {
  const char* Name;
  std::function<TRepair()> Run;
  std::function<void(const TRepair&)> Check;
};

void PrintTo(const TRuleCase& Case, std::ostream* Out) {
  *Out << Case.Name;
}

class Mp4WriterRules : public ::testing::TestWithParam<TRuleCase> {};

TEST_P(Mp4WriterRules, KeepTheCopyPlayable) {
  const TRepair r = GetParam().Run();
  GetParam().Check(r);
}

const TRuleCase kRules[] = {
    // Video alone: no sound track is made up for it, and nothing is said about sound.
    {"video_only_gets_no_sound_track",
     [] {
       TMediaDataBuilder b(kMediaStart);
       for (int k = 0; k < 6; ++k)
         AddVideoChunk(b, 5, k % 2 == 0, 6000);
       const TBytes reference = ReferenceClip(false, false);
       return Repair(DamagedFile(b), &reference);
     },
     [](const TRepair& r) {
       ASSERT_EQ(r.Result, kDone);
       EXPECT_EQ(r.Output->Reader.TrackCount(), 1);
       EXPECT_FALSE(r.WithoutSound);
     }},
    // AAC that cannot be delimited (no decoder library) is left out, and the copy says so.
    {"aac_without_a_decoder_is_left_out",
     [] {
       const TCameraMedia media;
       const TBytes reference = ReferenceClip(true);
       return Repair(DamagedFile(media.B), &reference,
                     [](THgMP4FileWriter& w) { w.AacDecoderLibrary = nullptr; });
     },
     [](const TRepair& r) {
       ASSERT_EQ(r.Result, kDone);
       EXPECT_TRUE(r.WithoutSound);
       EXPECT_EQ(r.Output->Reader.TrackCount(), 1);
       EXPECT_EQ(r.Output->Reader.Error, kNoDamage);
     }},
    // Silence is zeros: a run of them inside PCM sound stays, or the sound after it shifts.
    {"pcm_silence_is_kept",
     [] {
       TMediaDataBuilder b(kMediaStart);
       for (int k = 0; k < 8; ++k) {
         AddVideoChunk(b, 5, k % 2 == 0, 6000);
         b.Audio(1000);
         b.Fill(2048, 0);
         b.Audio(1000);
       }
       const TBytes reference = ReferenceClip();
       return Repair(DamagedFile(b), &reference);
     },
     [](const TRepair& r) {
       ASSERT_EQ(r.Result, kDone);
       const TMp4Trak* sound = TrackOfKind(r.Output->Reader, mkSound);
       ASSERT_NE(sound, nullptr);
       EXPECT_EQ(sound->stsz.SampleCount, 8u * 4048u / 4u);
     }},
    // A picture that ends where a zero run begins is whole; one the run reaches into is not.
    // The run may take in the leading zeros of the next unit's length field.
    {"zero_runs_delete_only_the_pictures_they_touch",
     [] {
       TMediaDataBuilder b(kMediaStart);
       for (int k = 0; k < 8; ++k) {
         AddVideoChunk(b, 5, k % 2 == 0, 6000);
         if (k == 3) {
           // Zeros right after a chunk, running into the length field of the next.
           b.Fill(2048, 0);
           AddVideoChunk(b, 5, true, 6000);
         }
         b.Audio(3000);
       }
       const TBytes reference = ReferenceClip();
       return Repair(DamagedFile(b), &reference);
     },
     [](const TRepair& r) {
       ASSERT_EQ(r.Result, kDone);
       const TMp4Trak* video = TrackOfKind(r.Output->Reader, mkVideo);
       ASSERT_NE(video, nullptr);
       EXPECT_EQ(video->stsz.Table.size(), 45u) << "no picture lost to the zeros beside it";
     }},
    // Without "ftyp" anywhere, a copy rebuilt from the scan gets the plain ISO one.
    {"no_ftyp_anywhere_gives_isom",
     [] {
       const TCameraMedia media;
       TBytes reference = ReferenceClip();
       TBytes damaged = DamagedFile(media.B);
       damaged[4] = 'j'; // "ftyp" becomes a box of another kind
       damaged[5] = 'u';
       damaged[6] = 'n';
       damaged[7] = 'k';
       reference =
           BuildMp4({Box("free", 12), RawBytes({reference.begin() + 20, reference.end()})}).Bytes;
       return Repair(damaged, &reference);
     },
     [](const TRepair& r) {
       ASSERT_EQ(r.Result, kDone);
       ASSERT_GE(r.Bytes.size(), 20u);
       EXPECT_EQ(TBytes(r.Bytes.begin(), r.Bytes.begin() + 20),
                 Join({BE32(20), BytesOf("ftyp"), BytesOf("isom"), BE32(1), BytesOf("isom")}));
     }},
    // Without a reference the tracks cannot be described: nothing is written.
    {"no_description_is_no_repair", [] { return Repair(DamagedFile(TCameraMedia().B), nullptr); },
     [](const TRepair& r) {
       EXPECT_EQ(r.Result, THgMP4FileWriter::kNothingRecovered);
       EXPECT_TRUE(r.AskedForReference);
     }},
    // Cancel stops the write; what was written is no copy.
    {"cancel_stops_the_write",
     [] {
       const TCameraMedia media;
       const TBytes reference = ReferenceClip();
       return Repair(DamagedFile(media.B), &reference, [](THgMP4FileWriter& w) {
         w.OnProgress = [&w](const void*, int64_t Percent) {
           if (Percent > 20) w.Cancel(true);
         };
       });
     },
     [](const TRepair& r) { EXPECT_EQ(r.Result, kCancelled); }},
    // Media data of nothing but zeros holds no video to rebuild.
    {"zeros_only_is_no_repair",
     [] {
       TMediaDataBuilder b(kMediaStart);
       b.Fill(100000, 0);
       const TBytes reference = ReferenceClip();
       return Repair(DamagedFile(b), &reference);
     },
     [](const TRepair& r) { EXPECT_EQ(r.Result, THgMP4FileWriter::kNothingRecovered); }},
};

INSTANTIATE_TEST_SUITE_P(Rules, Mp4WriterRules, ::testing::ValuesIn(kRules),
                         [](const auto& Info) { return std::string(Info.param.Name); });

// Inputs the fuzz target failed on, each through its round trip again: the check, the
// repair, and the check of the copy and its tables.
std::vector<std::filesystem::path> FuzzRegressions() {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(
           std::filesystem::path(CLIPWRIGHT_SOURCE_DIR) / "fuzz" / "regressions"))
    if (entry.is_regular_file()) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

class Mp4WriterFuzzRegressions : public ::testing::TestWithParam<std::filesystem::path> {};

TEST_P(Mp4WriterFuzzRegressions, RoundTripHolds) {
  std::ifstream in(GetParam(), std::ios::binary);
  const TBytes bytes{std::istreambuf_iterator<char>(in), {}};
  ASSERT_FALSE(bytes.empty());
  if (const char* broken = CheckMp4RoundTrip(bytes.data(), bytes.size())) ADD_FAILURE() << broken;
}

INSTANTIATE_TEST_SUITE_P(Inputs, Mp4WriterFuzzRegressions, ::testing::ValuesIn(FuzzRegressions()),
                         [](const auto& Info) {
                           std::string name = Info.param.stem().string();
                           for (char& c : name)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

} // namespace
} // namespace clw::test
