#pragma once
// A scratch folder per test under the build tree, emptied when the test starts.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace clw::test {

inline std::filesystem::path ScratchDir() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "." + info->name();
  for (char& c : name)
    if (c == '/') c = '_';
  const auto dir = std::filesystem::path(CLIPWRIGHT_TEST_WORK_DIR) / name;
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

inline void WriteFile(const std::filesystem::path& Path, const std::string& Bytes) {
  std::ofstream out(Path, std::ios::binary | std::ios::trunc);
  out.write(Bytes.data(), std::streamsize(Bytes.size()));
}

inline std::string ReadFile(const std::filesystem::path& Path) {
  std::ifstream in(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace clw::test
