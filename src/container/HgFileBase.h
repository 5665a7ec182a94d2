#pragma once
// The two abstract classes through which the repair job drives every container format:
// a reader opens one damaged file, analyses it into the chunk tree it inherits and can
// describe it in text; a writer takes an analysed reader and writes the repaired copy.
// Damaged input never raises: readers report through OpenError, Error and results.
#include "container/HgChunkTree.h"
#include "streams/Stream64.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace clw {

// Sender is the reader or writer; Percent runs from 0 to 100.
using THgProgressEvent = std::function<void(const void* Sender, int64_t Percent)>;
using THgNotifyEvent = std::function<void(const void* Sender)>;

// Results of Analyze and Write.
enum : int32_t { kDone = 0, kCancelled = -1, kNothingToAnalyse = -2 };
// Verdicts left in Error.
enum : int32_t { kNoDamage = 0, kDamagedData = -1, kDamagedIndex = -2 };
// OpenError values.
enum : int32_t {
  kOpened = 0,
  kNotFound = -1,
  kCannotOpen = -2,
  kCannotReadSignature = -3,
  kBadSignature = -4
};

// What the format line shows of an AVI file's video.
struct TVideoDescription {
  std::string CodecDescription; // empty when the codec is not recognised
  TFourCC Handler = 0;          // video stream handler
  uint32_t Width = 0, Height = 0;
  uint32_t Rate = 0, Scale = 0;
  uint32_t AudioStreams = 0;
};

// Whether a reader may open FileName: it exists, is a regular file and can be read.
bool CanOpenForReading(const std::string& FileName);

class THgFileReader : public THgChunkTree {
public:
  ~THgFileReader() override = default;

  // Mode 0 quick analysis on opening, 2 full check, 3 full check of a file whose quick
  // analysis found damage. Returns kDone, kCancelled or kNothingToAnalyse.
  virtual int32_t Analyze(uint8_t Mode) = 0;
  virtual void DumpInfo(const std::string& FileName) = 0;
  // Readers of formats with a video summary fill Out and answer true.
  virtual bool DescribeVideo(TVideoDescription& Out) {
    (void)Out;
    return false;
  }
  void Cancel(bool Value) {
    if (Value) Cancelled = true;
  }
  // Loops that can run long without new progress (a stretch of zeros, a search, a table
  // pass) call this every few milliseconds of work: it repeats the last progress figure, so
  // the job's handler can pump events and deliver a cancel, and answers whether to go on.
  bool Poll() {
    Progress(FLastPercent);
    return !Cancelled;
  }
  // One step of a loop whose steps are quick: every 4096th step polls.
  bool PollStep() { return (++FSteps & 4095) != 0 ? !Cancelled : Poll(); }

  int32_t OpenError = kOpened;
  int32_t Error = kNoDamage;
  bool Cancelled = false;
  THgProgressEvent OnProgress;
  // When not empty, a reader that keeps a diagnostic dump writes it here during Analyze.
  std::string DumpFileName;

protected:
  void Progress(int64_t Percent) {
    FLastPercent = Percent;
    if (OnProgress) OnProgress(this, Percent);
  }

private:
  int64_t FLastPercent = 0;
  uint32_t FSteps = 0;
};

class THgFileWriter {
public:
  virtual ~THgFileWriter() = default;

  // Returns kDone, or kCancelled when it stopped because Cancelled was set. Anything
  // else (a raised exception, a failed write) means the copy is not usable.
  virtual int32_t Write() = 0;
  void Cancel(bool Value) {
    if (Value) Cancelled = true;
  }
  // As THgFileReader::Poll, for the writer's long loops.
  bool Poll() {
    Progress(FLastPercent);
    return !Cancelled;
  }

  bool Cancelled = false;
  // Set by a writer whose copy leaves out sound it could not rebuild; the copy plays, mute.
  bool WithoutSound = false;
  THgProgressEvent OnProgress;
  THgNotifyEvent OnReferenceNeeded;
  // An intact file of the same camera that supplies what the damaged one lost; owned
  // while set. Only writers that fire OnReferenceNeeded read it.
  std::unique_ptr<THgFileReader> ReferenceReader;

protected:
  void Progress(int64_t Percent) {
    FLastPercent = Percent;
    if (OnProgress) OnProgress(this, Percent);
  }
  void FireReferenceNeeded() {
    if (OnReferenceNeeded) OnReferenceNeeded(this);
  }
  // Creates (truncating) the output for a writer that is given a name, not a stream.
  static std::unique_ptr<TFileStreamW> CreateOutput(const std::string& FileName);

private:
  int64_t FLastPercent = 0;
};

} // namespace clw
