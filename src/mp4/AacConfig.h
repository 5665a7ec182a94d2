#pragma once
// The AAC decoder configuration of an "mp4a" sound description: where the
// AudioSpecificConfig sits in the sample entry, and what its first fields say about the
// frames that follow (sampling rate, channels, frame length, SBR).
#include <cstddef>
#include <cstdint>
#include <vector>

namespace clw {

struct TAacConfig {
  // The core coder's object type: 2 for AAC LC, also under SBR (HE-AAC signals 5 or 29
  // first and the core type after it).
  uint8_t ObjectType = 0;
  uint32_t SampleRate = 0; // of the core coder; SamplesPerFrame are counted at this rate
  uint8_t Channels = 0;    // from the channel configuration, or counted in its PCE
  bool Sbr = false;        // signalled explicitly (type 5/29, or the 0x2b7 sync extension)
  uint32_t SamplesPerFrame = 1024;
  uint32_t ExtensionSampleRate = 0; // with Sbr: the rate the decoded audio plays at
};

bool ParseAudioSpecificConfig(const uint8_t* Data, size_t Size, TAacConfig& Out);

// Entry: one whole sound sample entry as stored in "stsd" (size, type, the fixed part of
// its sound description version, child boxes). Finds "esds" among the children or inside
// a QuickTime "wave" and copies its DecoderSpecificInfo, the AudioSpecificConfig.
bool FindAudioSpecificConfig(const uint8_t* Entry, size_t Size, std::vector<uint8_t>& Config);

// The sampling-frequency index whose rate range holds SampleRate; rates given as a 24-bit
// value use the tables of the nearest index.
uint8_t AacSampleRateIndex(uint32_t SampleRate);

// A most-significant-bit-first reader over AAC syntax. Reading past the end yields zero
// bits and clears Ok; it never touches memory outside [Data, Data + Size).
class TAacBitReader {
public:
  TAacBitReader(const uint8_t* Data, size_t Size) : FData(Data), FSize(Size) {}
  uint32_t Read(unsigned Count); // Count <= 32
  void Skip(size_t Count);
  size_t BitsLeft() const { return FBit >= FSize * 8 ? 0 : FSize * 8 - FBit; }
  size_t Position() const { return FBit; }
  bool Ok() const { return FOk; }

private:
  const uint8_t* FData;
  size_t FSize;
  size_t FBit = 0;
  bool FOk = true;
};

} // namespace clw
