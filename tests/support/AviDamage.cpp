#include "support/AviDamage.h"

#include "support/MediaTools.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <map>
#include <random>
#include <sstream>

namespace clw::test {

const std::vector<TAviCodec> kAviCodecs = {
    {"xvid_mp3", "-c:v mpeg4 -vtag XVID -q:v 5 -c:a libmp3lame"},
    {"dx50_pcm", "-c:v mpeg4 -vtag DX50 -q:v 5 -c:a pcm_s16le"},
    {"div3_lower_mp3", "-c:v msmpeg4v3 -vtag div3 -q:v 5 -c:a libmp3lame"},
    {"div3_upper_pcm", "-c:v msmpeg4v3 -vtag DIV3 -q:v 5 -c:a pcm_s16le"},
    {"mjpeg_pcm", "-c:v mjpeg -q:v 5 -c:a pcm_s16le"},
    {"raw_pcm", "-c:v rawvideo -pix_fmt yuv420p -c:a pcm_s16le", true},
};

std::string MakeAviClip(const TAviCodec& Codec) {
  return MakeClip(std::string("e2e_") + Codec.Name + ".avi",
                  "-f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i sine=frequency=440 "
                  "-t 6 -g " +
                      std::to_string(kAviGop) + " " + Codec.Arguments + " -shortest");
}

namespace {

int64_t FindId(const std::string& Bytes, const char* Id, int64_t From) {
  const size_t at = Bytes.find(Id, size_t(From));
  return at == std::string::npos ? -1 : int64_t(at);
}

} // namespace

const std::vector<TAviDamage> kAviDamages = {
    {"truncated_60",
     [](std::string& b) {
       const int64_t cut = int64_t(b.size()) * 60 / 100;
       const int64_t end = int64_t(b.size());
       b.resize(size_t(cut));
       return TDamagedRanges{{cut, end}};
     }},
    {"idx1_removed",
     [](std::string& b) {
       const int64_t at = FindId(b, "idx1", int64_t(b.size()) / 2);
       const int64_t end = int64_t(b.size());
       if (at > 0) b.resize(size_t(at));
       return TDamagedRanges{{end, end}};
     }},
    {"garbage_over_header",
     [](std::string& b) {
       const int64_t at = FindId(b, "00dc", int64_t(b.size()) * 40 / 100);
       std::mt19937 random(7);
       for (int64_t i = at; i >= 0 && i < at + 4096 && i < int64_t(b.size()); ++i)
         b[size_t(i)] = char(random());
       return TDamagedRanges{{at, at + 4096}};
     }},
    {"size_field_corrupted",
     [](std::string& b) {
       const int64_t at = FindId(b, "00dc", int64_t(b.size()) * 30 / 100);
       if (at >= 0) b[size_t(at + 6)] = char(b[size_t(at + 6)] + 3); // 192 KiB too large
       return TDamagedRanges{{at, at + 8}};
     }},
    {"zeroed_64k",
     [](std::string& b) {
       const int64_t at = int64_t(b.size()) / 2;
       std::fill(b.begin() + at, b.begin() + std::min<int64_t>(at + 65536, int64_t(b.size())),
                 '\0');
       return TDamagedRanges{{at, at + 65536}};
     }},
    // One byte more or one less inside the movie data shifts every header after it.
    {"byte_inserted",
     [](std::string& b) {
       const int64_t at = int64_t(b.size()) * 45 / 100;
       b.insert(b.begin() + at, '\x5A');
       return TDamagedRanges{{at, at + 1}};
     }},
    {"byte_deleted",
     [](std::string& b) {
       const int64_t at = int64_t(b.size()) * 45 / 100;
       b.erase(b.begin() + at);
       return TDamagedRanges{{at, at + 1}};
     }},
    // A flash card's lost sectors: eight 4 KiB sectors read back as zeros, spread over the
    // movie data; every chunk header survives.
    {"sectors_zeroed",
     [](std::string& b) {
       TDamagedRanges lost;
       for (int k = 0; k < 8; ++k) {
         const int64_t at = int64_t(b.size()) * (15 + 10 * k) / 100 / 4096 * 4096;
         std::fill(b.begin() + at, b.begin() + at + 4096, '\0');
         lost.emplace_back(at, at + 4096);
       }
       return lost;
     }},
};

namespace {
bool Hit(const TPacket& P, const TDamagedRanges& Damage) {
  for (const auto& [first, last] : Damage)
    if (P.Position - 8 < last && P.Position + P.Size > first) return true;
  return false;
}
} // namespace

TKept KeptPackets(const std::vector<TPacketHash>& Original, const std::vector<TPacketHash>& Copy,
                  const std::vector<double>& HitTimes) {
  static const std::string kEmptyHash = "d41d8cd98f00b204e9800998ecf8427e";
  std::multimap<std::string, double> pool;
  for (const TPacketHash& p : Original)
    pool.emplace(p.Hash, p.Seconds);
  TKept kept;
  for (const TPacketHash& p : Copy) {
    if (p.Hash == kEmptyHash) continue;
    const auto at = pool.find(p.Hash);
    const bool hitThere = std::any_of(HitTimes.begin(), HitTimes.end(),
                                      [&](double t) { return std::abs(t - p.Seconds) < 0.001; });
    if (at == pool.end()) {
      ++(hitThere ? kept.Filled : kept.Bad);
    } else {
      ++kept.Exact;
      kept.Shifts.emplace_back(at->second, p.Seconds - at->second);
      pool.erase(at);
    }
  }
  std::sort(kept.Shifts.begin(), kept.Shifts.end());
  return kept;
}

double SyncError(const TKept& Video, const TKept& Audio) {
  double worst = 0;
  for (const auto& [time, shift] : Video.Shifts) {
    const auto next = std::lower_bound(Audio.Shifts.begin(), Audio.Shifts.end(),
                                       std::pair<double, double>{time, -1e300});
    double nearest = 0, gap = -1;
    for (auto it : {next, next == Audio.Shifts.begin() ? next : std::prev(next)})
      if (it != Audio.Shifts.end() && (gap < 0 || std::abs(it->first - time) < gap)) {
        gap = std::abs(it->first - time);
        nearest = it->second;
      }
    if (gap >= 0) worst = std::max(worst, std::abs(shift - nearest));
  }
  return worst;
}

std::vector<double> HitTimes(const std::vector<TPacket>& Packets,
                             const std::vector<TPacketHash>& Hashes, const TDamagedRanges& Damage) {
  std::vector<double> times;
  for (size_t i = 0; i < Packets.size() && i < Hashes.size(); ++i)
    if (Hit(Packets[i], Damage)) times.push_back(Hashes[i].Seconds);
  return times;
}

int ExpectedAudioPackets(const std::vector<TPacket>& Packets, const TDamagedRanges& Damage) {
  return int(std::count_if(Packets.begin(), Packets.end(),
                           [&](const TPacket& p) { return !Hit(p, Damage); }));
}

int ExpectedFrames(const std::vector<TPacket>& Packets, const TDamagedRanges& Damage) {
  int kept = 0;
  bool dropping = false;
  for (const TPacket& p : Packets) {
    const bool hit = Hit(p, Damage);
    if (hit)
      dropping = true;
    else if (dropping && p.Key)
      dropping = false;
    if (!hit && !dropping) ++kept;
  }
  return kept;
}

} // namespace clw::test
