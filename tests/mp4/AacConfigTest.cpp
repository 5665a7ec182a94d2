// AudioSpecificConfig fields, and finding the config in sound sample entries of every
// sound description version, as ISO and QuickTime muxers lay them out.
#include "mp4/AacConfig.h"

#include "support/Mp4Builder.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <tuple>
#include <utility>

namespace clw::test {
namespace {

// Fields as (bit count, value), most significant bit first, zero bits to the byte boundary.
TBytes Bits(std::initializer_list<std::pair<unsigned, uint32_t>> Fields) {
  TBytes out;
  size_t bit = 0;
  for (const auto& [count, value] : Fields)
    for (unsigned i = count; i-- > 0; ++bit) {
      if (bit % 8 == 0) out.push_back(0);
      if ((value >> i) & 1) out.back() |= uint8_t(0x80 >> (bit % 8));
    }
  return out;
}

struct TAscCase {
  const char* Name;
  TBytes Bytes;
  bool Ok;
  TAacConfig Expected;
};

class AacConfigParseTest : public ::testing::TestWithParam<TAscCase> {};

TEST_P(AacConfigParseTest, ReadsTheFieldsOrRefuses) {
  auto fields = [](const TAacConfig& c) {
    return std::tuple(c.ObjectType, c.SampleRate, c.Channels, c.Sbr, c.SamplesPerFrame,
                      c.ExtensionSampleRate);
  };
  TAacConfig config;
  ASSERT_EQ(ParseAudioSpecificConfig(GetParam().Bytes.data(), GetParam().Bytes.size(), config),
            GetParam().Ok);
  if (GetParam().Ok) {
    EXPECT_EQ(fields(config), fields(GetParam().Expected));
  }
}

// Object type 5 bits, rate index 4 (15: a 24-bit rate), channel configuration 4, then the
// GASpecificConfig flags: frame length, depends on core coder, extension.
const TAscCase kAscCases[] = {
    {"lc_48k_stereo", Bits({{5, 2}, {4, 3}, {4, 2}, {3, 0}}), true, {2, 48000, 2, false, 1024}},
    {"lc_44k_mono", Bits({{5, 2}, {4, 4}, {4, 1}, {3, 0}}), true, {2, 44100, 1, false, 1024}},
    {"lc_8k_mono", Bits({{5, 2}, {4, 11}, {4, 1}, {3, 0}}), true, {2, 8000, 1, false, 1024}},
    {"escaped_rate",
     Bits({{5, 2}, {4, 15}, {24, 37800}, {4, 2}, {3, 0}}),
     true,
     {2, 37800, 2, false, 1024}},
    {"frame_length_960",
     Bits({{5, 2}, {4, 3}, {4, 2}, {1, 1}, {2, 0}}),
     true,
     {2, 48000, 2, false, 960}},
    {"explicit_sbr",
     Bits({{5, 5}, {4, 6}, {4, 2}, {4, 3}, {5, 2}, {3, 0}}),
     true,
     {2, 24000, 2, true, 1024, 48000}},
    {"sync_extension_sbr",
     Bits({{5, 2}, {4, 7}, {4, 2}, {3, 0}, {11, 0x2b7}, {5, 5}, {1, 1}, {4, 4}}),
     true,
     {2, 22050, 2, true, 1024, 44100}},
    // Channel configuration 0: a program config element with a channel pair and an LFE.
    {"channels_from_pce",
     Bits({{5, 2},
           {4, 3},
           {4, 0},
           {3, 0},
           {4, 0},
           {2, 1},
           {4, 3},
           {4, 1},
           {4, 0},
           {4, 0},
           {2, 1},
           {3, 0},
           {4, 0},
           {3, 0},
           {1, 1},
           {4, 0},
           {4, 0},
           {5, 0},
           {8, 0}}),
     true,
     {2, 48000, 3, false, 1024}},
    {"truncated_to_one_byte", {0x11}, false, {}},
    {"truncated_escaped_rate", Bits({{5, 2}, {4, 15}, {8, 0}}), false, {}},
    {"truncated_pce", Bits({{5, 2}, {4, 3}, {4, 0}, {3, 0}, {8, 0}}), false, {}},
    {"reserved_rate_index", Bits({{5, 2}, {4, 13}, {4, 2}, {3, 0}}), false, {}},
};
INSTANTIATE_TEST_SUITE_P(Asc, AacConfigParseTest, ::testing::ValuesIn(kAscCases),
                         [](const auto& info) { return std::string(info.param.Name); });

// A descriptor with its length in LengthBytes bytes of seven bits.
TBytes Descriptor(uint8_t Tag, const TBytes& Payload, int LengthBytes) {
  TBytes out{Tag};
  for (int i = LengthBytes - 1; i >= 0; --i)
    out.push_back(uint8_t(((Payload.size() >> (7 * i)) & 0x7F) | (i > 0 ? 0x80 : 0)));
  return Join({out, Payload});
}

const TBytes kAsc = {0x12, 0x10};
const TBytes kPlainEs = {0x00, 0x01, 0x00}; // ES_ID 1, no optional fields
// ES_ID, all three flags: dependsOn_ES_ID, a 3-byte URL, OCR_ES_Id.
const TBytes kFlaggedEs = {0x00, 0x01, 0xE0, 0x00, 0x02, 3, 'a', 'b', 'c', 0x00, 0x03};

TBytes Esds(const TBytes& EsFields = kPlainEs, int LengthBytes = 1, const TBytes& Asc = kAsc) {
  const TBytes decoderConfig = Join({TBytes{0x40, 0x15, 0, 0x18, 0}, BE32(128000), BE32(128000)});
  const TBytes dsi = Descriptor(5, Asc, LengthBytes);
  return Join({FullBoxHead(0),
               Descriptor(3,
                          Join({EsFields, Descriptor(4, Join({decoderConfig, dsi}), LengthBytes),
                                Descriptor(6, {2}, LengthBytes)}),
                          LengthBytes)});
}

// A sound entry of description version 0, 1 or 2, with the fixed part that version has.
TBytes SoundEntry(uint16_t Version, const std::vector<TMp4Box>& Children) {
  TBytes entry = SoundSampleEntry("mp4a", 2, 16, 48000, Children,
                                  TBytes(SoundEntryFixedLength(Version) - 28, 0));
  entry[17] = uint8_t(Version);
  return entry;
}

TBytes WithByte(TBytes Bytes, size_t At, uint8_t Value) {
  Bytes.at(At) = Value;
  return Bytes;
}

struct TEntryCase {
  const char* Name;
  TBytes Entry;
  bool Ok;
  size_t Cut = 0; // bytes of the entry not passed
};

class AacConfigEntryTest : public ::testing::TestWithParam<TEntryCase> {};

TEST_P(AacConfigEntryTest, FindsTheDecoderSpecificInfo) {
  const TEntryCase& c = GetParam();
  std::vector<uint8_t> config;
  ASSERT_EQ(FindAudioSpecificConfig(c.Entry.data(), c.Entry.size() - c.Cut, config), c.Ok);
  if (c.Ok) {
    EXPECT_EQ(config, kAsc);
  }
}

const TEntryCase kEntryCases[] = {
    {"version0_esds", SoundEntry(0, {Box("chan", 12), Box("esds", Esds())}), true},
    // QuickTime's "wave": the format again, the entry's own atom, "esds", a terminator.
    {"version1_wave",
     SoundEntry(1, {Container("wave", {Box("frma", BytesOf("mp4a")), Box("mp4a", TBytes(4, 0)),
                                       Box("esds", Esds()), Box(TFourCC(0), TBytes{})})}),
     true},
    {"version2_esds", SoundEntry(2, {Box("esds", Esds())}), true},
    {"optional_es_fields", SoundEntry(0, {Box("esds", Esds(kFlaggedEs))}), true},
    {"four_byte_lengths", SoundEntry(0, {Box("esds", Esds(kPlainEs, 4))}), true},
    {"no_esds", SoundEntry(0, {Box("chan", 12)}), false},
    {"five_byte_length", SoundEntry(0, {Box("esds", Esds(kPlainEs, 5))}), false},
    {"descriptor_past_esds_end", SoundEntry(0, {Box("esds", WithByte(Esds(), 5, 0x7F))}), false},
    {"url_past_descriptor_end", SoundEntry(0, {Box("esds", WithByte(Esds(kFlaggedEs), 11, 0x7F))}),
     false},
    {"empty_decoder_specific_info", SoundEntry(0, {Box("esds", Esds(kPlainEs, 1, {}))}), false},
    {"box_past_entry_end", SoundEntry(0, {Box("esds", Esds()).WithSizeField(400)}), false},
    {"entry_past_buffer", SoundEntry(0, {Box("esds", Esds())}), false, 1},
};
INSTANTIATE_TEST_SUITE_P(Entries, AacConfigEntryTest, ::testing::ValuesIn(kEntryCases),
                         [](const auto& info) { return std::string(info.param.Name); });

} // namespace
} // namespace clw::test
