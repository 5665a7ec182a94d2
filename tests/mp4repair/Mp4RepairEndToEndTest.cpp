// The check and the repair end to end on real encoder output: each ffmpeg clip (H.264 in
// MP4, MOV and 3GP) must check clean whole; cut where its movie header starts, as a recorder
// that lost power leaves it, it is checked (what the check finds in the bare media data is
// compared with where ffprobe says the original's video lies) and repaired with a shorter
// clip of the same settings as the reference. The copy must open and decode without an
// error and hold the original's pictures bit for bit; its sound must last as long as its
// video, and its sync samples must be the key frames.
#include "mp4repair/HgMP4FileWriter.h"
#include "mp4repair/MediaDataAnalysis.h"
#include "mp4repair/ReferenceClip.h"
#include "mp4repair/TrackDescriptions.h"

#include "support/InterleavedClip.h"
#include "support/MediaTools.h"
#include "support/Mp4Clips.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <vector>

namespace clw::test {
namespace {

struct TRepairFigures {
  bool Repaired = false;
  bool WithoutSound = false;
  TProbe Probe;
  size_t OriginalFrames = 0;
  size_t ExactFrames = 0; // original pictures found decoded bit for bit in the copy
  double VideoSeconds = -1, AudioSeconds = -1;
  size_t OriginalAudioPackets = 0;
  size_t ExactAudioPackets = 0; // the original's sound frames found byte for byte
  int KeyMismatches = 0;        // packets of the original whose key flag the copy changed
  int KeyPackets = 0;
};

// What the check of a damaged file found, and the verdict of its quick analysis.
using TChecked = std::function<void(const THgMP4FileReader&, int32_t QuickVerdict)>;

// Repairs Damaged into Output with Reference, the way the job does: the quick analysis,
// the full check, then the writer with the reference attached.
bool Repair(const std::string& Damaged, const std::string& Output, const std::string& Reference,
            bool& WithoutSound, bool WithAacLibrary = true, const TChecked& Checked = {}) {
  THgMP4FileReader reader(Damaged, &MediaDataAnalysis());
  if (!WithAacLibrary) reader.AacDecoderLibrary = nullptr;
  if (reader.Analyze(0) != kDone) return false;
  const int32_t quick = reader.Error;
  if (reader.Analyze(quick == kDamagedData ? 3 : 2) != kDone) return false;
  if (Checked) Checked(reader, quick);
  THgMP4FileWriter writer(reader, Output);
  if (!WithAacLibrary) writer.AacDecoderLibrary = nullptr;
  if (!Reference.empty()) {
    int32_t verdict = 0;
    writer.ReferenceReader = OpenReferenceClip(Reference, verdict);
    if (!writer.ReferenceReader) return false;
  }
  const bool done = writer.Write() == kDone;
  WithoutSound = writer.WithoutSound;
  return done;
}

// The hashes of a stream's packets ("v:0", "a:0", "d:0"), each with its key flag when
// WithKey is set.
std::vector<std::string> Packets(const std::string& Path, const std::string& Stream,
                                 bool WithKey = false) {
  std::vector<std::string> hashes;
  for (const TPacketHash& p : PacketHashes(Path, Stream))
    hashes.push_back(WithKey ? p.Hash + (p.Key ? "+key" : "") : p.Hash);
  return hashes;
}

// How many of Original's hashes Copy holds, each counted as often as both hold it.
size_t Matched(const std::vector<std::string>& Original, const std::vector<std::string>& Copy) {
  std::map<std::string, int> wanted;
  for (const std::string& h : Original)
    ++wanted[h];
  size_t found = 0;
  for (const std::string& h : Copy)
    if (auto it = wanted.find(h); it != wanted.end() && it->second > 0) {
      --it->second;
      ++found;
    }
  return found;
}

TRepairFigures Measure(const std::string& Original, const std::string& Repaired) {
  TRepairFigures f;
  std::vector<std::string> repaired;
  f.Probe = ProbeVideo(Repaired, &repaired);
  const std::vector<std::string> frames = DecodedFrameHashes(Original);
  f.OriginalFrames = frames.size();
  f.ExactFrames = Matched(frames, repaired);
  std::map<std::string, bool> key;
  for (const TPacketHash& p : PacketHashes(Original, "v:0"))
    key[p.Hash] = p.Key;
  for (const TPacketHash& p : PacketHashes(Repaired, "v:0")) {
    f.KeyPackets += p.Key ? 1 : 0;
    if (auto it = key.find(p.Hash); it != key.end() && it->second != p.Key) ++f.KeyMismatches;
  }
  const std::vector<std::string> sound = Packets(Original, "a:0");
  f.OriginalAudioPackets = sound.size();
  f.ExactAudioPackets = Matched(sound, Packets(Repaired, "a:0"));
  f.VideoSeconds = StreamSeconds(Repaired, "v:0");
  f.AudioSeconds = StreamSeconds(Repaired, "a:0");
  return f;
}

TRepairFigures RepairAndMeasure(const std::string& Original, const std::string& Damaged,
                                const std::string& Output, const std::string& Reference,
                                bool WithAacLibrary = true, const TChecked& Checked = {}) {
  bool withoutSound = false;
  if (!Repair(Damaged, Output, Reference, withoutSound, WithAacLibrary, Checked)) return {};
  TRepairFigures f = Measure(Original, Output);
  f.Repaired = true;
  f.WithoutSound = withoutSound;
  return f;
}

void Report(const std::string& Name, const TRepairFigures& f) {
  std::printf("[ figures  ] %s: repaired %d%s, decode errors %d, frames %zu/%zu exact (%.1f%%), "
              "sound frames %zu/%zu exact, video %.2fs, audio %.2fs, key packets %d, key flags "
              "changed %d\n",
              Name.c_str(), int(f.Repaired), f.WithoutSound ? " without sound" : "",
              f.Probe.DecodeErrorLines, f.ExactFrames, f.OriginalFrames,
              f.OriginalFrames ? 100.0 * double(f.ExactFrames) / double(f.OriginalFrames) : 0.0,
              f.ExactAudioPackets, f.OriginalAudioPackets, f.VideoSeconds, f.AudioSeconds,
              f.KeyPackets, f.KeyMismatches);
}

// A clip made with Arguments and cut where its movie header starts, and a reference made
// with ReferenceArguments; Cut is empty when ffmpeg failed.
struct TCutClip {
  std::string Original, Reference, Cut;
  std::filesystem::path Dir;
};
TCutClip MakeCutClip(const std::string& File, const std::string& Arguments,
                     const std::string& ReferenceArguments) {
  TCutClip c;
  c.Original = MakeClip(File, Arguments);
  c.Reference = MakeClip("ref_" + File, ReferenceArguments);
  c.Dir = ScratchDir();
  if (!c.Original.empty() && !c.Reference.empty()) c.Cut = CutAtMovieHeader(c.Original, c.Dir);
  return c;
}
// The reference of a clip: the same settings, a shorter recording.
TCutClip MakeCutClip(const TMp4Clip& Clip) {
  return MakeCutClip(Clip.File, Clip.Arguments, std::string(Clip.Arguments) + " -t 6");
}

// The quick analysis and the full check of an intact clip both find nothing wrong.
void ExpectChecksClean(const std::string& Clip, int32_t Tracks) {
  ASSERT_FALSE(Clip.empty());
  THgMP4FileReader reader(Clip, &MediaDataAnalysis());
  for (uint8_t mode : {0, 2}) {
    ASSERT_EQ(reader.Analyze(mode), kDone);
    EXPECT_EQ(reader.Error, kNoDamage) << "mode " << int(mode);
  }
  EXPECT_EQ(reader.TrackCount(), Tracks);
}

// With the movie header in front, the tolerant walk meets every box of the tracks before
// the media data, including the sample groups of the AAC track.
TEST(Mp4EndToEndFastStartTest, MovieHeaderFirstChecksWithoutDamage) {
  ExpectChecksClean(MakeClip("h264_aac_faststart.mp4",
                             CLW_VIDEO_IN CLW_SINE_IN CLW_H264 CLW_AAC "-movflags +faststart"),
                    2);
}

// A run of bytes of the original file: a video chunk (packets that follow each other without
// a gap), or a slice the check found.
struct TRange {
  int64_t Start = 0, End = 0;
};

// What the check of a clip cut at its movie header found in the bare media data, against
// where ffprobe says the original's video chunks lie: the share of chunk starts found, of
// slices that start a chunk, and of video bytes the slices cover. Reported for every clip,
// required of those marked Enforce.
void ExpectVideoFound(const THgMP4FileReader& Reader, const TMp4Clip& Clip,
                      const std::string& Original) {
  std::vector<TRange> chunks, found;
  for (const TPacket& p : VideoPackets(Original)) {
    if (!chunks.empty() && chunks.back().End == p.Position)
      chunks.back().End += p.Size;
    else
      chunks.push_back({p.Position, p.Position + p.Size});
  }
  ASSERT_FALSE(chunks.empty());
  for (const TMDATSlice& s : Reader.MDATSlices)
    if (s.Count > 0) found.push_back({int64_t(s.Start), int64_t(s.Start + s.Size)});
  std::set<int64_t> chunkStarts, foundStarts;
  int64_t videoBytes = 0, covered = 0;
  for (const TRange& c : chunks) {
    chunkStarts.insert(c.Start);
    videoBytes += c.End - c.Start;
    for (const TRange& s : found)
      covered += std::max<int64_t>(0, std::min(c.End, s.End) - std::max(c.Start, s.Start));
  }
  for (const TRange& s : found)
    foundStarts.insert(s.Start);
  int chunksFound = 0, slicesOnChunks = 0;
  for (int64_t c : chunkStarts)
    chunksFound += foundStarts.count(c) ? 1 : 0;
  for (int64_t s : foundStarts)
    slicesOnChunks += chunkStarts.count(s) ? 1 : 0;
  const auto percent = [](double Part, size_t Whole) {
    return Whole > 0 ? 100.0 * Part / double(Whole) : 0.0;
  };
  const double chunkRecall = percent(chunksFound, chunkStarts.size());
  const double slicePrecision = percent(slicesOnChunks, foundStarts.size());
  const double coverage = percent(double(covered), size_t(videoBytes));
  std::printf("[ figures  ] %s: %zu video chunks, %zu slices, %u candidates; chunk starts "
              "found %.1f%%, slices on a chunk start %.1f%%, video bytes covered %.1f%%\n",
              Clip.Name, chunkStarts.size(), found.size(), Reader.Scan.MDATChunks.Count(),
              chunkRecall, slicePrecision, coverage);
  ::testing::Test::RecordProperty("chunk_starts_found_percent", std::to_string(chunkRecall));
  ::testing::Test::RecordProperty("slices_on_chunk_start_percent", std::to_string(slicePrecision));
  ::testing::Test::RecordProperty("video_bytes_covered_percent", std::to_string(coverage));
  if (!Clip.Enforce) return;
  if (Clip.Layout == TLayout::VideoOnly) {
    EXPECT_GE(coverage, 98.0);
  } else {
    EXPECT_GE(chunkRecall, 98.0);
    EXPECT_GE(slicePrecision, 98.0);
  }
}

class Mp4RepairEndToEndTest : public ::testing::TestWithParam<TMp4Clip> {};

TEST_P(Mp4RepairEndToEndTest, MovieHeaderCutOffIsRepairedWithAReference) {
  const TMp4Clip& clip = GetParam();
  const TCutClip c = MakeCutClip(clip);
  ASSERT_FALSE(c.Cut.empty());
  const bool timeCode = std::string(clip.Arguments).find("-timecode") != std::string::npos;
  ExpectChecksClean(c.Original, clip.Layout == TLayout::VideoOnly ? 1 : timeCode ? 3 : 2);
  const std::string output = (c.Dir / "repaired.mp4").string();

  bool checked = false;
  const TRepairFigures f =
      RepairAndMeasure(c.Original, c.Cut, output, c.Reference, true,
                       [&](const THgMP4FileReader& Reader, int32_t QuickVerdict) {
                         checked = true;
                         EXPECT_EQ(QuickVerdict, kDamagedData);
                         EXPECT_EQ(Reader.Error, kDamagedData);
                         ExpectVideoFound(Reader, clip, c.Original);
                       });
  Report(clip.Name, f);
  EXPECT_TRUE(checked);

  // Every copy opens and decodes cleanly, whatever share of the clip it holds.
  ASSERT_TRUE(f.Repaired);
  EXPECT_TRUE(f.Probe.Opened);
  EXPECT_EQ(f.Probe.DecodeErrorLines, 0);
  EXPECT_TRUE(f.Probe.StartsWithKeyFrame);
  // With a reference every interleave comes back whole, frame by frame too: the walk
  // proves each chunk against the reference instead of relying on the file's statistics.
  EXPECT_GE(double(f.ExactFrames), 0.98 * double(f.OriginalFrames));
  EXPECT_EQ(f.KeyMismatches, 0);
  EXPECT_GT(f.KeyPackets, 0);
  if (clip.Layout == TLayout::VideoOnly) {
    EXPECT_LT(f.AudioSeconds, 0) << "a video-only clip gets no sound track";
    EXPECT_FALSE(f.WithoutSound);
  } else {
    EXPECT_FALSE(f.WithoutSound);
    EXPECT_NEAR(f.AudioSeconds, f.VideoSeconds, 0.5);
    EXPECT_GE(double(f.ExactAudioPackets), 0.98 * double(f.OriginalAudioPackets));
  }
}

// Without the AAC decoder library no sound frame can be delimited: the walk takes the sound
// as the bytes between checked pictures, the video comes back whole, and the copy says it
// has no sound rather than carry sound cut wrong.
class Mp4RepairWithoutAacTest : public ::testing::TestWithParam<TMp4Clip> {};

TEST_P(Mp4RepairWithoutAacTest, TheVideoComesBackWhole) {
  const TMp4Clip& clip = GetParam();
  const TCutClip c = MakeCutClip(clip);
  ASSERT_FALSE(c.Cut.empty());
  const std::string output = (c.Dir / "repaired_without_aac.mp4").string();
  const TRepairFigures f = RepairAndMeasure(c.Original, c.Cut, output, c.Reference, false);
  Report(std::string(clip.Name) + " without the AAC library", f);
  ASSERT_TRUE(f.Repaired);
  EXPECT_TRUE(f.WithoutSound);
  EXPECT_EQ(f.Probe.DecodeErrorLines, 0);
  EXPECT_EQ(f.ExactFrames, f.OriginalFrames);
  EXPECT_EQ(f.KeyMismatches, 0);
}

// A picture whose first length field was overwritten stops the walk; it resynchronises at
// the next picture that checks out and keeps the sound frame that chains up to it. The
// sound chunk before the damaged picture is lost with it: its frames decode, but nothing
// after them checks out.
TEST(Mp4RepairEndToEndResyncTest, SoundBeforeTheNextPictureIsKept) {
  const TCutClip c = MakeCutClip(kMp4Clips[6]);
  ASSERT_FALSE(c.Cut.empty());
  const std::vector<TPacket> pictures = VideoPackets(c.Original);
  ASSERT_GT(pictures.size(), 100u);
  ASSERT_FALSE(pictures[100].Key);
  std::string bytes = ReadFile(c.Cut);
  bytes.replace(size_t(pictures[100].Position), 4, "\xff\xff\xff\xff");
  WriteFile(c.Cut, bytes);
  const std::string output = (c.Dir / "repaired_resync.mp4").string();
  const TRepairFigures f = RepairAndMeasure(c.Original, c.Cut, output, c.Reference);
  Report("h264_aac_frame_by_frame_mp4 one picture damaged", f);
  ASSERT_TRUE(f.Repaired);
  EXPECT_EQ(f.Probe.DecodeErrorLines, 0);
  EXPECT_EQ(f.ExactAudioPackets + 2, f.OriginalAudioPackets);
}

// A movie header that survives whole while its chunk offsets do not: garbled by a stray
// write, or all pointing 20 to 32 bytes past their chunks because a tool cut "ftyp" out of
// the file. The check finds the chunks hold something else than the descriptions say, and
// the repair needs no reference: the damaged file describes its own tracks. Garbled
// offsets are rebuilt by the walk with the file's own descriptions; a shift is undone and
// a fresh "ftyp" written.
enum class TTableDamage { GarbledVideoOffsets, GarbledOffsets, FtypCutOut };

struct TTableCase {
  TMp4Clip Clip;
  TTableDamage Damage;
  const char* Name;
};

void PrintTo(const TTableCase& Case, std::ostream* Out) {
  *Out << Case.Clip.Name << "_" << Case.Name;
}

// The file with the damage done; "" when the original's tables could not be found.
std::string DamageTables(const std::string& Original, TTableDamage Damage,
                         const std::filesystem::path& Dir) {
  std::string bytes = ReadFile(Original);
  THgMP4FileReader reader(Original, nullptr);
  if (reader.Analyze(0) != kDone || reader.Traks.empty()) return "";
  if (Damage == TTableDamage::FtypCutOut) {
    const int32_t ftyp = reader.FindChild(-1, MakeFourCC("ftyp"));
    if (ftyp < 0) return "";
    bytes.erase(0, size_t(reader.NodeEnd(ftyp)));
  } else {
    for (const TMp4Trak& t : reader.Traks) {
      if (Damage == TTableDamage::GarbledVideoOffsets && t.MediaKind != mkVideo) continue;
      const int32_t mdia = reader.FindChild(t.TrakNode, MakeFourCC("mdia"));
      const int32_t minf = reader.FindChild(mdia, MakeFourCC("minf"));
      const int32_t stco =
          reader.FindChild(reader.FindChild(minf, MakeFourCC("stbl")), MakeFourCC("stco"));
      if (stco < 0) return "";
      for (int64_t at = reader.DataPosition(stco) + 8; at + 4 <= reader.NodeEnd(stco); at += 4)
        bytes.replace(size_t(at), 4, "\x7f\xee\x12\x34");
    }
  }
  const std::string damaged =
      (Dir / ("damaged" + std::filesystem::path(Original).extension().string())).string();
  WriteFile(damaged, bytes);
  return damaged;
}

class Mp4RepairEndToEndTablesTest : public ::testing::TestWithParam<TTableCase> {};

TEST_P(Mp4RepairEndToEndTablesTest, WrongOffsetsAreFoundAndRepairedWithoutAReference) {
  const TTableCase& c = GetParam();
  const std::string original = MakeClip(c.Clip.File, c.Clip.Arguments);
  ASSERT_FALSE(original.empty());
  const auto dir = ScratchDir();
  const std::string damaged = DamageTables(original, c.Damage, dir);
  ASSERT_FALSE(damaged.empty());

  THgMP4FileReader reader(damaged, &MediaDataAnalysis());
  ASSERT_EQ(reader.Analyze(0), kDone);
  ASSERT_EQ(reader.Analyze(reader.Error == kDamagedData ? 3 : 2), kDone);
  EXPECT_EQ(reader.Error, kDamagedIndex);
  EXPECT_EQ(reader.TableCheck.Shift != 0, c.Damage == TTableDamage::FtypCutOut);
  const std::string output =
      (dir / ("repaired" + std::filesystem::path(original).extension().string())).string();
  bool asked = false;
  {
    THgMP4FileWriter writer(reader, output);
    writer.OnReferenceNeeded = [&](const void*) { asked = true; };
    ASSERT_EQ(writer.Write(), kDone);
  }
  EXPECT_FALSE(asked);
  if (c.Damage == TTableDamage::FtypCutOut) {
    const bool quickTime = std::string(c.Clip.File).ends_with(".mov");
    EXPECT_EQ(ReadFile(output).substr(4, 8), quickTime ? "ftypqt  " : "ftypisom");
  }

  // Every packet of the original, bit for bit, and no other; a copy the check finds sound.
  for (const char* stream : {"v:0", "a:0"}) {
    const std::vector<std::string> before = Packets(original, stream);
    const std::vector<std::string> after = Packets(output, stream);
    EXPECT_EQ(Matched(before, after), before.size()) << stream << " packets lost or changed";
    EXPECT_EQ(after.size(), before.size()) << stream << " packets added";
  }
  EXPECT_EQ(ProbeVideo(output).DecodeErrorLines, 0);
  THgMP4FileReader copy(output, &MediaDataAnalysis());
  ASSERT_EQ(copy.Analyze(0), kDone);
  ASSERT_EQ(copy.Analyze(2), kDone);
  EXPECT_EQ(copy.Error, kNoDamage);
}

// Streams that statistics of the file itself get wrong: 44.1 kHz mono AAC under 29.97
// pictures a second, near-silent 24-bit PCM frame by frame (zero-rich sound between
// pictures), stereo AAC frame by frame with an access unit delimiter opening each picture,
// a third track between the pictures and the sound (a time code's one sample), and one
// second of PCM frame by frame, in which slice detection finds no picture at all. Their
// check figures are reported, not required: the walk with the reference repairs them.
const TMp4Clip kHarderClips[] = {
    {"aac_44k_mono_2997_mp4", "aac_44k_2997.mp4",
     "-f lavfi -i testsrc2=size=960x540:rate=30000/1001 "
     "-f lavfi -i sine=frequency=440:sample_rate=44100 " CLW_H264
     "-c:a aac -ac 1 -b:a 64k " CLW_SECOND_CHUNKS,
     TLayout::CameraChunks, false},
    {"pcm24_quiet_frame_by_frame_mov", "pcm24_quiet_fbf.mov",
     CLW_VIDEO_IN CLW_SINE_IN "-af volume=0.002 " CLW_H264 "-c:a pcm_s24le", TLayout::FrameByFrame,
     false},
    {"aac_stereo_aud_frame_by_frame_mp4", "aac_stereo_aud_fbf.mp4",
     CLW_VIDEO_IN CLW_SINE_IN CLW_H264 "-x264-params aud=1 " CLW_AAC "-ac 2", TLayout::FrameByFrame,
     false},
    {"aac_timecode_frame_by_frame_mov", "aac_timecode_fbf.mov",
     CLW_VIDEO_IN CLW_SINE_IN CLW_H264 CLW_AAC "-timecode 01:00:00:00", TLayout::FrameByFrame,
     false},
    {"pcm_one_second_frame_by_frame_mov", "pcm_1s_fbf.mov",
     CLW_VIDEO_IN CLW_SINE_IN CLW_H264 CLW_PCM "-t 1", TLayout::FrameByFrame, false},
};

// Every clip garbled and cut; the video's offsets alone garbled in the clips whose sound
// is then found by the tables and the video by the walk or the scan.
std::vector<TTableCase> TableCases() {
  std::vector<TTableCase> cases;
  const auto add = [&](const TMp4Clip& Clip) {
    if (std::string(Clip.Name) == "h264_aac_mp4" || std::string(Clip.Name) == "h264_pcm_mov" ||
        Clip.Layout == TLayout::FrameByFrame)
      cases.push_back({Clip, TTableDamage::GarbledVideoOffsets, "garbled_video_offsets"});
    cases.push_back({Clip, TTableDamage::GarbledOffsets, "garbled_offsets"});
    cases.push_back({Clip, TTableDamage::FtypCutOut, "ftyp_cut_out"});
  };
  for (const TMp4Clip& c : kMp4Clips)
    add(c);
  for (const TMp4Clip& c : kHarderClips)
    add(c);
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Clips, Mp4RepairEndToEndTablesTest, ::testing::ValuesIn(TableCases()),
                         [](const auto& Info) {
                           return std::string(Info.param.Clip.Name) + "_" + Info.param.Name;
                         });

INSTANTIATE_TEST_SUITE_P(Clips, Mp4RepairEndToEndTest, ::testing::ValuesIn(kMp4Clips),
                         [](const auto& Info) { return std::string(Info.param.Name); });

INSTANTIATE_TEST_SUITE_P(Harder, Mp4RepairEndToEndTest, ::testing::ValuesIn(kHarderClips),
                         [](const auto& Info) { return std::string(Info.param.Name); });

INSTANTIATE_TEST_SUITE_P(Clips, Mp4RepairWithoutAacTest,
                         ::testing::Values(kMp4Clips[0], kMp4Clips[6], kHarderClips[2]),
                         [](const auto& Info) { return std::string(Info.param.Name); });

// A camera set to a larger picture since the reference was recorded, writing its parameter
// sets into the media data (four slices a picture, frame by frame): the walk takes the
// stream's limits from the sets in the media data, not from the reference's.
TEST(Mp4RepairEndToEndInBandTest, ParameterSetsInTheMediaDataWin) {
  const TCutClip c = MakeCutClip("inband_720p.mp4",
                                 "-f lavfi -i testsrc2=size=1280x720:rate=30 " CLW_SINE_IN CLW_H264
                                 "-slices 4 -x264-params repeat-headers=1 " CLW_AAC,
                                 "-f lavfi -i testsrc2=size=640x360:rate=30 " CLW_SINE_IN CLW_H264
                                 "-slices 4 " CLW_AAC "-t 6");
  ASSERT_FALSE(c.Cut.empty());
  const std::string output = (c.Dir / "repaired_inband.mp4").string();
  const TRepairFigures f = RepairAndMeasure(c.Original, c.Cut, output, c.Reference);
  Report("inband_parameter_sets", f);
  ASSERT_TRUE(f.Repaired);
  EXPECT_EQ(f.Probe.DecodeErrorLines, 0);
  EXPECT_EQ(f.ExactFrames, f.OriginalFrames);
  EXPECT_EQ(f.ExactAudioPackets, f.OriginalAudioPackets);

  // The copy describes its own stream, not the reference's: a player that configures its
  // decoder from the description alone gets the sets and the picture size of the samples.
  const auto description = [](const std::string& Path, uint32_t& Width) {
    THgMP4FileReader reader(Path, nullptr);
    Width = 0;
    if (reader.Analyze(0) != kDone) return std::vector<uint8_t>{};
    for (const TMp4Trak& t : reader.Traks)
      if (t.MediaKind == mkVideo) {
        Width = t.tkhd.Width >> 16;
        return AvcConfigPayload(FirstSampleEntry(ReadNodePayload(reader, t.StsdNode, 1 << 20)));
      }
    return std::vector<uint8_t>{};
  };
  uint32_t width = 0, originalWidth = 0;
  const std::vector<uint8_t> copied = description(output, width);
  EXPECT_FALSE(copied.empty());
  EXPECT_EQ(copied, description(c.Original, originalWidth));
  EXPECT_EQ(width, 1280u);
}

// A stretch of the media data a card lost to zeros, in a camera-like and in a frame-by-frame
// interleave: the copy still decodes without an error and keeps the pictures outside the
// lost stretch (the groups of pictures it cut into go with it).
TEST(Mp4RepairEndToEndZerosTest, LostStretchInsideTheMediaData) {
  for (const TMp4Clip& clip : {kMp4Clips[0], kMp4Clips[6]}) {
    SCOPED_TRACE(clip.Name);
    const TCutClip c = MakeCutClip(clip);
    ASSERT_FALSE(c.Cut.empty());
    std::string bytes = ReadFile(c.Cut);
    bytes.replace(bytes.size() * 2 / 5, 700000, 700000, '\0');
    WriteFile(c.Cut, bytes);
    const std::string output = (c.Dir / "repaired_zeros.mp4").string();
    const TRepairFigures f = RepairAndMeasure(c.Original, c.Cut, output, c.Reference);
    Report(std::string(clip.Name) + "_zeroed", f);
    ASSERT_TRUE(f.Repaired);
    EXPECT_EQ(f.Probe.DecodeErrorLines, 0);
    EXPECT_GE(double(f.ExactFrames), 0.85 * double(f.OriginalFrames));
  }
}

// Each video packet's composition offset (presentation minus decoding time, in seconds) by
// the MD5 of its bytes.
std::map<std::string, double> CompositionOffsetsByHash(const std::string& Path) {
  std::string output;
  RunCommand("ffprobe -v error -select_streams v:0 -show_packets -show_data_hash md5"
             " -show_entries packet=pts_time,dts_time,data_hash -of csv=p=0 " +
                 ShellQuote(Path),
             &output);
  std::map<std::string, double> offsets;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    const size_t first = line.find(',');
    const size_t second = first == std::string::npos ? first : line.find(',', first + 1);
    if (second == std::string::npos) continue;
    offsets[line.substr(second + 1)] =
        std::atof(line.substr(0, first).c_str()) - std::atof(line.substr(first + 1).c_str());
  }
  return offsets;
}

// x264's B-frames in a pyramid: pictures are stored up to three ahead of when they are
// shown. Rebuilt from the scan, every picture must keep the composition offset it had; a
// decoder reorders by itself, so only the packets' times show a missing "ctts".
TEST(Mp4RepairEndToEndBFramesTest, RebuiltVideoKeepsEveryPicturesCompositionOffset) {
  const std::string arguments = CLW_VIDEO_IN CLW_SINE_IN
      "-vf noise=alls=12:allf=t -c:v libx264 -bf 3 -g 60 -t 12 " CLW_AAC CLW_SECOND_CHUNKS;
  const TCutClip c = MakeCutClip("h264_bframe_pyramid_aac.mp4", arguments, arguments + " -t 4");
  ASSERT_FALSE(c.Cut.empty());
  const std::string output = (c.Dir / "repaired.mp4").string();
  bool withoutSound = false;
  ASSERT_TRUE(Repair(c.Cut, output, c.Reference, withoutSound));

  const std::map<std::string, double> before = CompositionOffsetsByHash(c.Original);
  std::map<double, int> distinct;
  for (const auto& [hash, offset] : before)
    ++distinct[offset];
  ASSERT_GE(distinct.size(), 3u) << "the clip does not reorder its pictures";
  size_t matched = 0;
  int changed = 0;
  for (const auto& [hash, offset] : CompositionOffsetsByHash(output)) {
    const auto it = before.find(hash);
    if (it == before.end()) continue;
    ++matched;
    if (std::fabs(it->second - offset) > 1e-4) ++changed;
  }
  std::printf("[ figures  ] b_frames: %zu/%zu packets matched, %d composition offsets changed\n",
              matched, before.size(), changed);
  EXPECT_GE(double(matched), 0.98 * double(before.size()));
  EXPECT_EQ(changed, 0);
  EXPECT_EQ(ProbeVideo(output).DecodeErrorLines, 0);
}

// An action camera's interleave: ffmpeg clips rewritten with a per-frame data track after
// every picture and every chunk of sound, telemetry about once a second and a time code
// first (InterleavedClip.h), cut where the movie header starts and repaired with a shorter
// clip of the same layout as the reference. The walk has to step over every chunk of the
// three other tracks to find each picture and each chunk of sound, and writes them back too.
TEST(Mp4DataTrackEndToEndTest, MovieHeaderCutOffIsRepairedByTheWalk) {
  const std::string arguments = CLW_VIDEO_IN CLW_SINE_IN
      "-vf noise=alls=12:allf=t -c:v libx264 -preset ultrafast -crf 26 -g 30 -t 12 " CLW_AAC;
  const auto dir = ScratchDir();
  const auto interleave = [&](const std::string& File, const std::string& Arguments,
                              TInterleavedClip& Clip) {
    const std::string source = MakeClip(File, Arguments);
    const std::string path = (dir / ("interleaved_" + File)).string();
    if (!source.empty()) Clip = WriteInterleavedClip(source, path);
    return path;
  };
  TInterleavedClip clip, referenceClip;
  const std::string original = interleave("datatrack.mp4", arguments, clip);
  const std::string reference = interleave("datatrack_ref.mp4", arguments + " -t 4", referenceClip);
  ASSERT_TRUE(clip.Written && referenceClip.Written);
  // The rewritten clip has the camera's layout: telemetry about once a second, a data
  // sample after every picture and every chunk of sound.
  EXPECT_GE(clip.TelemetryChunks, 10u);
  EXPECT_EQ(clip.DataChunks, clip.VideoChunks + clip.AudioChunks);
  // The streams as ffprobe lists them: type and tag, one line each.
  const auto streams = [](const std::string& Path) {
    std::string list;
    RunCommand("ffprobe -v error -show_entries stream=codec_type,codec_tag_string -of csv=p=0 " +
                   ShellQuote(Path),
               &list);
    return list;
  };
  const char* const fiveStreams = "video,avc1\naudio,mp4a\ndata,tmcd\ndata,tlmk\ndata,frmd\n";
  ASSERT_EQ(streams(original), fiveStreams);
  const std::string cut = CutAtMovieHeader(original, dir);
  ASSERT_FALSE(cut.empty());
  const std::string output = (dir / "repaired.mp4").string();
  bool withoutSound = true;
  ASSERT_TRUE(Repair(cut, output, reference, withoutSound));
  EXPECT_FALSE(withoutSound);

  // Each picture was its own chunk: a copy rebuilt from the walk has as many video chunks.
  THgMP4FileReader copy(output, &MediaDataAnalysis());
  ASSERT_EQ(copy.Analyze(0), kDone);
  ASSERT_EQ(copy.Analyze(2), kDone);
  EXPECT_EQ(copy.Error, kNoDamage);
  size_t videoChunks = 0, soundChunks = 0;
  for (const TMp4Trak& t : copy.Traks) {
    if (t.MediaKind == mkVideo) videoChunks = t.stco.Table.size();
    if (t.MediaKind == mkSound) soundChunks = t.stco.Table.size();
  }
  EXPECT_EQ(videoChunks, clip.VideoChunks);
  EXPECT_EQ(soundChunks, clip.AudioChunks);
  const TProbe probe = ProbeVideo(output);
  EXPECT_TRUE(probe.Opened);
  EXPECT_EQ(probe.DecodeErrorLines, 0);
  // Every picture (with its key flag), every sound frame, and the time code, the telemetry
  // and the per-frame data, sample for sample.
  EXPECT_EQ(streams(output), fiveStreams);
  for (const char* stream : {"v:0", "a:0", "d:0", "d:1", "d:2"}) {
    const std::vector<std::string> packets = Packets(original, stream, true);
    const size_t found = Matched(packets, Packets(output, stream, true));
    std::printf("[ figures  ] data_track_interleave %s: %zu/%zu packets exact\n", stream, found,
                packets.size());
    EXPECT_EQ(found, packets.size()) << stream << " packets lost or changed";
    EXPECT_GT(packets.size(), std::string(stream) == "v:0" ? 300u : 0u) << stream;
  }
}

// A real action camera's clip. The samples sit beside the checkout, not in it; a checkout
// without them says so.
const std::string kCameraSample =
    std::string(CLIPWRIGHT_SOURCE_DIR) + "/../shared/samples/action-camera-five-tracks.mp4";

// A real action camera's clip with the type of its "moov" overwritten: the walk searches
// past the header and recovers some of what was inside, which is no whole movie.
class Mp4CheckEndToEndCameraMovieTest : public ::testing::TestWithParam<const char*> {};

TEST_P(Mp4CheckEndToEndCameraMovieTest, MovieBoxTypeOverwrittenIsDamage) {
  if (!std::filesystem::exists(kCameraSample)) GTEST_SKIP() << "no sample at " << kCameraSample;
  const std::string& sample = kCameraSample;
  std::string bytes = ReadFile(sample);
  const int64_t moov = MoovOffset(bytes);
  ASSERT_GT(moov, 0);
  bytes.replace(size_t(moov) + 4, 4, std::string(GetParam(), 4));
  const auto dir = ScratchDir();
  const std::string damaged = (dir / "moov_type_overwritten.mp4").string();
  WriteFile(damaged, bytes);

  THgMP4FileReader reader(damaged, &MediaDataAnalysis());
  ASSERT_EQ(reader.Analyze(0), kDone);
  EXPECT_NE(reader.Error, kNoDamage) << "the quick analysis";
  ASSERT_EQ(reader.Analyze(reader.Error == kDamagedData ? 3 : 2), kDone);
  EXPECT_NE(reader.Error, kNoDamage) << "the full check";
  EXPECT_NE(reader.TrackCount(), 1) << "a part of the movie is kept as if it were whole";
}

INSTANTIATE_TEST_SUITE_P(Types, Mp4CheckEndToEndCameraMovieTest,
                         ::testing::Values("xq7z", "MOOV", "\xff\xff\xff\xff", "trak"));

// The same damage to an ffmpeg clip, checked by the full check alone: what the search found
// of the movie box is not kept as the movie; the copy is rebuilt from the scan with the
// reference, and holds the whole recording.
TEST(Mp4RepairEndToEndMovieBoxTest, MovieBoxTypeOverwrittenIsRebuiltWhole) {
  const TCutClip c = MakeCutClip(kMp4Clips[0]);
  ASSERT_FALSE(c.Cut.empty());
  std::string bytes = ReadFile(c.Original);
  bytes.replace(size_t(MoovOffset(bytes)) + 4, 4, "xq7z");
  const std::string damaged = (c.Dir / "moov_type_overwritten.mp4").string();
  const std::string output = (c.Dir / "repaired.mp4").string();
  WriteFile(damaged, bytes);

  THgMP4FileReader reader(damaged, &MediaDataAnalysis());
  ASSERT_EQ(reader.Analyze(2), kDone);
  EXPECT_EQ(reader.Error, kDamagedData);
  EXPECT_TRUE(reader.MovieIncomplete);
  THgMP4FileWriter writer(reader, output);
  int32_t verdict = 0;
  writer.ReferenceReader = OpenReferenceClip(c.Reference, verdict);
  ASSERT_TRUE(writer.ReferenceReader);
  ASSERT_EQ(writer.Write(), kDone);
  TRepairFigures f = Measure(c.Original, output);
  f.Repaired = true;
  Report("moov_type_overwritten_h264_aac_mp4", f);
  EXPECT_EQ(f.Probe.DecodeErrorLines, 0);
  EXPECT_GE(double(f.ExactFrames), 0.98 * double(f.OriginalFrames));
  EXPECT_GE(double(f.ExactAudioPackets), 0.98 * double(f.OriginalAudioPackets));
}

// A real action camera's clip: five tracks (video, sound, time code, telemetry, per-frame
// data) interleaved frame by frame, repaired with itself as the reference. The walk takes
// every chunk of every track; the copy holds the video and the sound whole.
TEST(Mp4RepairEndToEndCameraTest, ActionCameraClipWithItselfAsReference) {
  if (!std::filesystem::exists(kCameraSample)) GTEST_SKIP() << "no sample at " << kCameraSample;
  const std::string& sample = kCameraSample;
  const auto dir = ScratchDir();
  const std::string cut = CutAtMovieHeader(sample, dir);
  ASSERT_FALSE(cut.empty());
  const std::string output = (dir / "repaired.mp4").string();
  const TRepairFigures f = RepairAndMeasure(sample, cut, output, sample);
  Report("action_camera_five_tracks", f);
  ASSERT_TRUE(f.Repaired);
  EXPECT_TRUE(f.Probe.Opened);
  EXPECT_EQ(f.Probe.DecodeErrorLines, 0);
  EXPECT_EQ(f.ExactFrames, f.OriginalFrames);
  EXPECT_EQ(f.ExactAudioPackets, f.OriginalAudioPackets);
  EXPECT_EQ(f.KeyMismatches, 0);
}

} // namespace
} // namespace clw::test
