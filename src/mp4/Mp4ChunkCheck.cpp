#include "mp4/Mp4ChunkCheck.h"

#include "mp4/AacConfig.h"
#include "mp4/AacDecoder.h"
#include "mp4/HgMP4File.h"
#include "mp4/Mp4BoxTypes.h"
#include "mp4/NalUnitCheck.h"
#include "streams/Endian.h"

#include <unistd.h>

#include <algorithm>
#include <memory>

namespace clw {

namespace {

constexpr TFourCC kavcC = MakeFourCC("avcC");
constexpr TFourCC kmp4a = MakeFourCC("mp4a");
constexpr size_t kStsdHead = 8;  // version, flags, entry count
constexpr size_t kEntryHead = 8; // size, type
constexpr size_t kVisualFixed = 78;
// The head of a chunk read at once: the first unit's header and the start of its slice,
// and the headers of the small units (parameter sets, SEI) that open a key frame.
constexpr size_t kHeadRead = 320;
// What is read of a later unit: its length field and enough of it for the slice header.
constexpr size_t kUnitRead = kJudgedUnitHead;
// A sample of more units than this is not walked to its end; it is not judged wrong for it.
constexpr uint32_t kMaxUnits = 1024;

// Reads bytes at a position of the file: a chunk's head lies far from the last one read,
// so a read of a few hundred bytes goes straight to the file instead of refilling a window.
class TReadAt {
public:
  TReadAt(TStream64& Stream, uint64_t FileSize) : Stream(Stream), FileSize(FileSize) {
    if (const auto* file = dynamic_cast<const THandleStream64*>(&Stream); file && file->Handle >= 0)
      Handle = file->Handle;
  }
  ~TReadAt() {
    if (Moved) Stream.Seek(Saved, soBeginning);
  }
  TReadAt(const TReadAt&) = delete;
  TReadAt& operator=(const TReadAt&) = delete;

  // Exactly Count bytes at Offset, or false.
  bool operator()(uint64_t Offset, uint8_t* Out, size_t Count) {
    if (Offset > FileSize || Count > FileSize - Offset) return false;
    if (Handle >= 0) return ::pread(Handle, Out, Count, off_t(Offset)) == ssize_t(Count);
    if (!Moved) {
      Saved = Stream.Position();
      Moved = true;
    }
    return Stream.Seek(int64_t(Offset), soBeginning) == int64_t(Offset) &&
           Stream.Read(Out, int64_t(Count)) == int64_t(Count);
  }

private:
  TStream64& Stream;
  uint64_t FileSize;
  int32_t Handle = -1;
  bool Moved = false;
  int64_t Saved = 0;
};

// A chunk as the tables give it: where it starts, the sizes of its first two samples and
// the bytes of all its samples.
struct TChunkSpan {
  uint64_t Offset = 0;
  uint64_t First = 0;
  uint64_t Second = 0; // 0: the chunk holds one sample
  uint64_t Bytes = 0;
};

struct TByteSpan {
  uint64_t Start = 0, End = 0;
};

// The chunks of a track, as far as its tables hold together; empty when they do not say
// how many samples each chunk has or how large they are. FrameBytes replaces a uniform
// sample size (QuickTime PCM counts one channel's sample there).
std::vector<TChunkSpan> ChunkSpans(const TMp4Trak& Trak, uint32_t FrameBytes) {
  const TMp4_stsc_table& stsc = Trak.stsc.Table;
  const TMp4_stsz& stsz = Trak.stsz;
  if (Trak.stco.Version == kNotRead || stsz.Version == kNotRead || stsc.empty()) return {};
  const bool uniform = stsz.SampleSize > 0;
  const uint64_t size = uniform && FrameBytes > 0 ? FrameBytes : stsz.SampleSize;
  const uint64_t samples = uniform ? stsz.SampleCount : stsz.Table.size();
  std::vector<TChunkSpan> spans;
  spans.reserve(Trak.stco.Table.size());
  uint64_t next = 0;
  ForEachChunk(Trak, [&](size_t Chunk, uint32_t Samples) {
    const uint64_t count = std::min<uint64_t>(Samples, samples - next);
    if (count == 0) return next < samples;
    TChunkSpan span;
    span.Offset = Trak.stco.Table[Chunk];
    if (uniform) {
      span.First = size;
      span.Second = count > 1 ? size : 0;
      span.Bytes = count * size;
    } else {
      span.First = stsz.Table[size_t(next)];
      span.Second = count > 1 ? stsz.Table[size_t(next + 1)] : 0;
      for (uint64_t i = 0; i < count; ++i)
        span.Bytes += stsz.Table[size_t(next + i)];
    }
    next += count;
    spans.push_back(span);
    return next < samples;
  });
  return spans;
}

// The payload of the first box of Type among the boxes that follow the fixed part of a
// sample entry (which ends at From); empty when there is none.
std::vector<uint8_t> EntryChild(const std::vector<uint8_t>& Entry, size_t From, TFourCC Type) {
  size_t at = From;
  while (at + 8 <= Entry.size()) {
    const uint32_t size = ReadBE32(Entry.data() + at);
    if (size < 8 || size > Entry.size() - at) break;
    if (ReadLE32(Entry.data() + at + 4) == Type)
      return {Entry.begin() + ptrdiff_t(at + 8), Entry.begin() + ptrdiff_t(at + size)};
    at += size;
  }
  return {};
}

// How the chunks of one track are judged, and the judging.
class TTrackProbe {
public:
  enum TKind : uint8_t { pkNone, pkH264, pkAac, pkPcm };

