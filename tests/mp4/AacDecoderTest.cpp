// The run-time binding of the AAC decoder: which library choices load, and that a decoder
// whose configuration was refused never calls into the library.
#include "mp4/AacDecoder.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace clw::test {
namespace {

const uint8_t kLcStereo48k[] = {0x11, 0x90};

TEST(AacLibraryTest, LoadsOnlyALibraryWithTheDecoderEntryPoints) {
  const auto system = TAacLibrary::Open("");
  Dl_info file{}; // where the system's library was found, to open it by path
  ASSERT_TRUE(system->Loaded && ::dladdr(reinterpret_cast<void*>(system->NeAACDecOpen), &file) &&
              file.dli_fname);
  // By name or path it loads; "none", a missing file or one without the entry points do not.
  for (const std::string choice :
       {"", file.dli_fname, "none", "/nonexistent/libfaad.so.2", "libm.so.6"}) {
    SCOPED_TRACE(choice);
    const bool loaded = choice.empty() || choice == file.dli_fname;
    const auto library = TAacLibrary::Open(choice);
    EXPECT_EQ(library->Loaded, loaded);
    EXPECT_FALSE(library->OldNames);
    TAacDecoder decoder(library->Loaded ? library.get() : nullptr);
    EXPECT_EQ(decoder.Init(kLcStereo48k, sizeof kLcStereo48k), loaded);
  }
}

TEST(AacDecoderTest, RefusedConfigurationKeepsDecodeOutOfTheLibrary) {
  static int calls = 0; // decode calls that reach the library (the entry below only counts)
  const auto counting = TAacLibrary::Open("");
  ASSERT_TRUE(counting->Loaded);
  counting->NeAACDecDecode2 = nullptr;
  counting->NeAACDecDecode = [](auto...) -> void* {
    ++calls;
    return nullptr;
  };
  const std::vector<uint8_t> bytes(2048, 0x21);
  TAacDecoder decoder(counting.get());
  // No configuration at all, and one the library refuses (15 channels), each after a good one.
  for (const std::vector<uint8_t>& config : {std::vector<uint8_t>{}, {0x11, 0xF8}}) {
    ASSERT_TRUE(decoder.Init(kLcStereo48k, sizeof kLcStereo48k));
    EXPECT_FALSE(decoder.Init(config.data(), config.size()));
    EXPECT_EQ(decoder.Decode(bytes.data(), bytes.size()), 0u);
    EXPECT_FALSE(decoder.Reset());
    EXPECT_EQ(decoder.Decode(bytes.data(), bytes.size()), 0u);
  }
  EXPECT_EQ(calls, 0);
  ASSERT_TRUE(decoder.Init(kLcStereo48k, sizeof kLcStereo48k));
  decoder.Decode(bytes.data(), bytes.size());
  EXPECT_EQ(calls, 1);
}

} // namespace
} // namespace clw::test
