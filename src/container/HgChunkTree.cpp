#include "container/HgChunkTree.h"

#include <cstdint>
#include <new>

namespace clw {

// A tree of a long capture runs to hundreds of thousands of nodes, so the page directory
// grows by a whole page's worth of entries at a time rather than by doubling.
THgChunkTree::THgChunkTree() : Nodes(512, 512) {}

int32_t THgChunkTree::AddNode(int32_t Parent, TFourCC Id, TFourCC ListType, int64_t DataPosition,
                              int64_t Size) {
  // Indexes are signed 32-bit with -1 meaning "none"; past INT32_MAX nodes (over 100 GB
  // of nodes) the tree cannot address another one.
  if (Nodes.Count() > uint32_t(INT32_MAX)) throw std::bad_alloc();
  // A parent that does not exist (yet) cannot own the node; keeping it top-level keeps
  // it reachable instead of leaving it dangling.
  const bool topLevel = !IsNode(Parent);
  const int32_t index = int32_t(Nodes.Add());
  TChunkNode& node = Nodes[uint32_t(index)];
  node.Id = Id;
  node.DataPosition = DataPosition;
  node.Size = Size;
  node.ListType = ListType;

  if (topLevel) {
    // Node 0 is always top-level (there is no parent before it), so any later top-level
    // node has a chain end to follow.
    if (index != 0) Nodes[uint32_t(LastTopLevel)].NextSibling = index;
    LastTopLevel = index;
  } else {
    TChunkNode& parent = Nodes[uint32_t(Parent)];
    if (parent.FirstChild < 0)
      parent.FirstChild = index;
    else
      Nodes[uint32_t(parent.LastChild)].NextSibling = index;
    parent.LastChild = index;
    ++parent.ChildCount;
  }
  return index;
}

int32_t THgChunkTree::FindChild(int32_t Parent, TFourCC Id) const {
  for (int32_t i = Parent == -1 ? 0 : FirstChild(Parent); IsNode(i); i = Node(i).NextSibling)
    if (Node(i).Id == Id) return i;
  return -1;
}

int32_t THgChunkTree::FindNext(int32_t Index, TFourCC Id) const {
  for (int32_t i = NextSibling(Index); IsNode(i); i = Node(i).NextSibling)
    if (Node(i).Id == Id) return i;
  return -1;
}

int32_t THgChunkTree::FindChildWithListType(int32_t Parent, TFourCC Id, TFourCC ListType) const {
  int32_t i = FindChild(Parent, Id);
  while (i >= 0 && Node(i).ListType != ListType)
    i = FindNext(i, Id);
  return i;
}

int32_t THgChunkTree::FindNextWithListType(int32_t Index, TFourCC Id, TFourCC ListType) const {
  int32_t i = FindNext(Index, Id);
  while (i >= 0 && Node(i).ListType != ListType)
    i = FindNext(i, Id);
  return i;
}

void THgChunkTree::Clear() {
  Nodes.Clear();
  LastTopLevel = -1;
}

} // namespace clw
