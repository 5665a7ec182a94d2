// The sound of a rebuilt track, delimited frame by frame. A chunk taken from an audio gap
// is only a byte range; a sample table needs every frame. PCM frames all have the size
// the description gives. AAC frames are found with the decoder, which says how many bytes
// each frame takes; where the bytes are no AAC (a video chunk the scan missed, a
// camera's telemetry) the parse resumes at the next frames that chain and the chunk is
// split there, since a chunk must start at its first frame. Sound that cannot be
// delimited is left out rather than written wrong.
#include "mp4/AacConfig.h"
#include "mp4/AacDecoder.h"
#include "mp4/Mp4BoxTypes.h"
#include "mp4repair/AacFrameParser.h"
#include "mp4repair/HgMP4FileWriter.h"
#include "mp4repair/TrackDescriptions.h"

#include <algorithm>

namespace clw {

namespace {

constexpr TFourCC kmp4a = MakeFourCC("mp4a");
// Share of the whole repair's progress that delimiting the sound takes.
constexpr int64_t kParseShare = 10;

bool NeedsFrames(const TSlice& Chunk) {
  return Chunk.Samples.empty() && Chunk.SampleCount == 0;
}

} // namespace

bool THgMP4FileWriter::TrackSampleEntry(const TRebuiltTrack& Track, TMp4_SampleEntry& Entry,
                                        std::vector<uint8_t>* Bytes) const {
  const THgMP4FileReader* from = nullptr;
  int32_t node = -1;
  if (!FindTrackBox(Track, kstsd, from, node)) return false;
  const TMp4_stsd& stsd =
      from == &Input ? Track.stsd : from->Traks[size_t(Track.ReferenceTrackIndex)].stsd;
  if (stsd.Version == kNotRead || stsd.Entries.empty()) return false;
  Entry = stsd.Entries[0];
  if (!Bytes) return true;
  *Bytes = FirstSampleEntry(ReadNodePayload(*from, node, kPlainBoxLimit));
  return !Bytes->empty();
}

void THgMP4FileWriter::ParseAudioChunks() {
  size_t total = 0;
  for (const TRebuiltTrack& t : Tracks)
    if (t.MediaKind == mkSound)
      total += size_t(std::count_if(t.Chunks.begin(), t.Chunks.end(), NeedsFrames));
  size_t done = 0;

  for (TRebuiltTrack& t : Tracks) {
    if (t.MediaKind != mkSound || Cancelled) continue;
    const bool pending = std::any_of(t.Chunks.begin(), t.Chunks.end(), NeedsFrames);
    TMp4_SampleEntry entry;
    const bool described = TrackSampleEntry(t, entry);
    if (described && IsPcmSampleEntry(entry.Type)) t.AudioSampleRate = SoundSampleRate(entry);
    if (!pending) continue;

    if (described && IsPcmSampleEntry(entry.Type) && PcmFrameSize(entry) > 0) {
      const uint32_t frame = PcmFrameSize(entry);
      t.UniformSampleSize = frame;
      t.SamplesPerFrame = 1;
      for (TSlice& c : t.Chunks) {
        if (!NeedsFrames(c)) continue;
        c.SampleCount = int32_t(std::min<uint64_t>(c.Size / frame, INT32_MAX));
        c.Size = uint64_t(c.SampleCount) * frame;
        ++done;
      }
    } else if (described && entry.Type == kmp4a) {
      ParseAACFrames(t, done, total);
    }

    // A chunk left without frames cannot be described; without any, neither can the track.
    std::erase_if(t.Chunks,
                  [](const TSlice& c) { return c.Samples.empty() && c.SampleCount == 0; });
    t.SoundUndelimited = t.Chunks.empty();
  }
}

void THgMP4FileWriter::SetAacTiming(TRebuiltTrack& Track, const TAacDecoder& Decoder,
                                    const TAacConfig& Aac) {
  Track.AudioSampleRate = Decoder.SampleRate();
  // With SBR the decoder doubles the rate, and every coded frame yields twice the samples.
  Track.SamplesPerFrame =
      Aac.SamplesPerFrame * (Decoder.SampleRate() >= 2 * Aac.SampleRate ? 2 : 1);
}

void THgMP4FileWriter::ParseAACFrames(TRebuiltTrack& Track, size_t& Done, size_t Total) {
  TMp4_SampleEntry entry;
  std::vector<uint8_t> bytes;
  std::vector<uint8_t> config;
  // The damaged file's own description first, else the reference's.
  bool found = TrackSampleEntry(Track, entry, &bytes) &&
               FindAudioSpecificConfig(bytes.data(), bytes.size(), config);
  const THgMP4FileReader* reference = Reference();
  if (!found && reference && Track.ReferenceTrackIndex >= 0) {
    const TMp4Trak& r = reference->Traks[size_t(Track.ReferenceTrackIndex)];
    bytes = FirstSampleEntry(ReadNodePayload(*reference, r.StsdNode, kPlainBoxLimit));
    found = FindAudioSpecificConfig(bytes.data(), bytes.size(), config);
  }
  TAacConfig aac;
  if (!found || !ParseAudioSpecificConfig(config.data(), config.size(), aac)) return;
  TAacDecoder decoder(AacDecoderLibrary);
  TStream64* source = Input.Source();
  if (!source || !decoder.Init(config.data(), config.size())) return;
  SetAacTiming(Track, decoder, aac);

  TAacFrameParser parser(*source, decoder);
  parser.Cancelled = &Cancelled;
  TSlices delimited;
  for (TSlice& c : Track.Chunks) {
    if (Cancelled) return;
    if (!NeedsFrames(c)) {
      delimited.push_back(std::move(c));
      continue;
    }
    std::vector<TAacFrameRun> runs;
    parser.Parse(c.Offset, c.Size, runs);
    for (const TAacFrameRun& run : runs) {
      if (run.empty()) continue;
      TSlice chunk;
      chunk.Offset = run.front().Offset;
      for (const TAacFrame& f : run) {
        chunk.Samples.push_back(TNewChunk{f.Offset, f.Size, 0, 0});
        chunk.Size += f.Size;
      }
      chunk.SampleCount = int32_t(chunk.Samples.size());
      delimited.push_back(std::move(chunk));
    }
    ++Done;
    ReportProgress(Total == 0 ? 0 : int64_t(Done) * kParseShare / int64_t(Total));
  }
  Track.Chunks = std::move(delimited);
}

} // namespace clw
