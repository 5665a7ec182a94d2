// The AAC frame parser on real encoder output: ffmpeg's AAC clips, down to the rates where
// a decoder set up for the wrong rate delimits frames wrongly, with random bytes or coded
// video around and between the audio. ffprobe says where each frame really lies.
#include "mp4repair/AacFrameParser.h"

#include "streams/Endian.h"
#include "support/MediaTools.h"
#include "support/MemoryStream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

namespace clw {
void PrintTo(const TAacFrame& Frame, std::ostream* Out) {
  *Out << Frame.Offset << "+" << Frame.Size;
}
} // namespace clw

namespace clw::test {
namespace {

using TBytes = std::vector<uint8_t>;
using TRuns = std::vector<TAacFrameRun>;

struct TClip {
  const char* Name;
  const char* File;
  const char* Rate;
  const char* Codec;
};

const TClip kClips[] = {
    {"stereo_48k", "aac_48k_stereo.m4a", "48000", "-ac 2 -c:a aac -b:a 128k"},
    {"mono_44k_mov", "aac_44k_mono.mov", "44100", "-ac 1 -c:a aac -b:a 64k"},
    {"mono_16k", "aac_16k_mono.m4a", "16000", "-ac 1 -c:a aac -b:a 32k"},
    {"mono_8k", "aac_8k_mono.m4a", "8000", "-ac 1 -c:a aac -b:a 16k"},
};

TBytes ReadAll(const std::string& Path) {
  std::ifstream in(Path, std::ios::binary);
  return TBytes(std::istreambuf_iterator<char>(in), {});
}

size_t Find(const TBytes& Bytes, const std::string& Text, size_t From) {
  return size_t(std::search(Bytes.begin() + int64_t(std::min(From, Bytes.size())), Bytes.end(),
                            Text.begin(), Text.end()) -
                Bytes.begin());
}

// A clip's frames as ffprobe lists them, back to back in an audio-only file, and the
// AudioSpecificConfig of its sample entry.
struct TClipData {
  TBytes File, Asc;
  std::vector<TAacFrame> Frames;

