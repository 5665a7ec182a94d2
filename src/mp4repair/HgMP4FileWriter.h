#pragma once
// The writer of the repaired MP4, MOV or 3GP copy. It decides how much of the movie has to
// be rebuilt, asks for a reference clip of the same camera when the damaged file no longer
// describes its tracks, turns the video slices the check found and the audio between them
// into chunk and sample lists (or keeps the tables that survived), and writes "ftyp", the
// media data in the damaged file's own interleaving order, and a fresh "moov".
//
// Where the work lives:
//   Mp4Writer.cpp          Write: the order of the steps, the movie box and its tracks
//   RebuildMode.cpp        ChooseRebuildMode, ValidateTables, the reference's tracks
//   ChunkLists.cpp         BuildChunkLists: samples from slices, tables and audio gaps
//   WalkedChunks.cpp       ChunksFromWalk: the chunks the file's own tables or a reference
//                          clip let the walker prove
//   AudioChunks.cpp        ParseAudioChunks: AAC frames through the decoder, PCM frames
//   Timings.cpp            ComputeTimings: time scales, durations, edit lists
//   MediaDataWriter.cpp    WriteMediaData and BuildTrackTables
//   SampleDamage.cpp       RemoveDamagedSamples: damaged samples out of the kept tables
#include "mp4/HgMP4File.h"
#include "mp4/HgMp4Stream.h"
#include "mp4/NalUnitCheck.h"
#include "streams/BufferedWriteStream.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace clw {

struct TAacLibrary;
struct TAacConfig;
struct TAvcConfig;
class TAacDecoder;
struct TWalkProfile;
struct TWalkedChunk;

// One track of the repaired movie: where its headers and description come from, its
// chunks with their samples, and the tables prepared from them.
struct TRebuiltTrack {
  int32_t Source = -1; // track of the damaged file; -1 for one made for what the scan found
  uint8_t MediaKind = mkNone;
  // Nodes in the damaged file's tree, -1 where it has none.
  int32_t TrakNode = -1;
  int32_t VmhdNode = -1;
  int32_t SmhdNode = -1;
  int32_t StsdNode = -1;
  int16_t ReferenceTrackIndex = -1; // matching track of the reference clip
  // The stream's own "avcC" and picture size, from parameter sets in its media data that
  // differ from those of the description it takes; empty: the description as it stands.
  std::vector<uint8_t> InBandAvcConfig;
  uint16_t InBandWidth = 0, InBandHeight = 0;
  uint32_t DefaultSampleDuration = 0;
  // Every sample has this size and chunks list no sample records (PCM, uniform "stsz").
  uint32_t UniformSampleSize = 0;
  // The samples are exactly those of the damaged file's own tables, so the tables that
  // describe samples one by one ("ctts", "sdtp", ...) still hold.
  bool SamplesAsInSource = false;
  // The damaged file's own samples were judged one by one (SampleDamage.h) ...
  bool SamplesJudged = false;
  // ... and the damaged ones taken out: the kept samples are still the damaged file's, in
  // its order and with its times, so their composition offsets and the edits made for them
  // still hold. CompositionOffsets has one entry per kept sample (empty: the file had
  // none); LeadingDuration is what the samples removed before the first kept one lasted.
  bool SamplesTrimmed = false;
  uint8_t CompositionVersion = 0;
  std::vector<int32_t> CompositionOffsets;
  uint64_t LeadingDuration = 0;
  // The limits rebuilt H.264 video was proven against by the walk (the media data's own
  // parameter sets where it holds them, else the reference's); its samples are judged by
  // them too.
  bool HasUnitLimits = false;
  TNalLimits UnitLimits;
  // Sound whose frames could not be delimited: the track is left out.
  bool SoundUndelimited = false;
  // What one sound sample lasts, as the description and the decoder tell: the sampling
  // rate of the decoded sound and the PCM frames one coded frame yields (1 for PCM).
  uint32_t AudioSampleRate = 0;
  uint32_t SamplesPerFrame = 0;
  TMp4_tkhd tkhd;
  TMp4_mdhd mdhd;
  TMp4_hdlr hdlr;
  TMp4_stsd stsd;
  TMp4_elst elst; // written when it has entries
  TSlices Chunks;
  // Prepared for the output by BuildTrackTables.
  TMp4_stco stco;
  TMp4_stsz stsz;
  TMp4_stsc stsc;
  TMp4_stss stss;
  TMp4_stts stts;
};
using TRebuiltTracks = std::vector<TRebuiltTrack>;

// Upkeep of a chunk list once samples are marked kDeleted: CompactSamples drops them,
// FitToSamples makes a chunk run from its first sample over the sizes of all, and
// CompactChunks drops the chunks marked kDeleted.
void CompactSamples(TSlice& Chunk);
void FitToSamples(TSlice& Chunk);
void CompactChunks(TSlices& Chunks);

// A byte range of the media data that holds no video: the audio of the interleave.
struct TAudioGap {
  uint64_t Start = 0;
  uint64_t Length = 0;
};

class THgMP4FileWriter : public THgFileWriter {
public:
  // Write's results besides kDone and kCancelled.
  static constexpr int32_t kNothingRecovered = -4; // no track could be rebuilt
  static constexpr int32_t kWriteFailed = -3;      // the output could not be written
  // RebuildMode values.
  enum : int32_t { rmNothing = -1, rmKeepTables = 0, rmFromScan = 1 };

