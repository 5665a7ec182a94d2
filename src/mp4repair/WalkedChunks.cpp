// The chunks of a moov-less file as the walker proves them against a reference clip. Only
// a walk that accounts for every byte of the media data (chunks and zero runs) replaces
// slice detection; damage the walk has to skip is left to slice detection as before.
#include "mp4/AacConfig.h"
#include "mp4/AacDecoder.h"
#include "mp4/Mp4BoxTypes.h"
#include "mp4repair/ChunkWalker.h"
#include "mp4repair/HgMP4FileWriter.h"

#include <algorithm>

namespace clw {

bool THgMP4FileWriter::ChunksFromWalk() {
  const THgMP4FileReader* reference = Reference();
  TStream64* source = Input.Source();
  const int32_t media = Input.Scan.MediaDataNode;
  if (!reference || !source || VideoTrack < 0 || !Input.IsNode(media)) return false;
  TWalkProfile profile;
  if (!MakeWalkProfile(*reference, AacDecoderLibrary, profile)) return false;
  TAacConfig aac;
  TAacDecoder decoder(AacDecoderLibrary);
  if (profile.Audio == TWalkProfile::waAac &&
      (!ParseAudioSpecificConfig(profile.AacConfig.data(), profile.AacConfig.size(), aac) ||
       !decoder.Init(profile.AacConfig.data(), profile.AacConfig.size())))
    profile.Audio = TWalkProfile::waNone; // the sound is left to the gaps, as without a walk

  const uint64_t start = uint64_t(std::max<int64_t>(Input.DataPosition(media), 0));
  const uint64_t end =
      std::min<uint64_t>(uint64_t(std::max<int64_t>(Input.NodeEnd(media), 0)), Input.FileSize);
  if (end <= start) return false;
  TMp4ChunkWalker walker(*source, start, end, false, Input.Scan.NullBlocks, profile);
  if (!walker.Walk(&Cancelled) || walker.Skipped > 0) return false;
  const bool anyVideo = std::any_of(walker.Chunks.begin(), walker.Chunks.end(),
                                    [](const TWalkedChunk& c) { return c.Video; });
  const bool anySound = std::any_of(walker.Chunks.begin(), walker.Chunks.end(),
                                    [](const TWalkedChunk& c) { return !c.Video; });
  if (!anyVideo || (profile.Audio == TWalkProfile::waNone && anySound)) return false;

  if (anySound && SoundTrack < 0) {
    SoundTrack = AddTrack(mkSound);
    MatchReferenceTracks();
  }
  TRebuiltTrack* sound = SoundTrack >= 0 ? &Tracks[size_t(SoundTrack)] : nullptr;
  if (sound) sound->Chunks.clear();
  if (sound && profile.Audio == TWalkProfile::waAac) SetAacTiming(*sound, decoder, aac);
  if (sound && profile.Audio == TWalkProfile::waPcm) {
    sound->UniformSampleSize = profile.PcmFrameBytes;
    sound->SamplesPerFrame = 1;
  }
  TRebuiltTrack& video = Tracks[size_t(VideoTrack)];
  video.Chunks.clear();
  for (TWalkedChunk& w : walker.Chunks) {
    TSlice chunk;
    chunk.Offset = w.Offset;
    chunk.Size = w.Size;
    chunk.Samples = std::move(w.Samples);
    chunk.SampleCount = int32_t(chunk.Samples.size());
    if (w.Video) {
      video.Chunks.push_back(std::move(chunk));
    } else if (sound) {
      if (profile.Audio == TWalkProfile::waPcm)
        chunk.SampleCount = int32_t(std::min<uint64_t>(w.Size / profile.PcmFrameBytes, INT32_MAX));
      sound->Chunks.push_back(std::move(chunk));
    }
  }
  return true;
}

} // namespace clw
