#pragma once
// The FAAD2 AAC decoder, bound at run time. Finding where raw AAC frames begin and end
// takes a real decoder, but the program must start and repair video without one, so the
// library is opened with dlopen and never linked.
#include "mp4/AacConfig.h"

#include <neaacdec.h>

// The header's short object-type and header-type macros would rename any identifier of
// that spelling in every file that includes this one.
#undef MAIN
#undef LC
#undef SSR
#undef LTP
#undef HE_AAC
#undef ER_LC
#undef ER_LTP
#undef LD
#undef DRM_ER_LC
#undef RAW
#undef ADIF
#undef ADTS
#undef LATM
#undef AudioSpecificConfig

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace clw {

// One opened copy of the library and its entry points. An entry point the library does not
// export stays null; Loaded says the ones this program calls (open, Init2, decode, close)
// are all there.
struct TAacLibrary {
  TAacLibrary() = default;
  ~TAacLibrary();
  TAacLibrary(const TAacLibrary&) = delete;
  TAacLibrary& operator=(const TAacLibrary&) = delete;

  // Choice "": the system's library by name; "none": no library; anything else: that file.
  static std::unique_ptr<TAacLibrary> Open(const std::string& Choice);

  bool Loaded = false;
  void* Handle = nullptr; // from dlopen
  bool OldNames = false;  // bound through the faacDec* names of very old builds

  decltype(&::NeAACDecGetErrorMessage) NeAACDecGetErrorMessage = nullptr;
  decltype(&::NeAACDecOpen) NeAACDecOpen = nullptr;
  decltype(&::NeAACDecGetCurrentConfiguration) NeAACDecGetCurrentConfiguration = nullptr;
  decltype(&::NeAACDecSetConfiguration) NeAACDecSetConfiguration = nullptr;
  decltype(&::NeAACDecInit) NeAACDecInit = nullptr;
  decltype(&::NeAACDecInit2) NeAACDecInit2 = nullptr;
  decltype(&::NeAACDecClose) NeAACDecClose = nullptr;
  decltype(&::NeAACDecDecode) NeAACDecDecode = nullptr;
  decltype(&::NeAACDecDecode2) NeAACDecDecode2 = nullptr; // not in old builds
  decltype(&::NeAACDecAudioSpecificConfig) NeAACDecAudioSpecificConfig = nullptr;
};

// The process-wide binding, made on first use. The environment variable CLIPWRIGHT_FAAD
// chooses it: unset or empty, the system's libfaad; "none", no decoder (AAC audio is then
// not delimited); anything else, the path of a libfaad to open. Null when none was loaded.
const TAacLibrary* AacLibrary();

// One decoder instance on a library, set up from an AudioSpecificConfig. Decode tells
// whether the bytes at a position are one raw AAC frame and how long it is.
class TAacDecoder {
public:
  explicit TAacDecoder(const TAacLibrary* Library); // null: nothing decodes
  ~TAacDecoder();
  TAacDecoder(const TAacDecoder&) = delete;
  TAacDecoder& operator=(const TAacDecoder&) = delete;

  // Opens a decoder instance and initialises it with Init2 on Config. False when there is
  // no library or it refuses the configuration; Decode then never calls into it.
  bool Init(const uint8_t* Config, size_t Size);
  // Re-opens with the configuration of the last Init: undecodable bytes can leave state
  // behind (an SBR element, a channel layout) that makes the library refuse real frames.
  bool Reset();
  bool Ready() const { return FHandle != nullptr; }

  // As Init2 reported them: the output rate (twice the core rate with SBR, also when the
  // library assumes SBR may be present), the output channels (mono counts 2 in builds that
  // decode parametric stereo).
  uint32_t SampleRate() const { return FSampleRate; }
  uint8_t Channels() const { return FChannels; }
  // The configuration as read here; ObjectType 0 when it could not be read.
  const TAacConfig& Config() const { return FConfig; }
  // The most bytes one frame can take: 768 per channel.
  uint32_t MaxFrameSize() const { return FMaxFrameSize; }

  // Decodes the one raw frame at Data; returns its length, or 0 when the bytes are not a
  // frame that ends within Available. Reads at most MaxFrameSize() bytes of Data; the
  // library itself only ever sees an internal copy with zeroed padding behind it, and
  // writes its samples into a buffer sized for the largest frame any state can produce.
  uint32_t Decode(const uint8_t* Data, size_t Available);

private:
  void Close();
  bool OpenInstance();

  const TAacLibrary* FLibrary;
  NeAACDecHandle FHandle = nullptr;
  std::vector<uint8_t> FConfigBytes;
  TAacConfig FConfig;
  uint32_t FSampleRate = 0;
  uint8_t FChannels = 0;
  uint32_t FMaxFrameSize = 0;
  std::vector<uint8_t> FBuffer;
  std::vector<uint8_t> FSamples;
};

} // namespace clw
