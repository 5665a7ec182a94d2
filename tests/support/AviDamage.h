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
  bool RawVideo = false; // zeros are picture content: lost sectors cannot be told
};
extern const std::vector<TAviCodec> kAviCodecs;
inline void PrintTo(const TAviCodec& Codec, std::ostream* Out) {
  *Out << Codec.Name;
}
// Key-frame interval of the clips.
constexpr int kAviGop = 12;

// Makes (once, cached) a six-second clip with video and audio of the codec.
std::string MakeAviClip(const TAviCodec& Codec);

// Ranges [first, last) of the original's bytes that a damage destroyed.
using TDamagedRanges = std::vector<std::pair<int64_t, int64_t>>;

struct TAviDamage {
  const char* Name;
  // Damages the file's bytes; returns what of the original it destroyed (nothing when no
  // frame data is lost).
  TDamagedRanges (*Apply)(std::string& Bytes);
};
extern const std::vector<TAviDamage> kAviDamages;
inline void PrintTo(const TAviDamage& Damage, std::ostream* Out) {
  *Out << Damage.Name;
}

// Video frames a sound repair keeps: every packet clear of the damage, except those after
// a lost one up to the next key frame (they refer to what was lost).
int ExpectedFrames(const std::vector<TPacket>& Packets, const TDamagedRanges& Damage);
// Of a copy's packets of one stream, those that are bit for bit packets of the original,
// those that stand where the damage hit an original packet (silence kept in place of lost
// sound), and the rest (bad frames); empty packets (kept places of lost frames) count as
// none of them.
struct TKept {
  int Exact = 0;
  int Filled = 0;
  int Bad = 0;
  // For each exact packet, by the original's time: how much later the copy shows it.
  std::vector<std::pair<double, double>> Shifts;
};
// The largest difference, in seconds, between how far the copy moved a video packet and how
// far it moved the sound packet nearest to it in time: 0 when the copy stays in step.
double SyncError(const TKept& Video, const TKept& Audio);
TKept KeptPackets(const std::vector<TPacketHash>& Original, const std::vector<TPacketHash>& Copy,
                  const std::vector<double>& HitTimes = {});
// The times of the original's packets that the damage hit; Packets and Hashes list the same
// stream of the same file.
std::vector<double> HitTimes(const std::vector<TPacket>& Packets,
                             const std::vector<TPacketHash>& Hashes, const TDamagedRanges& Damage);

// Sound packets a sound repair keeps: every one clear of the damage.
int ExpectedAudioPackets(const std::vector<TPacket>& Packets, const TDamagedRanges& Damage);

} // namespace clw::test
