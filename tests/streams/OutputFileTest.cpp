// The output file of a repair: a temporary of its own, published without destroying what
// is there, removed only while it is still this file; and the reason a write failed.
#include "streams/OutputFile.h"
#include "streams/BufferedWriteStream.h"
#include "support/TempDir.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

namespace clw {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::ScratchDir;
using test::WriteFile;

std::vector<std::string> Names(const fs::path& Dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(Dir))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// /dev/full takes no byte: every write fails with "No space left on device", as a full
// disk does; the reason must survive the stream layers up to whoever reports it.
struct TFullDiskCase {
  const char* Name;
  int64_t Bytes;
  bool Buffered;
};

class FullDiskTest : public ::testing::TestWithParam<TFullDiskCase> {};

TEST_P(FullDiskTest, WriteFailureKeepsTheReason) {
  const int handle = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(handle, 0);
  THandleStream64 file(handle);
  const std::vector<uint8_t> bytes(size_t(GetParam().Bytes), 0x5A);
  if (GetParam().Buffered) {
    TBufferedWriteStream buffered(file);
    buffered.Write(bytes.data(), int64_t(bytes.size()));
    EXPECT_FALSE(buffered.Flush());
    EXPECT_EQ(buffered.OSError, ENOSPC);
  } else {
    EXPECT_LT(file.Write(bytes.data(), int64_t(bytes.size())), int64_t(bytes.size()));
  }
  EXPECT_EQ(file.OSError, ENOSPC);
  ::close(handle);
}

INSTANTIATE_TEST_SUITE_P(Writes, FullDiskTest,
                         ::testing::Values(TFullDiskCase{"direct", 100, false},
                                           TFullDiskCase{"buffered_tail", 100, true},
                                           TFullDiskCase{"buffered_past_buffer",
                                                         TBufferedWriteStream::kBufferSize, true}),
                         [](const auto& Info) { return std::string(Info.param.Name); });

class OutputFileTest : public ::testing::Test {
protected:
  void SetUp() override {
    Dir = ScratchDir();
    Final = (Dir / "clip (copy).avi").string();
  }
  void Fill(TOutputFile& Output, const std::string& Bytes) {
    ASSERT_EQ(Output.Stream().Write(Bytes.data(), int64_t(Bytes.size())), int64_t(Bytes.size()));
  }
  fs::path Dir;
  std::string Final;
};

TEST_F(OutputFileTest, TwoWritersOfOneNameGetTwoTemporaries) {
  TOutputFile first, second;
  ASSERT_TRUE(first.Create(Final));
  ASSERT_TRUE(second.Create(Final));
  EXPECT_NE(first.TemporaryName(), second.TemporaryName());
  EXPECT_EQ(fs::path(first.TemporaryName()).parent_path(), Dir);
  EXPECT_TRUE(first.TemporaryName().ends_with(TOutputFile::kTemporarySuffix));
  Fill(first, "first");
  Fill(second, "second");
  EXPECT_TRUE(first.Sync());
  EXPECT_TRUE(first.Publish(Final, false));
  // The second one finds the name taken: nothing is lost, and it can take another name.
  EXPECT_FALSE(second.Publish(Final, false));
  EXPECT_EQ(second.OSError, EEXIST);
  EXPECT_TRUE(second.Publish((Dir / "clip (copy 2).avi").string(), false));
  EXPECT_EQ(ReadFile(Final), "first");
  EXPECT_EQ(ReadFile(Dir / "clip (copy 2).avi"), "second");
  EXPECT_EQ(Names(Dir), (std::vector<std::string>{"clip (copy 2).avi", "clip (copy).avi"}));
}

TEST_F(OutputFileTest, DiscardRemovesOnlyItsOwnTemporary) {
  {
    TOutputFile output;
    ASSERT_TRUE(output.Create(Final));
    Fill(output, "half a copy");
  }
  EXPECT_TRUE(Names(Dir).empty());

  // Another file moved over the temporary's name is neither published nor removed.
  TOutputFile output;
  ASSERT_TRUE(output.Create(Final));
  const std::string temporary = output.TemporaryName();
  WriteFile(Dir / "other", "someone else's");
  fs::rename(Dir / "other", temporary);
  EXPECT_FALSE(output.Publish(Final, true));
  output.Discard();
  EXPECT_EQ(ReadFile(temporary), "someone else's");
  EXPECT_FALSE(fs::exists(Final));
}

} // namespace
} // namespace clw
