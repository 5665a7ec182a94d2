#include "mp4repair/AacFrameParser.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace clw {

namespace {

constexpr size_t kWindow = 64 * 1024;
// Failed starts between two checks that the decoder still accepts a real frame.
constexpr uint32_t kCheckInterval = 64;
// Frames found before the most common first byte narrows the search.
constexpr uint32_t kFramesToLearnPrefix = 8;

// Syntax element ids of a raw_data_block.
enum : unsigned { kSce = 0, kCpe = 1, kCce = 2, kLfe = 3, kDse = 4, kPce = 5, kFil = 6, kEnd = 7 };
// Elements a frame may open with before its channel elements.
constexpr uint8_t kLeadingElements = 1 << kFil | 1 << kDse;
// Bytes the first-bits tests read at most: a leading element of up to 269 bytes, and the
// header of the channel element after it.
constexpr size_t kLookedAt = 280;

// Scalefactor bands of a long and a short window per sampling-frequency index (1024-sample
// frames; 960-sample frames have no more). max_sfb beyond them is a bitstream error.
constexpr uint8_t kLongBands[] = {41, 41, 47, 49, 49, 51, 47, 47, 43, 43, 43, 40};
constexpr uint8_t kShortBands[] = {12, 12, 12, 14, 14, 14, 15, 15, 15, 15, 15, 15};

// The elements of channel configurations 1 to 7 in their fixed order, by channel count.
std::vector<unsigned> ChannelElements(uint8_t Channels) {
  switch (Channels) {
  case 1:
    return {kSce};
  case 2:
    return {kCpe};
  case 3:
    return {kSce, kCpe};
  case 4:
    return {kSce, kCpe, kSce};
  case 5:
    return {kSce, kCpe, kCpe};
  case 6:
    return {kSce, kCpe, kCpe, kLfe};
  case 8:
    return {kSce, kCpe, kCpe, kCpe, kLfe};
  default:
    return {};
  }
}

// A frame of silence for the configuration: every channel element with max_sfb 0 and no
// tools, then END. Empty for layouts only a program config element describes.
std::vector<uint8_t> SilentFrame(uint8_t Channels) {
  const std::vector<unsigned> elements = ChannelElements(Channels);
  if (elements.empty()) return {};
  std::vector<uint8_t> bytes;
  size_t bit = 0;
  auto put = [&](uint32_t value, unsigned count) {
    while (count-- > 0) {
      if (bit % 8 == 0) bytes.push_back(0);
      if ((value >> count) & 1) bytes.back() |= uint8_t(0x80 >> (bit % 8));
      ++bit;
    }
  };
  // global_gain, ics_info (reserved, long window, shape, max_sfb 0, no prediction), then no
  // pulse, TNS or gain control data.
  auto channel = [&] { put(100, 8), put(0, 1 + 2 + 1 + 6 + 1), put(0, 3); };
  unsigned tags[8] = {};
  for (unsigned id : elements) {
    put(id, 3);
    put(tags[id]++, 4);
    if (id == kCpe) put(0, 1); // common_window
    channel();
    if (id == kCpe) channel();
  }
  put(kEnd, 3);
  return bytes;
}

} // namespace

TAacFrameParser::TAacFrameParser(TStream64& Source, TAacDecoder& Decoder)
    : FSource(Source), FDecoder(Decoder) {
  if (!FDecoder.Ready()) return;
  FMaxFrame = FDecoder.MaxFrameSize();
  FChainSpan = size_t(FMaxFrame) * 3;
  FWindow.assign(kWindow + FChainSpan, 0);

  const TAacConfig& config = FDecoder.Config();
  // Main, LC, SSR and LTP frames are a sequence of syntax elements; the error-resilient
  // types lay theirs out by the channel configuration, without ids.
  FCheckSyntax = config.ObjectType >= 1 && config.ObjectType <= 4;
  if (FCheckSyntax) {
    FLowComplexity = config.ObjectType == 2;
    FMono = config.Channels == 1;
    FSampleRateIndex = AacSampleRateIndex(config.SampleRate);
    const std::vector<unsigned> elements = ChannelElements(config.Channels);
    FFirstElements = elements.empty() ? uint8_t(1 << kSce | 1 << kCpe) : uint8_t(1 << elements[0]);
  }

  // The silent frame is a canary only if a fresh decoder takes it whole.
  FDecoder.Reset();
  FCanary = SilentFrame(FCheckSyntax ? config.Channels : 0);
  if (!FCanary.empty() && FDecoder.Decode(FCanary.data(), FCanary.size()) != FCanary.size())
    FCanary.clear();
}

