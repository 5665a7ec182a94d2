#include "mp4repair/TrackDescriptions.h"

#include "mp4/H264Syntax.h"
#include "mp4/Mp4BoxTypes.h"
#include "streams/Endian.h"

#include <algorithm>
#include <map>

namespace clw {

namespace {

constexpr TFourCC kavcC = MakeFourCC("avcC");
constexpr int64_t kEntryHeader = 8;
constexpr size_t kStsdHead = 8; // version, flags, entry count

} // namespace

std::vector<uint8_t> ReadNodePayload(const THgMP4FileReader& Reader, int32_t Node, uint64_t Limit) {
  TStream64* source = Reader.Source();
  if (!source || !Reader.IsNode(Node)) return {};
  const int64_t start = Reader.DataPosition(Node);
  const int64_t end = std::min<int64_t>(Reader.NodeEnd(Node), int64_t(Reader.FileSize));
  if (start < 0 || end <= start || uint64_t(end - start) > Limit) return {};
  std::vector<uint8_t> payload(size_t(end - start));
  const int64_t saved = source->Position();
  int64_t got = 0;
  if (source->Seek(start, soBeginning) == start)
    got = source->Read(payload.data(), int64_t(payload.size()));
  source->Seek(saved, soBeginning);
  payload.resize(size_t(std::max<int64_t>(got, 0)));
  return payload;
}

std::vector<uint8_t> FirstSampleEntry(const std::vector<uint8_t>& StsdPayload) {
  if (StsdPayload.size() < kStsdHead + kEntryHeader) return {};
  const uint32_t size = ReadBE32(StsdPayload.data() + kStsdHead);
  if (size < kEntryHeader || size > StsdPayload.size() - kStsdHead) return {};
  return {StsdPayload.begin() + kStsdHead, StsdPayload.begin() + kStsdHead + size};
}

bool IsH264SampleEntry(TFourCC Type) {
  return Type == MakeFourCC("avc1") || Type == MakeFourCC("avc3");
}

bool HasAvcConfiguration(const TMp4Trak& Trak) {
  if (Trak.stsd.Version == kNotRead || Trak.stsd.Entries.empty()) return false;
  if (!IsH264SampleEntry(Trak.stsd.Entries[0].Type)) return false;
  // The description tree has one root per entry, the first at node 0.
  return Trak.SampleDescriptions.IsNode(0) && Trak.SampleDescriptions.FindChild(0, kavcC) >= 0;
}

std::vector<uint8_t> AvcConfigPayload(const std::vector<uint8_t>& Entry) {
  // The visual fixed part is 78 bytes; "avcC" is among the boxes after it.
  size_t at = size_t(kEntryHeader) + 78;
  while (at + 8 <= Entry.size()) {
    const uint32_t size = ReadBE32(Entry.data() + at);
    if (size < 8 || size > Entry.size() - at) break;
    if (ReadLE32(Entry.data() + at + 4) == kavcC)
      return {Entry.begin() + ptrdiff_t(at) + 8, Entry.begin() + ptrdiff_t(at) + size};
    at += size;
  }
  return {};
}

std::vector<uint8_t> WithAvcConfig(const std::vector<uint8_t>& StsdPayload,
                                   const std::vector<uint8_t>& AvcC, uint16_t Width,
                                   uint16_t Height) {
  const std::vector<uint8_t> entry = FirstSampleEntry(StsdPayload);
  // The visual fixed part is 78 bytes, its width and height 24 bytes in.
  const size_t fixed = size_t(kEntryHeader) + 78;
  if (entry.size() < fixed || AvcC.size() > UINT32_MAX - 8 - entry.size()) return {};
  std::vector<uint8_t> out(entry.begin(), entry.begin() + ptrdiff_t(fixed));
  WriteBE16(out.data() + kEntryHeader + 24, Width);
  WriteBE16(out.data() + kEntryHeader + 26, Height);
  bool replaced = false;
  for (size_t at = fixed; at + 8 <= entry.size();) {
    const uint32_t size = ReadBE32(entry.data() + at);
    if (size < 8 || size > entry.size() - at) return {};
    if (ReadLE32(entry.data() + at + 4) == kavcC && !replaced) {
      uint8_t head[8] = {0, 0, 0, 0, 'a', 'v', 'c', 'C'};
      WriteBE32(head, uint32_t(AvcC.size() + 8));
      out.insert(out.end(), head, head + 8);
      out.insert(out.end(), AvcC.begin(), AvcC.end());
      replaced = true;
    } else {
      out.insert(out.end(), entry.begin() + ptrdiff_t(at), entry.begin() + ptrdiff_t(at + size));
    }
    at += size;
  }
  if (!replaced) return {};
  WriteBE32(out.data(), uint32_t(out.size()));
  // The header, this entry, then the entries after it as they stand.
  std::vector<uint8_t> payload(StsdPayload.begin(), StsdPayload.begin() + ptrdiff_t(kStsdHead));
  payload.insert(payload.end(), out.begin(), out.end());
  payload.insert(payload.end(), StsdPayload.begin() + ptrdiff_t(kStsdHead + entry.size()),
                 StsdPayload.end());
  return payload;
}

uint32_t NalLengthSize(const std::vector<uint8_t>& Entry) {
  const std::vector<uint8_t> config = AvcConfigPayload(Entry);
  const uint32_t length = AvcNalLengthSize(config.data(), config.size());
  return length > 0 ? length : 4;
}

uint32_t SoundSampleRate(const TMp4_SampleEntry& Entry) {
  const TMp4_SoundEntry sound = SoundEntry(Entry);
  if (sound.Version == 2 && Entry.FixedLength >= SoundEntryFixedLength(2)) {
    const double rate = SoundEntryV2(Entry).AudioSampleRate;
    return rate >= 1 && rate <= 1e7 ? uint32_t(rate + 0.5) : 0;
  }
  return sound.SampleRate >> 16;
}

uint32_t MostCommonDelta(const TMp4_stts& Stts) {
  std::map<uint32_t, uint64_t> counts;
  for (const TMp4_stts_entry& e : Stts.Table)
    if (e.SampleDelta > 0) counts[e.SampleDelta] += e.SampleCount;
  uint32_t best = 0;
  uint64_t most = 0;
  for (const auto& [delta, count] : counts)
    if (count > most) {
      most = count;
      best = delta;
    }
  return best;
}

} // namespace clw