  TTrackProbe(const TMp4Trak& Trak, const std::vector<uint8_t>& Entry, const TAacLibrary* Aac,
              const std::vector<TByteSpan>& Media, TReadAt& Read)
      : Media(Media), Read(Read) {
    if (Trak.stsd.Version == kNotRead || Trak.stsd.Entries.empty()) return;
    const TMp4_SampleEntry& first = Trak.stsd.Entries[0];
    const TFourCC type = first.Type;
    if (Trak.MediaKind == mkVideo && (type == MakeFourCC("avc1") || type == MakeFourCC("avc3"))) {
      const std::vector<uint8_t> avcC = EntryChild(Entry, kEntryHead + kVisualFixed, kavcC);
      if (!MakeNalLimits(avcC.data(), avcC.size(), kOwnStreamNalTypes, Limits)) return;
      Kind = pkH264;
    } else if (Trak.MediaKind == mkSound && type == kmp4a) {
      std::vector<uint8_t> config;
      if (!FindAudioSpecificConfig(Entry.data(), Entry.size(), config)) return;
      Decoder = std::make_unique<TAacDecoder>(Aac);
      // Without the decoder nothing tells an AAC frame from other bytes.
      if (!Decoder->Init(config.data(), config.size())) return;
      Kind = pkAac;
    } else if (Trak.MediaKind == mkSound && IsPcmSampleEntry(type)) {
      Kind = pkPcm;
    } else {
      return;
    }
    Chunks = ChunkSpans(Trak, Kind == pkPcm ? PcmFrameSize(first) : 0);
    if (Chunks.empty()) Kind = pkNone;
  }

  TKind Kind = pkNone;
  std::vector<TChunkSpan> Chunks;

  bool Passes(const TChunkSpan& Chunk, int64_t Shift) {
    if (Shift < 0 && Chunk.Offset < uint64_t(-Shift)) return false;
    const uint64_t offset = Chunk.Offset + uint64_t(Shift);
    switch (Kind) {
    case pkH264:
      return H264Passes(offset, Chunk.First);
    case pkAac:
      return AacPasses(offset, Chunk.First, Chunk.Second);
    case pkPcm:
      return std::any_of(Media.begin(), Media.end(), [&](const TByteSpan& m) {
        return offset >= m.Start && offset <= m.End && Chunk.Bytes <= m.End - offset;
      });
    default:
      return true;
    }
  }

private:
  // The sample must open with a unit of the stream, and its units must fill it exactly.
  bool H264Passes(uint64_t Offset, uint64_t Size) {
    const size_t field = Limits.NalLengthSize;
    uint8_t head[kHeadRead];
    const size_t held = size_t(std::min<uint64_t>(Size, kHeadRead));
    if (Size <= field || !Read(Offset, head, held)) return false;
    uint8_t unit[kUnitRead];
    uint64_t at = 0;
    for (uint32_t n = 0; at < Size; ++n) {
      if (n == kMaxUnits) return true;
      if (Size - at <= field) return false;
      // The unit's head from the first read while it holds enough of it, else read anew.
      size_t available = held > at ? held - size_t(at) : 0;
      const uint8_t* p = unit;
      if (available >= std::min<uint64_t>(Size - at, kUnitRead)) {
        p = head + size_t(at);
      } else {
        available = size_t(std::min<uint64_t>(Size - at, kUnitRead));
        if (!Read(Offset + at, unit, available)) return false;
      }
      uint64_t length = 0;
      for (size_t i = 0; i < field; ++i)
        length = length << 8 | p[i];
      // Each unit is judged by as many bytes as the repair judges the samples it keeps by,
      // so that a copy the repair made never fails here.
      const size_t judged = std::min(available, kUnitRead) - field;
      if (length > Size - at - field ||
          CheckNalUnit(p + field, judged, length, Limits) != nvAccepted)
        return false;
      at += field + length;
    }
    return true;
  }

