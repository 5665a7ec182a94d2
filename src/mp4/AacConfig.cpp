#include "mp4/AacConfig.h"

#include "mp4/Mp4Format.h"
#include "streams/Endian.h"

#include <algorithm>

namespace clw {

uint32_t TAacBitReader::Read(unsigned Count) {
  uint64_t value = 0;
  while (Count > 0) {
    if (FBit >= FSize * 8) {
      FOk = false;
      value <<= Count;
      FBit += Count;
      break;
    }
    const unsigned offset = unsigned(FBit & 7);
    const unsigned take = std::min(Count, 8 - offset);
    const unsigned bits = (FData[FBit >> 3] >> (8 - offset - take)) & ((1u << take) - 1);
    value = (value << take) | bits;
    FBit += take;
    Count -= take;
  }
  return uint32_t(value);
}

void TAacBitReader::Skip(size_t Count) {
  if (Count > BitsLeft()) FOk = false;
  FBit += std::min(Count, BitsLeft());
}

namespace {

constexpr uint32_t kSampleRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                     22050, 16000, 12000, 11025, 8000,  7350};

uint8_t ReadObjectType(TAacBitReader& Bits) {
  const uint8_t type = uint8_t(Bits.Read(5));
  return type == 31 ? uint8_t(32 + Bits.Read(6)) : type;
}

// 0 for the reserved indices 13 and 14, or an explicit rate of 0.
uint32_t ReadSampleRate(TAacBitReader& Bits) {
  const uint32_t index = Bits.Read(4);
  if (index == 15) return Bits.Read(24);
  return index < std::size(kSampleRates) ? kSampleRates[index] : 0;
}

// Object types whose configuration is a GASpecificConfig: the AAC family.
bool IsGeneralAudio(uint8_t Type) {
  constexpr uint8_t kTypes[] = {1, 2, 3, 4, 6, 7, 17, 19, 20, 21, 22, 23};
  return std::find(std::begin(kTypes), std::end(kTypes), Type) != std::end(kTypes);
}

bool IsErrorResilient(uint8_t Type) {
  return (Type >= 17 && Type <= 27) || Type == 39;
}

// A program_config_element, which stands in for channel configuration 0; returns the
// channels it lays out, 0 when its bits run out.
uint8_t ReadPceChannels(TAacBitReader& Bits) {
  Bits.Skip(4 + 2 + 4); // element_instance_tag, object_type, sampling_frequency_index
  const unsigned front = Bits.Read(4), side = Bits.Read(4), back = Bits.Read(4);
  const unsigned lfe = Bits.Read(2), assoc = Bits.Read(3), coupling = Bits.Read(4);
  if (Bits.Read(1)) Bits.Skip(4); // mono mixdown element
  if (Bits.Read(1)) Bits.Skip(4); // stereo mixdown element
  if (Bits.Read(1)) Bits.Skip(3); // matrix mixdown index and pseudo-surround flag
  unsigned channels = lfe;
  for (unsigned i = 0; i < front + side + back; ++i) {
    channels += Bits.Read(1) ? 2 : 1; // is_cpe
    Bits.Skip(4);
  }
  Bits.Skip(4 * lfe + 4 * assoc + 5 * coupling);
  Bits.Skip((8 - Bits.Position() % 8) % 8);
  Bits.Skip(8 * size_t(Bits.Read(8))); // comment
  return Bits.Ok() ? uint8_t(channels) : 0;
}

} // namespace

uint8_t AacSampleRateIndex(uint32_t SampleRate) {
  constexpr uint32_t kLowest[] = {92017, 75132, 55426, 46009, 37566, 27713,
                                  23004, 18783, 13856, 11502, 9391};
  for (uint8_t i = 0; i < std::size(kLowest); ++i)
    if (SampleRate >= kLowest[i]) return i;
  return 11;
}

bool ParseAudioSpecificConfig(const uint8_t* Data, size_t Size, TAacConfig& Out) {
  if (!Data) return false;
  TAacBitReader bits(Data, Size);
  TAacConfig config;
  uint8_t type = ReadObjectType(bits);
  config.SampleRate = ReadSampleRate(bits);
  const uint32_t channelConfiguration = bits.Read(4);
  // HE-AAC signalled first: the SBR output rate, then the core's own object type.
  const bool explicitSbr = type == 5 || type == 29;
  if (explicitSbr) {
    config.Sbr = true;
    config.ExtensionSampleRate = ReadSampleRate(bits);
    type = ReadObjectType(bits);
    if (type == 22) bits.Skip(4); // extensionChannelConfiguration
    if (config.ExtensionSampleRate == 0) return false;
  }
  if (!bits.Ok() || config.SampleRate == 0 || !IsGeneralAudio(type)) return false;
  config.ObjectType = type;
  if (channelConfiguration >= 1 && channelConfiguration <= 6)
    config.Channels = uint8_t(channelConfiguration);
  else if (channelConfiguration == 7)
    config.Channels = 8;
  else if (channelConfiguration != 0)
    return false;

  // GASpecificConfig
  const bool shortFrames = bits.Read(1);
  if (type == 23) // AAC LD counts half as many samples per frame
    config.SamplesPerFrame = shortFrames ? 480 : 512;
  else
    config.SamplesPerFrame = shortFrames ? 960 : 1024;
  if (bits.Read(1)) bits.Skip(14); // coreCoderDelay
  const bool extension = bits.Read(1);
  if (channelConfiguration == 0) {
    config.Channels = ReadPceChannels(bits);
    if (config.Channels == 0) return false;
  }
  if (type == 6 || type == 20) bits.Skip(3); // layerNr
  if (extension) {
    if (type == 22) bits.Skip(5 + 11);
    if (type == 17 || type == 19 || type == 20 || type == 23) bits.Skip(3);
    bits.Skip(1); // extensionFlag3
  }
  if (!bits.Ok()) return false;
  bool syncExtensionReadable = true;
  if (IsErrorResilient(type)) {
    const uint32_t epConfig = bits.Read(2);
    // An ErrorProtectionSpecificConfig follows for 2 and 3; nothing after it is read.
    syncExtensionReadable = epConfig < 2;
  }
  // Backward-compatible SBR signalling: a sync extension after the core's configuration,
  // which a decoder unaware of SBR never reads.
  if (!explicitSbr && syncExtensionReadable && bits.BitsLeft() >= 16 && bits.Read(11) == 0x2b7 &&
      ReadObjectType(bits) == 5 && bits.Read(1)) {
    config.Sbr = true;
    config.ExtensionSampleRate = ReadSampleRate(bits);
    if (config.ExtensionSampleRate == 0) return false;
  }
  if (!bits.Ok()) return false;
  Out = config;
  return true;
}

