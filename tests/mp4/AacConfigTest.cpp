// AudioSpecificConfig fields, and finding the config in sound sample entries of every
// sound description version, as ISO and QuickTime muxers lay them out.
#include "mp4/AacConfig.h"

#include "support/Mp4Builder.h"

#include <gtest/gtest.h>

#include <iomanip>
#include <sstream>
#include <tuple>

namespace clw::test {
namespace {

// "bits:value" fields (0x for hex), most significant bit first, zero-padded to a byte.
TBytes Bits(const std::string& Fields) {
  TBytes out;
  size_t bit = 0;
  std::istringstream in(Fields);
  uint32_t count = 0, value = 0;
  for (char colon = 0; in >> std::setbase(0) >> count >> colon >> value;)
    for (unsigned i = count; i-- > 0; ++bit) {
      if (bit % 8 == 0) out.push_back(0);
      if ((value >> i) & 1) out.back() |= uint8_t(0x80 >> (bit % 8));
    }
  return out;
}

auto Fields(const TAacConfig& c) {
  return std::tuple(c.ObjectType, c.SampleRate, c.Channels, c.Sbr, c.SamplesPerFrame,
                    c.ExtensionSampleRate);
}

TEST(AacConfigTest, ReadsTheFieldsOrRefuses) {
  // Object type, rate index (15: a 24-bit rate follows), channel configuration, then the
  // GASpecificConfig flags: frame length, core coder delay, extension. Type 0: refused.
  const std::tuple<const char*, TBytes, TAacConfig> cases[] = {
      {"last rate index, 8 channels", Bits("5:2 4:12 4:7 3:0"), {2, 7350, 8}},
      {"escaped rate", Bits("5:2 4:15 24:37800 4:2 3:0"), {2, 37800, 2}},
      {"960-sample frames", Bits("5:2 4:3 4:2 1:1 2:0"), {2, 48000, 2, false, 960}},
      {"explicit SBR", Bits("5:5 4:6 4:2 4:3 5:2 3:0"), {2, 24000, 2, true, 1024, 48000}},
      {"sync SBR", Bits("5:2 4:7 4:2 3:0 11:0x2b7 5:5 1:1 4:4"), {2, 22050, 2, true, 1024, 44100}},
      // A program config element (tag, type, rate, element counts and flags, each element's
      // kind and tag, alignment, comment length): a channel pair in front and an LFE.
      {"channels from PCE",
       Bits("5:2 4:3 4:0 3:0  4:0 2:1 4:3 4:1 4:0 4:0 2:1 3:0 4:0 3:0  1:1 4:0 4:0 5:0 8:0"),
       {2, 48000, 3}},
      {"reserved rate index", Bits("5:2 4:13 4:2 3:0"), {}},
      {"reserved channel configuration", Bits("5:2 4:3 4:8 3:0"), {}},
      {"truncated escaped rate", Bits("5:2 4:15 8:0"), {}},
      {"truncated PCE", Bits("5:2 4:3 4:0 3:0 8:0"), {}},
  };
  for (const auto& [name, asc, expected] : cases) {
    SCOPED_TRACE(name);
    TAacConfig config; // stays as it was when refused
    EXPECT_EQ(ParseAudioSpecificConfig(asc.data(), asc.size(), config), expected.ObjectType > 0);
    EXPECT_EQ(Fields(config), Fields(expected));
  }
}

// A descriptor with its length in LengthBytes bytes of seven bits.
TBytes Descriptor(uint8_t Tag, const TBytes& Payload, int LengthBytes) {
  TBytes out{Tag};
  for (int i = LengthBytes - 1; i >= 0; --i)
    out.push_back(uint8_t(((Payload.size() >> (7 * i)) & 0x7F) | (i > 0 ? 0x80 : 0)));
  return Join({out, Payload});
}

const TBytes kAsc = {0x12, 0x10};
const TBytes kPlainEs = {0x00, 0x01, 0x00}; // ES_ID 1, no optional fields

TMp4Box Esds(const TBytes& EsFields = kPlainEs, int LengthBytes = 1, const TBytes& Asc = kAsc) {
  const TBytes decoderConfig = Join({TBytes{0x40, 0x15, 0, 0x18, 0}, BE32(128000), BE32(128000),
                                     Descriptor(5, Asc, LengthBytes)});
  const TBytes es =
      Join({EsFields, Descriptor(4, decoderConfig, LengthBytes), Descriptor(6, {2}, LengthBytes)});
  return Box("esds", Join({FullBoxHead(0), Descriptor(3, es, LengthBytes)}));
}

TEST(AacConfigTest, FindsTheDecoderSpecificInfo) {
  auto mp4a = [](std::vector<TMp4Box> c) { return SoundSampleEntry("mp4a", 2, 16, 48000, c); };
  const auto wave = Container("wave", {Box("frma", BytesOf("mp4a")), Box("mp4a", TBytes(4, 0)),
                                       Esds(), Box(TFourCC(0), TBytes{})}); // as QuickTime writes
  const std::tuple<const char*, TBytes, bool> cases[] = {
      {"version 0, after another box", mp4a({Box("chan", 12), Esds()}), true},
      {"version 1, in wave", SoundSampleEntryV1("mp4a", 2, 48000, {}, {wave}), true},
      {"version 2", SoundSampleEntryV2("mp4a", {}, {Esds()}), true},
      // ES_ID, all three flags: dependsOn_ES_ID, a 3-byte URL, OCR_ES_Id.
      {"optional ES fields", mp4a({Esds({0, 1, 0xE0, 0, 2, 3, 'a', 'b', 'c', 0, 3})}), true},
      {"four-byte lengths", mp4a({Esds(kPlainEs, 4)}), true},
      {"no esds", mp4a({Box("chan", 12)}), false},
      {"five-byte length", mp4a({Esds(kPlainEs, 5)}), false},
      {"descriptor past esds end", mp4a({Box("esds", {0, 0, 0, 0, 3, 0x7F, 0, 1, 0})}), false},
      {"long URL", mp4a({Box("esds", {0, 0, 0, 0, 3, 5, 0, 1, 0x40, 0x7F, 'a'})}), false},
      {"empty decoder specific info", mp4a({Esds(kPlainEs, 1, {})}), false},
      {"box past entry end", mp4a({Esds().WithSizeField(400)}), false},
  };
  for (const auto& [name, entry, ok] : cases) {
    SCOPED_TRACE(name);
    std::vector<uint8_t> config;
    EXPECT_EQ(FindAudioSpecificConfig(entry.data(), entry.size(), config), ok);
    EXPECT_EQ(config, ok ? kAsc : TBytes{});
    // Its last byte missing: the entry claims more than the buffer holds.
    EXPECT_FALSE(FindAudioSpecificConfig(entry.data(), entry.size() - 1, config));
  }
}

} // namespace
} // namespace clw::test