const uint8_t* TAacFrameParser::Bytes(uint64_t Pos, size_t Need, size_t& Available) {
  if (Pos >= FEnd) return nullptr;
  const uint64_t need = std::min<uint64_t>(Need, FEnd - Pos);
  if (Pos < FWindowStart || Pos - FWindowStart + need > FWindowBytes) {
    const size_t want = size_t(std::min<uint64_t>(FWindow.size(), FEnd - Pos));
    FWindowStart = Pos;
    FWindowBytes = 0;
    if (FSource.Seek(int64_t(Pos), soBeginning) == int64_t(Pos)) {
      while (FWindowBytes < want) {
        const int64_t got =
            FSource.Read(FWindow.data() + FWindowBytes, int64_t(want - FWindowBytes));
        if (got <= 0) break;
        FWindowBytes += size_t(got);
      }
    }
    if (FWindowBytes < want) FEnd = Pos + FWindowBytes; // the file ends inside the range
    if (FWindowBytes == 0) return nullptr;
  }
  Available = FWindowBytes - size_t(Pos - FWindowStart);
  return FWindow.data() + (Pos - FWindowStart);
}

namespace {

// What ics_info says about the channel data after it.
struct TIcsInfo {
  bool ShortWindows = false;
  unsigned MaxSfb = 0;
  unsigned Groups = 1;
  bool Prediction = false; // prediction or LTP data follows, of a length not worked out here
};

// Skips a fill or data stream element that comes before the channel elements; ffmpeg's
// encoder opens a stream with a fill element naming itself.
void SkipLeadingElement(TAacBitReader& Bits, unsigned Id) {
  size_t count = 0;
  if (Id == kFil) {
    count = Bits.Read(4);
    if (count == 15) count += Bits.Read(8) - 1;
  } else {
    Bits.Skip(4); // element_instance_tag
    const bool align = Bits.Read(1);
    count = Bits.Read(8);
    if (count == 255) count += Bits.Read(8);
    if (align) Bits.Skip((8 - Bits.Position() % 8) % 8);
  }
  Bits.Skip(8 * count);
}

// ics_info; max_sfb beyond the bands of the sampling rate is a bitstream error, and AAC LC
// has no prediction.
bool PlausibleIcsInfo(TAacBitReader& Bits, uint8_t SampleRateIndex, bool LowComplexity,
                      TIcsInfo& Ics) {
  if (Bits.Read(1)) return false; // ics_reserved_bit
  Ics.ShortWindows = Bits.Read(2) == 2;
  Bits.Skip(1); // window_shape
  if (Ics.ShortWindows) {
    Ics.MaxSfb = Bits.Read(4);
    const unsigned grouping = Bits.Read(7); // a 0 bit starts a new group of windows
    Ics.Groups = 1 + 7 - unsigned(std::popcount(grouping));
    return Ics.MaxSfb <= kShortBands[SampleRateIndex];
  }
  Ics.MaxSfb = Bits.Read(6);
  if (Ics.MaxSfb > kLongBands[SampleRateIndex]) return false;
  Ics.Prediction = Bits.Read(1);
  return !(LowComplexity && Ics.Prediction);
}

// section_data: runs of scalefactor bands sharing a codebook, which tile each window
// group's bands exactly. Codebook 12 is reserved, and an encoder never writes an empty run.
bool PlausibleSections(TAacBitReader& Bits, const TIcsInfo& Ics) {
  const unsigned lengthBits = Ics.ShortWindows ? 3 : 5;
  const unsigned escape = (1u << lengthBits) - 1;
  for (unsigned g = 0; g < Ics.Groups; ++g) {
    unsigned band = 0;
    while (band < Ics.MaxSfb) {
      if (Bits.Read(4) == 12) return false;
      unsigned length = 0, increment = 0;
      while ((increment = Bits.Read(lengthBits)) == escape && Bits.Ok())
        length += escape;
      length += increment;
      band += length;
      if (length == 0 || band > Ics.MaxSfb) return false;
    }
  }
  return true;
}

} // namespace

