#include "avi/HgAVIFile.h"

#include <vector>

namespace clw {

namespace {

// Lines collect here and go to the file in blocks; a dump of a long film has a line for
// every frame.
class TDumpText {
public:
  explicit TDumpText(TStream64& Out) : FOut(Out) {}

  void Line(const std::string& Text) {
    FText += Text;
    FText += "\r\n";
    if (FText.size() >= kBlock) Flush();
  }
  void Flush() {
    const auto length = int64_t(FText.size());
    if (FOut.Write(FText.data(), length) != length)
      throw EStreamError("Cannot write the structure dump");
    FText.clear();
  }

private:
  static constexpr size_t kBlock = 65536;
  TStream64& FOut;
  std::string FText;
};

} // namespace

// The list type "AVI " ends in a space that would vanish in the text; quotes keep it.
std::string FourCCText(TFourCC Code) {
  std::string text;
  bool hasSpace = false;
  for (int i = 0; i < 4; ++i) {
    const auto c = char((Code >> (8 * i)) & 0xFF);
    hasSpace = hasSpace || c == ' ';
    text += c;
  }
  return hasSpace ? "\"" + text + "\"" : text;
}

void THgAVIFileReader::DumpInfo(const std::string& FileName) {
  (void)WriteDump(FileName);
}

int32_t THgAVIFileReader::WriteDump(const std::string& FileName) {
  try {
    TFileStreamW created(FileName, fmCreate);
  } catch (const EStreamError&) {
    return -1;
  }
  TFileStreamW out(FileName, fmOpenWrite | fmShareDenyNone);
  TDumpText dump(out);

  TStream64* source = Source();
  dump.Line("Chunk count: " + std::to_string(Count()));
  dump.Line("FileSize: " + std::to_string(source ? source->Size() : FileSize));
  dump.Line("Video codec: " + FourCCText(VideoHeader.Handler));

  // Depth first from node 0: a node, then its children, then its next sibling. The
  // leading mark shows what the analysis made of the chunk: "*" damaged, "s" skipped.
  std::vector<int32_t> parents;
  parents.reserve(512);
  std::string indent;
  int32_t node = Count() > 0 ? 0 : -1;
  while (node >= 0) {
    const TChunkNode& n = Node(node);
    std::string line = (n.Flags & cfExcluded) ? "s" : (n.Flags & cfDamaged) ? "*" : "";
    line += indent + FourCCText(n.Id);
    if (n.Id == kRIFF || n.Id == kLIST) line += ", " + FourCCText(n.ListType);
    line += " - " + std::to_string(n.DataPosition) + ", " + std::to_string(n.Size);
    dump.Line(line);

    if (n.FirstChild >= 0) {
      parents.push_back(node);
      indent += ' ';
      node = n.FirstChild;
      continue;
    }
    node = n.NextSibling;
    while (node < 0 && !parents.empty()) {
      node = NextSibling(parents.back());
      parents.pop_back();
      indent.erase(0, 1);
    }
  }
  dump.Flush();
  return 0;
}

} // namespace clw
