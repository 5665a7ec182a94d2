#pragma once
// The work on one stretch of the media-data scan's window: the search of its positions
// for candidates, the look at the ends of the candidates that came within reach before
// it, and the read that brings in the next stretch. When the process may run on two
// processors it is shared out between the scan's thread and a helper thread: the search is
// cut into parts of one batch each, and the look at the ends and the read are one part
// each; whichever thread is free takes the next part, so neither waits while the other has
// work left. The helper starts at once; the scan's thread settles the candidates whose ends
// were seen before, then takes what is left in Finish.
//
// The parts read the window and the tables and write only their own results: the search
// its candidates, the look the ends of waiting candidates not yet seen, the read the window
// behind the bytes filled and the zero runs. Finish hands it all to the scan.
#include "mp4repair/ScanState.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace clw::scan {

class TStretchWork {
public:
  // Worthwhile: whether the scan is long enough to be worth a thread.
  TStretchWork(TScan& S, TScanRead& Read, bool Worthwhile);
  TStretchWork(const TStretchWork&) = delete;
  TStretchWork& operator=(const TStretchWork&) = delete;
  ~TStretchWork();

  // Searches window positions [From, To), for box headers too when FindBoxes, sees the
  // ends of the waiting candidates that begin before SeeLimit (all of which end before
  // From) and, when SeeSearched, of every other that ends before From, and, when
  // ReadWanted, runs the scan's read.
  void Start(size_t From, size_t To, uint64_t SeeLimit, bool ReadWanted, bool FindBoxes,
             bool SeeSearched = false);
  // Takes the parts left and waits for the others; the candidates found join the waiting
  // ones, the box headers found follow the scan's, the window is searched up to To, and
  // the read's results are in the read.
  void Finish();

private:
  using THits = std::array<uint32_t, kBatch + 64>;

  void Serve();
  void RunParts(uint32_t* Hits, uint32_t Of);
  void RunPart(uint32_t K, uint32_t* Hits);
  void WaitForParts();

  TScan& S;
  TScanRead& Read;
  bool Helped;
  std::thread Helper;
  std::mutex Mutex;
  std::condition_variable Changed;
  std::atomic<bool> Quit = false;
  std::exception_ptr Failure;
  bool Running = false;
  size_t JobFrom = 0;
  size_t JobTo = 0;
  uint64_t JobLimit = 0;
  size_t JobFilled = 0;
  bool JobReads = false;
  bool JobBoxes = false;
  bool JobSeesSearched = false;
  size_t SeenTo = 0;
  // Where the search's parts begin, and the candidates each found (room for one per
  // position of a batch, written without being cleared first) and the box headers.
  struct TPartFound {
    std::unique_ptr<TFoundCandidate[]> Records;
    size_t Count = 0;
    std::vector<TFoundBox> Boxes;
  };
  std::vector<size_t> Bounds;
  std::vector<TPartFound> Found;
  // A claim holds the job's number, its count of parts and the next part to take, so a
  // thread still looking for work in a job that is over takes nothing from the next.
  uint32_t Job = 0;
  uint32_t PartCount = 0;
  std::atomic<uint64_t> Claim = 0;
  std::atomic<uint32_t> DoneParts = 0;
  // Written before they are read: left uninitialised, so their pages are touched only
  // where a search writes.
  THits MainHits;
  THits HelperHits;
};

} // namespace clw::scan
