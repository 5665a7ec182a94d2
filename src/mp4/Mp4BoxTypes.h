#pragma once
// Box types of MP4-family files (ISO base media, QuickTime, 3GPP) as the 32-bit words they
// are compared as, and the three type tables the atom stream and the file-kind detection
// judge headers by. Each table is sorted at compile time and searched by binary search.
#include "streams/FourCC.h"

#include <algorithm>
#include <array>
#include <cstddef>

namespace clw {

// Boxes that hold only other boxes.
inline constexpr TFourCC kmoov = MakeFourCC("moov");
inline constexpr TFourCC ktrak = MakeFourCC("trak");
inline constexpr TFourCC kmdia = MakeFourCC("mdia");
inline constexpr TFourCC kminf = MakeFourCC("minf");
inline constexpr TFourCC kdinf = MakeFourCC("dinf");
inline constexpr TFourCC kstbl = MakeFourCC("stbl");
inline constexpr TFourCC kedts = MakeFourCC("edts");

// Top-level boxes besides "moov".
inline constexpr TFourCC kftyp = MakeFourCC("ftyp");
inline constexpr TFourCC kstyp = MakeFourCC("styp");
inline constexpr TFourCC kpdin = MakeFourCC("pdin");
inline constexpr TFourCC ksidx = MakeFourCC("sidx");
inline constexpr TFourCC kssix = MakeFourCC("ssix");
inline constexpr TFourCC kprft = MakeFourCC("prft");
inline constexpr TFourCC kmoof = MakeFourCC("moof");
inline constexpr TFourCC kmfra = MakeFourCC("mfra");
inline constexpr TFourCC kmdat = MakeFourCC("mdat");
inline constexpr TFourCC kfree = MakeFourCC("free");
inline constexpr TFourCC kskip = MakeFourCC("skip");
inline constexpr TFourCC kjunk = MakeFourCC("junk");
inline constexpr TFourCC kwide = MakeFourCC("wide");
inline constexpr TFourCC kpnot = MakeFourCC("pnot");
inline constexpr TFourCC kpict = MakeFourCC("pict");
inline constexpr TFourCC kmeta = MakeFourCC("meta");
inline constexpr TFourCC kmeco = MakeFourCC("meco");
inline constexpr TFourCC kuuid = MakeFourCC("uuid");

// Headers and sample tables.
inline constexpr TFourCC kmvhd = MakeFourCC("mvhd");
inline constexpr TFourCC ktkhd = MakeFourCC("tkhd");
inline constexpr TFourCC kmdhd = MakeFourCC("mdhd");
inline constexpr TFourCC khdlr = MakeFourCC("hdlr");
inline constexpr TFourCC kvmhd = MakeFourCC("vmhd");
inline constexpr TFourCC ksmhd = MakeFourCC("smhd");
inline constexpr TFourCC kstsd = MakeFourCC("stsd");
inline constexpr TFourCC kstts = MakeFourCC("stts");
inline constexpr TFourCC kctts = MakeFourCC("ctts");
inline constexpr TFourCC kstss = MakeFourCC("stss");
inline constexpr TFourCC kstsc = MakeFourCC("stsc");
inline constexpr TFourCC kstsz = MakeFourCC("stsz");
inline constexpr TFourCC kstco = MakeFourCC("stco");
inline constexpr TFourCC kco64 = MakeFourCC("co64");
inline constexpr TFourCC ksdtp = MakeFourCC("sdtp");
inline constexpr TFourCC kstz2 = MakeFourCC("stz2");
inline constexpr TFourCC kelst = MakeFourCC("elst");
inline constexpr TFourCC kdref = MakeFourCC("dref");
inline constexpr TFourCC kurl = MakeFourCC("url ");

// Inside sample descriptions. QuickTime sound descriptions keep their decoder atoms
// ("esds" among them) in "wave".
inline constexpr TFourCC kwave = MakeFourCC("wave");
inline constexpr TFourCC kesds = MakeFourCC("esds");

// iTunes-style metadata items start with the byte 0xA9 (the copyright sign in Mac Roman).
inline constexpr uint8_t kMetadataLead = 0xA9;
constexpr TFourCC MakeA9FourCC(const char (&rest)[4]) {
  return MakeFourCC(char(kMetadataLead), rest[0], rest[1], rest[2]);
}

namespace detail {
template <size_t N> constexpr std::array<TFourCC, N> Sorted(std::array<TFourCC, N> types) {
  std::sort(types.begin(), types.end());
  return types;
}
} // namespace detail

// Types that may open an MP4-family file and stand at the top level of one.
inline constexpr auto kTopLevelBoxTypes =
    detail::Sorted<19>({kftyp, kstyp, kpdin, ksidx, kmoov, kmoof, kmfra, kfree, kskip, kjunk, kwide,
                        kpnot, kpict, kmeta, kmeco, kssix, kprft, kuuid, kmdat});

// Types whose payload is walked as a list of boxes.
inline constexpr auto kContainerBoxTypes =
    detail::Sorted<7>({kmdia, kdinf, kminf, ktrak, kstbl, kedts, kmoov});

// Sample tables: they grow with the length of the recording (an hour of 60 fps video is
// 216,000 samples), where every other box but the media data and the containers is small.
inline constexpr auto kSampleTableBoxTypes =
    detail::Sorted<9>({kstsz, kstz2, kstco, kco64, kstts, kctts, kstss, kstsc, ksdtp});

// The largest size a header of a type is believed for. Headers, descriptions and
// metadata stay under 1 MiB; a sample table under 8 MiB holds two million entries, more
// than nine hours at 60 frames. Beyond that a size field has gone wrong.
inline constexpr uint64_t kPlainBoxLimit = 0x100000;
inline constexpr uint64_t kSampleTableLimit = 0x800000;

// Types whose payload can be far beyond the usual header size (media data and sample
// tables): a scan of damaged bytes accepts them at any size, where any other type above
// kScanMaxPlainSize is taken for stray letters in data.
inline constexpr uint64_t kScanMaxPlainSize = 0x20000;

// The letters a box type is made of: ASCII letters and digits, and for iTunes-style
// metadata items a lead byte of 0xA9.
constexpr bool IsBoxTypeChar(uint8_t c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
constexpr bool IsBoxTypeLead(uint8_t c) {
  return IsBoxTypeChar(c) || c == kMetadataLead;
}

// Every type a header is believed for when the structure is read strictly.
inline constexpr auto kKnownBoxTypes = detail::Sorted<120>(
    {MakeFourCC("cmov"), MakeFourCC("cmvd"), kctts, MakeFourCC("dcom"), kedts, MakeFourCC("elst"),
     MakeFourCC("esds"), MakeFourCC("gama"), MakeFourCC("fiel"), MakeFourCC("mjqt"),
     MakeFourCC("mjht"), MakeFourCC("m4ds"), kfree, kftyp, kstyp, MakeFourCC("gmhd"), khdlr,
     MakeFourCC("iods"), kjunk, kmdat, kmdhd, kmdia, kminf, kmoov, kmvhd, kpict, kpnot,
     MakeFourCC("rdrf"), MakeFourCC("rmcd"), MakeFourCC("rmcs"), MakeFourCC("rmda"),
     MakeFourCC("rmdr"), MakeFourCC("rmqu"), MakeFourCC("rmra"), MakeFourCC("rmvc"), kskip, ksmhd,
     kstbl, kstco, kco64, kstsc, kstsd, ksdtp, MakeFourCC("sinf"), MakeFourCC("d263"),
     MakeFourCC("damr"), MakeFourCC("avcC"), MakeFourCC("btrt"), kstss, kstsz, kstts, ktkhd, ktrak,
     kuuid, kvmhd, kwide, MakeFourCC("wfex"), MakeA9FourCC("nam"), MakeA9FourCC("cpy"),
     MakeA9FourCC("des"), MakeA9FourCC("cmt"), MakeA9FourCC("alb"), MakeA9FourCC("gen"),
     MakeFourCC("gnre"), MakeA9FourCC("art"), MakeA9FourCC("too"), MakeA9FourCC("wrt"),
     MakeA9FourCC("day"), MakeFourCC("aART"), kdinf, MakeFourCC("dref"), MakeFourCC("trkn"),
     MakeFourCC("disk"), MakeFourCC("tmpo"), MakeFourCC("cprt"), MakeFourCC("cpil"),
     MakeFourCC("covr"), MakeFourCC("rtng"), MakeA9FourCC("grp"), MakeFourCC("stik"),
     MakeFourCC("pcst"), MakeFourCC("catg"), MakeFourCC("keyw"), MakeFourCC("purl"),
     MakeFourCC("egid"), MakeFourCC("desc"), MakeA9FourCC("lyr"), MakeFourCC("tvnn"),
     MakeFourCC("tvsh"), MakeFourCC("tven"), MakeFourCC("tvsn"), MakeFourCC("tves"),
     MakeFourCC("purd"), MakeFourCC("pgap"), MakeFourCC("udta"), MakeFourCC("tref"), kmeta,
     MakeFourCC("colr"), ksidx, kssix, kprft, MakeFourCC("mvex"),
     // Boxes that stock muxers and cameras write inside the tracks: sample groups (every
     // AAC track ffmpeg writes has "sgpd" and "sbgp"), sub-sample and auxiliary information,
     // composition shifts, QuickTime aperture modes, other media headers. Unknown to the
     // strict walk they would make a sound file look damaged.
     MakeFourCC("sgpd"), MakeFourCC("sbgp"), MakeFourCC("subs"), MakeFourCC("saiz"),
     MakeFourCC("saio"), MakeFourCC("cslg"), MakeFourCC("stps"), MakeFourCC("stz2"),
     MakeFourCC("padb"), MakeFourCC("tapt"), MakeFourCC("clef"), MakeFourCC("prof"),
     MakeFourCC("enof"), MakeFourCC("hmhd"), MakeFourCC("nmhd"), MakeFourCC("sthd"),
     MakeFourCC("elng"), MakeFourCC("load")});

bool IsTopLevelBoxType(TFourCC Type);
bool IsContainerBoxType(TFourCC Type);
bool IsKnownBoxType(TFourCC Type);
bool IsSampleTableBoxType(TFourCC Type);
// The headers and tables the reader reads into its tracks wherever it meets them.
bool IsReadBox(TFourCC Type);
// Media data or a sample table.
bool IsBulkBoxType(TFourCC Type);
// The largest size believed for a header of Type: unbounded for media data and containers.
uint64_t BoxSizeLimit(TFourCC Type);

} // namespace clw
