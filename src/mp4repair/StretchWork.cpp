#include "mp4repair/StretchWork.h"

#include "mp4repair/TwoShares.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <utility>

namespace clw::scan {

namespace {

// Waits a moment for Ready without sleeping: the scan hands out a stretch and takes it
// back a thousand times per GiB, and a wake-up each time costs more than the waits
// themselves. The lock is taken afterwards all the same.
template <typename F> void SpinFor(F Ready) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(200);
  for (uint32_t i = 1; !Ready(); ++i) {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
    if (i % 64 == 0 && std::chrono::steady_clock::now() > until) return;
  }
}

// Parts before the search's.
constexpr uint32_t kReadPart = 0;
constexpr uint32_t kEndsPart = 1;
constexpr uint32_t kFirstSearchPart = 2;
// A claim counts a job's parts in 16 bits; no stretch is longer than the window.
static_assert(kWindowSize / kBatch + kFirstSearchPart + 2 < 0x10000);

} // namespace

TStretchWork::TStretchWork(TScan& S, TScanRead& Read, bool Worthwhile)
    : S(S), Read(Read), Helped(Worthwhile && ProcessorsToRunOn() > 1) {}

TStretchWork::~TStretchWork() {
  if (Running) {
    // Left by an exception: parts still running use the window, so wait for them.
    RunParts(MainHits.data(), Job);
    WaitForParts();
  }
  if (!Helper.joinable()) return;
  {
    std::lock_guard lock(Mutex);
    Quit = true;
  }
  Changed.notify_all();
  Helper.join();
}

void TStretchWork::Start(size_t From, size_t To, uint64_t SeeLimit, bool ReadWanted, bool FindBoxes,
                         bool SeeSearched) {
  JobFrom = From;
  JobTo = std::max(From, To);
  JobLimit = SeeLimit;
  JobFilled = S.Filled;
  JobReads = ReadWanted;
  JobBoxes = FindBoxes;
  JobSeesSearched = SeeSearched;
  Bounds.assign(1, From);
  while (Bounds.back() < JobTo)
    Bounds.push_back(std::min(JobTo, (Bounds.back() + kBatch) & ~size_t(63)));
  const size_t parts = Bounds.size() - 1;
  while (Found.size() < parts)
    Found.push_back(TPartFound{S.Waiting.NewBlock(), 0, {}});
  PartCount = uint32_t(kFirstSearchPart + parts);
  DoneParts.store(0, std::memory_order_relaxed);
  Running = true;
  ++Job;
  if (Helped && !Helper.joinable()) {
    try {
      Helper = std::thread([this] { Serve(); });
    } catch (const std::system_error&) {
      Helped = false; // no thread to be had: the scan does the work itself
    }
  }
  const uint64_t claim = uint64_t(Job) << 32 | uint64_t(PartCount) << 16;
  if (!Helped) return Claim.store(claim, std::memory_order_relaxed);
  {
    std::lock_guard lock(Mutex);
    Claim.store(claim, std::memory_order_release);
  }
  Changed.notify_all();
}

void TStretchWork::Finish() {
  if (!Running) return;
  RunParts(MainHits.data(), Job);
  WaitForParts();
  Running = false;
  if (Failure) std::rethrow_exception(std::exchange(Failure, nullptr));
  for (size_t k = 0; k + 1 < Bounds.size(); ++k) {
    TPartFound& found = Found[k];
    if (found.Count > 0) S.Waiting.Append(found.Records, found.Count);
    S.Boxes.insert(S.Boxes.end(), found.Boxes.begin(), found.Boxes.end());
  }
  S.Next = JobTo;
  S.Seen = SeenTo;
}

void TStretchWork::Serve() {
  uint32_t served = 0;
  const auto asked = [&] {
    return uint32_t(Claim.load(std::memory_order_acquire) >> 32) != served ||
           Quit.load(std::memory_order_relaxed);
  };
  for (;;) {
    SpinFor(asked);
    {
      std::unique_lock lock(Mutex);
      Changed.wait(lock, asked);
      if (Quit) return;
      served = uint32_t(Claim.load(std::memory_order_relaxed) >> 32);
    }
    RunParts(HelperHits.data(), served);
  }
}

void TStretchWork::RunParts(uint32_t* Hits, uint32_t Of) {
  for (;;) {
    uint64_t claim = Claim.load(std::memory_order_acquire);
    uint32_t k = 0;
    uint32_t count = 0;
    do {
      k = uint32_t(claim & 0xFFFF);
      count = uint32_t((claim >> 16) & 0xFFFF);
      if (uint32_t(claim >> 32) != Of || k >= count) return;
    } while (!Claim.compare_exchange_weak(claim, claim + 1, std::memory_order_acq_rel,
                                          std::memory_order_acquire));
    try {
      RunPart(k, Hits);
    } catch (...) {
      std::lock_guard lock(Mutex);
      if (!Failure) Failure = std::current_exception();
    }
    // Once the last part is done the scan's thread may start the next job at once.
    if (DoneParts.fetch_add(1, std::memory_order_acq_rel) + 1 == count) {
      std::lock_guard lock(Mutex); // the scan's thread may be about to sleep
      Changed.notify_all();
    }
  }
}

void TStretchWork::WaitForParts() {
  const auto done = [this] { return DoneParts.load(std::memory_order_acquire) == PartCount; };
  SpinFor(done);
  std::unique_lock lock(Mutex);
  Changed.wait(lock, done);
}

void TStretchWork::RunPart(uint32_t K, uint32_t* Hits) {
  if (K == kReadPart) {
    if (JobReads) Read.Run(S, JobFilled);
    return;
  }
  if (K == kEndsPart) {
    SeenTo = SeeEnds(S, S.Seen, JobLimit, JobFrom, JobFilled);
    // The ends before SeenTo are seen now.
    if (JobSeesSearched) SeeSearchedEnds(S, SeenTo);
    return;
  }
  const size_t part = K - kFirstSearchPart;
  TPartFound& found = Found[part];
  found.Count = FindCandidates(Bounds[part], Bounds[part + 1], S, Hits, found.Records.get());
  found.Boxes.clear();
  if (JobBoxes) FindBoxHeaders(S.Window.get(), Bounds[part], Bounds[part + 1], S.Base, found.Boxes);
}

} // namespace clw::scan
