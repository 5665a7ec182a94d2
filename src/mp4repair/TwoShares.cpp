#include "mp4repair/TwoShares.h"

#include <thread>

#if defined(__linux__)
#include <sched.h>
#endif

namespace clw {

unsigned ProcessorsToRunOn() {
#if defined(__linux__)
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) return unsigned(CPU_COUNT(&set));
#endif
  return std::thread::hardware_concurrency();
}

} // namespace clw
