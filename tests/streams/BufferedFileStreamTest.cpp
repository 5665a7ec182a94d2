#include "streams/BufferedFileStream.h"
#include "streams/StreamTestFiles.h"

#include <array>
#include <memory>
#include <ostream>
#include <random>

namespace clw {
namespace {

using test::Bytes;
constexpr int64_t kWindow = THgBufferedFileStreamW::kBufferSize;
constexpr int64_t kKeep = THgBufferedFileStreamW::kKeepOnRefill;
constexpr int64_t kMiB = int64_t(1) << 20;

// System calls are counted through the handle stream's hooks from the last Mark().
class BufferedTest : public test::ScratchDirTest {
protected:
  void Open(const std::string& name, uint16_t mode = fmShareDenyNone) {
    S = std::make_unique<THgBufferedFileStreamW>(name, mode);
  }
  void Mark() {
    Reads0 = THandleStream64::SystemReadCount;
    Seeks0 = THandleStream64::SystemSeekCount;
  }
  uint64_t Reads() const { return THandleStream64::SystemReadCount - Reads0; }
  uint64_t Seeks() const { return THandleStream64::SystemSeekCount - Seeks0; }
  Bytes ReadNext(int64_t n) {
    Bytes b(static_cast<size_t>(n));
    b.resize(size_t(S->Read(b.data(), n)));
    return b;
  }
  Bytes ReadAt(int64_t pos, int64_t n) {
    S->SetPosition(pos);
    return ReadNext(n);
  }

