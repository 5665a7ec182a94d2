// Judging the box tree after the walk: which media-data regions found after damage hold
// together, which boxes are out of order or overlap the next one, and, when the walk met
// damage, the nesting rebuilt from the positions of the boxes that were kept.
#include "mp4/HgMP4File.h"

#include "mp4/Mp4BoxTypes.h"

#include <utility>
#include <vector>

namespace clw {

namespace {

// A region found after damage that ends the file is believed only when it is this small:
// a large one running to the end is more likely a size gone wrong than a whole box.
constexpr int64_t kLastRegionLimit = 0x100000;

constexpr int32_t kJudged = nfMediaData | nfDropped;

} // namespace

void THgMP4FileReader::JudgeTree(uint8_t Mode) {
  if ((Mode == 2 || Mode == 3) && !DumpFileName.empty()) WriteDebugDump();
  const int32_t count = int32_t(Count());
  const int64_t fileSize = int64_t(FileSize);
  // The media-data node stands for the bytes that were scanned, not for a box of the file:
  // it starts where the box it was made for starts, so the rules below, made for boxes,
  // would drop it as lying inside that box or as out of order.
  const int32_t media = Scan.MediaDataNode;
  auto judged = [&](int32_t i) { return (Flags(i) & kJudged) != 0 || i == media; };

  // A region taken after damage is sound when the next box starts exactly where it ends;
  // whatever the scan found inside it is then part of its data.
  for (int32_t i = 0; i < count; ++i) {
    const int32_t flags = Flags(i);
    if ((flags & nfMediaData) == 0 || (flags & nfDropped) != 0) continue;
    if (IsContainerBoxType(Id(i))) {
      SetFlags(i, flags & nfLargeHeader);
      continue;
    }
    const int64_t end = NodeEnd(i);
    int32_t next = i + 1;
    while (next < count && NodeStart(next) < end)
      ++next;
    const bool sound =
        next < count ? NodeStart(next) == end : end == fileSize && Size(i) < kLastRegionLimit;
    if (!sound) continue;
    SetFlags(i, flags & nfLargeHeader);
    for (int32_t k = i + 1; k < next; ++k)
      if (k != media) SetFlags(k, Flags(k) | nfDropped);
  }

  // Boxes come in file order; one that starts before the data of the box kept before it
  // cannot be where it claims to be.
  int64_t lastData = -1;
  for (int32_t i = 0; i < count; ++i) {
    if (judged(i)) continue;
    if (NodeStart(i) >= lastData)
      lastData = DataPosition(i);
    else
      SetFlags(i, Flags(i) | kJudged);
  }

  // The kept boxes now start in increasing order, so a box that overlaps any later one
  // overlaps the next one. Only containers may hold other boxes.
  std::vector<int32_t> kept;
  for (int32_t i = 0; i < count; ++i)
    if (!judged(i)) kept.push_back(i);
  for (size_t k = 0; k + 1 < kept.size(); ++k) {
    const int32_t box = kept[k];
    const int64_t nextStart = NodeStart(kept[k + 1]);
    if (!IsContainerBoxType(Id(box)) && nextStart >= NodeStart(box) && nextStart < NodeEnd(box))
      SetFlags(box, Flags(box) | kJudged);
  }

  if (Atoms && Atoms->ScanMode) RebuildHierarchy();
}

void THgMP4FileReader::RebuildHierarchy() {
  const int32_t count = int32_t(Count());
  int32_t previous = -1;
  for (int32_t i = 0; i < count; ++i) {
    if ((Flags(i) & kJudged) != 0 || i == Scan.MediaDataNode) continue;
    if (previous >= 0 && NodeEnd(i) <= NodeEnd(previous))
      SetFlags(previous, Flags(previous) | nfEncloses);
    previous = i;
  }

  THgChunkTree tree;
  std::vector<int32_t> newIndex(size_t(count), -1);
  // Open boxes of the new tree with their ends, innermost last.
  std::vector<std::pair<int32_t, int64_t>> open;
  for (int32_t i = 0; i < count; ++i) {
    const int32_t flags = Flags(i);
    if ((flags & nfDropped) != 0) continue;
    const TFourCC type = Id(i);
    const int64_t start = NodeStart(i);
    // "meta" stands at the top of a file and inside "moov" and "udta" alike.
    if (IsTopLevelBoxType(type) && type != kmeta) {
      open.clear();
    } else {
      while (!open.empty() && open.back().second <= start)
        open.pop_back();
    }
    const int32_t node = tree.AddNode(open.empty() ? -1 : open.back().first, type,
                                      TFourCC(open.size()), DataPosition(i), Size(i));
    tree.SetFlags(node, flags & ~kJudged);
    newIndex[size_t(i)] = node;
    if ((flags & nfEncloses) != 0) open.emplace_back(node, NodeEnd(i));
  }
  Scan.MediaDataNode = IsNode(Scan.MediaDataNode) ? newIndex[size_t(Scan.MediaDataNode)] : -1;
  static_cast<THgChunkTree&>(*this) = std::move(tree);
}

} // namespace clw
