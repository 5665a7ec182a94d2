// Removes a passed test's scratch folder: the suite's clips and copies run to gigabytes,
// twice over in CI (the normal and the sanitizer build).
#include "support/TempDir.h"

#include <system_error>

namespace clw::test {
namespace {

class TScratchCleanup : public ::testing::EmptyTestEventListener {
  void OnTestEnd(const ::testing::TestInfo& Info) override {
    if (!Info.result()->Passed()) return;
    std::error_code ignored;
    std::filesystem::remove_all(ScratchDirOf(Info), ignored);
  }
};

[[maybe_unused]] const bool Registered = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new TScratchCleanup);
  return true;
}();

} // namespace
} // namespace clw::test
