// The chunk walker (ChunkWalker.h). Every check looks ahead: a picture end is a chunk end
// only when the chunk after it checks out, and so is an audio frame end. The look-ahead
// goes one step deeper for PCM, which has no syntax of its own to check, than for AAC; its
// depth drops on each step out of video. Chunks of data tracks prove nothing by themselves
// (any sixteen bytes are a sample of sixteen bytes): they count only through the media
// chunk after them, and at most a few of them in a row.
#include "mp4repair/ChunkWalker.h"

#include "mp4repair/AacFrameParser.h"
#include "mp4repair/ScanRules.h"

#include <algorithm>
#include <cstring>

namespace clw {

namespace {

constexpr size_t kMinWindow = 8 << 20;
constexpr size_t kMaxWindow = 64 << 20;
// Checks are kept while the walk stays near them; past this many the memo starts afresh.
constexpr size_t kMemoLimit = 1 << 14;
// How far a resynchronisation searches for the next picture that checks out.
constexpr uint64_t kResyncReach = 64 << 20;
// Sound chunks longer than the reference's are looked for up to this many seconds, and
// never further than this many bytes.
constexpr uint64_t kPcmReachSeconds = 10;
constexpr uint64_t kMostPcmReach = 32 << 20;
// How far a sound chunk without frames to follow (AAC without the decoder) may run.
constexpr uint64_t kMostGapReach = 1 << 20;
// Byte-by-byte searches for the end of AAC taken as a gap nest: one within another is
// needed to check what follows the chunk after the gap, and no more (each level multiplies
// the work by its reach).
constexpr int kMostNestedScans = 2;
// Positions the searches for chunk ends may try in a whole walk, per byte of media data and
// beyond it: nested searches over hostile bytes end the walk's search (it then falls back
// to slice detection) instead of running for hours.
constexpr uint64_t kScanBudgetPerByte = 8;
constexpr uint64_t kScanBudgetBase = 4 << 20;
// A look-ahead may pass one chunk of other tracks more between two video chunks than the
// reference ever has, and no more than this many.
constexpr uint32_t kMostFiller = 12;

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
      Depth(Profile.Audio == TWalkProfile::waPcm ? 2 : 1),
      Filler0(int(std::min(Profile.LongestRun + 1, kMostFiller))) {
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
  // With 4-byte length fields and no unit of the stream reaching 16 MiB, a length field
  // opens with a zero byte.
  ZeroLead =
      Profile.Video.NalLengthSize == 4 &&
      std::max<uint64_t>(Profile.Video.MaxSliceLength, kMaxOtherLength) < (uint64_t(1) << 24);
  const uint64_t slice = std::min<uint64_t>(Profile.Video.MaxSliceLength, kMaxWindow - 65536);
  Window.resize(std::max<size_t>(kMinWindow, size_t(slice) + 65536));
  if (Profile.Audio == TWalkProfile::waAac) {
    Decoder = std::make_unique<TAacDecoder>(Profile.Library);
    if (!Decoder->Init(Profile.AacConfig.data(), Profile.AacConfig.size())) Decoder.reset();
  }
  const size_t tracks = Profile.Tracks.size();
  AudioTrack = Profile.SoundTrack();
  for (size_t from = 0; from <= tracks && from < Profile.Follows.size(); ++from) {
    std::vector<int32_t> next;
    for (size_t to = 0; to < tracks && to < Profile.Follows[from].size(); ++to)
      if (Profile.Follows[from][to] > 0) next.push_back(int32_t(to));
    std::stable_sort(next.begin(), next.end(), [&](int32_t a, int32_t b) {
      return Profile.Follows[from][size_t(a)] > Profile.Follows[from][size_t(b)];
    });
    Next.push_back(std::move(next));
  }
  Next.resize(tracks + 1);
  if (AudioTrack >= 0) {
    const std::vector<int32_t>& next = Successors(AudioTrack);
    VideoAfterSound = !next.empty() && std::all_of(next.begin(), next.end(), [&](int32_t t) {
      return Profile.Tracks[size_t(t)].Kind == TWalkTrack::wkVideo;
    });
  }
}

const std::vector<int32_t>& TMp4ChunkWalker::Successors(int32_t Track) const {
  return Next[Track < 0 || size_t(Track) >= Next.size() - 1 ? Next.size() - 1 : size_t(Track)];
}

TMp4ChunkWalker::~TMp4ChunkWalker() = default;

const uint8_t* TMp4ChunkWalker::Bytes(uint64_t Position, size_t Need, size_t& Available) {
  Available = 0;
  if (Position >= End) return nullptr;
  const uint64_t want = std::min<uint64_t>(Need, End - Position);
  if (Position < WindowStart || Position + want > WindowStart + WindowBytes) {
    // The walk goes forward, but before a chunk it stands on it steps back through what it
    // passed, sound frame by sound frame. So a window read for bytes ahead of it starts an
    // eighth of itself before them, and one read for bytes behind it ends where they end:
    // the steps that follow find their bytes in it instead of reading it again each time.
    const uint64_t size = Window.size();
    const uint64_t room = size > want ? size - want : 0; // what else the window can hold
    const uint64_t behind = Position > Start ? Position - Start : 0;
    const uint64_t lead = Position < WindowStart ? room : std::min(room, size / 8);
    const uint64_t from = Position - std::min(lead, behind);
    WindowStart = from;
    WindowBytes = 0;
    const int64_t count = int64_t(std::min<uint64_t>(size, End - from));
    if (from > uint64_t(INT64_MAX) || Source.Seek(int64_t(from), soBeginning) != int64_t(from))
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
    // A chunk begins with a sample, and the reference shows what its samples begin with.
    const bool startsSample =
        Profile.SampleStartTypes == 0 || (Profile.SampleStartTypes & NalTypeBit(type)) != 0;
    u.OpensPicture = opener && (c.Units.empty() ? startsSample : afterSlice);
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

std::vector<uint64_t> TMp4ChunkWalker::DataChunkEnds(int32_t Track, uint64_t Position) {
  const TWalkTrack& t = Profile.Tracks[size_t(Track)];
  const uint64_t limit = LimitAfter(Position);
  std::vector<uint64_t> ends;
  if (t.Kind == TWalkTrack::wkUniform) {
    size_t available = 0;
    const uint8_t* head = Bytes(Position, t.Prefix.size(), available);
    if (!t.Prefix.empty() && (!head || available < t.Prefix.size() ||
                              !std::equal(t.Prefix.begin(), t.Prefix.end(), head)))
      return ends;
    for (const uint32_t size : t.Sizes)
      if (const uint64_t end = Position + uint64_t(size) * t.SamplesPerChunk;
          end > Position && end <= limit)
        ends.push_back(end);
    return ends;
  }
  if (t.Kind != TWalkTrack::wkKlv) return ends;
  // Records of a four-character key of printable characters, a type (0 for nested
  // records), the size of one value and how many follow, the values padded to four bytes.
  const uint64_t reach = std::min<uint64_t>(limit, Position + 2 * uint64_t(t.LargestChunk) + 8);
  uint64_t p = Position;
  while (p + 8 <= reach) {
    size_t available = 0;
    const uint8_t* r = Bytes(p, 8, available);
    if (!r || available < 8) break;
    bool key = true;
    for (int i = 0; i < 4; ++i)
      key &= r[i] >= 0x20 && r[i] < 0x7F;
    if (!key || (r[4] != 0 && (r[4] < 0x20 || r[4] >= 0x7F))) break;
    const uint64_t payload = uint64_t(r[5]) * (uint64_t(r[6]) << 8 | r[7]);
    const uint64_t next = p + 8 + ((payload + 3) & ~uint64_t(3));
    if (next > reach) break;
    p = next;
    ends.push_back(p);
  }
  std::reverse(ends.begin(), ends.end()); // the chunk takes every record that follows
  return ends;
}

bool TMp4ChunkWalker::Checks(int32_t Track, uint64_t Position, int Level, int Filler) {
  const uint64_t key = Position << 12 | uint64_t(Track & 15) << 8 | uint64_t(Level & 15) << 4 |
                       uint64_t(Filler & 15);
  if (const auto known = Checked.find(key); known != Checked.end()) return known->second;
  bool ok = false;
  const TWalkTrack::TKind kind = Profile.Tracks[size_t(Track)].Kind;
  if (kind == TWalkTrack::wkVideo) {
    ok = VideoChecks(Position, Level);
  } else if (kind == TWalkTrack::wkAudio) {
    ok = AudioChecks(Position, Level, Filler);
  } else {
    const uint64_t limit = LimitAfter(Position);
    for (const uint64_t end : DataChunkEnds(Track, Position))
      if ((ok = end == limit || NextChecks(Track, end, Level, Filler))) break;
  }
  Checked[key] = ok;
  return ok;
}

bool TMp4ChunkWalker::NextChecks(int32_t Track, uint64_t Position, int Level, int Filler) {
  for (const int32_t b : Successors(Track)) {
    const bool video = Profile.Tracks[size_t(b)].Kind == TWalkTrack::wkVideo;
    if (!video && Filler <= 0) continue;
    if (Checks(b, Position, Level, video ? Filler0 : Filler - 1)) return true;
  }
  return false;
}

bool TMp4ChunkWalker::VideoChecks(uint64_t Position, int Level) {
  const TChain& c = ChainAt(Position);
  if (!c.OpensPicture()) return false;
  if (c.Hit) return true;
  if (c.PictureEnds.empty()) return false;
  const std::vector<int32_t>& next = Successors(0);
  if (Level <= 0 || (next.size() == 1 && next[0] == 0)) return true; // video only
  const std::vector<uint64_t> ends = c.PictureEnds; // the checks below add to the memo
  for (auto e = ends.rbegin(); e != ends.rend(); ++e)
    if (NextChecks(0, *e, Level - 1, Filler0)) return true;
  return false;
}

bool TMp4ChunkWalker::UnitHeadAt(uint64_t Position) {
  const uint32_t lengthSize = Profile.Video.NalLengthSize;
  size_t available = 0;
  const uint8_t* head = Bytes(Position, lengthSize + 32, available);
  if (!head || available < lengthSize + 1 || (ZeroLead && head[0] != 0)) return false;
  const uint64_t length = ReadLength(head, lengthSize);
  return CheckNalUnit(head + lengthSize, std::min<uint64_t>(available - lengthSize, length), length,
                      Profile.Video) == nvAccepted;
}

bool TMp4ChunkWalker::GapEnd(uint64_t Position, uint64_t Step, uint64_t First, uint64_t Last,
                             int Level, int Filler, uint64_t& End) {
  const uint64_t limit = LimitAfter(Position);
  if (limit <= Position || Step == 0) return false;
  // A search byte by byte counts as a nesting level while it runs.
  const int nesting = Step == 1 ? 1 : 0;
  ByteScans += nesting;
  bool found = false;
  // k stops before the limit, where Position + k x Step cannot overflow either.
  const uint64_t most = std::min(Last, (limit - Position - 1) / Step);
  for (uint64_t k = First; k <= most && !found && ScanBudget > 0; ++k, --ScanBudget) {
    const uint64_t q = Position + k * Step;
    // Only video needs its first bytes checked before the look-ahead: a data track's
    // chunk can begin with anything.
    if ((!VideoAfterSound || UnitHeadAt(q)) && NextChecks(AudioTrack, q, Level, Filler)) {
      End = q;
      found = true;
    }
  }
  ByteScans -= nesting;
  return found;
}

bool TMp4ChunkWalker::PcmGapEnd(uint64_t Position, int Level, int Filler, uint64_t& End) {
  const uint64_t frame = Profile.PcmFrameBytes;
  if (frame == 0 || AudioTrack < 0) return false;
  const uint64_t limit = LimitAfter(Position);
  const uint64_t first = std::max<uint64_t>(1, Profile.MinFramesPerChunk / 2);
  const uint64_t last = uint64_t(Profile.MaxFramesPerChunk) * 3 / 2 + 1;
  if (GapEnd(Position, frame, first, last, Level, Filler, End)) return true;
  // The end of the data or a zero run inside the window: the sound runs up to it.
  if (limit > Position && limit - Position <= last * frame) {
    End = Position + (limit - Position) / frame * frame;
    return End > Position;
  }
  // A chunk longer than the reference's: every byte up to ten seconds of sound, where the
  // first chunk that checks out must lie whole frames away. Not where the units of a
  // picture go on (a picture end inside a video chunk), which is no sound.
  if (Profile.PcmRate == 0 || !VideoAfterSound || UnitHeadAt(Position)) return false;
  const uint64_t reach = std::min(
      {uint64_t(Profile.PcmRate) * frame * kPcmReachSeconds, kMostPcmReach, limit - Position});
  uint64_t found = 0;
  if (!GapEnd(Position, 1, 1, reach, Level, Filler, found) || (found - Position) % frame != 0)
    return false;
  End = found;
  return true;
}

uint64_t TMp4ChunkWalker::LongestSoundChunk() const {
  return std::min((uint64_t(Profile.MaxFramesPerChunk) * 3 / 2 + 2) *
                      std::max<uint64_t>(Profile.LargestFrame, 64),
                  kMostGapReach);
}

bool TMp4ChunkWalker::SoundGapEnd(uint64_t Position, int Level, int Filler, uint64_t& End) {
  // A search within another only where each position is first checked for a unit head.
  const int most = VideoAfterSound ? kMostNestedScans : 1;
  if (AudioTrack < 0 || ByteScans >= most || UnitHeadAt(Position)) return false;
  const uint64_t limit = LimitAfter(Position);
  const uint64_t reach = LongestSoundChunk();
  if (GapEnd(Position, 1, 1, reach, Level, Filler, End)) return true;
  if (limit > Position && limit - Position <= reach) {
    End = limit;
    return true;
  }
  return false;
}

bool TMp4ChunkWalker::AudioChecks(uint64_t Position, int Level, int Filler) {
  if (Profile.Audio == TWalkProfile::waPcm || Profile.Audio == TWalkProfile::waGap) {
    uint64_t end = 0;
    return Profile.Audio == TWalkProfile::waPcm ? PcmGapEnd(Position, Level, Filler, end)
                                                : SoundGapEnd(Position, Level, Filler, end);
  }
  if (Profile.Audio != TWalkProfile::waAac || AudioTrack < 0) return false;
  const TFrames& f = AacAt(Position);
  if (f.Ends.empty()) return false;
  if (Level <= 0) return true;
  const std::vector<uint64_t> ends = f.Ends;
  const uint64_t limit = f.Limit;
  for (const uint64_t e : ends)
    if (NextChecks(AudioTrack, e, Level, Filler)) return true;
  return limit - ends.back() <= 2 * uint64_t(Profile.LargestFrame);
}

bool TMp4ChunkWalker::Take(int32_t Track, uint64_t& Position, int Level) {
  switch (Profile.Tracks[size_t(Track)].Kind) {
  case TWalkTrack::wkVideo:
    return TakeVideo(Position, Level);
  case TWalkTrack::wkAudio:
    return TakeAudio(Position, Level);
  default:
    return TakeData(Track, Position, Level);
  }
}

bool TMp4ChunkWalker::TakeVideo(uint64_t& Position, int Level) {
  const TChain& c = ChainAt(Position);
  if (!c.OpensPicture()) return false;
  const std::vector<int32_t>& next = Successors(0);
  uint64_t end = 0;
  if (c.Hit || (next.size() == 1 && next[0] == 0)) {
    end = c.PictureEnds.empty() ? 0 : c.PictureEnds.back();
    if (c.Hit) end = c.End;
  } else {
    const std::vector<uint64_t> ends = c.PictureEnds;
    for (auto e = ends.rbegin(); e != ends.rend() && end == 0; ++e)
      if (NextChecks(0, *e, Level, Filler0)) end = *e;
  }
  if (end <= Position) return false;
  const TChain& chain = ChainAt(Position);
  TWalkedChunk chunk;
  chunk.Track = 0;
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
  if (AudioTrack < 0) return false;
  TWalkedChunk chunk;
  chunk.Track = AudioTrack;
  chunk.Offset = Position;
  if (Profile.Audio == TWalkProfile::waPcm || Profile.Audio == TWalkProfile::waGap) {
    uint64_t end = 0;
    if (Profile.Audio == TWalkProfile::waPcm ? !PcmGapEnd(Position, Level, Filler0, end)
                                             : !SoundGapEnd(Position, Level, Filler0, end))
      return false;
    chunk.Size = end - Position;
  } else if (Profile.Audio == TWalkProfile::waAac) {
    const TFrames& f = AacAt(Position);
    if (f.Ends.empty()) return false;
    const std::vector<uint64_t> ends = f.Ends;
    const uint64_t limit = f.Limit;
    uint64_t end = 0;
    for (const uint64_t e : ends)
      if (NextChecks(AudioTrack, e, Level, Filler0)) {
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

bool TMp4ChunkWalker::TakeData(int32_t Track, uint64_t& Position, int Level) {
  const uint64_t limit = LimitAfter(Position);
  uint64_t end = 0;
  for (const uint64_t e : DataChunkEnds(Track, Position))
    if (e == limit || NextChecks(Track, e, Level, Filler0 - 1)) {
      end = e;
      break;
    }
  if (end == 0) return false;
  TWalkedChunk chunk;
  chunk.Track = Track;
  chunk.Offset = Position;
  chunk.Size = end - Position;
  Chunks.push_back(std::move(chunk));
  Position = end;
  return true;
}

bool TMp4ChunkWalker::Resynchronise(uint64_t& Position, const bool* Cancelled) {
  const uint64_t limit = std::min(LimitAfter(Position + 1), Position + kResyncReach);
  const uint32_t lengthSize = Profile.Video.NalLengthSize;
  // The offsets before the next zero byte of the window open no unit (ZeroLead): passed
  // over at once. Damage is often foreign data, in which a zero byte is rare.
  uint64_t nextPoll = Position + 1;
  for (uint64_t q = Position + 1; q + lengthSize < limit; ++q) {
    if (q >= nextPoll) {
      if (Cancelled && *Cancelled) return false;
      nextPoll = q + 0x10000;
    }
    size_t available = 0;
    const uint8_t* head = Bytes(q, lengthSize + 32, available);
    if (!head || available < lengthSize + 1) break;
    if (ZeroLead && head[0] != 0) {
      const size_t span =
          size_t(std::min<uint64_t>(WindowStart + WindowBytes - q, limit - lengthSize - q));
      const auto* zero = static_cast<const uint8_t*>(std::memchr(head, 0, span));
      q += (zero ? size_t(zero - head) : span) - 1;
      continue;
    }
    const uint64_t length = ReadLength(head, lengthSize);
    if (CheckNalUnit(head + lengthSize, std::min<uint64_t>(available - lengthSize, length), length,
                     Profile.Video) != nvAccepted)
      continue;
    if (VideoChecks(q, Depth)) {
      Skipped += q - Position;
      KeepFramesBefore(Position, q);
      Position = q;
      return true;
    }
  }
  Skipped += limit - Position;
  Position = limit;
  return true;
}

void TMp4ChunkWalker::KeepFramesBefore(uint64_t Position, uint64_t End) {
  if (Profile.Audio != TWalkProfile::waAac || !Decoder || AudioTrack < 0 || End <= Position) return;
  // Frames chaining up to End make a chunk of the reference's longest at most: only the
  // bytes such a chunk can take are parsed, not all that the resynchronisation passed.
  const uint64_t reach = LongestSoundChunk();
  const uint64_t from = End - Position > reach ? End - reach : Position;
  TAacFrameParser parser(Source, *Decoder);
  std::vector<TAacFrameRun> runs;
  parser.Parse(from, End - from, runs);
  if (runs.empty() || runs.back().empty()) return;
  const TAacFrameRun& run = runs.back();
  const uint64_t runEnd = run.back().Offset + run.back().Size;
  if (runEnd != End) return;
  TWalkedChunk chunk;
  chunk.Track = AudioTrack;
  chunk.Offset = run.front().Offset;
  chunk.Size = End - chunk.Offset;
  for (const TAacFrame& f : run)
    chunk.Samples.push_back(TNewChunk{f.Offset, f.Size, 0, 0});
  Skipped -= std::min(Skipped, chunk.Size);
  Chunks.push_back(std::move(chunk));
}

bool TMp4ChunkWalker::Walk(const bool* Cancelled) {
  Chunks.clear();
  Skipped = 0;
  ScanBudget = kScanBudgetBase + kScanBudgetPerByte * (End - Start);
  if (Profile.Tracks.empty() || Profile.Tracks[0].Kind != TWalkTrack::wkVideo) return true;
  int32_t last = -1;       // the track of the last chunk taken; -1 the start
  bool videoFirst = false; // after zeros and damage a picture is looked for first
  int shallow = 0;         // chunks taken in a row at depth 0
  uint64_t pos = Start;
  while (pos < End) {
    if (Cancelled && *Cancelled) return false;
    if (Chains.size() + Frames.size() + Checked.size() > kMemoLimit) {
      Chains.clear();
      Frames.clear();
      Checked.clear();
    }
    std::vector<int32_t> candidates = Successors(last);
    // The reference's first chunk may be of another track than this recording's.
    if (last < 0)
      for (int32_t t = 0; t < int32_t(Profile.Tracks.size()); ++t)
        if (std::find(candidates.begin(), candidates.end(), t) == candidates.end())
          candidates.push_back(t);
    if (videoFirst) {
      std::erase(candidates, 0);
      candidates.insert(candidates.begin(), 0);
    }
    uint64_t runEnd = 0;
    const bool pcmNext = Profile.Audio == TWalkProfile::waPcm && !candidates.empty() &&
                         candidates.front() == AudioTrack;
    if (InZeroRun(pos, runEnd) && !pcmNext) {
      pos = runEnd;
      videoFirst = true;
      continue;
    }
    bool took = false;
    for (const int32_t b : candidates)
      if ((took = Take(b, pos, Depth))) {
        last = b;
        break;
      }
    if (took) {
      shallow = 0;
    } else if (shallow < 2) {
      for (const int32_t b : candidates)
        if ((took = Take(b, pos, 0))) {
          last = b;
          ++shallow;
          break;
        }
    }
    if (took) {
      videoFirst = false;
      continue;
    }
    shallow = 0;
    if (!Resynchronise(pos, Cancelled)) return false;
    videoFirst = true;
  }
  return true;
}

} // namespace clw
