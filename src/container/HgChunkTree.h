#pragma once
// The in-memory record of a container's structure as a reader found it: one node per
// RIFF chunk or MP4 box. Every video frame is a chunk, so trees of hundreds of thousands
// of nodes are normal; nodes live in pages of 512 and are addressed by a 32-bit index.
// Nothing is removed except by clearing the whole tree.
#include "container/PagedArray.h"
#include "streams/FourCC.h"

#include <cstdint>

namespace clw {

struct TChunkNode {
  TFourCC Id = 0;
  int64_t DataPosition = 0;
  int64_t NewOffset = 0; // data position in the repaired copy, set by the AVI writer
  int64_t Size = 0;
  int32_t NextSibling = -1;
  int32_t Flags = 0; // meaning of the bits belongs to each reader
  TFourCC ListType = 0;
  int32_t FirstChild = -1;
  int32_t LastChild = -1;
  int32_t ChildCount = 0;
};

class THgChunkTree {
public:
  THgChunkTree();
  virtual ~THgChunkTree() = default;
  THgChunkTree(THgChunkTree&&) = default;
  // Takes over another tree's nodes (an analysis builds a corrected tree beside the one
  // it read, then replaces it).
  THgChunkTree& operator=(THgChunkTree&&) = default;

  // Parent -1 adds a top-level node; the top-level nodes form one chain from node 0.
  int32_t AddNode(int32_t Parent, TFourCC Id, TFourCC ListType, int64_t DataPosition, int64_t Size);
  // First child of Parent (of the top-level chain for -1) with that Id, or -1.
  int32_t FindChild(int32_t Parent, TFourCC Id) const;
  // Next node after Index in its sibling chain with that Id, or -1 (also for Index -1).
  int32_t FindNext(int32_t Index, TFourCC Id) const;
  int32_t FindChildWithListType(int32_t Parent, TFourCC Id, TFourCC ListType) const;
  int32_t FindNextWithListType(int32_t Index, TFourCC Id, TFourCC ListType) const;
  void Clear();

  uint32_t Count() const { return Nodes.Count(); }
  bool IsNode(int32_t Index) const { return Index >= 0 && uint32_t(Index) < Nodes.Count(); }
  // Direct access for callers that hold an index the tree gave them (IsNode is true).
  TChunkNode& Node(int32_t Index) { return Nodes[uint32_t(Index)]; }
  const TChunkNode& Node(int32_t Index) const { return Nodes[uint32_t(Index)]; }

  // Indexes often come from links that may be -1; an index that names no node reads as
  // an empty node (no id, no links) and writes to it are dropped.
  TFourCC Id(int32_t Index) const { return IsNode(Index) ? Node(Index).Id : 0; }
  int64_t DataPosition(int32_t Index) const { return IsNode(Index) ? Node(Index).DataPosition : 0; }
  int64_t NewOffset(int32_t Index) const { return IsNode(Index) ? Node(Index).NewOffset : 0; }
  void SetNewOffset(int32_t Index, int64_t Value) {
    if (IsNode(Index)) Node(Index).NewOffset = Value;
  }
  int64_t Size(int32_t Index) const { return IsNode(Index) ? Node(Index).Size : 0; }
  int32_t NextSibling(int32_t Index) const { return IsNode(Index) ? Node(Index).NextSibling : -1; }
  int32_t FirstChild(int32_t Index) const { return IsNode(Index) ? Node(Index).FirstChild : -1; }
  int32_t ChildCount(int32_t Index) const { return IsNode(Index) ? Node(Index).ChildCount : 0; }
  TFourCC ListType(int32_t Index) const { return IsNode(Index) ? Node(Index).ListType : 0; }
  int32_t Flags(int32_t Index) const { return IsNode(Index) ? Node(Index).Flags : 0; }
  void SetFlags(int32_t Index, int32_t Value) {
    if (IsNode(Index)) Node(Index).Flags = Value;
  }

  size_t PageCount() const { return Nodes.PageCount(); }

private:
  TPagedArray<TChunkNode> Nodes;
  int32_t LastTopLevel = -1; // end of the chain from node 0, so appending stays O(1)
};

} // namespace clw
