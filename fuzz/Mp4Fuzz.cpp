// Arbitrary bytes through the MP4 check and repair (support/Mp4RoundTrip.h). Nothing may
// crash, hang or read out of bounds, and a copy the writer calls done must check clean and
// have tables that hold together.
#include "support/Mp4RoundTrip.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (const char* broken = clw::test::CheckMp4RoundTrip(Data, Size)) {
    std::fprintf(stderr, "repair round trip: %s\n", broken);
    std::abort();
  }
  return 0;
}
