#pragma once
// The media data of a file that lost its movie header, walked chunk by chunk in the order
// a reference clip of the same camera shows: video, then audio, then video again. A
// boundary is accepted only when the chunk after it checks out from there: video as a
// chain of H.264 units the reference's stream can hold that opens a picture, AAC as frames
// the decoder takes, PCM as whole sample frames up to where video starts again. Nothing is
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

// What the walk takes from the reference clip.
struct TWalkProfile {
  enum TAudio : uint8_t { waNone, waAac, waPcm };
  TNalLimits Video;
  TAudio Audio = waNone;
  std::vector<uint8_t> AacConfig;       // the AudioSpecificConfig
  const TAacLibrary* Library = nullptr; // for AAC
  uint32_t PcmFrameBytes = 0;           // one sample frame of all channels
  // Audio frames per chunk (AAC frames or PCM sample frames): the smallest over the chunks
  // other than the first and the last, and the largest.
  uint32_t MinFramesPerChunk = 1;
  uint32_t MaxFramesPerChunk = 1;
  // The largest AAC frame; for PCM the bytes of the largest chunk.
  uint32_t LargestFrame = 0;
  bool AudioFirst = false; // the reference's media data starts with audio
};

// Builds the profile from a reference clip's first video (H.264) and sound tracks; false
// when it has no H.264 video with a readable configuration.
bool MakeWalkProfile(const THgMP4FileReader& Reference, const TAacLibrary* Library,
                     TWalkProfile& Out);

// One chunk the walk accepted, with its samples: pictures, or AAC frames; PCM chunks list
// none (their sample frames all have the profile's size).
struct TWalkedChunk {
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

  const uint8_t* Bytes(uint64_t Position, size_t Need, size_t& Available);
  uint64_t LimitAfter(uint64_t Position) const; // next zero run or the end
  bool InZeroRun(uint64_t Position, uint64_t& RunEnd) const;
  const TChain& ChainAt(uint64_t Position);
  const TFrames& AacAt(uint64_t Position);

  bool VideoChecks(uint64_t Position, int Depth);
  bool AudioChecks(uint64_t Position, int Depth);
  bool PcmGapEnd(uint64_t Position, int Depth, uint64_t& End);

  bool TakeVideo(uint64_t& Position, int Depth);
  bool TakeAudio(uint64_t& Position, int Depth);
  bool Resynchronise(uint64_t& Position, const bool* Cancelled);

  TStream64& Source;
  uint64_t Start, End;
  bool Intact;
  std::vector<std::pair<uint64_t, uint64_t>> Zeros; // [start, end), trimmed
  const TWalkProfile& Profile;
  int Depth;
  std::unique_ptr<TAacDecoder> Decoder;

  std::vector<uint8_t> Window;
  uint64_t WindowStart = 0;
  size_t WindowBytes = 0;
  std::map<uint64_t, TChain> Chains;
  std::map<uint64_t, TFrames> Frames;
};

} // namespace clw
