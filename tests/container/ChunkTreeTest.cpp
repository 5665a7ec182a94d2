#include "container/HgChunkTree.h"

#include <gtest/gtest.h>

#include <vector>

namespace clw {
namespace {

constexpr TFourCC kRiff = MakeFourCC("RIFF");
constexpr TFourCC kList = MakeFourCC("LIST");
constexpr TFourCC kMovi = MakeFourCC("movi");
constexpr TFourCC kHdrl = MakeFourCC("hdrl");
constexpr TFourCC kFrame = MakeFourCC("00dc");
constexpr TFourCC kJunk = MakeFourCC("JUNK");

// Follows a sibling chain from first, with a bound so that a broken link fails the test
// instead of hanging it.
std::vector<int32_t> Chain(const THgChunkTree& tree, int32_t first) {
  std::vector<int32_t> out;
  for (int32_t i = first; i >= 0 && out.size() <= tree.Count(); i = tree.NextSibling(i))
    out.push_back(i);
  return out;
}

TEST(ChunkTree, EmptyTreeAndBadIndexesAnswerNothing) {
  THgChunkTree tree;
  EXPECT_EQ(tree.FindChild(-1, kRiff), -1);
  EXPECT_EQ(tree.FindChild(0, kRiff), -1);
  EXPECT_EQ(tree.FindNext(-1, kRiff), -1);
  tree.AddNode(-1, kRiff, MakeFourCC("AVI "), 12, 1000);
  EXPECT_EQ(tree.FindChild(-1, kRiff), 0);
  EXPECT_EQ(tree.FindChild(1, kRiff), -1);
  EXPECT_EQ(tree.FindChild(-7, kRiff), -1);
  EXPECT_EQ(tree.FindNext(5, kRiff), -1);
  EXPECT_EQ(tree.NextSibling(5), -1);
  tree.SetFlags(5, 3); // dropped, must not touch memory
  tree.SetNewOffset(-1, 3);
  EXPECT_EQ(tree.Flags(0), 0);
}

TEST(ChunkTree, ChildrenKeepInsertionOrderPerParent) {
  THgChunkTree tree;
  const int32_t riff = tree.AddNode(-1, kRiff, 0, 12, 1 << 20);
  const int32_t hdrl = tree.AddNode(riff, kList, kHdrl, 24, 100);
  const int32_t movi = tree.AddNode(riff, kList, kMovi, 136, 5000);
  std::vector<int32_t> frames, headers;
  // Interleaved children of two parents: the chains must not cross.
  for (int i = 0; i < 3; ++i) {
    frames.push_back(tree.AddNode(movi, kFrame, 0, 144 + 100 * i, 92));
    headers.push_back(tree.AddNode(hdrl, MakeFourCC("strh"), 0, 32 + 8 * i, 8));
  }
  tree.AddNode(frames[0], kJunk, 0, 150, 4); // a grandchild stays out of movi's chain
  EXPECT_EQ(Chain(tree, tree.FirstChild(movi)), frames);
  EXPECT_EQ(Chain(tree, tree.FirstChild(hdrl)), headers);
  EXPECT_EQ(Chain(tree, tree.FirstChild(riff)), (std::vector<int32_t>{hdrl, movi}));
  EXPECT_EQ(tree.ChildCount(movi), 3);
  EXPECT_EQ(tree.Node(movi).LastChild, frames[2]);
  EXPECT_EQ(tree.FindChild(movi, kFrame), frames[0]);
  EXPECT_EQ(tree.FindNext(frames[0], kFrame), frames[1]);
  EXPECT_EQ(tree.FindNext(frames[2], kFrame), -1);
}

TEST(ChunkTree, TopLevelNodesChainFromNodeZeroUntilClear) {
  THgChunkTree tree;
  std::vector<int32_t> top;
  top.push_back(tree.AddNode(-1, kRiff, 0, 12, 100));
  tree.AddNode(top[0], kList, kMovi, 24, 50);
  top.push_back(tree.AddNode(-1, kJunk, 0, 120, 8));
  // A parent that does not exist yet cannot own a node; it lands on the top level.
  top.push_back(tree.AddNode(99, kRiff, 0, 140, 100));
  top.push_back(tree.AddNode(-3, kRiff, 0, 250, 100));
  EXPECT_EQ(Chain(tree, 0), top);
  EXPECT_EQ(tree.FindChild(-1, kRiff), top[0]);
  EXPECT_EQ(tree.FindNext(top[0], kRiff), top[2]);
  EXPECT_EQ(tree.FindNext(top[2], kRiff), top[3]);

  tree.Clear();
  EXPECT_EQ(tree.PageCount(), 0u);
  EXPECT_EQ(tree.FindChild(-1, kRiff), -1);
  EXPECT_EQ(tree.AddNode(-1, kJunk, 0, 12, 1), 0);
  EXPECT_EQ(tree.AddNode(-1, kRiff, 0, 30, 1), 1);
  EXPECT_EQ(Chain(tree, 0), (std::vector<int32_t>{0, 1}));
}

TEST(ChunkTree, ListTypeMustMatchAsWellAsId) {
  THgChunkTree tree;
  const int32_t riff = tree.AddNode(-1, kRiff, 0, 12, 100);
  const int32_t hdrl = tree.AddNode(riff, kList, kHdrl, 24, 10);
  tree.AddNode(riff, kJunk, kMovi, 40, 10); // right list type, wrong id
  const int32_t movi1 = tree.AddNode(riff, kList, kMovi, 60, 10);
  tree.AddNode(riff, kList, kHdrl, 80, 10);
  const int32_t movi2 = tree.AddNode(riff, kList, kMovi, 100, 10);
  EXPECT_EQ(tree.FindChildWithListType(riff, kList, kMovi), movi1);
  EXPECT_EQ(tree.FindNextWithListType(movi1, kList, kMovi), movi2);
  EXPECT_EQ(tree.FindNextWithListType(movi2, kList, kMovi), -1);
  EXPECT_EQ(tree.FindChildWithListType(riff, kList, kHdrl), hdrl);
  EXPECT_EQ(tree.FindChildWithListType(riff, kList, MakeFourCC("odml")), -1);
  EXPECT_EQ(tree.FindNextWithListType(-1, kList, kMovi), -1);
}

TEST(ChunkTree, NodesArePagedAndNeverMove) {
  THgChunkTree tree;
  const int32_t riff = tree.AddNode(-1, kRiff, 0, 12, 0);
  const TChunkNode* root = &tree.Node(riff);
  for (int32_t i = 1; i < 513; ++i)
    tree.AddNode(riff, kFrame, 0, 8 * int64_t(i), 4);
  EXPECT_EQ(tree.PageCount(), 2u);
  EXPECT_EQ(tree.DataPosition(512), 8 * 512);
  for (int32_t i = 513; i < 4 * 512 + 1; ++i)
    tree.AddNode(riff, kFrame, 0, 8 * int64_t(i), 4);
  EXPECT_EQ(tree.PageCount(), 5u);
  EXPECT_EQ(&tree.Node(0), root);
  EXPECT_EQ(&tree.Node(1023), &tree.Node(512) + 511); // node 512 opens page 1
  EXPECT_EQ(tree.ChildCount(riff), 4 * 512);
  EXPECT_EQ(Chain(tree, tree.FirstChild(riff)).size(), 4u * 512);
}

} // namespace
} // namespace clw
