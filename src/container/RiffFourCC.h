#pragma once
// Chunk ids and list types of RIFF and AVI files, as the 32-bit words they are compared as.
#include "streams/FourCC.h"

namespace clw {

// Chunks that may appear anywhere.
inline constexpr TFourCC kRIFF = MakeFourCC("RIFF");
inline constexpr TFourCC kLIST = MakeFourCC("LIST");
inline constexpr TFourCC kJUNK = MakeFourCC("JUNK");

// Types of the "RIFF" segments: the first segment of an AVI file and its OpenDML extensions.
inline constexpr TFourCC kAVI = MakeFourCC("AVI ");
inline constexpr TFourCC kAVIX = MakeFourCC("AVIX");

// List types inside a segment.
inline constexpr TFourCC khdrl = MakeFourCC("hdrl");
inline constexpr TFourCC kstrl = MakeFourCC("strl");
inline constexpr TFourCC kmovi = MakeFourCC("movi");
inline constexpr TFourCC krec = MakeFourCC("rec ");
inline constexpr TFourCC kodml = MakeFourCC("odml");
inline constexpr TFourCC kINFO = MakeFourCC("INFO");

// Header and index chunks.
inline constexpr TFourCC kavih = MakeFourCC("avih");
inline constexpr TFourCC kstrh = MakeFourCC("strh");
inline constexpr TFourCC kstrf = MakeFourCC("strf");
inline constexpr TFourCC kdmlh = MakeFourCC("dmlh");
inline constexpr TFourCC kindx = MakeFourCC("indx");
inline constexpr TFourCC kidx1 = MakeFourCC("idx1");

// Last two characters of stream data chunks ("00dc", "01wb"): compressed and uncompressed
// video, audio, palette change; as 16-bit words, first character in the low byte.
inline constexpr uint16_t kSuffix_dc = uint16_t(MakeFourCC("dc\0\0") & 0xFFFF);
inline constexpr uint16_t kSuffix_db = uint16_t(MakeFourCC("db\0\0") & 0xFFFF);
inline constexpr uint16_t kSuffix_wb = uint16_t(MakeFourCC("wb\0\0") & 0xFFFF);
inline constexpr uint16_t kSuffix_pc = uint16_t(MakeFourCC("pc\0\0") & 0xFFFF);
// First two characters of the OpenDML standard index chunks ("ix00").
inline constexpr uint16_t kPrefix_ix = uint16_t(MakeFourCC("ix\0\0") & 0xFFFF);

// Size of the OpenDML standard index header that precedes its 8-byte entries.
inline constexpr int64_t kStdIndexHeaderSize = 32;

// "RIFF" and "LIST" carry a list type and children; every other chunk carries data.
inline constexpr bool IsListId(TFourCC Id) {
  return Id == kRIFF || Id == kLIST;
}
// The last two characters of a stream chunk id ("dc" of "00dc"), to compare with kSuffix_*.
inline constexpr uint16_t SuffixOf(TFourCC Id) {
  return uint16_t(Id >> 16);
}
// RIFF data is word-aligned: an odd-sized chunk is followed by one pad byte.
inline constexpr int64_t PaddedEnd(int64_t DataPosition, int64_t Size) {
  return DataPosition + Size + (Size & 1);
}

} // namespace clw