// Cheap tests of a frame's first bits, so that long stretches of video are passed over
// without asking the decoder at every byte: the element ids this channel layout starts
// with, and the first channel's ics_info and section data. They refuse only what an
// encoder never writes; where the bytes run out, the decoder decides.
bool TAacFrameParser::Plausible(const uint8_t* Data, size_t Size) const {
  if (FFramesFound >= kFramesToLearnPrefix) {
    if ((Data[0] >> 1) != FPrefix) return false;
  } else if ((((FFirstElements | kLeadingElements) >> (Data[0] >> 5)) & 1) == 0) {
    return false;
  }
  if (!FCheckSyntax) return true;
  TAacBitReader bits(Data, std::min(Size, kLookedAt));
  unsigned id = bits.Read(3);
  if (id == kFil || id == kDse) {
    SkipLeadingElement(bits, id);
    id = bits.Read(3);
    if (!bits.Ok()) return true;
    if (((FFirstElements >> id) & 1) == 0) return false;
  }
  if (id != kSce && id != kCpe && id != kLfe) return true;
  bits.Skip(4); // element_instance_tag
  TIcsInfo ics;
  if (id == kCpe && bits.Read(1)) { // common_window: one ics_info for both channels
    if (!PlausibleIcsInfo(bits, FSampleRateIndex, FLowComplexity, ics)) return !bits.Ok();
    const unsigned msMask = bits.Read(2);
    if (msMask == 3) return !bits.Ok(); // reserved
    if (msMask == 1) bits.Skip(ics.Groups * ics.MaxSfb);
    bits.Skip(8); // global_gain
  } else {
    bits.Skip(8); // global_gain
    if (!PlausibleIcsInfo(bits, FSampleRateIndex, FLowComplexity, ics)) return !bits.Ok();
  }
  if (ics.Prediction) return true;
  if (!PlausibleSections(bits, ics)) return !bits.Ok();
  // Zeros read as an empty channel followed by another: in mono, after the one channel
  // element only data, fill or the end can come.
  if (FMono && ics.MaxSfb == 0 && bits.Read(3) == 0) { // no pulse, TNS or gain control data
    const unsigned next = bits.Read(3);
    return next == kDse || next == kFil || next == kEnd || !bits.Ok();
  }
  return true;
}

namespace {

// The first index from I below N whose byte has Prefix as its top seven bits, or N; 16
// bytes at a time where the target has SSE2.
size_t NextWithPrefix(const uint8_t* p, size_t i, size_t n, uint8_t prefix) {
#if defined(__SSE2__)
  const __m128i want = _mm_set1_epi8(char(prefix << 1));
  const __m128i top = _mm_set1_epi8(char(0xFE));
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const auto hits = uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(v, top), want)));
    if (hits != 0) return i + size_t(std::countr_zero(hits));
  }
#endif
  while (i < n && (p[i] >> 1) != prefix)
    ++i;
  return i;
}

} // namespace

uint64_t TAacFrameParser::NextCandidate(uint64_t Pos) {
  // Once the prefix is learned, no byte without it is plausible: those are passed over at
  // once (damage, or video the scan missed, runs to megabytes).
  const bool learned = FFramesFound >= kFramesToLearnPrefix;
  while (Pos < FEnd && !Stopped()) {
    size_t available = 0;
    const uint8_t* p = Bytes(Pos, FChainSpan, available);
    if (!p) break;
    // Positions that have a whole chain's bytes in the window, or all of them at the end.
    const size_t count = Pos + available >= FEnd ? available : available - FChainSpan + 1;
    for (size_t i = 0; i < count; ++i) {
      if (learned && (i = NextWithPrefix(p, i, count, FPrefix)) == count) break;
      if (Plausible(p + i, available - i)) return Pos + i;
    }
    Pos += count;
  }
  return FEnd;
}

uint32_t TAacFrameParser::FrameAt(uint64_t Pos) {
  size_t available = 0;
  const uint8_t* p = Bytes(Pos, FMaxFrame, available);
  return p ? FDecoder.Decode(p, available) : 0;
}

