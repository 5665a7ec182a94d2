// The chunk tables checked against the media data: which chunks fail, the verdict a track's
// failures earn, the shift search, and the movie-box damage the walk itself reveals.
#include "mp4/Mp4ChunkCheck.h"
#include "mp4/AacDecoder.h"

#include "support/H264Builder.h"
#include "support/Mp4Builder.h"

#include <gtest/gtest.h>

#include <functional>

namespace clw::test {
namespace {

const TSpsFields kSps{.Profile = 100, .WidthMbs = 20, .HeightMapUnits = 15};

// A movie of H.264 video (four chunks of two pictures) and 16-bit stereo PCM (a chunk of
// 16 frames after each video chunk), with "moov" before "mdat". A case changes the tables
// or the media data before the file is put together.
struct TMovie {
  std::vector<TBytes> Samples;             // video samples in order, two per chunk
  std::vector<uint32_t> VideoSizes;        // "stsz" of the video
  std::vector<int64_t> VideoOffsets;       // relative to the start of the media data
  std::vector<int64_t> PcmOffsets;         // the same
  std::vector<int64_t> VideoMove, PcmMove; // added to each absolute offset
  TBytes Media;
  int64_t MediaStart = 0;

  TMovie() {
    for (int c = 0; c < 4; ++c) {
      VideoOffsets.push_back(int64_t(Media.size()));
      for (int s = 0; s < 2; ++s) {
        const bool idr = s == 0 && c == 0;
        const TBytes unit = MakeSlice({.RefIdc = uint8_t(idr ? 3 : 2),
                                       .Type = uint8_t(idr ? 5 : 1),
                                       .SliceType = idr ? 7u : 5u,
                                       .PayloadBytes = 40},
                                      kSps);
        TBytes sample = Join({BE32(uint32_t(unit.size())), unit});
        Samples.push_back(sample);
        VideoSizes.push_back(uint32_t(sample.size()));
        Media = Join({Media, sample});
      }
      PcmOffsets.push_back(int64_t(Media.size()));
      Media = Join({Media, TBytes(64, 0x11)});
    }
    VideoMove.assign(VideoOffsets.size(), 0);
    PcmMove.assign(PcmOffsets.size(), 0);
  }

  TMp4File Build(TMp4Box Sound) const {
    TBytes video, pcm;
    for (size_t i = 0; i < VideoOffsets.size(); ++i)
      video = Join({video, BE32(uint32_t(MediaStart + VideoOffsets[i] + VideoMove[i]))});
    for (size_t i = 0; i < PcmOffsets.size(); ++i)
      pcm = Join({pcm, BE32(uint32_t(MediaStart + PcmOffsets[i] + PcmMove[i]))});
    const TBytes avcC = MakeAvcC(4, {MakeSps(kSps)}, {MakePps(0, 0, false)});
    TMp4Box videoTrak = Trak(
        true, 1,
        {Box("stsd", TablePayload(1, VisualSampleEntry("avc1", 320, 240, {Box("avcC", avcC)}))),
         Box("stts", TablePayload(1, Words({8, 20}))),
         Box("stsc", TablePayload(1, Words({1, 2, 1}))),
         Box("stsz", StszPayload(0, uint32_t(VideoSizes.size()), VideoSizes)),
         Box("stco", TablePayload(uint32_t(VideoOffsets.size()), video))});
    if (Sound.Type == 0)
      Sound =
          Trak(false, 2,
               {Box("stsd", TablePayload(1, SoundSampleEntry("sowt", 2, 16, 44100))),
                Box("stts", TablePayload(1, Words({64, 1}))),
                Box("stsc", TablePayload(1, Words({1, 16, 1}))), Box("stsz", StszPayload(4, 64)),
                Box("stco", TablePayload(uint32_t(PcmOffsets.size()), pcm))});
    return BuildMp4({Box("ftyp", Join({BytesOf("isom"), BE32(512), BytesOf("isomavc1")})),
                     Container("moov", {Box("mvhd", MvhdPayload(0, 1000, 5000)),
                                        std::move(videoTrak), std::move(Sound)}),
                     Box("mdat", Media).Named("mdat")});
  }