namespace {

// A descriptor's tag and length (1 to 4 bytes of 7 bits, the top bit saying another
// follows); Pos moves to its payload, which must lie before End.
bool ReadDescriptorHeader(const uint8_t* Data, size_t End, size_t& Pos, uint8_t& Tag,
                          size_t& Length) {
  if (Pos >= End) return false;
  Tag = Data[Pos++];
  Length = 0;
  for (int i = 0;; ++i) {
    if (i == 4 || Pos >= End) return false;
    const uint8_t b = Data[Pos++];
    Length = Length << 7 | (b & 0x7F);
    if ((b & 0x80) == 0) break;
  }
  return Length <= End - Pos;
}

// Moves Pos to the payload of the first descriptor tagged Wanted in [Pos, End).
bool FindDescriptor(const uint8_t* Data, size_t End, size_t& Pos, uint8_t Wanted, size_t& Length) {
  while (Pos < End) {
    uint8_t tag = 0;
    if (!ReadDescriptorHeader(Data, End, Pos, tag, Length)) return false;
    if (tag == Wanted) return true;
    Pos += Length;
  }
  return false;
}

bool ParseEsds(const uint8_t* Data, size_t Size, std::vector<uint8_t>& Config) {
  enum : uint8_t { kEsDescriptor = 3, kDecoderConfig = 4, kDecoderSpecificInfo = 5 };
  size_t pos = 4; // version and flags
  size_t length = 0;
  if (Size < pos || !FindDescriptor(Data, Size, pos, kEsDescriptor, length) || length < 3)
    return false;
  size_t end = pos + length;
  const uint8_t flags = Data[pos + 2];
  pos += 3;                   // ES_ID, flags
  if (flags & 0x80) pos += 2; // dependsOn_ES_ID
  if (flags & 0x40) {         // URL
    if (pos >= end) return false;
    pos += 1 + size_t(Data[pos]);
  }
  if (flags & 0x20) pos += 2; // OCR_ES_Id
  if (pos > end || !FindDescriptor(Data, end, pos, kDecoderConfig, length) || length < 13)
    return false;
  end = pos + length;
  pos += 13; // object type, stream type, buffer size, bitrates
  if (!FindDescriptor(Data, end, pos, kDecoderSpecificInfo, length) || length == 0) return false;
  Config.assign(Data + pos, Data + pos + length);
  return true;
}

enum class TFound { No, Yes, Malformed };

// Walks the boxes in [Pos, End) of Data; QuickTime nests "esds" one level down in "wave".
TFound FindEsds(const uint8_t* Data, size_t Pos, size_t End, bool InWave,
                std::vector<uint8_t>& Config) {
  while (End - Pos >= 8) {
    uint64_t size = ReadBE32(Data + Pos);
    const TFourCC type = ReadLE32(Data + Pos + 4);
    size_t header = 8;
    if (size == 1) {
      if (End - Pos < 16) return TFound::Malformed;
      size = ReadBE64(Data + Pos + 8);
      header = 16;
    } else if (size == 0) {
      size = End - Pos; // the last box runs to the end of the entry
    }
    if (size < header || size > End - Pos) return TFound::Malformed;
    if (type == MakeFourCC("esds"))
      return ParseEsds(Data + Pos + header, size_t(size) - header, Config) ? TFound::Yes
                                                                           : TFound::Malformed;
    if (type == MakeFourCC("wave") && !InWave) {
      const TFound found = FindEsds(Data, Pos + header, Pos + size_t(size), true, Config);
      if (found != TFound::No) return found;
    }
    Pos += size_t(size);
  }
  return TFound::No;
}

} // namespace

bool FindAudioSpecificConfig(const uint8_t* Entry, size_t Size, std::vector<uint8_t>& Config) {
  if (!Entry || Size < 8 + SoundEntryFixedLength(0)) return false;
  const uint32_t declared = ReadBE32(Entry);
  const uint32_t fixed = SoundEntryFixedLength(ReadBE16(Entry + 16));
  if (declared > Size || declared < 8 + fixed) return false;
  return FindEsds(Entry, 8 + fixed, declared, false, Config) == TFound::Yes;
}

} // namespace clw
