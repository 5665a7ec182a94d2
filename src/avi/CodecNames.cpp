#include "avi/HgAVIFile.h"

#include <array>

namespace clw {

namespace {

struct TCodecName {
  TFourCC Handler;
  const char* Name;
};

// There is no registry of installed decoders to ask here, so the names come from this
// table of the MPEG-4 codecs whose key frames the analysis understands. The spellings are
// the ones their own encoders write; the match is exact, so a handler in another letter
// case shows as its FourCC on the format line instead.
constexpr std::array<TCodecName, 16> kCodecNames = {{
    {MakeFourCC("AP41"), "Angel Potion V1"},
    {MakeFourCC("ap41"), "Angel Potion V1"},
    {MakeFourCC("AP42"), "Angel Potion V2"},
    {MakeFourCC("ap42"), "Angel Potion V2"},
    {MakeFourCC("DIV3"), "DivX V3 Low-Motion"},
    {MakeFourCC("div3"), "DivX V3 Low-Motion"},
    {MakeFourCC("DIV4"), "DivX V3 Fast-Motion"},
    {MakeFourCC("div4"), "DivX V3 Fast-Motion"},
    {MakeFourCC("MPg4"), "Microsoft MPEG4 V1"},
    {MakeFourCC("MP42"), "Microsoft MPEG4 V2"},
    {MakeFourCC("MP43"), "Microsoft MPEG4 V3"},
    {MakeFourCC("XVID"), "XviD"},
    {MakeFourCC("xvid"), "XviD"},
    {MakeFourCC("DIVX"), "DivX"},
    {MakeFourCC("divx"), "DivX"},
    {MakeFourCC("3iv2"), "3ivx"},
}};

} // namespace

std::string GetCodecName(const THgAVIFileReader& Reader) {
  for (const TCodecName& entry : kCodecNames)
    if (entry.Handler == Reader.VideoHeader.Handler) return entry.Name;
  return "";
}

} // namespace clw
