// Arbitrary bytes through the AVI check and repair: the full analysis, the writer, and
// the analysis of what the writer made. Nothing may crash, hang or read out of bounds.
#include "avi/HgAVIFile.h"

#include "support/MemoryStream.h"

#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  using namespace clw;
  test::TMemoryStream input(std::vector<uint8_t>(Data, Data + Size));
  THGRIFFStream riff(input);
  THgAVIFileReader reader(riff);
  reader.CheckSignature();
  reader.Analyze(2);
  // The copy is written into memory: nothing is left behind on the disk.
  test::TMemoryStream output;
  {
    THgAVIFileWriter writer(reader, output);
    writer.Write();
  }
  output.Pos = 0;
  THGRIFFStream copyRiff(output);
  THgAVIFileReader repaired(copyRiff);
  repaired.CheckSignature();
  repaired.Analyze(2);
  return 0;
}