  // Creates (truncating) the output file; exceptions of the file streams pass to the caller.
  THgMP4FileWriter(THgMP4FileReader& Reader, const std::string& FileName);
  // Writes into Output (not owned) from its current position.
  THgMP4FileWriter(THgMP4FileReader& Reader, TStream64& Output);
  ~THgMP4FileWriter() override;
  THgMP4FileWriter(const THgMP4FileWriter&) = delete;
  THgMP4FileWriter& operator=(const THgMP4FileWriter&) = delete;

  int32_t Write() override;

  // The steps of Write, in its order.
  int32_t ChooseRebuildMode();
  bool HasAudioGaps() const;
  int32_t AddTrack(uint8_t MediaKind);
  // The table flags the damaged file's own tables of a track earn.
  uint16_t ValidateTables(int32_t Track) const;
  // A chunk offset of the damaged file's tables where the chunk lies now: moved by the shift
  // the check found (Input.TableCheck.Shift); UINT64_MAX when that leaves the file.
  uint64_t ShiftedOffset(uint64_t Offset) const;
  void BuildChunkLists();
  void ParseAudioChunks();
  void ComputeTimings();
  void FitDataTracks(uint32_t MovieScale, const std::vector<bool>& Unpaced);
  // False when the output refused a write; Cancelled stops it early (true).
  bool WriteMediaData();
  void BuildTrackTables(int32_t Track);

  THgMP4FileReader& Input;
  // The reference clip's reader while one is attached and usable.
  THgMP4FileReader* Reference() const;
  // The decoder library AAC frames are delimited with; null: none (the default is the
  // process's binding).
  const TAacLibrary* AacDecoderLibrary;
  // Whether samples the damaged file's own tables describe are judged one by one and the
  // damaged ones taken out; off, the copy is what the tables alone make.
  bool JudgeSamples = true;

  TMp4_mvhd Mvhd;
  TRebuiltTracks Tracks;
  int32_t RebuildMode = rmNothing;
  bool ReferenceNeeded = false;
  int32_t VideoTrack = -1;
  int32_t SoundTrack = -1;
  // The media data outside every video slice, in file order (rebuild from the scan only).
  std::vector<TAudioGap> AudioGaps;
  // Where the payload of the output's "mdat" begins.
  int64_t MediaDataNewOffset = 0;

private:
  void CopyInputTracks();
  void CheckCompleteness();
  void MatchReferenceTracks();
  void FindAudioGaps();
  void ChunksFromSlices(TRebuiltTrack& Track);
  // The video and sound chunks the walker proves with the file's own sample descriptions
  // or a reference clip; false (nothing changed) when neither walks the media data.
  bool ChunksFromWalk();
  bool WalkWith(const THgMP4FileReader& From, TWalkProfile& Profile,
                std::vector<TWalkedChunk>& Chunks, TAvcConfig& InBand);
  void DescribeInBandSets(TRebuiltTrack& Video, const TAvcConfig& InBand);
  std::vector<int32_t> DataTracksOfWalk(const TWalkProfile& Profile,
                                        const std::vector<size_t>& Walked,
                                        const THgMP4FileReader& From);
  // The track's "stsd" from From's Node, carrying the stream's own sets where it has them.
  bool WriteDescription(const TRebuiltTrack& Track, const THgMP4FileReader& From, int32_t Node);
  // The time base of AAC frames as the decoder reports it.
  static void SetAacTiming(TRebuiltTrack& Track, const TAacDecoder& Decoder, const TAacConfig& Aac);
  void ChunksFromTables(TRebuiltTrack& Track);
  void ChunksFromGaps(TRebuiltTrack& Track);
  void SizeChunksFromNeighbours();
  void DropBeyondFile();
  void DropZeroRuns();
  // Rebuilt: the samples sized from the remains of the tables, else those of the tables.
  void RemoveDamagedSamples(bool Rebuilt);
  bool IsWritten(const TRebuiltTrack& Track) const;
  void AssignTrackIds();

  // The movie box.
  bool WriteFtyp();
  bool WriteMoov();
  bool WriteTrak(TRebuiltTrack& Track);
  bool WriteMediaHeader(const TRebuiltTrack& Track);
  bool IsCopyable(const THgMP4FileReader& From, int32_t Parent, int32_t Child,
                  int64_t& CopiedEnd) const;
  // Copies the boxes under Node that the copy does not write itself, but for Excluded.
  bool CopyChildren(const THgMP4FileReader& From, int32_t Node,
                    std::initializer_list<TFourCC> Excluded = {});
  bool CopyBox(TFourCC Type, const THgMP4FileReader& From, int32_t Node);
  bool CopyRange(TStream64& From, int64_t Offset, int64_t Count);
  // The sample description, "vmhd" or "smhd" of a track: the damaged file's box, else the
  // matching box of the reference clip; false with neither.
  bool FindTrackBox(const TRebuiltTrack& Track, TFourCC Type, const THgMP4FileReader*& From,
                    int32_t& Node) const;
  // The first sample entry of a track's description: its record and, when Bytes is given,
  // its bytes as the file holds them.
  bool TrackSampleEntry(const TRebuiltTrack& Track, TMp4_SampleEntry& Entry,
                        std::vector<uint8_t>* Bytes = nullptr) const;
  void ParseAACFrames(TRebuiltTrack& Track, size_t& Done, size_t Total);
  void ReportProgress(int64_t Percent);

  std::unique_ptr<TFileStreamW> FileStream;
  std::unique_ptr<TBufferedWriteStream> Buffered;
  std::unique_ptr<THgMp4Stream> Output;
  std::vector<uint8_t> CopyBuffer;
  int64_t LastPercent = -1;
};

} // namespace clw
