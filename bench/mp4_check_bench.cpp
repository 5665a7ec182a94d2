// The MP4 check of one file as the repair job runs it: the quick analysis, then the full
// check (mode 3 when the quick one found damage, else mode 2). Prints what the check found,
// its time and the process's peak memory on one line for bench/mp4_check_bench.sh. With
// --slices it also writes the slices found (start, size, units, coded slices, gap) and the
// statistics they were judged by to LIST, so two builds can be compared on the same file.
//   mp4_check_bench [--slices LIST] FILE
#include "mp4repair/MediaDataAnalysis.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

bool WriteSlices(const clw::THgMP4FileReader& Reader, const char* Path) {
  std::FILE* out = std::fopen(Path, "w");
  if (!out) return false;
  const clw::TSliceStatistics& s = Reader.SliceStatistics;
  std::fprintf(out, "marker %u gap %u candidate %u vcl %u single %u nal", s.AudioMarker,
               s.TypicalGap, s.TypicalCandidateSize, s.TypicalVCLCount, s.SingleFrameInterleave);
  for (uint32_t size : s.TypicalNALSize)
    std::fprintf(out, " %u", size);
  std::fprintf(out, "\n");
  for (const clw::TMDATSlice& slice : Reader.MDATSlices)
    std::fprintf(out, "%llu %llu %d %d %llu %lld\n", (unsigned long long)slice.Start,
                 (unsigned long long)slice.Size, slice.Count, slice.VCLCount,
                 (unsigned long long)slice.GapStart, (long long)slice.GapLength);
  return std::fclose(out) == 0;
}

} // namespace

int main(int argc, char** argv) {
  using namespace clw;
  const char* slices = nullptr;
  if (argc == 4 && std::strcmp(argv[1], "--slices") == 0) {
    slices = argv[2];
    argv += 2;
    argc -= 2;
  }
  if (argc != 2) {
    std::fprintf(stderr, "usage: mp4_check_bench [--slices LIST] FILE\n");
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
  const double quickSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  reader.Analyze(quickError == kDamagedData ? 3 : 2);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("quick_error %d error %d candidates %u slices %zu null_blocks %u quick_seconds %.3f "
              "seconds %.3f peak_rss_kib %ld\n",
              quickError, reader.Error, reader.Scan.MDATChunks.Count(), reader.MDATSlices.size(),
              reader.Scan.NullBlocks.Count(), quickSeconds, seconds, long(usage.ru_maxrss));
  if (slices && !WriteSlices(reader, slices)) {
    std::fprintf(stderr, "mp4_check_bench: cannot write %s\n", slices);
    return 1;
  }
  return 0;
}
