// The AAC frame parser on ffmpeg's AAC clips, down to the rates where a decoder set up for
// the wrong rate delimits frames wrongly, with garbage around and between the audio.
#include "mp4repair/AacFrameParser.h"

#include "support/MediaTools.h"
#include "support/MemoryStream.h"
#include "support/Mp4Builder.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>

namespace clw::test {
namespace {

using TRuns = std::vector<TAacFrameRun>;

struct TClip {
  const char *Name, *File, *Rate, *Codec;
};
const TClip kClips[] = {
    {"stereo_48k", "aac_48k_stereo.m4a", "48000", "-ac 2 -c:a aac -b:a 128k"},
    {"mono_44k_mov", "aac_44k_mono.mov", "44100", "-ac 1 -c:a aac -b:a 64k"},
    {"mono_16k", "aac_16k_mono.m4a", "16000", "-ac 1 -c:a aac -b:a 32k"},
    {"mono_8k", "aac_8k_mono.m4a", "8000", "-ac 1 -c:a aac -b:a 16k"},
};

TBytes RandomBytes(size_t Count, uint32_t Seed) {
  TBytes bytes(Count);
  std::generate(bytes.begin(), bytes.end(), std::mt19937(Seed));
  return bytes;
}

// Coded pictures as a camera stores them in the media data: CABAC, length-prefixed.
TBytes VideoBytes(size_t Count) {
  const std::string path =
      MakeClip("aac_test_video.mp4", "-f lavfi -i testsrc2=size=640x360:rate=30 -t 4 -vf "
                                     "noise=alls=12:allf=t -c:v libx264 -preset veryfast -an");
  const std::string file = ReadFile(path);
  const auto packets = VideoPackets(path);
  const std::string video = packets.empty() ? "" : file.substr(size_t(packets[0].Position), Count);
  return TBytes(video.begin(), video.end());
}

// One clip: its file, its frames as ffprobe lists them, its AudioSpecificConfig, its audio alone.
class AacFrameParserTest : public ::testing::TestWithParam<TClip> {
protected:
  void SetUp() override {
    ASSERT_NE(AacLibrary(), nullptr) << "libfaad2 is needed";
    // A chirp and a tone under noise, so that frame sizes vary as in a recording.
    const std::string tones = "0.4*sin(2*PI*(220+200*t)*t)+0.1*(random(0)-0.5)|"
                              "0.4*sin(2*PI*330*t)*sin(PI*t)+0.1*(random(1)-0.5)";
    const std::string path =
        MakeClip(GetParam().File, "-f lavfi -i aevalsrc=" + ShellQuote(tones) +
                                      ":s=" + GetParam().Rate + ":d=6 " + GetParam().Codec);
    const std::string bytes = ReadFile(path);
    File.assign(bytes.begin(), bytes.end());
    std::string csv; // "size,pos," a line; the clip has no other stream
    RunCommand("ffprobe -v 0 -show_entries packet=size,pos -of csv=p=0 " + ShellQuote(path), &csv);
    std::istringstream lines(csv);
    for (uint64_t size = 0, pos = 0; lines >> size && lines.ignore() >> pos; lines.ignore(99, '\n'))
      Frames.push_back({pos, uint32_t(size)});
    ASSERT_GT(Frames.size(), 40u);
    Audio.assign(File.begin() + int64_t(Frames.front().Offset),
                 File.begin() + int64_t(Frames.back().Offset + Frames.back().Size));
    // The sound sample entry in "stsd": its size field stands before "mp4a".
    const size_t entry = bytes.find("mp4a", bytes.find("stsd")) - 4;
    ASSERT_TRUE(entry < File.size() &&
                FindAudioSpecificConfig(&File[entry], File.size() - entry, Asc));
  }

  // Frames From..To moved so that frame From lies at Start.
  TAacFrameRun At(uint64_t Start, size_t From = 0, size_t To = SIZE_MAX) const {
    TAacFrameRun out;
    for (size_t i = From; i < std::min(To, Frames.size()); ++i)
      out.push_back({Frames[i].Offset - Frames[From].Offset + Start, Frames[i].Size});
    return out;
  }

