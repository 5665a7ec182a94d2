#pragma once
// Scratch files for the stream tests: a fresh folder per test, and contents that depend on
// the offset, so bytes copied from the wrong place never compare equal by accident. Files
// are sparse before the patterned range, which puts data beyond 4 GiB at no disk cost.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace clw::test {

using Bytes = std::vector<uint8_t>;

inline uint8_t PatternByte(int64_t pos) {
  return uint8_t((uint64_t(pos) * 0x9E3779B97F4A7C15ull) >> 56);
}

class ScratchDirTest : public ::testing::Test {
protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string leaf = std::string(info->test_suite_name()) + "." + info->name();
    std::replace(leaf.begin(), leaf.end(), '/', '_');
    Dir = std::filesystem::path(CLIPWRIGHT_TEST_WORK_DIR) / "streams" / leaf;
    std::filesystem::remove_all(Dir);
    std::filesystem::create_directories(Dir);
  }
  void TearDown() override { std::filesystem::remove_all(Dir); }

  std::string Path(const std::string& leaf) const { return (Dir / leaf).string(); }

  // A file of `size` bytes: zeros before `from`, the pattern from there on.
  std::string MakeFile(const std::string& leaf, int64_t size, int64_t from = 0) {
    PatternFrom = from;
    const std::string name = Path(leaf);
    const int fd = ::open(name.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
    EXPECT_EQ(::ftruncate(fd, size), 0);
    const Bytes bytes = Expected(from, size - from);
    EXPECT_EQ(::pwrite(fd, bytes.data(), bytes.size(), from), int64_t(bytes.size()));
    ::close(fd);
    return name;
  }
  Bytes Expected(int64_t pos, int64_t n) const {
    Bytes bytes(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; ++i)
      bytes[size_t(i)] = pos + i < PatternFrom ? 0 : PatternByte(pos + i);
    return bytes;
  }
  static Bytes Pread(const std::string& name, int64_t pos, int64_t n) {
    Bytes bytes(static_cast<size_t>(n));
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    bytes.resize(size_t(std::max<ssize_t>(::pread(fd, bytes.data(), bytes.size(), pos), 0)));
    ::close(fd);
    return bytes;
  }

  std::filesystem::path Dir;
  int64_t PatternFrom = 0;
};

} // namespace clw::test
