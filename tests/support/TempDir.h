#pragma once
// A scratch folder per test under the build tree, emptied when the test starts and removed
// when it passes (a failed test's folder stays for a look).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace clw::test {

inline std::filesystem::path ScratchDirOf(const ::testing::TestInfo& Info) {
  std::string name = std::string(Info.test_suite_name()) + "." + Info.name();
  for (char& c : name)
    if (c == '/') c = '_';
  return std::filesystem::path(CLIPWRIGHT_TEST_WORK_DIR) / name;
}

inline std::filesystem::path ScratchDir() {
  const auto dir = ScratchDirOf(*::testing::UnitTest::GetInstance()->current_test_info());
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
