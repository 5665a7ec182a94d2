// The MP4 check of one file as the repair job runs it: the quick analysis, then the full
// check (mode 3 when the quick one found damage, else mode 2). Prints what the check found,
// its time and the process's peak memory on one line for bench/mp4_check_bench.sh.
//   mp4_check_bench FILE
#include "mp4repair/MediaDataAnalysis.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
  using namespace clw;
  if (argc != 2) {
    std::fprintf(stderr, "usage: mp4_check_bench FILE\n");
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  THgMP4FileReader reader(argv[1], &MediaDataAnalysis());
  if (reader.OpenError != kOpened) {
    std::fprintf(stderr, "mp4_check_bench: cannot open %s\n", argv[1]);
    return 1;
  }
  reader.Analyze(0);
  const int32_t quickError = reader.Error;
  reader.Analyze(quickError == kDamagedData ? 3 : 2);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("quick_error %d error %d candidates %u slices %zu null_blocks %u seconds %.3f "
              "peak_rss_kib %ld\n",
              quickError, reader.Error, reader.Scan.MDATChunks.Count(), reader.MDATSlices.size(),
              reader.Scan.NullBlocks.Count(), seconds, long(usage.ru_maxrss));
  return 0;
}
