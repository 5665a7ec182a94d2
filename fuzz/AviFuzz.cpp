// Arbitrary bytes through the AVI check and repair: the full analysis, the writer, and
// the analysis of what the writer made. Nothing may crash, hang or read out of bounds.
#include "avi/HgAVIFile.h"

#include "support/MemoryStream.h"

#include <unistd.h>

#include <cstdint>
#include <string>

namespace {

const std::string& OutputPath() {
  static const std::string path = "/tmp/clipwright-fuzz-" + std::to_string(::getpid()) + ".avi";
  return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  using namespace clw;
  test::TMemoryStream input(std::vector<uint8_t>(Data, Data + Size));
  THGRIFFStream riff(input);
  THgAVIFileReader reader(riff);
  reader.CheckSignature();
  reader.Analyze(2);
  {
    THgAVIFileWriter writer(reader, OutputPath());
    writer.Write();
  }
  THgAVIFileReader repaired(OutputPath());
  repaired.Analyze(2);
  return 0;
}
