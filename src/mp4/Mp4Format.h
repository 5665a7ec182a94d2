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
  // One root node per sample entry (Id = entry type, Size = fixed-part length, DataPosition
  // = where the fixed part starts), with a child node per box inside the entry.
  THgChunkTree SampleDescriptions;
  uint32_t SliceCount = 0;
  TSlices Slices;
};
using TMp4Traks = std::vector<TMp4Trak>;

// The media kind and the fixed-part length a sample entry type implies. Kinds: mkNone for
// a type that does not decide it. FixedLength -1: the whole payload (entry size - 8).
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

// Views of a sample entry's fixed part; the fields are in host order once ReadStsd has
// converted them. Only meaningful for entries of the matching media kind.
TMp4_VisualEntry VisualEntry(const TMp4_SampleEntry& Entry);
TMp4_SoundEntry SoundEntry(const TMp4_SampleEntry& Entry);

} // namespace clw
