// The stream layer against a model (support/StreamModel.h), with read sizes, seeks, cuts
// and kernel copies taken from the input.
#include "support/StreamModel.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (const char* broken = clw::test::CheckStreamProgram(Data, Size)) {
    std::fprintf(stderr, "stream fuzz: %s\n", broken);
    std::abort();
  }
  return 0;
}
