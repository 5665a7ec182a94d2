#pragma once
// Finds raw AAC frames (raw_data_blocks without ADTS headers) in the media data between
// video chunks, so the audio of a file without its movie header can get a sample table.
// The decoder tells where each frame ends; the parser finds where runs of frames start,
// also after stretches of bytes that are not audio (video the scan missed, garbage).
#include "mp4/AacDecoder.h"
#include "streams/Stream64.h"

#include <cstdint>
#include <vector>

namespace clw {

struct TAacFrame {
  uint64_t Offset = 0;
  uint32_t Size = 0;
  bool operator==(const TAacFrame&) const = default;
};
// Frames that follow each other without a byte between them.
using TAacFrameRun = std::vector<TAacFrame>;

class TAacFrameParser {
public:
  // Decoder: already Init-ed; the parser re-opens it (Reset) whenever garbage spoiled it.
  TAacFrameParser(TStream64& Source, TAacDecoder& Decoder);
  // Appends to Runs, in file order, the AAC frames found in [Offset, Offset + Length).
  // False when stopped by *Cancelled (what was found stays).
  bool Parse(uint64_t Offset, uint64_t Length, std::vector<TAacFrameRun>& Runs);
  const bool* Cancelled = nullptr; // polled at least every 64 KiB of work

private:
  bool Stopped() const { return Cancelled && *Cancelled; }
  const uint8_t* Bytes(uint64_t Pos, size_t Need, size_t& Available);
  uint64_t NextCandidate(uint64_t Pos);
  bool Plausible(const uint8_t* Data, size_t Size) const;
  uint32_t FrameAt(uint64_t Pos);
  size_t Chain(uint64_t Pos, TAacFrame (&Frames)[3]);
  void Learn(const TAacFrame& Frame);
  bool DecoderGood();

  TStream64& FSource;
  TAacDecoder& FDecoder;

  // The window of the range in memory: 64 KiB, plus room for three frames at its end.
  std::vector<uint8_t> FWindow;
  uint64_t FWindowStart = 0;
  size_t FWindowBytes = 0;
  uint64_t FEnd = 0; // of the range, or of the file when that ends first
  uint32_t FMaxFrame = 0;
  size_t FChainSpan = 0;

  // What a frame's first bits can be under this configuration.
  uint8_t FFirstElements = 0xFF; // bit n: syntax element id n may come first
  bool FCheckSyntax = false;     // the element ids and ics_info of the AAC family apply
  bool FLowComplexity = false;   // no prediction data
  bool FMono = false;
  uint8_t FSampleRateIndex = 0;

  // The top seven bits (element id and instance tag) most frames found start with.
  uint32_t FPrefixCounts[128] = {};
  uint8_t FPrefix = 0;
  uint32_t FFramesFound = 0;

  // A frame the decoder must accept while it is in a good state; empty when none is known.
  std::vector<uint8_t> FCanary;
};

} // namespace clw
