#include "mp4/AacDecoder.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace clw {

namespace {

// The library's bit reader fetches whole words ahead of the bit it is at; zeroed bytes
// behind the copy keep those reads inside the buffer and never complete a cut-off frame.
constexpr size_t kPadding = 32;
constexpr uint32_t kMaxFrameBytesPerChannel = FAAD_MIN_STREAMSIZE;
// The most one decode can write: 2048 samples (1024 doubled by SBR) of each of the
// library's 64 channels, 16-bit, or 8 bytes each when the output format cannot be set.
// Some builds (2.10 among them) size their own sample buffer for the SBR state of the
// first frame, and garbage that switches SBR on later makes them write past it.
constexpr size_t kMaxSamples = 2048 * 64;

// Builds from before the NeAACDec prefix export the same functions as faacDec*; an entry
// point without an old name stays null in them.
template <class T>
void Bind(void* Handle, bool OldNames, T& Entry, const char* Name, const char* OldName = nullptr) {
  const char* name = OldNames ? OldName : Name;
  Entry = name ? reinterpret_cast<T>(::dlsym(Handle, name)) : nullptr;
}

void BindAll(TAacLibrary& lib, bool OldNames) {
  void* h = lib.Handle;
  Bind(h, OldNames, lib.NeAACDecGetErrorMessage, "NeAACDecGetErrorMessage");
  Bind(h, OldNames, lib.NeAACDecOpen, "NeAACDecOpen", "faacDecOpen");
  Bind(h, OldNames, lib.NeAACDecGetCurrentConfiguration, "NeAACDecGetCurrentConfiguration",
       "faacDecGetCurrentConfiguration");
  Bind(h, OldNames, lib.NeAACDecSetConfiguration, "NeAACDecSetConfiguration",
       "faacDecSetConfiguration");
  Bind(h, OldNames, lib.NeAACDecInit, "NeAACDecInit", "faacDecInit");
  Bind(h, OldNames, lib.NeAACDecInit2, "NeAACDecInit2", "faacDecInit2");
  Bind(h, OldNames, lib.NeAACDecClose, "NeAACDecClose", "faacDecClose");
  Bind(h, OldNames, lib.NeAACDecDecode, "NeAACDecDecode", "faacDecDecode");
  Bind(h, OldNames, lib.NeAACDecDecode2, "NeAACDecDecode2");
  Bind(h, OldNames, lib.NeAACDecAudioSpecificConfig, "NeAACDecAudioSpecificConfig");
  lib.OldNames = OldNames;
}

bool CanDecode(const TAacLibrary& Library) {
  return Library.NeAACDecOpen && Library.NeAACDecInit2 && Library.NeAACDecDecode &&
         Library.NeAACDecClose;
}

struct TCandidate {
  const char* Name;
  bool TryOldNames;
};

} // namespace

TAacLibrary::~TAacLibrary() {
  if (Handle) ::dlclose(Handle);
}

std::unique_ptr<TAacLibrary> TAacLibrary::Open(const std::string& Choice) {
  auto library = std::make_unique<TAacLibrary>();
  if (Choice == "none") return library;
  std::vector<TCandidate> candidates;
  if (Choice.empty())
    candidates = {{"libfaad.so.2", false}, {"libfaad.so.0", true}, {"libfaad.so", true}};
  else
    candidates = {{Choice.c_str(), true}};
  for (const TCandidate& candidate : candidates) {
    library->Handle = ::dlopen(candidate.Name, RTLD_NOW | RTLD_LOCAL);
    if (!library->Handle) continue;
    BindAll(*library, false);
    if (!CanDecode(*library) && candidate.TryOldNames) BindAll(*library, true);
    if (CanDecode(*library)) {
      library->Loaded = true;
      return library;
    }
    ::dlclose(library->Handle);
    library->Handle = nullptr;
    library = std::make_unique<TAacLibrary>();
  }
  return library;
}

