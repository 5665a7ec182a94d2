#include "container/HgFileBase.h"
#include "support/TempDir.h"

namespace clw {
namespace {

struct TStubWriter : THgFileWriter {
  int32_t Write() override { return kDone; }
  using THgFileWriter::CreateOutput;
};

// A rerun writes over the previous run's copy, which must not keep its old tail.
TEST(FileBase, CreateOutputTruncatesAnExistingFile) {
  const auto name = test::ScratchDir() / "out (copy).avi";
  test::WriteFile(name, std::string(1000, 'x'));
  auto out = TStubWriter::CreateOutput(name.string());
  ASSERT_EQ(out->Write("RIFF", 4), 4);
  out.reset();
  EXPECT_EQ(test::ReadFile(name), "RIFF");
  EXPECT_THROW(TStubWriter::CreateOutput((name / "x.avi").string()), EFCreateError);
}

} // namespace
} // namespace clw
