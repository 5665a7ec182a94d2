// The chunk walker (ChunkWalker.h). Every check looks ahead: a picture end is a chunk end
// only when audio checks out after it, and an audio frame end only when video does. The
// look-ahead goes one step deeper for PCM, which has no syntax of its own to check, than
// for AAC; its depth drops on each step from video to the audio after it.
#include "mp4repair/ChunkWalker.h"

#include "mp4repair/ScanRules.h"

#include <algorithm>

namespace clw {

namespace {

constexpr size_t kMinWindow = 8 << 20;
constexpr size_t kMaxWindow = 64 << 20;
// Checks are kept while the walk stays near them; past this many the memo starts afresh.
constexpr size_t kMemoLimit = 1 << 14;
// How far a resynchronisation searches for the next picture that checks out.
constexpr uint64_t kResyncReach = 64 << 20;

bool OpensByType(uint8_t Type) {
  return (Type >= 6 && Type <= 9) || Type == 14 || Type == 15;
}

uint64_t ReadLength(const uint8_t* P, uint32_t Size) {
  uint64_t v = 0;
  for (uint32_t i = 0; i < Size; ++i)
    v = v << 8 | P[i];
  return v;
}

} // namespace

TMp4ChunkWalker::TMp4ChunkWalker(TStream64& Source, uint64_t Start, uint64_t End, bool Intact,
                                 const TNullBlocks& ZeroRuns, const TWalkProfile& Profile)
    : Source(Source), Start(Start), End(End), Intact(Intact), Profile(Profile),
      Depth(Profile.Audio == TWalkProfile::waPcm ? 2 : 1) {
  // Silence can run into the length field of the unit after it: a run ends that many
  // bytes early.
  const uint64_t early = Profile.Video.NalLengthSize - 1;
  for (uint32_t i = 0; i < ZeroRuns.Count(); ++i) {
    const TNullBlock& z = ZeroRuns[i];
    const uint64_t s = std::max(z.Start, Start);
    const uint64_t e = std::min(z.Start + z.Length, End);
    if (e > s + early) Zeros.emplace_back(s, e - early);
  }
  std::sort(Zeros.begin(), Zeros.end());
  const uint64_t slice = std::min<uint64_t>(Profile.Video.MaxSliceLength, kMaxWindow - 65536);
  Window.resize(std::max<size_t>(kMinWindow, size_t(slice) + 65536));
  if (Profile.Audio == TWalkProfile::waAac) {
    Decoder = std::make_unique<TAacDecoder>(Profile.Library);
    if (!Decoder->Init(Profile.AacConfig.data(), Profile.AacConfig.size())) Decoder.reset();
  }
}

TMp4ChunkWalker::~TMp4ChunkWalker() = default;

const uint8_t* TMp4ChunkWalker::Bytes(uint64_t Position, size_t Need, size_t& Available) {
  Available = 0;
  if (Position >= End) return nullptr;
  const uint64_t want = std::min<uint64_t>(Need, End - Position);
  if (Position < WindowStart || Position + want > WindowStart + WindowBytes) {
    WindowStart = Position;
    WindowBytes = 0;
    const int64_t count = int64_t(std::min<uint64_t>(Window.size(), End - Position));
    if (Position > uint64_t(INT64_MAX) ||
        Source.Seek(int64_t(Position), soBeginning) != int64_t(Position))
      return nullptr;
    const int64_t got = Source.Read(Window.data(), count);
    WindowBytes = got > 0 ? size_t(got) : 0;
  }
  if (Position - WindowStart >= WindowBytes) return nullptr;
  Available = size_t(std::min<uint64_t>(WindowBytes - (Position - WindowStart), want));
  return Window.data() + (Position - WindowStart);
}

bool TMp4ChunkWalker::InZeroRun(uint64_t Position, uint64_t& RunEnd) const {
  auto it = std::upper_bound(Zeros.begin(), Zeros.end(), std::make_pair(Position, UINT64_MAX));
  if (it == Zeros.begin()) return false;
  --it;
  if (Position >= it->second) return false;
  RunEnd = it->second;
  return true;
}

uint64_t TMp4ChunkWalker::LimitAfter(uint64_t Position) const {
  auto it = std::lower_bound(Zeros.begin(), Zeros.end(), std::make_pair(Position, uint64_t(0)));
  return it == Zeros.end() ? End : std::min(End, it->first);
}

const TMp4ChunkWalker::TChain& TMp4ChunkWalker::ChainAt(uint64_t Position) {
  const auto known = Chains.find(Position);
  if (known != Chains.end()) return known->second;
  TChain& c = Chains[Position];
  const uint32_t lengthSize = Profile.Video.NalLengthSize;
  const uint64_t limit = LimitAfter(Position);
  uint64_t p = Position;
  bool afterSlice = false;
  while (true) {
    if (p + lengthSize + 1 > limit) {
      c.Hit = true; // at a limit, or a length field cut by it
      break;
    }
    size_t available = 0;
    const uint8_t* head = Bytes(p, lengthSize + 32, available);
    if (!head || available < lengthSize + 1) {
      c.Hit = true;
      break;
    }
    const uint64_t length = ReadLength(head, lengthSize);
    const uint8_t* unit = head + lengthSize;
    const size_t headBytes = available - lengthSize;
    if (CheckNalUnit(unit, std::min<uint64_t>(headBytes, length), length, Profile.Video) !=
        nvAccepted)
      break;
    const uint64_t size = lengthSize + length;
    if (p + size > limit) {
      // Past the end of a whole media-data box nothing is a unit; anywhere else the unit was
      // cut by the end of the data or by zeros.
      c.Hit = !(Intact && limit == End);
      break;
    }
    const uint8_t* whole = Bytes(p, size_t(size), available);
    if (!whole || available < size ||
        CheckNalUnit(whole + lengthSize, size_t(length), length, Profile.Video) != nvAccepted)
      break;
    TUnit u;
    u.Offset = p;
    u.Size = size;
    const uint8_t type = whole[lengthSize] & 0x1F;
    u.Slice = type == 1 || type == 5;
    uint32_t firstMb = 1;
    if (u.Slice) {
      const TSliceStart start = ReadSliceStart(whole + lengthSize + 1,
                                               whole + lengthSize + std::min<uint64_t>(length, 32));
      firstMb = start.FirstMbKnown ? start.FirstMb : 1;
      u.Sync = type == 5 && start.SliceTypeKnown && start.SliceType % 5 == 2;
    }
    const bool opener = OpensByType(type) || (u.Slice && firstMb == 0);
    u.OpensPicture = opener && (c.Units.empty() || afterSlice);
    afterSlice = u.Slice;
    if (u.OpensPicture && !c.Units.empty()) c.PictureEnds.push_back(p);
    c.Units.push_back(u);
    p += size;
  }
  c.End = p;
  if (!c.Units.empty() && (!c.Hit || p == limit) &&
      (c.PictureEnds.empty() || c.PictureEnds.back() != p))
    c.PictureEnds.push_back(p);
  return c;
}

const TMp4ChunkWalker::TFrames& TMp4ChunkWalker::AacAt(uint64_t Position) {
  const auto known = Frames.find(Position);
  if (known != Frames.end()) return known->second;
  TFrames& f = Frames[Position];
  f.Limit = LimitAfter(Position);
  if (!Decoder || !Decoder->Reset()) return f;
  const uint64_t most = uint64_t(Profile.MaxFramesPerChunk) * 3 / 2 + 2;
  uint64_t p = Position;
  while (f.Ends.size() < most && p < f.Limit) {
    size_t available = 0;
    const uint8_t* data = Bytes(p, Decoder->MaxFrameSize(), available);
    if (!data) break;
    const uint32_t n = Decoder->Decode(data, size_t(std::min<uint64_t>(available, f.Limit - p)));
    if (n == 0) break;
    p += n;
    f.Ends.push_back(p);
  }
  return f;
}

bool TMp4ChunkWalker::VideoChecks(uint64_t Position, int Level) {
  const TChain& c = ChainAt(Position);
  if (!c.OpensPicture()) return false;
  if (c.Hit) return true;
  if (c.PictureEnds.empty()) return false;
  if (Level <= 0 || Profile.Audio == TWalkProfile::waNone) return true;
  const std::vector<uint64_t> ends = c.PictureEnds; // the checks below add to the memo
  for (auto e = ends.rbegin(); e != ends.rend(); ++e)
    if (AudioChecks(*e, Level - 1)) return true;
  return false;
}

bool TMp4ChunkWalker::PcmGapEnd(uint64_t Position, int Level, uint64_t& GapEnd) {
  const uint64_t frame = Profile.PcmFrameBytes;
  if (frame == 0) return false;
  const uint64_t limit = LimitAfter(Position);
  const uint64_t first = std::max<uint64_t>(1, Profile.MinFramesPerChunk / 2);
  const uint64_t last = uint64_t(Profile.MaxFramesPerChunk) * 3 / 2 + 1;
  for (uint64_t k = first; k <= last; ++k) {
    const uint64_t q = Position + k * frame;
    if (q > limit) break;
    if (q < limit && VideoChecks(q, Level)) {
      GapEnd = q;
      return true;
    }
  }
  // The end of the data or a zero run inside the window: the sound runs up to it.
  if (limit > Position && limit - Position <= last * frame) {
    GapEnd = Position + (limit - Position) / frame * frame;
    return GapEnd > Position;
  }
  return false;
}

bool TMp4ChunkWalker::AudioChecks(uint64_t Position, int Level) {
  if (Profile.Audio == TWalkProfile::waPcm) {
    uint64_t end = 0;
    return PcmGapEnd(Position, Level, end);
  }
  if (Profile.Audio != TWalkProfile::waAac) return false;
  const TFrames& f = AacAt(Position);
  if (f.Ends.empty()) return false;
  if (Level <= 0) return true;
  const std::vector<uint64_t> ends = f.Ends;
  const uint64_t limit = f.Limit;
  for (const uint64_t e : ends)
    if (VideoChecks(e, Level)) return true;
  return limit - ends.back() <= 2 * uint64_t(Profile.LargestFrame);
}

bool TMp4ChunkWalker::TakeVideo(uint64_t& Position, int Level) {
  const TChain& c = ChainAt(Position);
  if (!c.OpensPicture()) return false;
  uint64_t end = 0;
  if (c.Hit || Profile.Audio == TWalkProfile::waNone) {
    end = c.PictureEnds.empty() ? 0 : c.PictureEnds.back();
    if (c.Hit) end = c.End;
  } else {
    const std::vector<uint64_t> ends = c.PictureEnds;
    for (auto e = ends.rbegin(); e != ends.rend() && end == 0; ++e)
      if (AudioChecks(*e, Level)) end = *e;
  }
  if (end <= Position) return false;
  const TChain& chain = ChainAt(Position);
  TWalkedChunk chunk;
  chunk.Video = true;
  chunk.Offset = Position;
  chunk.Size = end - Position;
  for (const TUnit& u : chain.Units) {
    if (u.Offset >= end) break;
    if (u.OpensPicture || chunk.Samples.empty())
      chunk.Samples.push_back(TNewChunk{u.Offset, 0, 0, 0});
    TNewChunk& picture = chunk.Samples.back();
    picture.Size += uint32_t(u.Size);
    if (u.Sync) picture.Flags |= TNewChunk::kSync;
  }
  Chunks.push_back(std::move(chunk));
  Position = end;
  return true;
}

bool TMp4ChunkWalker::TakeAudio(uint64_t& Position, int Level) {
  TWalkedChunk chunk;
  chunk.Offset = Position;
  if (Profile.Audio == TWalkProfile::waPcm) {
    uint64_t end = 0;
    if (!PcmGapEnd(Position, Level, end)) return false;
    chunk.Size = end - Position;
  } else if (Profile.Audio == TWalkProfile::waAac) {
    const TFrames& f = AacAt(Position);
    if (f.Ends.empty()) return false;
    const std::vector<uint64_t> ends = f.Ends;
    const uint64_t limit = f.Limit;
    uint64_t end = 0;
    for (const uint64_t e : ends)
      if (VideoChecks(e, Level)) {
        end = e;
        break;
      }
    if (end == 0 && limit - ends.back() <= 2 * uint64_t(Profile.LargestFrame)) end = ends.back();
    if (end == 0) return false;
    uint64_t at = Position;
    for (const uint64_t e : ends) {
      if (e > end) break;
      chunk.Samples.push_back(TNewChunk{at, uint32_t(e - at), 0, 0});
      at = e;
    }
    chunk.Size = end - Position;
  } else {
    return false;
  }
  Chunks.push_back(std::move(chunk));
  Position += Chunks.back().Size;
  return true;
}

bool TMp4ChunkWalker::Resynchronise(uint64_t& Position, const bool* Cancelled) {
  const uint64_t limit = std::min(LimitAfter(Position + 1), Position + kResyncReach);
  const uint32_t lengthSize = Profile.Video.NalLengthSize;
  for (uint64_t q = Position + 1; q + lengthSize < limit; ++q) {
    if (Cancelled && *Cancelled && (q & 0xFFFF) == 0) return false;
    size_t available = 0;
    const uint8_t* head = Bytes(q, lengthSize + 32, available);
    if (!head || available < lengthSize + 1) break;
    const uint64_t length = ReadLength(head, lengthSize);
    if (CheckNalUnit(head + lengthSize, std::min<uint64_t>(available - lengthSize, length), length,
                     Profile.Video) != nvAccepted)
      continue;
    if (VideoChecks(q, Depth)) {
      Skipped += q - Position;
      Position = q;
      return true;
    }
  }
  Skipped += limit - Position;
  Position = limit;
  return true;
}

bool TMp4ChunkWalker::Walk(const bool* Cancelled) {
  Chunks.clear();
  Skipped = 0;
  const bool withAudio = Profile.Audio != TWalkProfile::waNone;
  bool video = !withAudio || !Profile.AudioFirst;
  int shallow = 0; // chunks taken in a row at depth 0
  uint64_t pos = Start;
  while (pos < End) {
    if (Cancelled && *Cancelled) return false;
    if (Chains.size() + Frames.size() > kMemoLimit) {
      Chains.clear();
      Frames.clear();
    }
    uint64_t runEnd = 0;
    if (InZeroRun(pos, runEnd) && !(Profile.Audio == TWalkProfile::waPcm && !video)) {
      pos = runEnd;
      video = true;
      continue;
    }
    bool took = video ? TakeVideo(pos, Depth) : TakeAudio(pos, Depth);
    bool tookVideo = video;
    if (!took && withAudio) {
      took = video ? TakeAudio(pos, Depth) : TakeVideo(pos, Depth);
      tookVideo = !video;
    }
    if (took) {
      shallow = 0;
    } else if (shallow < 2) {
      took = video ? TakeVideo(pos, 0) : TakeAudio(pos, 0);
      tookVideo = video;
      if (took) ++shallow;
    }
    if (took) {
      video = withAudio ? !tookVideo : true;
      continue;
    }
    shallow = 0;
    if (!Resynchronise(pos, Cancelled)) return false;
    video = true;
  }
  return true;
}

} // namespace clw
