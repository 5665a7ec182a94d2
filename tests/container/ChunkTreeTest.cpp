#include "container/HgChunkTree.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

namespace clw {
namespace {

// Node i gets id kIds[i % 3] and list type kTypes[i / 3 % 3], so i % 9 names the pair.
constexpr TFourCC kIds[] = {MakeFourCC("RIFF"), MakeFourCC("LIST"), MakeFourCC("JUNK")};
constexpr TFourCC kTypes[] = {MakeFourCC("movi"), MakeFourCC("hdrl"), 0};

// Random trees against a plain list of children per parent (-1: the top level, where a
// node whose parent names no node, not even yet, must land). Each chain and each search
// is walked to its end and compared with the list, filtered by id and by id and list
// type. The second round follows Clear.
TEST(ChunkTree, LinksAndSearchesMatchAModel) {
  THgChunkTree tree;
  EXPECT_EQ(tree.FindChild(-1, kIds[0]), -1);
  EXPECT_EQ(tree.FindChild(0, kIds[0]), -1);
  // Bounded, so that a broken link fails the test instead of hanging it.
  const auto walk = [&](int32_t i, auto next) {
    std::vector<int32_t> out;
    for (; i >= 0 && out.size() <= tree.Count(); i = next(i))
      out.push_back(i);
    return out;
  };
  std::mt19937 random(5);
  for (int round = 0; round < 2; ++round, tree.Clear()) {
    std::map<int32_t, std::vector<int32_t>> model;
    const TChunkNode* first = nullptr;
    for (int32_t i = 0; i < 1500; ++i) {
      const int32_t parent = int32_t(random() % uint32_t(i + 6)) - 3;
      model[tree.IsNode(parent) ? parent : -1].push_back(i);
      ASSERT_EQ(tree.AddNode(parent, kIds[i % 3], kTypes[i / 3 % 3], i, 8), i);
      EXPECT_EQ(tree.PageCount(), size_t(i / 512 + 1)) << "512 nodes a page";
      first = first ? first : &tree.Node(0);
    }
    EXPECT_EQ(&tree.Node(0), first) << "pages never move";
    EXPECT_EQ(&tree.Node(1023), &tree.Node(512) + 511) << "node 512 opens page 1";
    for (const auto& [parent, kids] : model) {
      const auto sibling = [&](int32_t i) { return tree.NextSibling(i); };
      ASSERT_EQ(walk(parent < 0 ? 0 : tree.FirstChild(parent), sibling), kids);
      EXPECT_EQ(tree.ChildCount(parent), parent < 0 ? 0 : int32_t(kids.size()));
      for (int k = 0; k < 9; ++k) {
        const TFourCC id = kIds[k % 3], type = kTypes[k / 3];
        std::vector<int32_t> byId, byType;
        for (const int32_t kid : kids) {
          if (kid % 3 == k % 3) byId.push_back(kid);
          if (kid % 9 == k) byType.push_back(kid);
        }
        const auto next = [&](int32_t i) { return tree.FindNext(i, id); };
        const auto nextOfType = [&](int32_t i) { return tree.FindNextWithListType(i, id, type); };
        EXPECT_EQ(walk(tree.FindChild(parent, id), next), byId);
        EXPECT_EQ(walk(tree.FindChildWithListType(parent, id, type), nextOfType), byType);
      }
    }
  }
  EXPECT_EQ(tree.PageCount(), 0u);
  // Links that may be -1 read as an empty node, and writes through them are dropped.
  tree.SetFlags(-1, 3);
  EXPECT_EQ(tree.NextSibling(-1) + tree.FindNext(-1, kIds[0]), -2);
}

} // namespace
} // namespace clw
