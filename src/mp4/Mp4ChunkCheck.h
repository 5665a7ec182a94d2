#pragma once
// The sample tables of a movie checked against the bytes they point to. A movie box can be
// whole while its chunk offsets are not: a garbled "stco", or a file whose "ftyp" was cut
// out by a careless tool, so that every offset points 20 to 32 bytes past its chunk. The
// file's own sample descriptions say what each chunk must begin with: an H.264 sample
// whose units fill it exactly, AAC frames the decoder takes, PCM that lies inside the media
// data. Only the first sample of a chunk is looked at, with one small read, so the check
// costs little beside the scan of the media data.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace clw {

struct TAacLibrary;
class THgMP4FileReader;

// The furthest a whole table is believed shifted: a cut "ftyp" is 20 to 32 bytes long, and
// a "free" or "wide" box beside it a few more.
inline constexpr int64_t kMaxTableShift = 64;

// The unit types a file's own check lets its H.264 samples hold: it does not know which its
// samples hold, so every defined type but the reserved ones.
inline constexpr uint32_t kOwnStreamNalTypes = 0x00FFFFFE;

// How the chunks of one track fared against the media data.
struct TTrackChunkCheck {
  uint32_t Checked = 0; // chunks judged; 0 for a track whose kind is not judged
  uint32_t Failed = 0;
  // Most chunks failing is no damage of the data but a table that points elsewhere.
  bool MostFail() const { return Checked > 0 && uint64_t(Failed) * 2 > Checked; }
};

// The outcome for the whole movie. With Shift set every track's chunks pass once the
// offsets move by it: the tables are right but the file's start moved under them.
struct TTableCheck {
  std::vector<TTrackChunkCheck> Tracks; // one per track of the reader, in its order
  int64_t Shift = 0;

  // A track whose chunk offsets cannot be used as they stand (nor shifted).
  bool WrongOffsets(size_t Track) const {
    return Shift == 0 && Track < Tracks.size() && Tracks[Track].MostFail();
  }
  bool WrongIndex() const;
  bool AnyFailed() const;
};

// Checks the first sample of every chunk of Reader's tracks; when most chunks of a track
// fail, searches the shift of at most kMaxTableShift bytes that makes every track pass.
// AAC chunks are judged only with a decoder library (Aac may be null).
TTableCheck CheckChunkTables(THgMP4FileReader& Reader, const TAacLibrary* Aac);

} // namespace clw