  // The file with every offset pointing where the media data really landed.
  TBytes Bytes(TMp4Box Sound = {}) {
    MediaStart = Build(Sound).At.at("mdat").Data;
    return Build(std::move(Sound)).Bytes;
  }
};

struct TCheckCase {
  const char* Name;
  std::function<void(TMovie&)> Damage;
  int32_t Error; // after the full check
  int64_t Shift;
  uint32_t VideoFailed; // of 4 chunks
  uint32_t PcmFailed;   // of 4 chunks
  bool VideoOffsetsWrong;
};

void PrintTo(const TCheckCase& Case, std::ostream* Out) {
  *Out << Case.Name;
}

void MoveAll(TMovie& M, int64_t By) {
  for (int64_t& v : M.VideoMove)
    v += By;
  for (int64_t& v : M.PcmMove)
    v += By;
}

const TCheckCase kCheckCases[] = {
    {"intact", [](TMovie&) {}, kNoDamage, 0, 0, 0, false},
    // A stray write moved one offset into the middle of a picture.
    {"one_video_offset_garbled", [](TMovie& M) { M.VideoMove[2] = 9; }, kDamagedData, 0, 1, 0,
     false},
    // The units of the first picture stop one byte short of the size the table gives.
    {"units_short_of_the_sample",
     [](TMovie& M) {
       ++M.VideoSizes[0];
       M.Media.insert(M.Media.begin() + int64_t(M.Samples[0].size()), 0xA5);
       for (size_t i = 1; i < M.VideoOffsets.size(); ++i)
         ++M.VideoOffsets[i];
       for (int64_t& o : M.PcmOffsets)
         ++o;
     },
     kDamagedData, 0, 1, 0, false},
    // A slice naming a picture parameter set the description does not hold is no slice of
    // this stream, however well its length fits.
    {"slice_of_an_unknown_picture_set",
     [](TMovie& M) {
       const TBytes unit = MakeSlice({.SliceType = 5, .PpsId = 1, .PayloadBytes = 40}, kSps);
       std::copy(unit.begin(), unit.end(), M.Media.begin() + M.VideoOffsets[1] + 4);
     },
     kDamagedData, 0, 1, 0, false},
    {"pcm_chunk_past_the_media_data", [](TMovie& M) { M.PcmMove[3] = 8; }, kDamagedData, 0, 0, 1,
     false},
    // Every offset 24 bytes further than its chunk: what a cut-away "ftyp" leaves.
    // (The last sound chunk then runs past the media data.)
    {"all_offsets_24_bytes_on", [](TMovie& M) { MoveAll(M, 24); }, kDamagedIndex, -24, 4, 1, false},
    {"all_offsets_64_bytes_back", [](TMovie& M) { MoveAll(M, -64); }, kDamagedIndex, 64, 4, 0,
     false},
    {"all_offsets_65_bytes_back", [](TMovie& M) { MoveAll(M, -65); }, kDamagedIndex, 0, 4, 0, true},
    // The sound's table alone is wrong: no shift mends it, the video's offsets stay trusted.
    {"pcm_offsets_past_the_file",
     [](TMovie& M) {
       for (int64_t& v : M.PcmMove)
         v = 1 << 20;
     },
     kDamagedIndex, 0, 0, 4, false},
};

class Mp4ChunkCheckRules : public ::testing::TestWithParam<TCheckCase> {};

TEST_P(Mp4ChunkCheckRules, VerdictOfTheChunks) {
  const TCheckCase& c = GetParam();
  TMovie movie;
  c.Damage(movie);
  TMp4InMemory file(movie.Bytes());
  ASSERT_EQ(file.Reader.Analyze(2), kDone);
  const TTableCheck& check = file.Reader.TableCheck;
  EXPECT_EQ(file.Reader.Error, c.Error);
  ASSERT_EQ(check.Tracks.size(), 2u);
  EXPECT_EQ(check.Shift, c.Shift);
  EXPECT_EQ(check.Tracks[0].Checked, 4u);
  EXPECT_EQ(check.Tracks[0].Failed, c.VideoFailed);
  EXPECT_EQ(check.Tracks[1].Checked, 4u);
  EXPECT_EQ(check.Tracks[1].Failed, c.PcmFailed);
  EXPECT_EQ(check.WrongOffsets(0), c.VideoOffsetsWrong);
  EXPECT_EQ(check.WrongOffsets(1), c.PcmFailed == 4 && c.Shift == 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, Mp4ChunkCheckRules, ::testing::ValuesIn(kCheckCases),
                         [](const auto& Info) { return std::string(Info.param.Name); });

// An AAC track whose chunks hold no AAC: judged with the decoder, passed over without one.
TEST(Mp4ChunkCheckAac, FramesAreJudgedOnlyWithADecoder) {
  const TBytes esds = Join({FullBoxHead(0), BytesOf("\x03\x19\0\x01\0\x04\x11\x40\x15"),
                            TBytes(11, 0), BytesOf("\x05\x02\x11\x90\x06\x01\x02")});
  TMovie movie;
  const auto sound = [&] {
    TBytes offsets;
    for (int64_t o : movie.PcmOffsets)
      offsets = Join({offsets, BE32(uint32_t(movie.MediaStart + o))});
    return Trak(
        false, 2,
        {Box("stsd", TablePayload(1, SoundSampleEntry("mp4a", 1, 16, 48000, {Box("esds", esds)}))),
         Box("stts", TablePayload(1, Words({8, 1024}))),
         Box("stsc", TablePayload(1, Words({1, 2, 1}))),
         Box("stsz", StszPayload(0, 8, {32, 32, 32, 32, 32, 32, 32, 32})),
         Box("stco", TablePayload(4, offsets))});
  };
  movie.MediaStart = movie.Build(sound()).At.at("mdat").Data;
  const TBytes bytes = movie.Build(sound()).Bytes;

  const std::unique_ptr<TAacLibrary> none = TAacLibrary::Open("none");
  const std::unique_ptr<TAacLibrary> system = TAacLibrary::Open("");
  ASSERT_TRUE(system && system->Loaded) << "the AAC decoder library is needed for this test";
  for (const TAacLibrary* library : {none.get(), system.get()}) {
    const bool decoder = library == system.get();
    SCOPED_TRACE(decoder ? "with the decoder" : "without a decoder");
    TMp4InMemory file(bytes);
    file.Reader.AacDecoderLibrary = library;
    ASSERT_EQ(file.Reader.Analyze(2), kDone);
    const TTableCheck& check = file.Reader.TableCheck;
    ASSERT_EQ(check.Tracks.size(), 2u);
    EXPECT_EQ(check.Tracks[1].Checked, decoder ? 4u : 0u);
    EXPECT_EQ(check.Tracks[1].Failed, decoder ? 4u : 0u);
    EXPECT_EQ(file.Reader.Error, decoder ? kDamagedIndex : kNoDamage);
  }
}

// The movie box itself: a top-level header the walk had to search past, and a track header
// left without its track. Each is damage in the quick analysis as in the full check.
struct TMovieBoxCase {
  const char* Name;
  const char* Overwritten; // the label of the box whose type is overwritten
  uint8_t Mode;
  int32_t Error;
  bool Incomplete;
};

void PrintTo(const TMovieBoxCase& Case, std::ostream* Out) {
  *Out << Case.Name << "_mode" << int(Case.Mode);
}

const TMovieBoxCase kMovieBoxCases[] = {
    {"moov_type_overwritten", "moov", 0, kDamagedData, false},
    {"moov_type_overwritten", "moov", 2, kDamagedData, true},
    // The second track's "trak" lost: its tables are found straight under "moov".
    {"second_trak_type_overwritten", "sound", 0, kDamagedIndex, false},
    {"second_trak_type_overwritten", "sound", 2, kDamagedIndex, false},
};

class Mp4MovieBoxDamage : public ::testing::TestWithParam<TMovieBoxCase> {};

TEST_P(Mp4MovieBoxDamage, IsDamage) {
  const TMovieBoxCase& c = GetParam();
  // "moov" after the media data, as a camera writes it when the recording stops.
  TMp4File file =
      BuildMp4({Box("ftyp", 16), Box("mdat", 256),
                Container("moov", {Box("mvhd", MvhdPayload(0, 1000, 5000)),
                                   Trak(true, 1, {Box("stsz", StszPayload(0, 1, {8}))}),
                                   Trak(false, 2, {Box("stsz", StszPayload(4, 1))}).Named("sound")})
                    .Named("moov")});
  const int64_t type = file.At.at(c.Overwritten).Header + 4;
  std::copy_n("xq7z", 4, file.Bytes.begin() + type);
  TMp4InMemory damaged(file.Bytes);
  damaged.Reader.Analyze(c.Mode);
  EXPECT_EQ(damaged.Reader.Error, c.Error);
  EXPECT_EQ(damaged.Reader.MovieIncomplete, c.Incomplete);
}

INSTANTIATE_TEST_SUITE_P(Cases, Mp4MovieBoxDamage, ::testing::ValuesIn(kMovieBoxCases),
                         [](const auto& Info) {
                           return std::string(Info.param.Name) + "_mode" +
                                  std::to_string(Info.param.Mode);
                         });

} // namespace
} // namespace clw::test
