#include "avi/HgAVIFile.h"

#include "support/AviBuilder.h"
#include "support/MemoryStream.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <numeric>

namespace clw::test {
namespace {

// A movie of five frames (key frames v0 and v3) each followed by a sound chunk, and the
// indexes a muxer writes for it: "idx1" after the movie list, or one standard index per
// stream at its end with the streams' super indexes pointing there.
struct TSound {
  uint16_t Tag = 1; // PCM
  uint16_t Bits = 16;
  uint32_t SampleSize = 2;
};

struct TWitnessCase {
  const char* Name;
  bool Legacy = false;   // "idx1"
  bool Standard = false; // "ix00", "ix01" and "indx"
  TSound Sound;
  std::vector<std::string> Unlisted; // chunks no index lists
  std::function<void(TAviFile&)> Damage;
  // The repaired movie: id:size of every chunk, "*xx" when all its bytes are xx.
  std::string Copy;
};
void PrintTo(const TWitnessCase& Case, std::ostream* Out) {
  *Out << Case.Name;
}

const std::vector<std::string> kLabels = {"v0", "a0", "v1", "a1", "v2",
                                          "a2", "v3", "a3", "v4", "a4"};
constexpr uint32_t kVideoSize = 40, kSoundSize = 24;
const std::string kWhole = "00dc:40 01wb:24 00dc:40 01wb:24 00dc:40 "
                           "01wb:24 00dc:40 01wb:24 00dc:40 01wb:24";

bool IsVideo(const std::string& Label) {
  return Label[0] == 'v';
}
bool IsKey(const std::string& Label) {
  return Label == "v0" || Label == "v3" || !IsVideo(Label);
}

TAviPart StreamList(const char (&Type)[5], uint32_t SampleSize, TBytes Format, TBytes SuperIndex) {
  TBytes strh(56, 0);
  std::copy(Type, Type + 4, strh.begin());
  if (Type[0] == 'v') std::copy_n("XVID", 4, strh.begin() + 4);
  WriteLE32(strh.data() + 20, 1);
  WriteLE32(strh.data() + 24, 25);
  WriteLE32(strh.data() + 44, SampleSize);
  std::vector<TAviPart> parts{Chunk("strh", strh), Chunk("strf", std::move(Format))};
  if (!SuperIndex.empty()) parts.push_back(Chunk("indx", std::move(SuperIndex)));
  return List("strl", std::move(parts));
}

// A standard index's data (its chunk header excluded) for the labelled chunks of a stream.
// Shift: where in the file the bytes of Plan begin.
TBytes StandardIndex(const char (&Id)[5], const std::vector<std::string>& Labels,
                     const TAviFile* Plan, int64_t Shift = 0) {
  TBytes bytes(24 + 8 * Labels.size(), 0);
  WriteLE16(bytes.data(), 2);
  bytes[3] = kIndexOfChunks;
  WriteLE32(bytes.data() + 4, uint32_t(Labels.size()));
  std::copy_n(Id, 4, bytes.begin() + 8);
  if (!Plan || Labels.empty()) return bytes;
  const int64_t base = Plan->At.at(Labels[0]).Data;
  WriteLE64(bytes.data() + 12, uint64_t(base + Shift));
  for (size_t k = 0; k < Labels.size(); ++k) {
    const TPlacedPart& at = Plan->At.at(Labels[k]);
    WriteLE32(bytes.data() + 24 + 8 * k, uint32_t(at.Data - base));
    WriteLE32(bytes.data() + 28 + 8 * k,
              uint32_t(at.Size) | (IsKey(Labels[k]) ? 0 : TAVISTDINDEX::kNotKeyFrame));
  }
  return bytes;
}

TBytes SuperIndex(const char (&Id)[5], const std::string& Index, const TAviFile* Plan) {
  TBytes bytes(24 + 16, 0);
  WriteLE16(bytes.data(), 4);
  WriteLE32(bytes.data() + 4, 1);
  std::copy_n(Id, 4, bytes.begin() + 8);
  if (!Plan) return bytes;
  const TPlacedPart& at = Plan->At.at(Index);
  WriteLE64(bytes.data() + 24, uint64_t(at.Header));
  WriteLE32(bytes.data() + 32, uint32_t(at.Size + 8));
  return bytes;
}

// Built twice: first to learn where everything lands, then with indexes that point there.
TAviFile Build(const TWitnessCase& Case, const TAviFile* Plan = nullptr) {
  std::vector<TAviPart> movie;
  std::vector<std::string> video, sound;
  for (const std::string& label : kLabels) {
    const bool listed =
        std::find(Case.Unlisted.begin(), Case.Unlisted.end(), label) == Case.Unlisted.end();
    if (IsVideo(label)) {
      movie.push_back(Chunk("00dc", Vop(IsKey(label), kVideoSize)).Named(label));
      if (listed) video.push_back(label);
    } else {
      TBytes samples(kSoundSize);
      std::iota(samples.begin(), samples.end(), uint8_t(1));
      // MPEG-2 layer III, 8 kbit/s at 24 kHz, mono: a 24-byte frame.
      if (Case.Sound.Tag == 0x55)
        std::copy_n(BytesOf("\xFF\xF3\x14\xC0").begin(), 4, samples.begin());
      movie.push_back(Chunk("01wb", samples).Named(label));
      if (listed) sound.push_back(label);
    }
  }
  TBytes wave(16, 0);
  WriteLE16(wave.data(), Case.Sound.Tag);
  WriteLE16(wave.data() + 14, Case.Sound.Bits);
  TBytes bitmap(40, 0);
  std::copy_n("XVID", 4, bitmap.begin() + 16);
  if (Case.Standard) {
    movie.push_back(Chunk("ix00", StandardIndex("00dc", video, Plan)).Named("ix00"));
    movie.push_back(Chunk("ix01", StandardIndex("01wb", sound, Plan)).Named("ix01"));
  }
  const auto super = [&](const char(&Id)[5], const char* Index) {
    return Case.Standard ? SuperIndex(Id, Index, Plan) : TBytes{};
  };
  std::vector<TAviPart> riff{
      List("hdrl", {Chunk("avih", 56, 0), StreamList("vids", 0, bitmap, super("00dc", "ix00")),
                    StreamList("auds", Case.Sound.SampleSize, wave, super("01wb", "ix01"))}),
      List("movi", std::move(movie)).Named("movi")};
  if (Case.Legacy) {
    std::vector<TIdx1Entry> entries;
    for (const std::string& label : kLabels) {
      if (std::find(Case.Unlisted.begin(), Case.Unlisted.end(), label) != Case.Unlisted.end())
        continue;
      const TFourCC id = MakeFourCC(IsVideo(label) ? "00dc" : "01wb");
      const uint32_t flags = IsKey(label) ? TAviIndexEntry::kKeyFrame : 0;
      entries.push_back(
          Plan ? TIdx1Entry{id, flags,
                            uint32_t(Plan->At.at(label).Header - (Plan->At.at("movi").Data - 4)),
                            uint32_t(Plan->At.at(label).Size)}
               : TIdx1Entry{});
    }
    riff.push_back(Idx1(entries));
  }
  return BuildAvi({Riff("AVI ", std::move(riff))});
}

// The chunks of the copy's movie list as id:size, with the fill of uniform ones and "*silent"
// for an MPEG audio frame of zeros.
std::string Describe(TBytes Copy) {
  TMemoryStream stream(std::move(Copy));
  THGRIFFStream riff(stream);
  THgAVIFileReader reader(riff);
  EXPECT_EQ(reader.Analyze(2), kDone);
  EXPECT_EQ(reader.Error, kNoDamage) << "the copy must check clean";
  const int32_t movi = reader.FindChildWithListType(reader.FindChild(-1, kRIFF), kLIST, kmovi);
  std::string text;
  for (int32_t c = reader.FirstChild(movi); c >= 0; c = reader.NextSibling(c)) {
    if (!IsStreamDataId(reader.Id(c))) continue;
    TBytes data(size_t(reader.Size(c)));
    reader.ReadChunkPrefix(c, data.data(), int64_t(data.size()));
    text +=
        (text.empty() ? "" : " ") + FourCCText(reader.Id(c)) + ":" + std::to_string(data.size());
    if (!data.empty() && std::count(data.begin(), data.end(), data[0]) == int64_t(data.size())) {
      char fill[4];
      std::snprintf(fill, sizeof fill, "*%02x", data[0]);
      text += fill;
    } else if (data.size() > 4 && data[0] == 0xFF &&
               std::all_of(data.begin() + 4, data.end(), [](uint8_t b) { return b == 0; })) {
      text += "*silent";
    }
  }
  return text;
}

// Bytes of the labelled chunks, headers included, set to zero: a card's lost sectors. The
// zeros may begin Tail bytes before the end of the chunk Before.
std::function<void(TAviFile&)> Zeroed(const char* First, const char* Last,
                                      const char* Before = nullptr, int64_t Tail = 0) {
  return [=](TAviFile& File) {
    const TPlacedPart& last = File.At.at(Last);
    std::fill(File.Bytes.begin() + File.At.at(First).Header,
              File.Bytes.begin() + last.Data + last.Size, 0);
    if (Before) {
      const TPlacedPart& before = File.At.at(Before);
      std::fill_n(File.Bytes.begin() + before.Data + before.Size - Tail, Tail, 0);
    }
  };
}

class AviIndexWitnessTest : public ::testing::TestWithParam<TWitnessCase> {};

TEST_P(AviIndexWitnessTest, CopyKeepsWhatTheIndexWitnesses) {
  const TWitnessCase& c = GetParam();
  const TAviFile plan = Build(c);
  TAviFile file = Build(c, &plan);
  ASSERT_EQ(file.Bytes, Build(c, &file).Bytes) << "the indexes must not move anything";
  if (c.Damage) c.Damage(file);
  const auto path = ScratchDir() / "input.avi";
  WriteFile(path, std::string(file.Bytes.begin(), file.Bytes.end()));
  THgAVIFileReader reader(path.string());
  ASSERT_EQ(reader.Analyze(2), kDone);
  EXPECT_EQ(reader.Error != kNoDamage, bool(c.Damage));
  TMemoryStream out;
  ASSERT_EQ(THgAVIFileWriter(reader, out).Write(), kDone);
  EXPECT_EQ(Describe(out.Data), c.Copy);
}

const auto kSizeHit = [](TAviFile& File) {
  WriteLE32(File.Bytes.data() + File.At["v2"].Header + 4, 4000);
};
const auto kIdHit = [](TAviFile& File) {
  Overwrite(File.Bytes, File.At["a1"].Header, "\xFF\xFF\xFF\xFF");
};
// Without a witness v1 (whose end meets no header) and v2 are lost, up to the key frame v3.
const std::string kLostRun = "00dc:40 01wb:24 00dc:40 01wb:24*00 00dc:0 "
                             "01wb:24 00dc:40 01wb:24 00dc:40 01wb:24";

INSTANTIATE_TEST_SUITE_P(
    Damage, AviIndexWitnessTest,
    ::testing::Values(
        TWitnessCase{"clean_with_both_indexes", true, true, {}, {}, nullptr, kWhole},
        TWitnessCase{"size_hit_standard_index", false, true, {}, {}, kSizeHit, kWhole},
        TWitnessCase{"size_hit_inconsistent_standard_index",
                     false,
                     true,
                     {},
                     {},
                     [](TAviFile& File) {
                       kSizeHit(File);
                       // v1's entry points two bytes into its frame.
                       const int64_t entries = File.At["ix00"].Data + 24;
                       WriteLE32(File.Bytes.data() + entries + 8,
                                 ReadLE32(File.Bytes.data() + entries + 8) + 2);
                     },
                     "00dc:40 01wb:24 00dc:40 01wb:24 00dc:0 "
                     "01wb:24 00dc:40 01wb:24 00dc:40 01wb:24"},
        TWitnessCase{"size_hit_entry_count_overstated",
                     false,
                     true,
                     {},
                     {},
                     [](TAviFile& File) {
                       kSizeHit(File);
                       WriteLE32(File.Bytes.data() + File.At["ix00"].Data + 4, 0xFFFFFFFF);
                     },
                     kWhole},
        TWitnessCase{"id_hit_legacy_index", true, false, {}, {}, kIdHit, kWhole},
        TWitnessCase{"lost_pcm16_legacy_index", true, false, {}, {}, Zeroed("a1", "v2"), kLostRun},
        TWitnessCase{
            "lost_pcm16_standard_index", false, true, {}, {}, Zeroed("a1", "v2"), kLostRun},
        TWitnessCase{"lost_pcm8_legacy_index",
                     true,
                     false,
                     {1, 8, 1},
                     {},
                     Zeroed("a1", "v2"),
                     "00dc:40 01wb:24 00dc:40 01wb:24*80 00dc:0 "
                     "01wb:24 00dc:40 01wb:24 00dc:40 01wb:24"},
        TWitnessCase{"lost_mp3",
                     true,
                     false,
                     {0x55, 0, 0},
                     {},
                     Zeroed("a1", "v2"),
                     "00dc:40 01wb:24 00dc:40 01wb:24*silent 00dc:0 "
                     "01wb:24 00dc:40 01wb:24 00dc:40 01wb:24"},
        TWitnessCase{"mp3_frame_ending_in_the_zeros_that_took_the_next",
                     true,
                     false,
                     {0x55, 0, 0},
                     {},
                     Zeroed("v2", "v2", "a1", 4),
                     "00dc:40 01wb:24 00dc:40 01wb:24*silent 00dc:0 "
                     "01wb:24 00dc:40 01wb:24 00dc:40 01wb:24"},
        TWitnessCase{"lost_sound_without_silence_of_its_own",
                     true,
                     false,
                     {0x2000, 0, 0},
                     {},
                     Zeroed("a1", "v2"),
                     "00dc:40 01wb:24 00dc:40 00dc:0 01wb:24 00dc:40 01wb:24 00dc:40 01wb:24"},
        TWitnessCase{"lost_after_a_frame_whose_tail_is_zeroed",
                     true,
                     false,
                     {},
                     {},
                     Zeroed("a1", "v2", "v1", 10),
                     "00dc:40 01wb:24 00dc:0 01wb:24*00 00dc:0 "
                     "01wb:24 00dc:40 01wb:24 00dc:40 01wb:24"},
        TWitnessCase{"lost_but_not_listed",
                     true,
                     false,
                     {},
                     {"a1", "v2"},
                     Zeroed("a1", "v2"),
                     "00dc:40 01wb:24 00dc:0 01wb:24 00dc:40 01wb:24 00dc:40 01wb:24"}),
    [](const auto& Info) { return std::string(Info.param.Name); });

// The last segment of a capture past 4 GiB, written sparse: its standard index counts from
// a base offset beyond 32 bits and still gives a hit size back.
TEST(AviIndexWitness, StandardIndexBeyond4GiB) {
  const TAviFile first = BuildAvi({Riff(
      "AVI ", {List("hdrl", {Chunk("avih", 56, 0), StreamList("vids", 0,
                                                              [] {
                                                                TBytes bitmap(40, 0);
                                                                std::copy_n("XVID", 4,
                                                                            bitmap.begin() + 16);
                                                                return bitmap;
                                                              }(),
                                                              {})}),
               List("movi", {Chunk("00dc", Vop(true))}), Idx1({})})});
  const auto path = ScratchDir() / "big.avi";
  WriteFile(path, std::string(first.Bytes.begin(), first.Bytes.end()));
  // Three 2 GB frames whose bytes are never written.
  const int64_t at = AppendSparseSegments(path, 3, 2000000000);
  const std::vector<std::string> labels = {"b0", "b1", "b2", "b3"};
  const auto last = [&](const TAviFile* Plan) {
    std::vector<TAviPart> movie;
    for (const std::string& label : labels)
      movie.push_back(Chunk("00dc", Vop(label == "b0" || label == "b3")).Named(label));
    movie.push_back(Chunk("ix00", StandardIndex("00dc", labels, Plan, at)));
    return BuildAvi({Riff("AVIX", {List("movi", std::move(movie))})});
  };
  const TAviFile plan = last(nullptr);
  TAviFile segment = last(&plan);
  WriteLE32(segment.Bytes.data() + segment.At["b1"].Header + 4, 4000);
  const int64_t hit = at + segment.At["b1"].Data;
  std::ofstream(path, std::ios::binary | std::ios::app)
      .write(reinterpret_cast<const char*>(segment.Bytes.data()),
             std::streamsize(segment.Bytes.size()));
  ASSERT_GT(hit, int64_t(1) << 32);

  THgAVIFileReader reader(path.string());
  ASSERT_EQ(reader.Analyze(2), kDone);
  int32_t node = -1;
  for (int32_t i = 0; i < int32_t(reader.Count()); ++i)
    if (reader.DataPosition(i) == hit) node = i;
  ASSERT_GE(node, 0);
  EXPECT_EQ(reader.Size(node), 40);
  EXPECT_TRUE(IsGoodChunk(reader.Flags(node)));
}

} // namespace
} // namespace clw::test