  // The first two frames must decode, each within the size the table gives it.
  bool AacPasses(uint64_t Offset, uint64_t First, uint64_t Second) {
    const uint64_t most = Decoder->MaxFrameSize();
    if (First == 0 || First > most || Second > most) return false;
    Bytes.resize(size_t(First + Second));
    if (!Read(Offset, Bytes.data(), Bytes.size())) return false;
    // Bytes that were no frame can leave the decoder in a state that refuses real ones; a
    // fresh instance costs more than decoding the two frames, so only then.
    if (Spoilt && !Decoder->Reset()) return false;
    Spoilt = Decoder->Decode(Bytes.data(), size_t(First)) == 0 ||
             (Second > 0 && Decoder->Decode(Bytes.data() + First, size_t(Second)) == 0);
    return !Spoilt;
  }

  const std::vector<TByteSpan>& Media;
  TReadAt& Read;
  TNalLimits Limits;
  std::unique_ptr<TAacDecoder> Decoder;
  bool Spoilt = false;
  std::vector<uint8_t> Bytes;
};

// The first sample entry of a track's description as the file holds it.
std::vector<uint8_t> FirstEntry(const THgMP4FileReader& Reader, const TMp4Trak& Trak,
                                TReadAt& Read) {
  if (!Reader.IsNode(Trak.StsdNode) || Trak.stsd.Entries.empty()) return {};
  const int64_t start = Reader.DataPosition(Trak.StsdNode) + int64_t(kStsdHead);
  const uint64_t size = Trak.stsd.Entries[0].Size;
  const int64_t end = std::min<int64_t>(Reader.NodeEnd(Trak.StsdNode), int64_t(Reader.FileSize));
  if (start < 0 || size < kEntryHead || size > kPlainBoxLimit || int64_t(size) > end - start)
    return {};
  std::vector<uint8_t> entry(static_cast<size_t>(size));
  if (!Read(uint64_t(start), entry.data(), entry.size())) return {};
  return entry;
}

} // namespace

bool TTableCheck::WrongIndex() const {
  if (Shift != 0) return true;
  return std::any_of(Tracks.begin(), Tracks.end(),
                     [](const TTrackChunkCheck& t) { return t.MostFail(); });
}

bool TTableCheck::AnyFailed() const {
  return std::any_of(Tracks.begin(), Tracks.end(),
                     [](const TTrackChunkCheck& t) { return t.Failed > 0; });
}

TTableCheck CheckChunkTables(THgMP4FileReader& Reader, const TAacLibrary* Aac) {
  TTableCheck check;
  check.Tracks.resize(Reader.Traks.size());
  TStream64* stream = Reader.Source();
  if (!stream) return check;
  TReadAt read(*stream, Reader.FileSize);
  std::vector<TByteSpan> media;
  for (int32_t n = Reader.FindChild(-1, kmdat); n >= 0; n = Reader.FindNext(n, kmdat)) {
    const int64_t start = std::max<int64_t>(Reader.DataPosition(n), 0);
    const int64_t end = std::min<int64_t>(Reader.NodeEnd(n), int64_t(Reader.FileSize));
    if (end > start) media.push_back({uint64_t(start), uint64_t(end)});
  }

  // Video first: its units are the strictest test, and a wrong shift fails on its first chunk.
  std::vector<std::unique_ptr<TTrackProbe>> probes;
  std::vector<size_t> order;
  for (size_t i = 0; i < Reader.Traks.size(); ++i) {
    const TMp4Trak& t = Reader.Traks[i];
    probes.push_back(
        std::make_unique<TTrackProbe>(t, FirstEntry(Reader, t, read), Aac, media, read));
    if (probes.back()->Kind != TTrackProbe::pkNone) order.push_back(i);
  }
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return probes[a]->Kind < probes[b]->Kind; });

  TPollEvery<THgMP4FileReader> poll(Reader);
  bool anyMostFail = false;
  for (size_t i : order) {
    TTrackChunkCheck& result = check.Tracks[i];
    for (const TChunkSpan& c : probes[i]->Chunks) {
      if (!poll()) return check;
      ++result.Checked;
      result.Failed += probes[i]->Passes(c, 0) ? 0 : 1;
    }
    anyMostFail |= result.MostFail();
  }
  // PCM alone cannot tell one shift from the next: every one keeps it inside the data.
  const bool decisive = std::any_of(order.begin(), order.end(), [&](size_t i) {
    return probes[i]->Kind == TTrackProbe::pkH264 || probes[i]->Kind == TTrackProbe::pkAac;
  });
  if (!anyMostFail || !decisive) return check;

  // The smallest shift first: 1, -1, 2, -2 ...
  for (int64_t step = 2; step <= 2 * kMaxTableShift + 1; ++step) {
    const int64_t shift = step % 2 == 0 ? step / 2 : -(step / 2);
    bool all = true;
    for (size_t k = 0; k < order.size() && all; ++k)
      for (const TChunkSpan& c : probes[order[k]]->Chunks) {
        if (!poll()) return check;
        if (!probes[order[k]]->Passes(c, shift)) {
          all = false;
          break;
        }
      }
    if (all) {
      check.Shift = shift;
      break;
    }
  }
  return check;
}

} // namespace clw