  TBytes Audio() const {
    return TBytes(File.begin() + int64_t(Frames.front().Offset),
                  File.begin() + int64_t(Frames.back().Offset + Frames.back().Size));
  }
  // Frames From..To moved so that frame From lies at Start.
  std::vector<TAacFrame> At(uint64_t Start, size_t From = 0, size_t To = SIZE_MAX) const {
    std::vector<TAacFrame> out;
    for (size_t i = From; i < std::min(To, Frames.size()); ++i)
      out.push_back({Frames[i].Offset - Frames[From].Offset + Start, Frames[i].Size});
    return out;
  }
};

const TClipData& Load(const TClip& Clip) {
  static std::map<std::string, TClipData> cache;
  auto [it, fresh] = cache.try_emplace(Clip.Name);
  TClipData& data = it->second;
  if (!fresh) return data;
  // A chirp and a tone under noise, so that frame sizes vary as in a recording.
  const std::string tones = "0.4*sin(2*PI*(220+200*t)*t)+0.1*(random(0)-0.5)|"
                            "0.4*sin(2*PI*330*t)*sin(PI*t)+0.1*(random(1)-0.5)";
  const std::string path = MakeClip(Clip.File, "-f lavfi -i aevalsrc=" + ShellQuote(tones) +
                                                   ":s=" + Clip.Rate + ":d=6 " + Clip.Codec);
  data.File = ReadAll(path);
  std::string output;
  RunCommand("ffprobe -v error -select_streams a:0 -show_entries packet=size,pos -of csv=p=0 " +
                 ShellQuote(path),
             &output);
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    long long size = 0, position = 0;
    if (std::sscanf(line.c_str(), "%lld,%lld", &size, &position) == 2)
      data.Frames.push_back({uint64_t(position), uint32_t(size)});
  }
  // The sound sample entry in "stsd": its size field stands before "mp4a".
  const size_t entry = Find(data.File, "mp4a", Find(data.File, "stsd", 0)) - 4;
  if (entry + 8 < data.File.size())
    FindAudioSpecificConfig(&data.File[entry], data.File.size() - entry, data.Asc);
  return data;
}

TBytes RandomBytes(size_t Count, uint32_t Seed) {
  std::mt19937 random(Seed);
  TBytes bytes(Count);
  for (uint8_t& b : bytes)
    b = uint8_t(random());
  return bytes;
}

// Coded pictures as a camera stores them in the media data: CABAC, length-prefixed.
TBytes VideoBytes(size_t Count) {
  const std::string path =
      MakeClip("aac_test_video.mp4", "-f lavfi -i testsrc2=size=640x360:rate=30 -t 4 -vf "
                                     "noise=alls=12:allf=t -c:v libx264 -preset veryfast -an");
  const auto packets = VideoPackets(path);
  const TBytes file = ReadAll(path);
  if (packets.empty() || uint64_t(packets.front().Position) + Count > file.size()) return {};
  return TBytes(file.begin() + packets.front().Position,
                file.begin() + packets.front().Position + int64_t(Count));
}

TBytes Join(std::initializer_list<TBytes> Parts) {
  TBytes out;
  for (const TBytes& part : Parts)
    out.insert(out.end(), part.begin(), part.end());
  return out;
}

TRuns Parse(const TBytes& Asc, const TBytes& Bytes, uint64_t Offset = 0,
            uint64_t Length = UINT64_MAX) {
  TAacDecoder decoder(AacLibrary());
  EXPECT_TRUE(decoder.Init(Asc.data(), Asc.size()));
  TMemoryStream stream(Bytes);
  TAacFrameParser parser(stream, decoder);
  TRuns runs;
  EXPECT_TRUE(parser.Parse(Offset, std::min<uint64_t>(Length, Bytes.size() - Offset), runs));
  return runs;
}

class AacFrameParserTest : public ::testing::TestWithParam<TClip> {
protected:
  void SetUp() override {
    ASSERT_NE(AacLibrary(), nullptr) << "libfaad2 is needed";
    Clip = &Load(GetParam());
    ASSERT_GT(Clip->Frames.size(), 40u);
    ASSERT_FALSE(Clip->Asc.empty());
  }
  const TClipData* Clip = nullptr;
};

TEST_P(AacFrameParserTest, FindsExactlyTheEncoderFrames) {
  const uint64_t start = Clip->Frames.front().Offset;
  EXPECT_EQ(Parse(Clip->Asc, Clip->File, start, Clip->Audio().size()), TRuns{Clip->Frames});
}

// No frame that passes the range end is taken, and fewer than three only when they chain
// exactly to it.
TEST_P(AacFrameParserTest, TakesNoFramePastTheRangeEnd) {
  const std::vector<TAacFrame>& f = Clip->Frames;
  const size_t n = f.size();
  auto end = [&](size_t i) { return f[i].Offset + f[i].Size; };
  struct {
    uint64_t From, To;
    size_t First, Count;
  } const ranges[] = {
      {f[0].Offset, end(20) - 1, 0, 20},       {f[0].Offset, f[21].Offset + 1, 0, 21},
      {f[n - 2].Offset, end(n - 1), n - 2, 2}, {f[7].Offset, end(7), 7, 1},
      {f[7].Offset, end(8) - 1, 7, 0},
  };
  for (const auto& r : ranges) {
    const TRuns expected =
        r.Count == 0 ? TRuns{} : TRuns{{f.begin() + r.First, f.begin() + r.First + r.Count}};
    EXPECT_EQ(Parse(Clip->Asc, Clip->File, r.From, r.To - r.From), expected)
        << r.From << ".." << r.To;
  }
}

TEST_P(AacFrameParserTest, FindsTheFramesAroundGarbage) {
  const TBytes audio = Clip->Audio();
  const size_t half = Clip->Frames.size() / 2;
  const auto split = audio.begin() + int64_t(Clip->Frames[half].Offset - Clip->Frames[0].Offset);
  const TBytes first(audio.begin(), split), second(split, audio.end());
  for (const TBytes& garbage : {RandomBytes(96 * 1024, 7), VideoBytes(300000)}) {
    ASSERT_FALSE(garbage.empty());
    EXPECT_EQ(Parse(Clip->Asc, Join({garbage, audio})), TRuns{Clip->At(garbage.size())});
    EXPECT_EQ(Parse(Clip->Asc, Join({first, garbage, second})),
              (TRuns{Clip->At(0, 0, half), Clip->At(first.size() + garbage.size(), half)}));
    EXPECT_EQ(Parse(Clip->Asc, Join({audio, garbage})), TRuns{Clip->At(0)});
  }
}

INSTANTIATE_TEST_SUITE_P(Clips, AacFrameParserTest, ::testing::ValuesIn(kClips),
                         [](const auto& info) { return std::string(info.param.Name); });

// Some garbage makes FAAD2 set up an SBR element in a stream without SBR; it then refuses
// every real frame until the instance is re-opened. The parser must search again behind it.
TEST(AacFrameParserSpoiledDecoderTest, GarbageSpoilsTheLibraryUntilReset) {
  ASSERT_NE(AacLibrary(), nullptr);
  const TClipData& clip = Load(kClips[0]);
  ASSERT_FALSE(clip.Asc.empty());
  const TAacFrame real = clip.Frames[10];
  const uint8_t* frame = &clip.File[real.Offset];

  TAacDecoder decoder(AacLibrary());
  ASSERT_TRUE(decoder.Init(clip.Asc.data(), clip.Asc.size()));
  const TBytes noise = RandomBytes(4 << 20, 1234);
  size_t spoiler = 0;
  for (size_t i = 0; i + 2048 < noise.size() && spoiler == 0; ++i) {
    if ((noise[i] >> 5) != 1) continue; // a channel pair element, as stereo frames start
    decoder.Decode(&noise[i], 2048);
    if (decoder.Decode(frame, real.Size) != real.Size) spoiler = i;
  }
  ASSERT_NE(spoiler, 0u) << "no garbage in 4 MiB spoiled the decoder";
  EXPECT_EQ(decoder.Decode(frame, real.Size), 0u);
  ASSERT_TRUE(decoder.Reset());
  EXPECT_EQ(decoder.Decode(frame, real.Size), real.Size);

  const TBytes garbage(noise.begin() + int64_t(spoiler), noise.begin() + int64_t(spoiler) + 4096);
  EXPECT_EQ(Parse(clip.Asc, Join({garbage, clip.Audio()})), TRuns{clip.At(garbage.size())});
}

TEST(AacFrameParserStopTest, NoDecoderFindsNothingAndCancelStops) {
  const TClipData& clip = Load(kClips[2]);
  ASSERT_FALSE(clip.Asc.empty());
  const bool cancelled = true;
  for (const char* spec : {"none", "/nonexistent/libfaad.so.2", ""}) {
    const auto library = TAacLibrary::Open(spec);
    TAacDecoder decoder(library->Loaded ? library.get() : nullptr);
    EXPECT_EQ(decoder.Init(clip.Asc.data(), clip.Asc.size()), library->Loaded);
    TMemoryStream stream(clip.File);
    TAacFrameParser parser(stream, decoder);
    if (library->Loaded) parser.Cancelled = &cancelled;
    TRuns runs;
    EXPECT_EQ(parser.Parse(0, clip.File.size(), runs), !library->Loaded) << spec;
    EXPECT_TRUE(runs.empty()) << spec;
  }
}

} // namespace
} // namespace clw::test
