#pragma once
// Box headers inside damaged media data. Once the box structure is known to be broken, the
// media-data scan registers every plausible header of a known box type it meets, since a
// recording that was cut or overwritten may go on with boxes of its own. The test runs at
// every offset of gigabytes of compressed data beside the search for candidates, so it
// passes over nearly every offset by the first three characters of the type, 32 or 64
// offsets at a time.
#include "mp4repair/SearchWidth.h"
#include "streams/FourCC.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace clw {

struct TFoundBox {
  uint64_t Position = 0; // of the header
  uint64_t Size = 0;     // as the header gives it
  TFourCC Type = 0;
  bool Large = false; // a 64-bit size follows the type
};

// Appends the plausible box headers at buffer positions [From, To) (file offset Base + q)
// to Out, in position order. Reads the buffer up to To + 15.
void FindBoxHeaders(const uint8_t* Buf, size_t From, size_t To, uint64_t Base,
                    std::vector<TFoundBox>& Out);
// FindBoxHeaders the way Width says (no wider than WidestSearch()); FindBoxHeaders runs
// the widest.
void FindBoxHeadersAs(TSearchWidth Width, const uint8_t* Buf, size_t From, size_t To, uint64_t Base,
                      std::vector<TFoundBox>& Out);

} // namespace clw
