#pragma once
// Work cut in two shares for the two processors a check may have: slice detection's
// longest steps over hundreds of thousands of candidates run half on a thread of their
// own while the other half runs on the caller's.
#include "mp4/Mp4MediaData.h"

#include <atomic>
#include <chrono>
#include <future>
#include <system_error>

namespace clw {

class THgFileReader;

// The processors this process may run on (its affinity, which a container or taskset
// narrows), not the ones the machine has.
unsigned ProcessorsToRunOn();

// Runs Work(0, Going0) on a thread of its own while this thread runs Work(1, Going1); each
// share asks its Going() in its loops and ends early, returning false, when it answers
// false. Only this thread polls the reader: the other share's Going tells it when this
// one was cancelled or gave up. With one processor both shares run here, one after the
// other. False when a share gave up or the check was cancelled.
template <typename F> bool InTwoShares(TPollEvery<THgFileReader>& Going, F&& Work) {
  std::atomic<bool> stop = false;
  const auto here = [&] {
    if (Going() && !stop.load(std::memory_order_relaxed)) return true;
    stop.store(true, std::memory_order_relaxed);
    return false;
  };
  const auto there = [&] { return !stop.load(std::memory_order_relaxed); };
  if (ProcessorsToRunOn() < 2) return Work(0, here) && Work(1, here);
  std::future<bool> other;
  try {
    other = std::async(std::launch::async, [&] { return Work(0, there); });
  } catch (const std::system_error&) {
    return Work(0, here) && Work(1, here);
  }
  bool done = false;
  try {
    done = Work(1, here);
  } catch (...) {
    stop.store(true, std::memory_order_relaxed);
    throw; // the future waits for the other share as it goes
  }
  if (!done) stop.store(true, std::memory_order_relaxed);
  while (other.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready)
    if (!Going()) stop.store(true, std::memory_order_relaxed);
  const bool otherDone = other.get();
  return done && otherDone && !stop.load(std::memory_order_relaxed);
}

} // namespace clw
