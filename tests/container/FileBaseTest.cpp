#include "container/HgFileBase.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace clw {
namespace {

namespace fs = std::filesystem;

class TStubReader : public THgFileReader {
public:
  int32_t Analyze(uint8_t) override {
    Progress(50); // must be harmless while OnProgress is empty
    return kDone;
  }
  void DumpInfo(const std::string&) override {}
};

class TStubWriter : public THgFileWriter {
public:
  int32_t Write() override {
    Progress(100);
    ReferenceNeeded();
    return kDone;
  }
  using THgFileWriter::CreateOutput;
};

// Cancel is called from inside a progress handler; a later Cancel(false) from another
// path must not undo a request that is still pending.
TEST(FileBase, CancelFalseNeverClearsARequest) {
  TStubReader reader;
  TStubWriter writer;
  reader.Cancel(true);
  writer.Cancel(true);
  reader.Cancel(false);
  writer.Cancel(false);
  EXPECT_TRUE(reader.Cancelled && writer.Cancelled);
  EXPECT_EQ(reader.Analyze(0) + writer.Write(), kDone); // events unassigned: no call
}

TEST(FileBase, CreateOutputTruncatesAnExistingFile) {
  const fs::path dir = fs::path(CLIPWRIGHT_TEST_WORK_DIR) / "FileBase";
  fs::create_directories(dir);
  const std::string name = (dir / "out (copy).avi").string();
  std::ofstream(name, std::ios::binary) << std::string(1000, 'x');

  auto out = TStubWriter::CreateOutput(name);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->Size(), 0);
  EXPECT_EQ(out->Write("RIFF", 4), 4);
  out.reset();
  EXPECT_EQ(fs::file_size(name), 4u);
  EXPECT_THROW(TStubWriter::CreateOutput((dir / "missing" / "x.avi").string()), EFCreateError);
}

} // namespace
} // namespace clw
