// The MP4 check of one file as the repair job runs it: the quick analysis, then the full
// check (mode 3 when the quick one found damage, else mode 2). Prints what the check found,
// its time and the process's peak memory on one line for bench/mp4_check_bench.sh. With
// --slices it also writes the slices found (start, size, units, coded slices, gap) and the
// statistics they were judged by (with the count of candidates let go of) to LIST, so two
// builds can be compared on the same file.
// With --walk it then walks the media data chunk by chunk against the reference clip REF,
// as a repair with that reference does, and prints the walk's time and what it took.
//   mp4_check_bench [--slices LIST | --walk REF] FILE
#include "mp4repair/ChunkWalker.h"
#include "mp4repair/MediaDataAnalysis.h"
#include "mp4repair/ReferenceClip.h"

#include <sys/resource.h>

#include <algorithm>
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
  std::fprintf(out, " dropped %llu\n", (unsigned long long)Reader.Scan.Dropped.Count());
  // The box tree too: a check in scan mode adds the box headers it finds in the media data.
  std::fprintf(out, "nodes %u\n", Reader.Count());
  for (int32_t i = 0; i < int32_t(Reader.Count()); ++i)
    std::fprintf(out, "node %08x %lld %lld %d\n", Reader.Id(i), (long long)Reader.DataPosition(i),
                 (long long)Reader.Size(i), Reader.Flags(i));
  for (const clw::TMDATSlice& slice : Reader.MDATSlices)
    std::fprintf(out, "%llu %llu %d %d %llu %lld\n", (unsigned long long)slice.Start,
                 (unsigned long long)slice.Size, slice.Count, slice.VCLCount,
                 (unsigned long long)slice.GapStart, (long long)slice.GapLength);
  return std::fclose(out) == 0;
}

// Times the walk of the checked file's media data against the reference clip.
bool Walk(clw::THgMP4FileReader& Reader, const char* Reference) {
  using namespace clw;
  int32_t verdict = 0;
  const auto reference = OpenReferenceClip(Reference, verdict);
  TWalkProfile profile;
  const int32_t media = Reader.Scan.MediaDataNode;
  if (!reference || !MakeWalkProfile(*reference, AacLibrary(), profile) || !Reader.IsNode(media) ||
      !Reader.Source()) {
    std::fprintf(stderr, "mp4_check_bench: cannot walk with %s\n", Reference);
    return false;
  }
  const uint64_t start = uint64_t(Reader.DataPosition(media));
  const uint64_t end = std::min<uint64_t>(uint64_t(Reader.NodeEnd(media)), Reader.FileSize);
  const auto begin = std::chrono::steady_clock::now();
  TMp4ChunkWalker walker(*Reader.Source(), start, end, false, Reader.Scan.NullBlocks, profile);
  walker.Walk();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  size_t video = 0;
  for (const TWalkedChunk& c : walker.Chunks)
    video += c.Video ? 1 : 0;
  std::printf("walk_seconds %.3f walk_ms_per_mib %.3f chunks %zu video_chunks %zu skipped %llu\n",
              seconds, seconds * 1000 / (double(end - start) / 1048576), walker.Chunks.size(),
              video, (unsigned long long)walker.Skipped);
  return true;
}

} // namespace

int main(int argc, char** argv) {
  using namespace clw;
  const char* slices = nullptr;
  const char* walkReference = nullptr;
  if (argc == 4 && std::strcmp(argv[1], "--walk") == 0) walkReference = argv[2];
  if (argc == 4 && (std::strcmp(argv[1], "--slices") == 0 || walkReference)) {
    if (!walkReference) slices = argv[2];
    argv += 2;
    argc -= 2;
  }
  if (argc != 2) {
    std::fprintf(stderr, "usage: mp4_check_bench [--slices LIST | --walk REF] FILE\n");
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
  if (walkReference && !Walk(reader, walkReference)) return 1;
  if (slices && !WriteSlices(reader, slices)) {
    std::fprintf(stderr, "mp4_check_bench: cannot write %s\n", slices);
    return 1;
  }
  return 0;
}