  std::unique_ptr<THgBufferedFileStreamW> S;
  uint64_t Reads0 = 0, Seeks0 = 0;
};

// The window rules at the start of a file and with the window straddling 4 GiB, where
// 32-bit offset arithmetic would go wrong. A one-byte read primes the window at Base.
class BufferedWindowRules : public BufferedTest, public ::testing::WithParamInterface<int64_t> {
protected:
  void SetUp() override {
    BufferedTest::SetUp();
    Base = GetParam();
    End = Base + kWindow;
    Open(MakeFile("w.bin", Base + kMiB, Base));
    ASSERT_EQ(ReadAt(Base, 1), Expected(Base, 1));
    Mark();
  }
  int64_t Base = 0, End = 0;
};

TEST_P(BufferedWindowRules, RunningOffTheWindowKeepsItsLast8KiB) {
  EXPECT_EQ(ReadAt(End - 8, 16), Expected(End - 8, 16));
  EXPECT_EQ(Reads(), 1u);
  Mark();
  EXPECT_EQ(ReadAt(End - kKeep, 16), Expected(End - kKeep, 16));
  EXPECT_EQ(Reads() + Seeks(), 0u) << "8 KiB behind the boundary is still buffered";
  S->SetPosition(End - kKeep - 1);
  EXPECT_EQ(Seeks(), 1u) << "one byte further back is not";
}

TEST_P(BufferedWindowRules, OneByteProbesAcrossTheBoundaryKeepNothing) {
  S->SetPosition(End - 2);
  for (int64_t i = 0; i < 4; ++i)
    EXPECT_EQ(ReadNext(1), Expected(End - 2 + i, 1));
  EXPECT_EQ(Reads(), 1u);
  EXPECT_EQ(S->BufferStart, End);
}

TEST_P(BufferedWindowRules, ReadOfExactlyTheRestRefillsOnlyOnTheNextCall) {
  EXPECT_EQ(ReadAt(End - 100, 100), Expected(End - 100, 100));
  EXPECT_EQ(Reads(), 0u);
  EXPECT_EQ(ReadNext(1), Expected(End, 1));
  EXPECT_EQ(Reads(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Offsets, BufferedWindowRules,
                         ::testing::Values(int64_t(0), (int64_t(4) << 30) - 5));

// Sequential scans to the end: one system read per window when reads meet the window
// boundary, and an 8 KiB overlap per refill when they straddle it.
struct Scan {
  int64_t FileSize, Chunk;
  uint64_t SystemReads;
  friend std::ostream& operator<<(std::ostream& os, const Scan& s) {
    return os << s.FileSize << " bytes in reads of " << s.Chunk;
  }
};
class BufferedScan : public BufferedTest, public ::testing::WithParamInterface<Scan> {};

TEST_P(BufferedScan, SystemReadsPerWindow) {
  const auto [size, chunk, systemReads] = GetParam();
  Open(MakeFile("scan.bin", size));
  Bytes all(static_cast<size_t>(size) + 1);
  Mark();
  int64_t total = 0;
  for (int64_t got; (got = S->Read(all.data() + total, std::min(chunk, size + 1 - total))) > 0;)
    total += got;
  all.resize(size_t(total));
  EXPECT_EQ(all, Expected(0, size));
  EXPECT_EQ(Reads(), systemReads);
}

INSTANTIATE_TEST_SUITE_P(Chunks, BufferedScan,
                         ::testing::Values(Scan{2 * kMiB, 64 * 1024, 8},
                                           Scan{2 * kMiB + 100, 64 * 1024, 9},
                                           Scan{2 * kMiB, 12, 9}));

// Write-through must leave the window showing the new bytes, whether the write lies
// inside the window, straddles its start, or extends a short window at the end of file.
TEST_F(BufferedTest, WrittenBytesAreReadBackFromTheWindow) {
  const int64_t size = 600 * 1024;
  const std::string name = MakeFile("rw.bin", size);
  Open(name, fmOpenReadWrite);
  const Bytes data = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L'};
  for (const auto [prime, at, n] :
       {std::array<int64_t, 3>{0, 10, 4}, {kMiB / 4, kMiB / 4 - 4, 8}, {size - 10, size - 4, 12}}) {
    ASSERT_EQ(ReadAt(prime, 1).size(), 1u);
    S->SetPosition(at);
    ASSERT_EQ(S->Write(data.data(), n), n);
    Mark();
    const int64_t from = std::max(prime, at);
    const Bytes expected(data.begin() + (from - at), data.begin() + n);
    EXPECT_EQ(ReadAt(from, at + n - from), expected) << "write at " << at;
    EXPECT_EQ(Pread(name, from, int64_t(expected.size())), expected);
    EXPECT_EQ(Reads(), 0u);
  }
}

// Calls a careless caller or damaged input can produce: none may reach outside the
// buffer or change the file, and the next good seek recovers.
TEST_F(BufferedTest, OddCallsStayInsideBufferAndFile) {
  const std::string name = MakeFile("odd.bin", 1000);
  Open(name, fmOpenReadWrite);
  uint8_t b[32];
  EXPECT_EQ(S->Read(b, -1), 0);
  EXPECT_THROW(S->Read(b, int64_t(INT32_MAX) + 1), ERangeError);
  EXPECT_EQ(S->Seek(-5, soBeginning), -1);
  EXPECT_EQ(S->Read(b, 8), 0);
  EXPECT_EQ(S->Write("x", 1), 0);
  S->SetPosition(10);
  EXPECT_EQ(S->Seek(INT64_MAX, soCurrent), -1);
  for (const int64_t length : {-kWindow, 3 * kWindow}) {
    S->BufferLength = length;
    S->BufferStart = -7;
    EXPECT_EQ(ReadAt(50, 32), Expected(50, 32));
  }
  EXPECT_EQ(Pread(name, 0, 2000), Expected(0, 1000));
  ASSERT_EQ(ReadAt(0, 1).size(), 1u);
  S->SetSize(40);
  EXPECT_EQ(ReadAt(30, 32), Expected(30, 10)) << "cut-off bytes must leave the window";

  Open(name, fmOpenWrite);
  EXPECT_EQ(ReadNext(8), Bytes{}) << "a failed system read delivers nothing";
}

// Random walks of the kinds a scanner makes, with some writes, checked byte for byte
// against pread and, at the end, against a model of the file.
class BufferedRandomWalk : public BufferedTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(BufferedRandomWalk, MatchesPreadAndModel) {
  const std::string name = MakeFile("walk.bin", 700001);
  Bytes model = Expected(0, 700001);
  Open(name, fmOpenReadWrite);
  std::mt19937_64 rng(GetParam());
  auto upTo = [&](int64_t n) { return int64_t(rng() % uint64_t(n + 1)); };
  int64_t pos = 0;
  for (int step = 0; step < 3000; ++step) {
    const auto size = int64_t(model.size());
    const uint64_t op = rng() % 8;
    if (op == 0) S->SetPosition(pos = upTo(size + 1000));
    if (op == 1) S->SetPosition(pos = std::max<int64_t>(0, pos - upTo(20000)));
    if (op == 2) {
      const int64_t offset = upTo(9000) - std::min<int64_t>(pos, 4000);
      pos += offset;
      ASSERT_EQ(S->Seek(offset, soCurrent), pos);
    }
    if (op == 3) {
      ASSERT_EQ(S->Size(), size);
    }
    if (op == 4) {
      Bytes in(static_cast<size_t>(upTo(16) + 1));
      for (auto& byte : in)
        byte = uint8_t(rng());
      ASSERT_EQ(S->Write(in.data(), int64_t(in.size())), int64_t(in.size()));
      model.resize(std::max(model.size(), size_t(pos) + in.size()));
      std::copy(in.begin(), in.end(), model.begin() + pos);
      pos += int64_t(in.size());
    }
    if (op > 4) {
      const int64_t n = rng() % 4 ? upTo(40) : upTo(3 * kWindow / 2);
      const Bytes got = ReadNext(n);
      ASSERT_EQ(got, Pread(name, pos, n)) << "step " << step << " at " << pos;
      pos += int64_t(got.size());
    }
    ASSERT_EQ(S->Position(), pos) << "step " << step;
  }
  EXPECT_EQ(Pread(name, 0, int64_t(model.size()) + 1), model);
}

INSTANTIATE_TEST_SUITE_P(Seeds, BufferedRandomWalk, ::testing::Values(1u, 2u, 3u, 4u));

} // namespace
} // namespace clw
