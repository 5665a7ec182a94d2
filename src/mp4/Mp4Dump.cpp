// The text dump of an analysed MP4 file: the box tree as the walk recorded it, the NAL-unit
// candidates that form runs, the zero runs, and the video slices with the audio gaps
// between them. It is read by people chasing a repair that went wrong, so every number the
// repair decided on is there.
#include "mp4/Mp4Dump.h"

#include <algorithm>
#include <string>
#include <type_traits>

namespace clw {

namespace {

// A level comes from the depth of nested boxes in a damaged file; beyond this the
// indentation says nothing more and would only make each line longer.
constexpr int32_t kMaxIndent = 256;

// Lines collect here and go to the stream in blocks: a camera file has a line for every
// candidate of a run.
class TDumpText {
public:
  explicit TDumpText(TStream64& Out) : FOut(Out) {}

  TDumpText& operator<<(const std::string& Text) {
    FText += Text;
    return *this;
  }
  TDumpText& operator<<(const char* Text) {
    FText += Text;
    return *this;
  }
  template <typename T>
  requires std::is_integral_v<T> TDumpText& operator<<(T Value) {
    FText += std::to_string(Value);
    return *this;
  }
  void EndLine() {
    FText += "\r\n";
    if (FText.size() >= kBlock) Flush();
  }
  void Flush() {
    if (!FText.empty()) FOut.Write(FText.data(), int64_t(FText.size()));
    FText.clear();
  }

private:
  static constexpr size_t kBlock = 65536;
  TStream64& FOut;
  std::string FText;
};

// Compatible brands are the rest of the "ftyp" payload as found; a damaged one may hold
// line breaks or zeros that would garble the text.
std::string Printable(const std::string& Bytes) {
  std::string text = Bytes;
  for (char& c : text)
    if (c < 0x20 || c >= 0x7F) c = '.';
  return text;
}

// What the scanner learnt about the bytes around a unit: whether an AAC frame ends right
// before it, then the top three and the next four bits of the byte after it.
std::string NeighbourText(uint8_t Neighbour) {
  std::string text = (Neighbour & TMDATChunk::kAudioEndsBefore) ? "/AFE|" : "/";
  return text + std::to_string(Neighbour >> 5) + "|" + std::to_string((Neighbour >> 1) & 0x0F);
}

std::string NalText(const TMDATChunk& Chunk) {
  return "NAL [" + std::to_string(Chunk.NalType()) + "|" + std::to_string(Chunk.SliceType & 0x0F) +
         NeighbourText(Chunk.Neighbour);
}

void WriteTree(const THgMP4FileReader& Reader, TDumpText& Text) {
  for (uint32_t i = 0; i < Reader.Count(); ++i) {
    const TChunkNode& node = Reader.Node(int32_t(i));
    // A dropped node lies inside media data or out of order, which says more than that it
    // came from a scan; so "s" wins over "*".
    Text << ((node.Flags & nfDropped) ? "s" : (node.Flags & nfMediaData) ? "*" : "");
    const uint32_t level = node.ListType;
    Text << std::string(size_t(std::min<uint32_t>(level, kMaxIndent)), ' ')
         << FourCCToString(node.Id) << ", "
         << " - " << node.DataPosition << ", " << node.Size;
    Text.EndLine();
  }
}

void WriteCandidates(const THgMP4FileReader& Reader, TDumpText& Text) {
  const TMDATChunks& chunks = Reader.Scan.MDATChunks;
  Text << "MDat Chunk Count: " << chunks.Count();
  Text.EndLine();
  // Only members of runs: the lone candidates are mostly noise from inside compressed data.
  for (uint32_t i = 0; i < chunks.Count(); ++i) {
    const TMDATChunk& c = chunks[i];
    if ((c.Flags & TMDATChunk::kRejected) || c.Run < 1) continue;
    Text << c.Position << ", " << c.Length << ", " << NalText(c) << "], RCount: " << c.Run;
    Text.EndLine();
  }
}

void WriteNullBlocks(const THgMP4FileReader& Reader, TDumpText& Text) {
  const TNullBlocks& blocks = Reader.Scan.NullBlocks;
  uint64_t total = 0;
  for (uint32_t i = 0; i < blocks.Count(); ++i)
    total += blocks[i].Length;
  Text << "NullBlock Chunk Count: " << blocks.Count() << " [" << total << "]";
  Text.EndLine();
  for (uint32_t i = 0; i < blocks.Count(); ++i) {
    Text << blocks[i].Start << ", " << blocks[i].Length;
    Text.EndLine();
  }
}

void WriteSliceMembers(const THgMP4FileReader& Reader, TDumpText& Text) {
  Text << "------ Found video chunks -------";
  Text.EndLine();
  const TMDATChunks& chunks = Reader.Scan.MDATChunks;
  for (const TMDATSlice& slice : Reader.MDATSlices) {
    const size_t count = std::min(size_t(std::max(slice.Count, 0)), slice.Members.size());
    for (size_t k = 0; k < count; ++k) {
      const int32_t member = slice.Members[k];
      if (member < 0 || uint32_t(member) >= chunks.Count()) continue;
      const TMDATChunk& c = chunks[uint32_t(member)];
      Text << c.End() << " - " << c.Position << ", " << c.Length << ", " << NalText(c) << "]";
      Text.EndLine();
    }
  }
}

// Video slices with the audio between them: "[V]" start - end [size], and before every
// slice but the first, "[A]" for the bytes since the previous one ended. A gap that comes
// out negative (slices that still overlap) is shown as such rather than wrapped.
void WriteInterleave(const THgMP4FileReader& Reader, TDumpText& Text) {
  Text << "------ Found video & audio slices -------";
  Text.EndLine();
  const TMDATSlices& slices = Reader.MDATSlices;
  for (size_t i = 0; i < slices.size(); ++i) {
    const TMDATSlice& s = slices[i];
    if (s.Count <= 0) {
      // The slice without members that closes a file whose audio precedes its video carries
      // only the tail of the media data, in its gap; its start is no position.
      Text << "[A]" << s.GapStart << " - " << s.GapStart + uint64_t(s.GapLength) << " ["
           << s.GapLength << "]";
      Text.EndLine();
      continue;
    }
    if (i > 0 && slices[i - 1].Count > 0) {
      const uint64_t prevEnd = slices[i - 1].Start + slices[i - 1].Size;
      Text << "[A]" << prevEnd << " - " << s.Start << " [" << int64_t(s.Start - prevEnd) << "]";
      Text.EndLine();
    }
    Text << "[V]" << s.Start << " - " << s.Start + s.Size << " [" << s.Size << "]";
    Text.EndLine();
  }
}

} // namespace

void WriteMp4Info(const THgMP4FileReader& Reader, TStream64& Out) {
  TDumpText text(Out);
  text << "FileSize: " << Reader.FileSize;
  text.EndLine();
  text << "FTYP: " << FourCCToString(Reader.Ftyp.MajorBrand) << ", " << Reader.Ftyp.MinorVersion
       << ", " << Printable(Reader.Ftyp.CompatibleBrands);
  text.EndLine();
  text << "Track Count: " << Reader.TrackCount();
  text.EndLine();
  text << "Atom Count: " << Reader.Count();
  text.EndLine();
  WriteTree(Reader, text);
  WriteCandidates(Reader, text);
  WriteNullBlocks(Reader, text);
  WriteSliceMembers(Reader, text);
  WriteInterleave(Reader, text);
  text.Flush();
}

void THgMP4FileReader::DumpInfo(const std::string& FileName) {
  (void)WriteInfo(FileName);
}

int32_t THgMP4FileReader::WriteInfo(const std::string& FileName) {
  try {
    // Created empty and closed first, so an older, longer dump cannot show through.
    TFileStreamW created(FileName, fmCreate);
  } catch (const EStreamError&) {
    return -1;
  }
  try {
    TFileStreamW out(FileName, fmOpenWrite | fmShareDenyNone);
    WriteMp4Info(*this, out);
  } catch (const EStreamError&) {
    return -1;
  }
  return 0;
}

} // namespace clw
