#pragma once
// What the repair reads from the boxes of a damaged file or a reference clip beyond the
// records the check keeps: a box's raw payload, the first sample entry of a description,
// and what an H.264 description tells about the stream.
#include "mp4/HgMP4File.h"

#include <cstdint>
#include <vector>

namespace clw {

// The payload of a node of Reader's tree, as far as the file holds it; empty when it is
// larger than Limit or cannot be read.
std::vector<uint8_t> ReadNodePayload(const THgMP4FileReader& Reader, int32_t Node, uint64_t Limit);

// The first sample entry (its header included) of an "stsd" payload; empty when the payload
// holds none whole.
std::vector<uint8_t> FirstSampleEntry(const std::vector<uint8_t>& StsdPayload);

// H.264 in MP4 framing: "avc1" (parameter sets in the description) or "avc3" (in band).
bool IsH264SampleEntry(TFourCC Type);
// True when the track's first description is H.264 with its decoder configuration.
bool HasAvcConfiguration(const TMp4Trak& Trak);
// The payload of an H.264 sample entry's "avcC"; empty when it holds none.
std::vector<uint8_t> AvcConfigPayload(const std::vector<uint8_t>& Entry);
// An "stsd" payload whose first entry, an H.264 one, carries AvcC instead of its own
// "avcC" and shows pictures of Width x Height; empty when the entry holds no "avcC".
std::vector<uint8_t> WithAvcConfig(const std::vector<uint8_t>& StsdPayload,
                                   const std::vector<uint8_t>& AvcC, uint16_t Width,
                                   uint16_t Height);
// The length-field size of the units of an H.264 sample entry (1, 2 or 4), from its "avcC";
// 4 when the entry holds none.
uint32_t NalLengthSize(const std::vector<uint8_t>& Entry);

// The sampling rate a sound description gives (its 16.16 field, or the version-2 double);
// 0 when it gives none that can be real.
uint32_t SoundSampleRate(const TMp4_SampleEntry& Entry);

// The most common sample delta of a "stts" table, 0 when it has none.
uint32_t MostCommonDelta(const TMp4_stts& Stts);

} // namespace clw
