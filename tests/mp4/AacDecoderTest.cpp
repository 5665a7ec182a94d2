// The run-time binding of the AAC decoder: which library specs load, and that a decoder
// whose configuration was refused never calls into the library.
#include "mp4/AacDecoder.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace clw::test {
namespace {

const uint8_t kLcStereo48k[] = {0x11, 0x90};

// The file the system's library was found in, for opening it by path.
std::string SystemLibraryPath() {
  const auto system = TAacLibrary::Open("");
  Dl_info info{};
  if (!system->Loaded || ::dladdr(reinterpret_cast<void*>(system->NeAACDecOpen), &info) == 0)
    return "";
  return info.dli_fname ? info.dli_fname : "";
}

TEST(AacLibraryTest, LoadsOnlyALibraryWithTheDecoderEntryPoints) {
  const std::pair<std::string, bool> specs[] = {{"", true},
                                                {SystemLibraryPath(), true},
                                                {"none", false},
                                                {"/nonexistent/libfaad.so.2", false},
                                                {"libm.so.6", false}};
  for (const auto& [spec, loaded] : specs) {
    SCOPED_TRACE(spec);
    const auto library = TAacLibrary::Open(spec);
    EXPECT_EQ(library->Loaded, loaded);
    EXPECT_FALSE(library->OldNames);
    // A decoder on whatever was loaded works only with a whole binding, and never crashes.
    TAacDecoder decoder(library->Loaded ? library.get() : nullptr);
    EXPECT_EQ(decoder.Init(kLcStereo48k, sizeof kLcStereo48k), loaded);
    const std::vector<uint8_t> bytes(64, 0x21);
    EXPECT_EQ(decoder.Decode(bytes.data(), bytes.size()), 0u);
  }
}

// The system binding, with decode entries that count their calls.
struct TCountingLibrary {
  TCountingLibrary() {
    Library.Loaded = System->Loaded;
    Library.NeAACDecOpen = System->NeAACDecOpen;
    Library.NeAACDecInit2 = System->NeAACDecInit2;
    Library.NeAACDecClose = System->NeAACDecClose;
    Library.NeAACDecDecode = &Decode;
    Library.NeAACDecDecode2 = &Decode2;
    Calls = 0;
  }
  static void* Decode(NeAACDecHandle H, NeAACDecFrameInfo* I, unsigned char* B, unsigned long S) {
    ++Calls;
    return System->NeAACDecDecode(H, I, B, S);
  }
  static void* Decode2(NeAACDecHandle H, NeAACDecFrameInfo* I, unsigned char* B, unsigned long S,
                       void** Samples, unsigned long Size) {
    ++Calls;
    return System->NeAACDecDecode2(H, I, B, S, Samples, Size);
  }
  static inline std::unique_ptr<TAacLibrary> System = TAacLibrary::Open("");
  static inline int Calls = 0;
  TAacLibrary Library;
};

TEST(AacDecoderTest, RefusedConfigurationKeepsDecodeOutOfTheLibrary) {
  const std::vector<uint8_t> corrupt[] = {
      {}, {0x11}, {0x16, 0x90} /* reserved rate index */, {0x11, 0xF8} /* 15 channels */};
  for (const std::vector<uint8_t>& config : corrupt) {
    TCountingLibrary counting;
    ASSERT_TRUE(counting.Library.Loaded);
    TAacDecoder decoder(&counting.Library);
    EXPECT_FALSE(decoder.Init(config.data(), config.size()));
    EXPECT_FALSE(decoder.Reset());
    const std::vector<uint8_t> bytes(2048, 0x21);
    EXPECT_EQ(decoder.Decode(bytes.data(), bytes.size()), 0u);
    EXPECT_EQ(TCountingLibrary::Calls, 0);
    // The same decoder, given a good configuration, does call it.
    ASSERT_TRUE(decoder.Init(kLcStereo48k, sizeof kLcStereo48k));
    decoder.Decode(bytes.data(), bytes.size());
    EXPECT_EQ(TCountingLibrary::Calls, 1);
  }
}

} // namespace
} // namespace clw::test