const TAacLibrary* AacLibrary() {
  static const std::unique_ptr<TAacLibrary> library = [] {
    const char* choice = std::getenv("CLIPWRIGHT_FAAD");
    return TAacLibrary::Open(choice ? choice : "");
  }();
  return library->Loaded ? library.get() : nullptr;
}

TAacDecoder::TAacDecoder(const TAacLibrary* Library) : FLibrary(Library) {}

TAacDecoder::~TAacDecoder() {
  Close();
}

void TAacDecoder::Close() {
  if (FHandle) FLibrary->NeAACDecClose(FHandle);
  FHandle = nullptr;
  FSampleRate = 0;
  FChannels = 0;
}

bool TAacDecoder::Init(const uint8_t* Config, size_t Size) {
  Close();
  FConfigBytes.assign(Config, Config + (Config ? Size : 0));
  FConfig = {};
  if (!ParseAudioSpecificConfig(FConfigBytes.data(), FConfigBytes.size(), FConfig)) FConfig = {};
  return OpenInstance();
}

bool TAacDecoder::Reset() {
  Close();
  return OpenInstance();
}

bool TAacDecoder::OpenInstance() {
  if (!FLibrary || !FLibrary->Loaded || FConfigBytes.empty()) return false;
  FHandle = FLibrary->NeAACDecOpen();
  if (!FHandle) return false;
  bool shortSamples = false;
  if (FLibrary->NeAACDecGetCurrentConfiguration && FLibrary->NeAACDecSetConfiguration) {
    NeAACDecConfigurationPtr settings = FLibrary->NeAACDecGetCurrentConfiguration(FHandle);
    if (settings) {
      settings->outputFormat = FAAD_FMT_16BIT;
      shortSamples = FLibrary->NeAACDecSetConfiguration(FHandle, settings) != 0;
    }
  }
  // Init2 takes a writable buffer; it gets a padded copy, never the caller's bytes.
  std::vector<uint8_t> config(FConfigBytes.size() + kPadding, 0);
  std::memcpy(config.data(), FConfigBytes.data(), FConfigBytes.size());
  unsigned long sampleRate = 0;
  unsigned char channels = 0;
  if (FLibrary->NeAACDecInit2(FHandle, config.data(), (unsigned long)FConfigBytes.size(),
                              &sampleRate, &channels) != 0) {
    Close();
    return false;
  }
  FSampleRate = uint32_t(std::min<unsigned long>(sampleRate, 0xFFFFFFFFu));
  FChannels = channels;
  // A program config element can lay out more channels than the library decodes (64).
  const unsigned layout = std::max<unsigned>({FChannels, FConfig.Channels, 1u});
  FMaxFrameSize = kMaxFrameBytesPerChannel * std::min(layout, 64u);
  FBuffer.assign(FMaxFrameSize + 2 * kPadding, 0);
  if (FLibrary->NeAACDecDecode2) FSamples.resize(kMaxSamples * (shortSamples ? 2 : 8));
  return true;
}

uint32_t TAacDecoder::Decode(const uint8_t* Data, size_t Available) {
  if (!FHandle || !Data || Available == 0) return 0;
  const size_t n = std::min<size_t>(Available, FMaxFrameSize);
  std::memcpy(FBuffer.data(), Data, n);
  std::memset(FBuffer.data() + n, 0, 2 * kPadding);
  NeAACDecFrameInfo info;
  std::memset(&info, 0, sizeof(info));
  const auto size = (unsigned long)(n + kPadding);
  if (FLibrary->NeAACDecDecode2) {
    void* samples = FSamples.data();
    FLibrary->NeAACDecDecode2(FHandle, &info, FBuffer.data(), size, &samples, FSamples.size());
  } else {
    FLibrary->NeAACDecDecode(FHandle, &info, FBuffer.data(), size);
  }
  if (info.error != 0 || info.bytesconsumed == 0 || info.bytesconsumed > n) return 0;
  // The library skips an ID3v1 tag ("TAG" and 128 bytes) without an error.
  if (info.bytesconsumed == 128 && n >= 3 && std::memcmp(Data, "TAG", 3) == 0) return 0;
  return uint32_t(info.bytesconsumed);
}

} // namespace clw
