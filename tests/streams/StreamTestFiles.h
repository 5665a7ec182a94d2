#pragma once
// Stream test files hold bytes that depend on their offset, so bytes copied from the wrong
// place never compare equal by accident; a hole before the pattern puts data beyond 4 GiB
// at no disk cost.
#include "support/TempDir.h"

#include <algorithm>
#include <cstdint>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace clw::test {

using Bytes = std::vector<uint8_t>;

inline Bytes Pattern(int64_t pos, int64_t n) {
  Bytes b(static_cast<size_t>(n));
  for (size_t i = 0; i < b.size(); ++i)
    b[i] = uint8_t(((uint64_t(pos) + i) * 0x9E3779B97F4A7C15ull) >> 56);
  return b;
}

inline Bytes Pread(const std::string& name, int64_t pos, int64_t n) {
  Bytes b(static_cast<size_t>(n));
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  b.resize(size_t(std::max<ssize_t>(::pread(fd, b.data(), b.size(), pos), 0)));
  ::close(fd);
  return b;
}

// The test's one file, in a fresh scratch folder: `size` bytes, a hole before `from`.
inline std::string MakeFile(int64_t size, int64_t from = 0) {
  const std::string name = (ScratchDir() / "f.bin").string();
  const int fd = ::open(name.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  const Bytes b = Pattern(from, size - from);
  EXPECT_EQ(::ftruncate(fd, size), 0);
  EXPECT_EQ(::pwrite(fd, b.data(), b.size(), from), ssize_t(b.size()));
  ::close(fd);
  return name;
}

} // namespace clw::test