size_t TAacFrameParser::Chain(uint64_t Pos, TAacFrame (&Frames)[3]) {
  size_t count = 0;
  while (count < 3 && Pos < FEnd) {
    const uint32_t size = FrameAt(Pos);
    if (size == 0) break;
    Frames[count++] = {Pos, size};
    Pos += size;
  }
  return count;
}

void TAacFrameParser::Learn(const TAacFrame& Frame) {
  size_t available = 0;
  const uint8_t* p = Bytes(Frame.Offset, Frame.Size, available);
  if (!p) return;
  const uint8_t prefix = p[0] >> 1;
  if (++FPrefixCounts[prefix] > FPrefixCounts[FPrefix]) FPrefix = prefix;
  // Without a silent frame for the layout, a frame of a long run is the canary.
  if (++FFramesFound == kFramesToLearnPrefix && FCanary.empty()) FCanary.assign(p, p + Frame.Size);
}

bool TAacFrameParser::DecoderGood() {
  return FDecoder.Decode(FCanary.data(), FCanary.size()) == FCanary.size();
}

// Bytes that are not a frame can leave the decoder refusing every real frame after them
// (an SBR element set up from garbage, a channel layout changed). The search therefore
// checks, after every kCheckInterval failed starts, that the decoder still takes the
// canary. When it does not, the decoder is re-opened and the stretch since the last good
// check searched again, now checking after every failure, so that the start that spoiled
// it is found, passed over, and no frame behind it is lost.
bool TAacFrameParser::Parse(uint64_t Offset, uint64_t Length, std::vector<TAacFrameRun>& Runs) {
  if (!FDecoder.Ready()) return !Stopped();
  const int64_t saved = FSource.Position();
  const uint64_t limit = uint64_t(std::numeric_limits<int64_t>::max());
  FEnd = Offset >= limit ? Offset : Offset + std::min(Length, limit - Offset);
  FWindowStart = 0;
  FWindowBytes = 0;

  uint64_t pos = Offset;
  bool inRun = false;
  uint64_t goodFrom = Offset; // where to search again with a re-opened decoder
  uint32_t failures = 0;      // failed starts since the decoder was last known good
  uint64_t carefulUntil = 0;  // before it, every failure is followed by a check
  while (!Stopped()) {
    if (inRun) {
      const uint32_t size = FrameAt(pos);
      if (size > 0) {
        Runs.back().push_back({pos, size});
        Learn(Runs.back().back());
        pos += size;
        continue;
      }
      inRun = false;
      if (pos >= FEnd) break;
      goodFrom = ++pos;
      failures = 1;
      continue;
    }

    pos = NextCandidate(pos);
    if (pos >= FEnd) {
      if (failures == 0 || FCanary.empty() || DecoderGood()) break;
      FDecoder.Reset();
      carefulUntil = FEnd;
      pos = goodFrom;
      failures = 0;
      continue;
    }

    TAacFrame frames[3];
    const size_t count = Chain(pos, frames);
    const uint64_t chainEnd = count > 0 ? frames[count - 1].Offset + frames[count - 1].Size : pos;
    if (count == 3 || (count > 0 && chainEnd == FEnd)) {
      Runs.emplace_back();
      for (size_t i = 0; i < count; ++i) {
        Runs.back().push_back(frames[i]);
        Learn(frames[i]);
      }
      pos = chainEnd;
      inRun = true;
      failures = 0;
      continue;
    }

    ++failures;
    const bool careful = pos < carefulUntil;
    if (careful || failures >= kCheckInterval) {
      if (FCanary.empty()) {
        // Nothing to check with: re-open, so that spoiled state lasts one interval at most.
        FDecoder.Reset();
      } else if (!DecoderGood()) {
        FDecoder.Reset();
        if (!careful || failures > 1) {
          carefulUntil = pos + 1;
          pos = goodFrom;
          failures = 0;
          continue;
        }
        // Only this start was tried since the last good check: it spoiled the decoder.
      }
      goodFrom = pos + 1;
      failures = 0;
    }
    ++pos;
  }
  FSource.Seek(saved, soBeginning);
  return !Stopped();
}

} // namespace clw
