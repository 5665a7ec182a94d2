#pragma once
// The media data of a file that lost its movie header, walked chunk by chunk in the order
// a reference clip of the same camera shows: video, then audio, then video again, with
// whatever else the camera interleaves (a per-frame data track, telemetry, a time code).
// A boundary is accepted only when the chunk after it checks out from there: video as a
// chain of H.264 units the reference's stream can hold that opens a picture, AAC as frames
// the decoder takes, PCM as whole sample frames up to where video starts again, a data
// track's chunk by the one size its samples have, telemetry by its KLV records. Nothing is
// learnt from the damaged file's own statistics; everything is checked against what the
// reference proves about the stream.
#include "mp4/AacDecoder.h"
#include "mp4/HgMP4File.h"
#include "mp4/NalUnitCheck.h"
#include "streams/Stream64.h"

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace clw {

// A track of the reference as the walk knows its chunks.
struct TWalkTrack {
  enum TKind : uint8_t {
    wkVideo,   // H.264
    wkAudio,   // the profile's sound
    wkUniform, // samples (nearly) all of one size
    wkKlv      // telemetry: four-character keys, a type, a size, a repeat count
  };
  TKind Kind = wkVideo;
  uint32_t SampleSize = 0; // wkUniform: that size
  // wkUniform: the sizes the reference's samples have, most frequent first (a camera's
  // first samples of such a track are often its own headers, of other sizes).
  std::vector<uint32_t> Sizes;
  std::vector<uint8_t> Prefix;  // wkUniform: the bytes each of its chunks begins with
  uint32_t SamplesPerChunk = 1; // wkUniform: the most common count
  uint32_t LargestChunk = 0;    // wkKlv: bytes of the largest chunk
  uint64_t Chunks = 0;          // in the reference
  int32_t Source = -1;          // the track's index among the reference's
};

// What the walk takes from the reference clip.
struct TWalkProfile {
  // waGap: AAC without the decoder library; its chunks are the bytes up to where the next
  // chunk checks out, and their frames are left to the writer to delimit.
  enum TAudio : uint8_t { waNone, waAac, waPcm, waGap };
  TNalLimits Video;
  // NAL unit types the reference's samples begin with (bits as NalTypeBit); 0: any that
  // opens a picture.
  uint32_t SampleStartTypes = 0;
  TAudio Audio = waNone;
  std::vector<uint8_t> AacConfig;       // the AudioSpecificConfig
  const TAacLibrary* Library = nullptr; // for AAC
  uint32_t PcmFrameBytes = 0;           // one sample frame of all channels
  uint32_t PcmRate = 0;                 // sample frames a second
  // Audio frames per chunk (AAC frames or PCM sample frames): the smallest over the chunks
  // other than the first and the last, and the largest.
  uint32_t MinFramesPerChunk = 1;
  uint32_t MaxFramesPerChunk = 1;
  // The largest AAC frame; for PCM the bytes of the largest chunk.
  uint32_t LargestFrame = 0;
  // Every track with chunks in the reference: the video first, the sound second when
  // there is one. Follows[a][b]: how often a chunk of track b follows one of track a in the
  // reference; row Tracks.size() counts the first chunk of the media data.
  std::vector<TWalkTrack> Tracks;
  std::vector<std::vector<uint32_t>> Follows;
  // The most chunks of other tracks the reference has between two video chunks.
  uint32_t LongestRun = 1;
  // The index of the sound among Tracks, -1 without one.
  int32_t SoundTrack() const {
    return Tracks.size() > 1 && Tracks[1].Kind == TWalkTrack::wkAudio ? 1 : -1;
  }
};

// Builds the profile from a reference clip's first video (H.264) and sound tracks and the
// chunks of its other tracks; false when it has no H.264 video with a readable
// configuration, or a track with chunks the walk cannot take.
bool MakeWalkProfile(const THgMP4FileReader& Reference, const TAacLibrary* Library,
                     TWalkProfile& Out);

// One chunk the walk accepted, with its samples: pictures, or AAC frames; PCM chunks list
// none (their sample frames all have the profile's size).
struct TWalkedChunk {
  int32_t Track = 0; // in the profile's Tracks
  bool Video = false;
  uint64_t Offset = 0;
  uint64_t Size = 0;
  std::vector<TNewChunk> Samples;
};

class TMp4ChunkWalker {
public:
  // Walks [Start, End) of Source. Intact: the media-data box is whole, so a unit running
  // past End is no unit rather than one cut short. ZeroRuns: runs of zero bytes the scan
  // found, in file order.
  TMp4ChunkWalker(TStream64& Source, uint64_t Start, uint64_t End, bool Intact,
                  const TNullBlocks& ZeroRuns, const TWalkProfile& Profile);
  ~TMp4ChunkWalker();
  TMp4ChunkWalker(const TMp4ChunkWalker&) = delete;
  TMp4ChunkWalker& operator=(const TMp4ChunkWalker&) = delete;

  // False when cancelled. Chunks holds what was accepted, Skipped the bytes outside zero
  // runs that no chunk took (damage).
  bool Walk(const bool* Cancelled = nullptr);
  std::vector<TWalkedChunk> Chunks;
  uint64_t Skipped = 0;

private:
  struct TUnit {
    uint64_t Offset = 0; // of the length field
    uint64_t Size = 0;   // with the length field
    bool OpensPicture = false;
    bool Sync = false; // an IDR slice of I type
    bool Slice = false;
  };
  struct TChain {
    std::vector<TUnit> Units;
    bool Hit = false; // stopped at a unit cut short, or at a limit
    uint64_t End = 0;
    // Where complete pictures end, in order.
    std::vector<uint64_t> PictureEnds;
    bool OpensPicture() const { return !Units.empty() && Units.front().OpensPicture; }
  };
  struct TFrames {
    std::vector<uint64_t> Ends; // of each frame that decoded, in order
    uint64_t Limit = 0;
  };
  // The tracks whose chunks may follow one of Track (-1: the start), most frequent first.
  const std::vector<int32_t>& Successors(int32_t Track) const;
  // Where the chunk of a data track at Position can end, the likeliest first.
  std::vector<uint64_t> DataChunkEnds(int32_t Track, uint64_t Position);

  const uint8_t* Bytes(uint64_t Position, size_t Need, size_t& Available);
  uint64_t LimitAfter(uint64_t Position) const; // next zero run or the end
  bool InZeroRun(uint64_t Position, uint64_t& RunEnd) const;
  const TChain& ChainAt(uint64_t Position);
  const TFrames& AacAt(uint64_t Position);

  // Whether a chunk of Track can begin at Position, looking Depth video chunks ahead;
  // Filler: chunks of other tracks still allowed before the next video chunk.
  bool Checks(int32_t Track, uint64_t Position, int Depth, int Filler);
  // Whether the chunk after one of Track ending at Position checks out.
  bool NextChecks(int32_t Track, uint64_t Position, int Depth, int Filler);
  bool VideoChecks(uint64_t Position, int Depth);
  bool AudioChecks(uint64_t Position, int Depth, int Filler);
  bool PcmGapEnd(uint64_t Position, int Depth, int Filler, uint64_t& End);
  bool SoundGapEnd(uint64_t Position, int Depth, int Filler, uint64_t& End); // waGap
  // The most bytes an AAC chunk can take: half as many frames again as the reference's
  // longest chunk, and two, of its largest frame (at most 1 MiB).
  uint64_t LongestSoundChunk() const;
  // Whether an H.264 unit the stream can hold begins at Position (its head only).
  bool UnitHeadAt(uint64_t Position);
  // The first Position + k x Step, for k from First to Last, where the chunk after audio
  // checks out.
  bool GapEnd(uint64_t Position, uint64_t Step, uint64_t First, uint64_t Last, int Depth,
              int Filler, uint64_t& End);

  bool Take(int32_t Track, uint64_t& Position, int Depth);
  bool TakeVideo(uint64_t& Position, int Depth);
  bool TakeAudio(uint64_t& Position, int Depth);
  bool TakeData(int32_t Track, uint64_t& Position, int Depth);
  bool Resynchronise(uint64_t& Position, const bool* Cancelled);
  // The AAC frames that chain exactly up to End from somewhere in [Position, End): the sound
  // before the picture a resynchronisation found.
  void KeepFramesBefore(uint64_t Position, uint64_t End);

  TStream64& Source;
  uint64_t Start, End;
  bool Intact;
  std::vector<std::pair<uint64_t, uint64_t>> Zeros; // [start, end), trimmed
  const TWalkProfile& Profile;
  int Depth;
  int Filler0;           // the filler a look-ahead starts with after a video chunk
  bool ZeroLead = false; // every length field of a unit opens with a zero byte
  std::unique_ptr<TAacDecoder> Decoder;

  std::vector<uint8_t> Window;
  uint64_t WindowStart = 0;
  size_t WindowBytes = 0;
  int32_t AudioTrack = -1;
  std::vector<std::vector<int32_t>> Next; // Successors, by track; the last row the start
  std::map<uint64_t, TChain> Chains;
  std::map<uint64_t, TFrames> Frames;
  std::map<uint64_t, bool> Checked; // Checks, by position, track, depth and filler
  int ByteScans = 0;                // searches byte by byte under way (GapEnd)
  uint64_t ScanBudget = 0;          // positions GapEnd may still try in this walk
  bool VideoAfterSound = false;     // only video follows sound in the reference's order
};

} // namespace clw
