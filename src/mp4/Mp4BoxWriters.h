#pragma once
// The writers of the movie and track boxes, the mirror of the readers in Mp4Tables.cpp. Each
// writes one complete box, header included, at the output's current position, turning the
// host-order record back into big-endian fields. Each answers false when the stream refused a
// write or a value cannot be represented (a table of more than 2^32 - 1 entries, a box whose
// size does not fit its 32-bit field); nothing is ever written wrapped.
//
// Counts are the sizes of the tables, never the records' EntryCount. The headers and the edit
// list keep the record's version (0 or 1) unless a value needs 64 bits, which makes them
// version 1; any other version byte (kNotRead for a record built rather than read) is
// written as version 0. The sample tables are always version 0.
#include "mp4/HgMp4Stream.h"
#include "mp4/Mp4Format.h"

#include <vector>

namespace clw {

bool WriteMvhd(THgMp4Stream& Out, const TMp4_mvhd& Mvhd);
bool WriteTkhd(THgMp4Stream& Out, const TMp4_tkhd& Tkhd);
bool WriteMdhd(THgMp4Stream& Out, const TMp4_mdhd& Mdhd);
// The 24 fixed bytes, the name, one zero byte.
bool WriteHdlr(THgMp4Stream& Out, const TMp4_hdlr& Hdlr);
// "dinf" with a "dref" of one self-contained "url " entry: the media is in this file.
bool WriteDinf(THgMp4Stream& Out);
bool WriteStts(THgMp4Stream& Out, const TMp4_stts& Stts);
bool WriteStss(THgMp4Stream& Out, const TMp4_stss& Stss);
bool WriteStsc(THgMp4Stream& Out, const TMp4_stsc& Stsc);
// The sizes are listed only when SampleSize is 0; otherwise SampleCount says how many.
bool WriteStsz(THgMp4Stream& Out, const TMp4_stsz& Stsz);
// "co64" when the largest offset is 2^32 or more, else "stco".
bool WriteStco(THgMp4Stream& Out, const TMp4_stco& Stco);
// "ctts" of one offset per sample, run-length coded; version 1 reads the offsets as signed.
bool WriteCtts(THgMp4Stream& Out, uint8_t Version, const std::vector<int32_t>& Offsets);
// "edts" holding "elst".
bool WriteEdts(THgMp4Stream& Out, const TMp4_elst& Elst);

} // namespace clw
