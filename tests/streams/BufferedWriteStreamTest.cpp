#include "streams/BufferedWriteStream.h"

#include "support/MemoryStream.h"
#include "support/StreamModel.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

namespace clw::test {
namespace {

// Appends of every size, patches behind the position (inside and outside the buffered
// tail, and straddling its start) and seeks, against the same operations on a plain
// in-memory stream.
TEST(BufferedWriteStream, EndsWithTheSameBytesAsUnbufferedWrites) {
  std::mt19937 random(3);
  TMemoryStream file, model;
  {
    TBufferedWriteStream out(file);
    std::vector<uint8_t> data(3 * TBufferedWriteStream::kBufferSize);
    for (auto& b : data)
      b = uint8_t(random());
    for (int step = 0; step < 3000; ++step) {
      const int kind = int(random() % 10);
      if (kind < 7) { // append
        const int64_t n = kind == 0 ? int64_t(random() % data.size()) : int64_t(random() % 40000);
        out.Seek(0, soEnd);
        model.Seek(0, soEnd);
        ASSERT_EQ(out.Write(data.data(), n), n);
        model.Write(data.data(), n);
      } else { // patch a few bytes somewhere behind
        const int64_t size = out.Size();
        ASSERT_EQ(size, model.Size());
        if (size < 8) continue;
        const int64_t at = int64_t(random() % uint64_t(size - 8));
        ASSERT_EQ(out.Seek(at, soBeginning), at);
        model.Seek(at, soBeginning);
        ASSERT_EQ(out.Write(data.data() + step, 8), 8);
        model.Write(data.data() + step, 8);
        EXPECT_EQ(out.Position(), at + 8);
      }
    }
    ASSERT_TRUE(out.Flush());
  }
  EXPECT_EQ(file.Data, model.Data);
}

TEST(BufferedWriteStream, FailedWritesAreReportedByFlush) {
  TFileStreamW full("/dev/full", fmOpenWrite);
  TBufferedWriteStream out(full);
  const std::vector<uint8_t> bytes(1000, 7);
  EXPECT_EQ(out.Write(bytes.data(), 1000), 1000); // buffered: the disk is not asked yet
  EXPECT_FALSE(out.Flush());
  EXPECT_EQ(out.Write(bytes.data(), 1000), 0); // and nothing is taken after a failure
}

// Programs the stream fuzz target once failed on run against the model again.
TEST(StreamFuzzRegressions, MatchTheModel) {
  const auto folder =
      std::filesystem::path(CLIPWRIGHT_SOURCE_DIR) / "fuzz" / "regressions" / "stream";
  size_t inputs = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    ++inputs;
    if (const char* broken = CheckStreamProgram(bytes.data(), bytes.size()))
      ADD_FAILURE() << entry.path().filename() << ": " << broken;
  }
  EXPECT_GT(inputs, 0u);
}

} // namespace
} // namespace clw::test
