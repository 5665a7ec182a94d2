#pragma once
// The movie and track model of an MP4-family file: the header boxes and sample tables as
// records in host byte order (every value is converted from big-endian once, right after
// it is read), and the track that holds them. The fixed-size records are packed so that
// their bytes are the ones the diagnostic dump writes.
//
// Every record begins with a version byte. kNotRead in it means "absent": a new track sets
// it in all its records, and a reader keeps it there until the whole box has been read.
#include "container/HgChunkTree.h"
#include "streams/FourCC.h"

#include <cstdint>
#include <string>
#include <vector>

namespace clw {

inline constexpr uint8_t kNotRead = 255;

// Media kinds of a track, from its media header or its sample entries.
enum : uint8_t { mkNone = 0, mkVideo = 1, mkSound = 2, mkSystem = 3 };

#pragma pack(push, 1)

struct TMp4_mvhd {
  uint8_t Version = kNotRead;
  uint8_t Flags[3] = {};
  uint64_t CreationTime = 0;
  uint64_t ModificationTime = 0;
  uint32_t TimeScale = 0;
  uint64_t Duration = 0;
  uint32_t Rate = 0;   // 16.16
  uint16_t Volume = 0; // 8.8
  uint8_t Reserved[10] = {};
  uint32_t Matrix[9] = {};
  uint32_t PreDefined[6] = {};
  uint32_t NextTrackId = 0;
};
static_assert(sizeof(TMp4_mvhd) == 112);

struct TMp4_tkhd {
  uint8_t Version = kNotRead;
  uint8_t Flags[3] = {};
  uint64_t CreationTime = 0;
  uint64_t ModificationTime = 0;
  uint32_t TrackId = 0;
  uint32_t Reserved1 = 0;
  uint64_t Duration = 0;
  uint8_t Reserved2[8] = {};
  uint16_t Layer = 0;
  uint16_t AlternateGroup = 0;
  uint16_t Volume = 0;
  uint16_t Reserved3 = 0; // kept as in the file
  uint32_t Matrix[9] = {};
  uint32_t Width = 0;  // 16.16
  uint32_t Height = 0; // 16.16
};
static_assert(sizeof(TMp4_tkhd) == 96);

struct TMp4_mdhd {
  uint8_t Version = kNotRead;
  uint8_t Flags[3] = {};
  uint64_t CreationTime = 0;
  uint64_t ModificationTime = 0;
  uint32_t TimeScale = 0;
  uint64_t Duration = 0;
  uint16_t Language = 0;
  uint16_t Quality = 0;
};
static_assert(sizeof(TMp4_mdhd) == 36);

// The 24 fixed bytes of "hdlr"; the name follows in TMp4_hdlr.
struct TMp4_hdlrFixed {
  uint8_t Version = kNotRead;
  uint8_t Flags[3] = {};
  uint32_t PreDefined = 0;
  TFourCC HandlerType = 0; // as in the file: "vide", "soun"
  uint8_t Reserved[12] = {};
};
static_assert(sizeof(TMp4_hdlrFixed) == 24);

// One sample entry of "stsd": its header and the fixed part of its payload, the bytes
// between the entry header and its first child box ("avcC", "esds", ...). At most 78 bytes
// of the fixed part are kept; FixedLength is the length in the file.
struct TMp4_SampleEntry {
  uint32_t Size = 0;
  TFourCC Type = 0;
  uint32_t FixedLength = 0;
  uint8_t Fixed[78] = {};
};
static_assert(sizeof(TMp4_SampleEntry) == 90);

// The fixed part of a video sample entry, with the converted fields in host order.
struct TMp4_VisualEntry {
  uint8_t Reserved[6];
  uint16_t DataReferenceIndex;
  uint16_t Version;
  uint16_t Revision;
  TFourCC Vendor;
  uint32_t TemporalQuality;
  uint32_t SpatialQuality;
  uint16_t Width;
  uint16_t Height;
  uint32_t HorizontalResolution;
  uint32_t VerticalResolution;
  uint32_t DataSize;
  uint16_t FrameCount;
  char CompressorName[32];
  uint16_t Depth;
  uint16_t ColorTableId;
};
static_assert(sizeof(TMp4_VisualEntry) == 78);

// The fixed part of a sound sample entry (QuickTime version 0 layout).
struct TMp4_SoundEntry {
  uint8_t Reserved[6];
  uint16_t DataReferenceIndex;
  uint16_t Version;
  uint16_t Revision;
  TFourCC Vendor;
  uint16_t ChannelCount;
  uint16_t SampleSize;
  uint16_t CompressionId;
  uint16_t PacketSize;
  uint32_t SampleRate; // 16.16
};
static_assert(sizeof(TMp4_SoundEntry) == 28);

// A QuickTime version 1 sound description: the version 0 fields, then how compressed
// sound is packed. ffmpeg writes it for AAC in MOV.
struct TMp4_SoundEntryV1 {
  TMp4_SoundEntry Head;
  uint32_t SamplesPerPacket;
  uint32_t BytesPerPacket;
  uint32_t BytesPerFrame;
  uint32_t BytesPerSample;
};
static_assert(sizeof(TMp4_SoundEntryV1) == 44);

// A QuickTime version 2 sound description, written when the rate does not fit 16.16 bits
// or the channel count is unknown: the version 0 fields hold fixed values (3, 16, -2, 0,
// 1.0) and the real ones follow.
struct TMp4_SoundEntryV2 {
  TMp4_SoundEntry Head;
  uint32_t SizeOfStructOnly;
  double AudioSampleRate;
  uint32_t NumAudioChannels;
  uint32_t Always7F000000;
  uint32_t ConstBitsPerChannel;
  uint32_t FormatSpecificFlags;
  uint32_t ConstBytesPerAudioPacket;
  uint32_t ConstLPCMFramesPerAudioPacket;
};
static_assert(sizeof(TMp4_SoundEntryV2) == 64);

struct TMp4_stts_entry {
  uint32_t SampleCount = 0;
  uint32_t SampleDelta = 0;
};
struct TMp4_stsc_entry {
  uint32_t FirstChunk = 0;
  uint32_t SamplesPerChunk = 0;
  uint32_t SampleDescriptionIndex = 0;
};

// A sample of a rebuilt track: where it lies in the damaged file, how long it is and lasts.
struct TNewChunk {
  static constexpr uint16_t kDeleted = 1;
  static constexpr uint16_t kSync = 2;
  uint64_t Offset = 0;
  uint32_t Size = 0;
  uint32_t Duration = 0; // 0: the track's default duration
  uint16_t Flags = 0;
};
static_assert(sizeof(TNewChunk) == 18);

#pragma pack(pop)

// One segment of an edit list: SegmentDuration in movie time units, MediaTime where it
// starts in the media (-1: an empty edit, a pause before the track starts), and the rate.
struct TMp4_elst_entry {
  uint64_t SegmentDuration = 0;
  int64_t MediaTime = 0;
  int16_t RateInteger = 0;
  int16_t RateFraction = 0;
  bool operator==(const TMp4_elst_entry&) const = default;
};

using TMp4_stco_table32 = std::vector<uint32_t>;
using TMp4_stco_table = std::vector<uint64_t>;
using TMp4_stts_table = std::vector<TMp4_stts_entry>;
using TMp4_stss_table = std::vector<uint32_t>; // 1-based sample numbers
using TMp4_stsc_table = std::vector<TMp4_stsc_entry>;
using TMp4_stsz_table = std::vector<uint32_t>;
using TNewChunks = std::vector<TNewChunk>;

struct TMp4_ftyp {
  TFourCC MajorBrand = 0;
  uint32_t MinorVersion = 0;
  std::string CompatibleBrands; // the rest of the payload, as bytes
};

struct TMp4_hdlr : TMp4_hdlrFixed {
  std::string Name;
};

struct TMp4_stsd {
  uint8_t Version = kNotRead;
  uint8_t Flags[3] = {};
  uint32_t EntryCount = 0;
  std::vector<TMp4_SampleEntry> Entries;
};

// "stco" and "co64" both fill this one; 32-bit offsets are widened.
struct TMp4_stco {
  uint8_t Version = kNotRead;
  uint8_t Flags[3] = {};
  uint32_t EntryCount = 0;
  TMp4_stco_table Table;
};

struct TMp4_stts {
  uint8_t Version = kNotRead;
  uint8_t Flags[3] = {};
  uint32_t EntryCount = 0;
  TMp4_stts_table Table;
};

struct TMp4_stss {
  uint8_t Version = kNotRead;
  uint8_t Flags[3] = {};
  uint32_t EntryCount = 0;
  TMp4_stss_table Table;
};

struct TMp4_stsc {
  uint8_t Version = kNotRead;
  uint8_t Flags[3] = {};
  uint32_t EntryCount = 0;
  TMp4_stsc_table Table;
};

struct TMp4_stsz {
  uint8_t Version = kNotRead;
  uint8_t Flags[3] = {};
  uint32_t SampleSize = 0; // 0: the sizes are listed
  uint32_t SampleCount = 0;
  TMp4_stsz_table Table; // only when SampleSize is 0
};

struct TMp4_elst {
  uint8_t Version = kNotRead;
  uint8_t Flags[3] = {};
  uint32_t EntryCount = 0;
  std::vector<TMp4_elst_entry> Table;
};

// One chunk of a rebuilt track.
struct TSlice {
  static constexpr uint16_t kDeleted = 1;
  uint64_t Offset = 0;
  uint64_t Size = 0; // 0: not yet known
  uint16_t Flags = 0;
  uint32_t Duration = 0; // of the chunk's one sample while it has no sample records
  int32_t SampleCount = 0;
  TNewChunks Samples;
};
using TSlices = std::vector<TSlice>;

// Table flags of a rebuilt track: which of its tables are known.
enum : uint16_t {
  tfChunkOffsets = 1,
  tfSampleSizes = 2,
  tfSyncSamples = 4,
  tfSampleToChunk = 8,
  tfSampleDurations = 0x10
};

struct TMp4Trak {
  int32_t TrakNode = -1; // -1: opened without a "trak" box (its "trak" was lost)
  uint8_t MediaKind = mkNone;
  int16_t ReferenceTrackIndex = -1;
  int32_t VmhdNode = -1;
  int32_t SmhdNode = -1;
  int32_t StsdNode = -1;
  uint32_t DefaultSampleDuration = 0;
  uint16_t TableFlags = 0;
  uint64_t WriterValue = 0;
  TMp4_tkhd tkhd;
  TMp4_mdhd mdhd;
  TMp4_hdlr hdlr;
  TMp4_stsd stsd;
  TMp4_stco stco;
  TMp4_stts stts;
  TMp4_stsz stsz;
  TMp4_stss stss;
  TMp4_stsc stsc;
  TMp4_elst elst;
  // One root node per sample entry (Id = entry type, Size = fixed-part length, DataPosition
  // = where the fixed part starts), with a child node per box inside the entry and, under
  // a QuickTime "wave", one per box inside that.
  THgChunkTree SampleDescriptions;
  uint32_t SliceCount = 0;
  TSlices Slices;
};
using TMp4Traks = std::vector<TMp4Trak>;

// Calls Each(chunk index, samples per chunk) for every chunk of "stco", the count taken from
// the "stsc" entry that covers it; Each returns false to stop. Nothing without "stsc".
template <typename TEach> void ForEachChunk(const TMp4Trak& Trak, TEach Each) {
  const TMp4_stsc_table& stsc = Trak.stsc.Table;
  if (stsc.empty()) return;
  size_t entry = 0;
  for (size_t c = 0; c < Trak.stco.Table.size(); ++c) {
    while (entry + 1 < stsc.size() && stsc[entry + 1].FirstChunk <= c + 1)
      ++entry;
    if (!Each(c, stsc[entry].SamplesPerChunk)) return;
  }
}

// The media kind and the fixed-part length a sample entry type implies. Kinds: mkNone for
// a type that does not decide it. FixedLength -1: the whole payload (entry size - 8). For
// sound it is the version 0 length; the entry's own version may make it longer
// (SoundEntryFixedLength).
struct TSampleEntryKind {
  uint8_t MediaKind = mkNone;
  int32_t FixedLength = -1;
};
TSampleEntryKind SampleEntryKind(TFourCC Type);

// Uncompressed sound: integer and float PCM in either byte order. Such tracks have no
// frames to find; every sample is one frame of all channels, whose size the description
// gives (PcmFrameSize).
constexpr bool IsPcmSampleEntry(TFourCC Type) {
  constexpr TFourCC kPcm[] = {MakeFourCC("sowt"), MakeFourCC("twos"), MakeFourCC("in24"),
                              MakeFourCC("in32"), MakeFourCC("fl32"), MakeFourCC("fl64"),
                              MakeFourCC("lpcm"), MakeFourCC("raw ")};
  for (TFourCC t : kPcm)
    if (t == Type) return true;
  return false;
}

// The fixed part of a sound sample entry grows with the QuickTime sound description
// version (bytes 8..9 of the fixed part): version 1 adds four 32-bit fields (samples per
// packet, bytes per packet, bytes per frame, bytes per sample), version 2 replaces the
// version-0 fields with a 36-byte block of its own. ISO files always write version 0.
constexpr uint32_t SoundEntryFixedLength(uint16_t Version) {
  return Version == 1 ? 44 : Version == 2 ? 64 : 28;
}
static_assert(SoundEntryFixedLength(1) == sizeof(TMp4_SoundEntryV1) &&
              SoundEntryFixedLength(2) == sizeof(TMp4_SoundEntryV2) &&
              SoundEntryFixedLength(2) <= sizeof(TMp4_SampleEntry::Fixed));

// Views of a sample entry's fixed part; the fields are in host order once ReadStsd has
// converted them. Only meaningful for entries of the matching media kind.
TMp4_VisualEntry VisualEntry(const TMp4_SampleEntry& Entry);
TMp4_SoundEntry SoundEntry(const TMp4_SampleEntry& Entry);
TMp4_SoundEntryV1 SoundEntryV1(const TMp4_SampleEntry& Entry);
TMp4_SoundEntryV2 SoundEntryV2(const TMp4_SampleEntry& Entry);

// Bytes of one PCM frame (one sample of every channel) as the description gives it; 0 when
// the entry is not PCM or the value cannot be a real one.
uint32_t PcmFrameSize(const TMp4_SampleEntry& Entry);

// The fields of the header boxes after version and flags, in file order: one list serves
// the reader and the writer. Io(v) reads a big-endian number and returns it, or writes v
// and returns it unchanged; Io.Time(v) does the same for a time, a duration or an edit's
// media time, 32 bits wide in version 0 boxes and 64 in version 1; Io.Raw(v) and
// Io.Bytes(array) pass bytes kept as they stand in the file. The records are packed, so
// numbers go by value.
//
// How "mvhd" and "mdhd" open:
template <typename TIo, typename TRecord> void TimesAndScaleFields(TIo& Io, TRecord& R) {
  R.CreationTime = Io.Time(R.CreationTime);
  R.ModificationTime = Io.Time(R.ModificationTime);
  R.TimeScale = Io(R.TimeScale);
  R.Duration = Io.Time(R.Duration);
}

template <typename TIo> void MvhdFields(TIo& Io, TMp4_mvhd& M) {
  TimesAndScaleFields(Io, M);
  M.Rate = Io(M.Rate);
  M.Volume = Io(M.Volume);
  Io.Bytes(M.Reserved);
  for (int i = 0; i < 9; ++i)
    M.Matrix[i] = Io(M.Matrix[i]);
  for (int i = 0; i < 6; ++i)
    M.PreDefined[i] = Io(M.PreDefined[i]);
  M.NextTrackId = Io(M.NextTrackId);
}

template <typename TIo> void TkhdFields(TIo& Io, TMp4_tkhd& T) {
  T.CreationTime = Io.Time(T.CreationTime);
  T.ModificationTime = Io.Time(T.ModificationTime);
  T.TrackId = Io(T.TrackId);
  T.Reserved1 = Io(T.Reserved1);
  T.Duration = Io.Time(T.Duration);
  Io.Bytes(T.Reserved2);
  T.Layer = Io(T.Layer);
  T.AlternateGroup = Io(T.AlternateGroup);
  T.Volume = Io(T.Volume);
  T.Reserved3 = Io.Raw(T.Reserved3);
  for (int i = 0; i < 9; ++i)
    T.Matrix[i] = Io(T.Matrix[i]);
  T.Width = Io(T.Width);
  T.Height = Io(T.Height);
}

template <typename TIo> void MdhdFields(TIo& Io, TMp4_mdhd& M) {
  TimesAndScaleFields(Io, M);
  M.Language = Io(M.Language);
  M.Quality = Io(M.Quality);
}

template <typename TIo> void ElstEntryFields(TIo& Io, TMp4_elst_entry& E) {
  E.SegmentDuration = Io.Time(E.SegmentDuration);
  E.MediaTime = Io.Time(E.MediaTime);
  E.RateInteger = Io(E.RateInteger);
  E.RateFraction = Io(E.RateFraction);
}

} // namespace clw