  // The runs a parser with a decoder on Library finds in Bytes[Offset, Offset + Length).
  TRuns Parse(const TBytes& Bytes, uint64_t Offset = 0, uint64_t Length = UINT64_MAX,
              const TAacLibrary* Library = AacLibrary(), bool Cancel = false) const {
    TAacDecoder decoder(Library);
    EXPECT_EQ(decoder.Init(Asc.data(), Asc.size()), Library != nullptr);
    TMemoryStream stream(Bytes);
    TAacFrameParser parser(stream, decoder);
    parser.Cancelled = &Cancel;
    TRuns runs;
    EXPECT_EQ(parser.Parse(Offset, std::min(Length, Bytes.size() - Offset), runs), !Cancel);
    return runs;
  }

  // Noise that starts as this clip's frames do and leaves the decoder refusing every real
  // frame until it is re-opened (FAAD2 sets up an SBR element from some garbage).
  TBytes SpoilingBytes() const {
    TAacDecoder decoder(AacLibrary());
    decoder.Init(Asc.data(), Asc.size());
    const TBytes noise = RandomBytes(1 << 20, 1234);
    for (size_t i = 0; i + 4096 < noise.size(); ++i) {
      if ((noise[i] >> 5) != (File[Frames[10].Offset] >> 5)) continue;
      decoder.Decode(&noise[i], 2048);
      if (decoder.Decode(&File[Frames[10].Offset], Frames[10].Size) != Frames[10].Size)
        return TBytes(noise.begin() + int64_t(i), noise.begin() + int64_t(i) + 4096);
    }
    return {};
  }

  TBytes File, Asc, Audio;
  std::vector<TAacFrame> Frames;
};

// Exactly the encoder's frames in [from, to): none that passes the end, and fewer than three
// only when they chain exactly to it. Nothing without a decoder; a cancelled parse says so.
TEST_P(AacFrameParserTest, FindsTheEncoderFramesWithinTheRange) {
  const size_t n = Frames.size();
  auto end = [&](size_t i) { return Frames[i].Offset + Frames[i].Size; };
  const std::tuple<uint64_t, uint64_t, size_t, size_t> ranges[] = {
      {Frames[0].Offset, end(n - 1), 0, n},         {Frames[0].Offset, end(20) - 1, 0, 20},
      {Frames[n - 2].Offset, end(n - 1), n - 2, 2}, {Frames[7].Offset, end(7), 7, 1},
      {Frames[7].Offset, end(8) - 1, 7, 0},
  };
  for (const auto& [from, to, first, count] : ranges) {
    const TRuns expected = count == 0 ? TRuns{} : TRuns{At(from, first, first + count)};
    EXPECT_EQ(Parse(File, from, to - from), expected) << from << ".." << to;
  }
  EXPECT_TRUE(Parse(File, 0, UINT64_MAX, nullptr).empty());
  EXPECT_TRUE(Parse(File, 0, UINT64_MAX, AacLibrary(), true).empty());
}

TEST_P(AacFrameParserTest, FindsTheFramesAroundGarbage) {
  const size_t half = Frames.size() / 2;
  const auto split = Audio.begin() + int64_t(Frames[half].Offset - Frames[0].Offset);
  const TBytes first(Audio.begin(), split), second(split, Audio.end());
  for (const TBytes& garbage : {RandomBytes(96 * 1024, 7), VideoBytes(300000), SpoilingBytes()}) {
    ASSERT_FALSE(garbage.empty());
    EXPECT_EQ(Parse(Join({garbage, Audio})), TRuns{At(garbage.size())});
    EXPECT_EQ(Parse(Join({first, garbage, second})),
              (TRuns{At(0, 0, half), At(first.size() + garbage.size(), half)}));
    EXPECT_EQ(Parse(Join({Audio, garbage})), TRuns{At(0)});
  }
}

INSTANTIATE_TEST_SUITE_P(Clips, AacFrameParserTest, ::testing::ValuesIn(kClips),
                         [](const auto& info) { return std::string(info.param.Name); });

} // namespace
} // namespace clw::test
