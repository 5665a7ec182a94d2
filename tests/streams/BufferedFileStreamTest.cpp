#include "streams/BufferedFileStream.h"
#include "streams/StreamTestFiles.h"

#include <array>
#include <filesystem>
#include <memory>
#include <random>

namespace clw::test {
namespace {

constexpr int64_t kWindow = THgBufferedFileStreamW::kBufferSize;
constexpr int64_t kKeep = THgBufferedFileStreamW::kKeepOnRefill;
constexpr int64_t kMiB = int64_t(1) << 20;

// System reads are counted through the handle stream's hook from the last Mark().
class Buffered : public ::testing::TestWithParam<int64_t> {
protected:
  void Mark() { Reads0 = THandleStream64::SystemReadCount; }
  uint64_t Reads() const { return THandleStream64::SystemReadCount - Reads0; }
  // Reads n bytes from pos, or from where the stream stands for pos -1.
  Bytes ReadAt(int64_t pos, int64_t n) {
    if (pos >= 0) S->SetPosition(pos);
    Bytes b(static_cast<size_t>(n));
    b.resize(size_t(S->Read(b.data(), n)));
    return b;
  }

  std::unique_ptr<THgBufferedFileStreamW> S;
  uint64_t Reads0 = 0;
};

// The refill rules for a window at the start of a file and for one straddling 4 GiB,
// where 32-bit offset arithmetic would go wrong. Each row: whether to prime a fresh window
// with a one-byte read first, where to read (back from the window end; -1 where the stream
// stands), how many bytes, and the system reads since priming.
TEST_P(Buffered, WindowRefillRules) {
  const int64_t base = GetParam(), end = base + kWindow;
  const std::string name = MakeFile(base + kMiB, base);
  // clang-format off
  const std::array<int64_t, 4> rows[] = {
      // Running off the window keeps its last 8 KiB, and not a byte more.
      {1, 8, 16, 1}, {0, kKeep, 16, 1}, {0, kKeep + 1, 1, 2},
      // One-byte probes across the boundary were handed nothing by the old window: no keep.
      {1, 2, 1, 0}, {0, -1, 1, 0}, {0, -1, 1, 1}, {0, -1, 1, 1}, {0, 1, 1, 2},
      // A read of exactly the rest of the window refills only on the next call.
      {1, 100, 100, 0}, {0, -1, 1, 1}};
  // clang-format on
  for (const auto [prime, back, n, reads] : rows) {
    if (prime) {
      S = std::make_unique<THgBufferedFileStreamW>(name, fmShareDenyNone);
      ASSERT_EQ(ReadAt(base, 1), Pattern(base, 1));
      Mark();
    }
    const int64_t at = back < 0 ? S->Position() : end - back;
    EXPECT_EQ(ReadAt(at, n), Pattern(at, n)) << "end - " << end - at;
    EXPECT_EQ(Reads(), uint64_t(reads)) << "end - " << end - at;
  }
  std::filesystem::remove(name); // large on paper
}

INSTANTIATE_TEST_SUITE_P(BufferedBase, Buffered, ::testing::Values(0, (int64_t(4) << 30) - 5));

// Sequential scans to the end: one system read per window when reads meet the window
// boundary, and an 8 KiB overlap per refill when they straddle it; reads of a window or
// more go straight to the caller. Asking for the size (to report progress) between reads
// must not cost a refill.
TEST_F(Buffered, SequentialScansReadEachWindowOnce) {
  for (const auto [size, chunk, systemReads] : {std::array<int64_t, 3>{2 * kMiB, 65536, 8},
                                                {2 * kMiB + 100, 65536, 9},
                                                {2 * kMiB, 12, 9},
                                                {2 * kMiB + 100, kMiB, 4}}) {
    S = std::make_unique<THgBufferedFileStreamW>(MakeFile(size), fmShareDenyNone);
    Mark();
    Bytes all;
    for (Bytes got; !(got = ReadAt(-1, chunk)).empty();) {
      all.insert(all.end(), got.begin(), got.end());
      ASSERT_EQ(S->Size(), size);
    }
    EXPECT_EQ(all, Pattern(0, size));
    EXPECT_EQ(Reads(), uint64_t(systemReads)) << size << " bytes in reads of " << chunk;
  }
}

// A walk from header to header (12-byte reads, then a seek up to a little more than a
// window ahead) moves the descriptor only for a refill that needs it there: a seek costs
// no system call of its own, and neither does learning the size at each refill.
TEST_F(Buffered, SeeksCostNoSystemCallOfTheirOwn) {
  S = std::make_unique<THgBufferedFileStreamW>(MakeFile(8 * kMiB), fmShareDenyNone);
  Mark();
  const uint64_t seeks = THandleStream64::SystemSeekCount;
  std::mt19937 rng(7);
  for (int64_t at = 0; at + 12 <= 8 * kMiB; at += 12 + int64_t(rng() % (kWindow + kKeep)))
    ASSERT_EQ(ReadAt(at, 12), Pattern(at, 12)) << at;
  EXPECT_LE(THandleStream64::SystemSeekCount - seeks, Reads());
}

// Counts beyond one 32-bit system call are refused, not split. After a failed seek
// nothing is read or written until a good seek.
TEST_F(Buffered, BadCountsAndFailedSeeksTouchNothing) {
  const std::string name = MakeFile(1000);
  S = std::make_unique<THgBufferedFileStreamW>(name, fmOpenReadWrite);
  uint8_t b[8];
  EXPECT_THROW(S->Read(b, int64_t(INT32_MAX) + 1), ERangeError);
  EXPECT_THROW(S->Write(b, int64_t(INT32_MAX) + 1), ERangeError);
  EXPECT_EQ(S->Seek(-5, soBeginning), -1);
  EXPECT_EQ(S->Read(b, 8) + S->Write("x", 1), 0);
  EXPECT_EQ(ReadAt(50, 32), Pattern(50, 32));
  EXPECT_EQ(Pread(name, 0, 2000), Pattern(0, 1000));
}

// Random walks of the kinds a scanner makes, with writes (many straddling the window
// start), cuts and extensions, checked against pread and at the end against a model.
TEST_F(Buffered, RandomWalksMatchPreadAndModel) {
  for (const uint32_t seed : {1u, 2u, 3u, 4u}) {
    const std::string name = MakeFile(700001);
    Bytes model = Pattern(0, 700001);
    S = std::make_unique<THgBufferedFileStreamW>(name, fmOpenReadWrite);
    std::mt19937_64 rng(seed);
    const auto upTo = [&](int64_t n) { return int64_t(rng() % uint64_t(n + 1)); };
    int64_t pos = 0;
    for (int step = 0; step < 3000; ++step) {
      const auto size = int64_t(model.size());
      const uint64_t op = rng() % 8;
      if (op < 2) S->SetPosition(pos = upTo(size + 1000));
      if (op == 2) {
        const int64_t offset = upTo(9000) - std::min<int64_t>(pos, 4000);
        ASSERT_EQ(S->Seek(offset, soCurrent), pos += offset);
      }
      if (op == 3) {
        ASSERT_EQ(S->Size(), size);
        S->SetSize(pos = size + 3000 - upTo(6000));
        model.resize(size_t(pos));
      }
      if (op == 4) {
        if (rng() % 2) S->SetPosition(pos = std::max<int64_t>(0, S->BufferStart - upTo(16)));
        const Bytes in = Pattern(int64_t(rng() >> 2), upTo(16) + 1);
        ASSERT_EQ(S->Write(in.data(), int64_t(in.size())), int64_t(in.size()));
        model.resize(std::max(model.size(), size_t(pos) + in.size()));
        std::copy(in.begin(), in.end(), model.begin() + pos);
        pos += int64_t(in.size());
      }
      if (op > 4) {
        const int64_t n = rng() % 4 ? upTo(40) : upTo(3 * kWindow / 2);
        const Bytes got = ReadAt(-1, n);
        ASSERT_EQ(got, Pread(name, pos, n)) << "seed " << seed << " step " << step;
        pos += int64_t(got.size());
        // What the window holds around the position is the file's bytes, after writes and
        // cuts too.
        const int64_t at = std::max<int64_t>(0, pos - upTo(9000)) + upTo(200);
        int64_t length = 0;
        const uint8_t* held = S->Held(at, upTo(kWindow), length);
        ASSERT_EQ(Bytes(held, held + length), Pread(name, at, length)) << "step " << step;
      }
      ASSERT_EQ(S->Position(), pos) << "seed " << seed << " step " << step;
    }
    EXPECT_EQ(Pread(name, 0, int64_t(model.size()) + 1), model);
  }
}

} // namespace
} // namespace clw::test
