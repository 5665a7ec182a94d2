#pragma once
// Real AVI clips and the damage cameras and crashed recorders do to them, shared by the
// end-to-end tests and the comparison benchmark.
#include "support/MediaTools.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace clw::test {

struct TAviCodec {
  const char* Name;
  const char* Arguments; // ffmpeg's video and audio encoder options
};
extern const std::vector<TAviCodec> kAviCodecs;
inline void PrintTo(const TAviCodec& Codec, std::ostream* Out) {
  *Out << Codec.Name;
}
// Key-frame interval of the clips.
constexpr int kAviGop = 12;

// Makes (once, cached) a six-second clip with video and audio of the codec.
std::string MakeAviClip(const TAviCodec& Codec);

struct TAviDamage {
  const char* Name;
  // Damages the file's bytes; returns the range [first, last) of the original it destroyed
  // (empty when no frame data is lost).
  std::pair<int64_t, int64_t> (*Apply)(std::string& Bytes);
};
extern const std::vector<TAviDamage> kAviDamages;
inline void PrintTo(const TAviDamage& Damage, std::ostream* Out) {
  *Out << Damage.Name;
}

// Video frames a sound repair keeps: every packet clear of the damage, except those after
// a lost one up to the next key frame (they refer to what was lost).
int ExpectedFrames(const std::vector<TPacket>& Packets, std::pair<int64_t, int64_t> Damage);

} // namespace clw::test
