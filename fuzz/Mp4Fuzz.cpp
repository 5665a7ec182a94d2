// Arbitrary bytes through the MP4 check as the repair job runs it: the quick analysis, then
// the full check of a file found damaged on a fresh reader, and both dumps of what each
// analysis left. Nothing may crash, hang or read out of bounds.
#include "mp4/Mp4Dump.h"
#include "mp4repair/MediaDataAnalysis.h"

#include "support/MemoryStream.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

// Bounds the time and memory of one run; a larger input adds nothing the structure of a
// smaller one does not already reach.
constexpr size_t kMaxInput = 1 << 20;
constexpr uint64_t kMaxDump = 1 << 24;

// Takes the dumps without keeping them: it only tracks the size and position, so the
// tag stream can seek back and patch its element sizes.
class TDiscardStream : public clw::TStream64 {
public:
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void*, int64_t Count) override {
    if (Count <= 0) return 0;
    Pos += Count;
    End = std::max(End, Pos);
    return Count;
  }
  int64_t Seek(int64_t Offset, uint16_t Origin) override {
    const int64_t base = Origin == clw::soCurrent ? Pos : Origin == clw::soEnd ? End : 0;
    if (Offset < -base) return -1;
    Pos = base + Offset;
    return Pos;
  }

private:
  int64_t Pos = 0;
  int64_t End = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  using namespace clw;
  if (Size > kMaxInput) return 0;
  const std::vector<uint8_t> bytes(Data, Data + Size);
  for (const uint8_t mode : {uint8_t(0), uint8_t(3)}) {
    test::TMemoryStream input(bytes);
    THgMp4Stream atoms(&input);
    THgMP4FileReader reader(atoms, &MediaDataAnalysis());
    reader.Analyze(mode);
    TDiscardStream text;
    WriteMp4Info(reader, text);
    TDiscardStream dump;
    WriteMp4DebugDump(reader, dump, kMaxDump);
  }
  return 0;
}
