#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "client/roz.h"
#include "common/test_util.h"
#include "value_node.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testutil::MakeLocalNode;
using testutil::MakeValueNode;
using testutil::Names;
using testutil::ThrownText;
using namespace roz::enums;

namespace {

const roz::Path& c_none = roz::c_noRelPath;

TEST(LocalNodeStructureTest, AddRefusesDuplicatesParentedAndAnonymousNodes) {
  const roz::TreeNodePtr root = MakeLocalNode("r");
  const roz::TreeNodePtr first = root->Add(MakeLocalNode("a"));
  const roz::TreeNodePtr second = MakeLocalNode("a");
  EXPECT_EQ(ThrownText([&] { root->Add(second); }),
            "ireg: Node with the same name already exists: a");
  EXPECT_EQ(root->GetNode("a", c_none).node, first) << "the first child stays";
  EXPECT_EQ(root->GetNodeCount(c_none), 1u);
  // The refused node is not left linked to a parent that does not hold it.
  EXPECT_TRUE(second->IsRoot());
  const roz::TreeNodePtr other = MakeLocalNode("o");
  EXPECT_NO_THROW(other->Add(second));
  EXPECT_EQ(second->GetParent(c_none).node, other);

  EXPECT_EQ(ThrownText([&] { other->Add(first); }), "ireg: Node a already has a parent");
  EXPECT_EQ(ThrownText([&] { root->Add(first); }), "ireg: Node a already has a parent")
      << "also for the same parent";
  EXPECT_EQ(ThrownText([&] { root->Add(std::make_shared<roz::TreeNode>(eRead)); }),
            "ireg: Can't set a parent to anonymous node.");
  EXPECT_EQ(root->GetNodeCount(c_none), 1u);
}

TEST(LocalNodeStructureTest, ListsInAdditionOrderAndAllNodesInNameOrder) {
  const roz::TreeNodePtr root = MakeLocalNode("r");
  for (const char* name : {"a", "c", "B"}) root->Add(MakeLocalNode(name));
  EXPECT_THAT(Names(root->GetNodes(c_none)), ElementsAre("a", "c", "B"));
  EXPECT_THAT(Names(root->GetAllNodes()), ElementsAre("B", "a", "c"));
  EXPECT_EQ(root->GetNode(size_t{2}, c_none).node->GetName(), "B");
  EXPECT_EQ(ThrownText([&] { root->GetNode(size_t{3}, c_none); }), "ireg: Index out of range: 3");
  EXPECT_EQ(ThrownText([&] { root->GetNode("x", c_none); }), "ireg: node x not found.");
  EXPECT_TRUE(root->GetNode("a", c_none).relPath.empty());
}

TEST(LocalNodeStructureTest, HiddenChildrenAreFoundButNotListedCountedOrIndexed) {
  const roz::TreeNodePtr root = MakeLocalNode("r");
  const roz::TreeNodePtr hidden = root->Add(MakeLocalNode("h", eHidden));
  EXPECT_EQ(root->GetNode("h", c_none).node, hidden);
  EXPECT_THAT(Names(root->GetAllNodes()), ElementsAre("h"));
  EXPECT_THAT(root->GetNodes(c_none), IsEmpty());
  EXPECT_EQ(root->GetNodeCount(c_none), 0u);
  EXPECT_THROW(root->GetNode(size_t{0}, c_none), istd::Exception);
  EXPECT_FALSE(root->IsLeaf(c_none)) << "hidden children count for IsLeaf";
}

TEST(LocalNodeStructureTest, ExposeHiddenRegistryListsHiddenNodesAddedAfterwards) {
  // The switch is process-wide and never reset: observe it in a child process.
  const testutil::ChildResult result = testutil::RunInChild([] {
    const roz::TreeNodePtr root = MakeLocalNode("r");
    root->Add(MakeLocalNode("before", eHidden));
    roz::ExposeHiddenRegistry();
    root->Add(MakeLocalNode("after", eHidden));
    std::printf("%zu %s", root->GetNodeCount(c_none),
                root->GetNode(size_t{0}, c_none).node->GetName().c_str());
    root->Detach("after", c_none);
    std::printf(" %zu", root->GetNodeCount(c_none));
  });
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.output, "1 after 0");
}

TEST(LocalNodeStructureTest, DetachUnlinksAndUnlistsEvenAChildHiddenAfterAdding) {
  const roz::TreeNodePtr root = MakeLocalNode("r");
  const roz::TreeNodePtr a = root->Add(MakeLocalNode("a"));
  const roz::TreeNodePtr b = root->Add(MakeLocalNode("b"));
  EXPECT_EQ(root->Detach("zz", c_none), roz::TreeNodePtr());
  EXPECT_EQ(root->Detach(MakeLocalNode("a"), c_none), roz::TreeNodePtr())
      << "only the very pointer is detached";
  EXPECT_EQ(root->Detach(roz::TreeNodePtr(), c_none), roz::TreeNodePtr());
  EXPECT_EQ(root->GetNodeCount(c_none), 2u);

  EXPECT_EQ(root->Detach(a, c_none), a);
  EXPECT_TRUE(a->IsRoot());
  // b gains eHidden while it is listed; detaching must still unlist it.
  b->SetFlags(eHidden, c_none);
  EXPECT_EQ(root->Detach("b", c_none), b);
  EXPECT_TRUE(b->IsRoot());
  EXPECT_THAT(root->GetNodes(c_none), IsEmpty());
  EXPECT_EQ(root->GetNodeCount(c_none), 0u);
  EXPECT_TRUE(root->IsLeaf(c_none));
  root->Remove("none", c_none);  // absent: silent
}

TEST(LocalNodeStructureTest, MergeFoldsSubtreesAndRefusesOtherKindsOfNode) {
  const roz::TreeNodePtr target = MakeLocalNode("t");
  const roz::TreeNodePtr existingA = target->Add(MakeLocalNode("A"));
  existingA->Add(MakeLocalNode("y"));
  existingA->Add(MakeLocalNode("z"));

  const roz::TreeNodePtr incomingA = MakeLocalNode("A");
  incomingA->Add(MakeLocalNode("x"));
  incomingA->Add(MakeLocalNode("y"));
  EXPECT_EQ(target->Merge(incomingA), incomingA);
  EXPECT_EQ(target->GetNode("A", c_none).node, existingA) << "the incoming node is not inserted";
  EXPECT_THAT(Names(existingA->GetNodes(c_none)), ElementsAre("y", "z", "x"));

  EXPECT_EQ(ThrownText([&] { target->Merge(MakeValueNode("A")); }),
            "ireg: Different type of node with the same name already exists: A");
  EXPECT_EQ(ThrownText([&] { target->Merge(MakeLocalNode("A", eRead)); }),
            "ireg: Different type of node with the same name already exists: A");

  const roz::TreeNodePtr fresh = target->Merge(MakeLocalNode("B"));
  EXPECT_EQ(target->GetNode("B", c_none).node, fresh);
  EXPECT_EQ(fresh->GetParent(c_none).node, target);
}

TEST(LocalNodeStructureTest, AdoptMovesAllChildrenMergingExistingNames) {
  const roz::TreeNodePtr adopter = MakeLocalNode("n");
  adopter->Add(MakeLocalNode("k"))->Add(MakeLocalNode("k1"));
  const roz::TreeNodePtr donor = MakeLocalNode("d");
  donor->Add(MakeLocalNode("k"))->Add(MakeLocalNode("k2"));
  const roz::TreeNodePtr m = donor->Add(MakeLocalNode("m"));
  adopter->Adopt(donor);
  EXPECT_TRUE(donor->IsLeaf(c_none));
  EXPECT_THAT(Names(adopter->GetAllNodes()), ElementsAre("k", "m"));
  EXPECT_EQ(m->GetParent(c_none).node, adopter);
  EXPECT_THAT(Names(adopter->GetNode("k", c_none).node->GetAllNodes()), ElementsAre("k1", "k2"));
}

TEST(LocalNodeStructureTest, PathLookupAndParentsInsideAndAcrossTreeNodes) {
  const roz::TreeNodePtr root = MakeLocalNode("r");
  const roz::TreeNodePtr b = root->Add(MakeLocalNode("a"))->Add(MakeLocalNode("b"));
  const roz::TreeNodeAddr found = root->GetNode(roz::Path{"a", "b"}, c_none);
  EXPECT_EQ(found.node, b);
  EXPECT_TRUE(found.relPath.empty());
  const roz::TreeNodeAddr self = root->GetNode(roz::c_noRelPath, roz::Path{"q"});
  EXPECT_EQ(self.node, root);
  EXPECT_THAT(self.relPath, ElementsAre("q"));
  EXPECT_EQ(ThrownText([&] {
              root->GetNode(roz::Path{"a", "x"}, c_none);
            }),
            "ireg: node x not found.");

  EXPECT_EQ(ThrownText([&] { root->GetParent(c_none); }), "ireg: root node doesn't have a parent.");
  const roz::TreeNodeAddr inside = root->GetParent(roz::Path{"a", "b"});
  EXPECT_EQ(inside.node, root);
  EXPECT_THAT(inside.relPath, ElementsAre("a"));
  EXPECT_FALSE(root->GetNode("a", c_none).node->IsRoot());
}

TEST(NodeStructureTest, LeafStructureRefusesEveryChildOperation) {
  const roz::TreeNodePtr leaf = roz::factory::Create<roz::NodeStructure, roz::TreeNode>("leaf");
  const roz::TreeNodePtr child = MakeLocalNode("c");
  EXPECT_EQ(ThrownText([&] { leaf->Add(child); }), "ireg: Can't add node to: leaf");
  EXPECT_EQ(ThrownText([&] { leaf->Merge(child); }), "ireg: Can't merge subtree to: leaf");
  EXPECT_EQ(ThrownText([&] { leaf->Adopt(child); }), "ireg: Can't adopt children node to: leaf");
  EXPECT_EQ(ThrownText([&] { leaf->Detach("c", c_none); }), "ireg: Can't detach from: leaf");
  EXPECT_EQ(ThrownText([&] { leaf->Detach(child, c_none); }), "ireg: Can't detach from: leaf");
  EXPECT_EQ(ThrownText([&] { leaf->GetAllNodes(); }),
            "ireg internal error: unimplemented function GetAllNodes");
  EXPECT_EQ(ThrownText([&] { leaf->GetNode("c", c_none); }),
            "ireg internal error: unimplemented access to c.");
  EXPECT_EQ(ThrownText([&] { leaf->GetNode(size_t{4}, c_none); }),
            "ireg internal error: unimplemented access to [4].");
  EXPECT_EQ(ThrownText([&] {
              leaf->GetNode(roz::Path{"a", "b"}, c_none);
            }),
            "ireg internal error: unimplemented access to a.b.");
  EXPECT_THAT(leaf->GetNodes(c_none), IsEmpty());
  EXPECT_TRUE(leaf->IsLeaf(c_none));
  EXPECT_EQ(leaf->GetNodeCount(c_none), 0u);
  EXPECT_TRUE(child->IsRoot()) << "a refused child is not linked";
}

// Several threads add, find and detach children of one structure (each
// with grandchildren, so walkers descend) while others walk the subtree.
TEST(LocalNodeStructureTest, ConcurrentAddFindDetachAndSubTreeWalksStayConsistent) {
  const roz::TreeNodePtr root = MakeLocalNode("root");
  const roz::Node rootHandle(root, roz::c_noRelPath);
  const int c_writers = 3;
  const int c_rounds = 300;
  std::atomic<bool> writing{true};
  std::atomic<long> walkedNodes{0};
  std::atomic<int> walks{0};
  std::atomic<int> failures{0};

  std::vector<std::thread> threads;
  for (int w = 0; w < c_writers; ++w) {
    threads.emplace_back([&, w] {
      // Keep writing until the walkers have really run alongside (on a loaded
      // machine they may be scheduled only after a short burst of writes).
      for (int i = 0; i < c_rounds || (walks.load() < 20 && i < 200 * c_rounds); ++i) {
        const std::string name = "w" + std::to_string(w) + "_" + std::to_string(i % 7);
        try {
          const roz::TreeNodePtr child = MakeLocalNode(name);
          child->Add(MakeLocalNode("g"));
          root->Add(child);
        } catch (const istd::Exception&) {
          // The name is still taken from an earlier round: detach it instead.
          if (!root->Detach(name, roz::c_noRelPath)) ++failures;
          continue;
        }
        try {
          const roz::TreeNodeAddr found = root->GetNode(name, roz::c_noRelPath);
          if (found.node->GetName() != name) ++failures;
        } catch (const istd::Exception&) {
          ++failures;  // only this thread detaches its own names
        }
        if (i % 3 == 0 && !root->Detach(name, roz::c_noRelPath)) ++failures;
      }
    });
  }
  for (int r = 0; r < 2; ++r) {
    threads.emplace_back([&] {
      while (writing.load()) {
        try {
          walkedNodes += static_cast<long>(roz::SubTree(rootHandle).size());
          ++walks;
        } catch (const istd::Exception&) {
          // A child detached and destroyed during the walk: its handle is dead.
        }
      }
    });
  }
  for (int w = 0; w < c_writers; ++w) threads[w].join();
  writing = false;
  for (size_t t = c_writers; t < threads.size(); ++t) threads[t].join();

  EXPECT_EQ(failures.load(), 0);
  EXPECT_GT(walkedNodes.load(), 0);
  const std::vector<roz::TreeNodePtr> all = root->GetAllNodes();
  EXPECT_EQ(all.size(), root->GetNodeCount(roz::c_noRelPath));
  EXPECT_EQ(all.size(), root->GetNodes(roz::c_noRelPath).size());
  for (const auto& child : all) {
    EXPECT_EQ(child->GetParent(roz::c_noRelPath).node, root);
    EXPECT_EQ(child->GetNodeCount(roz::c_noRelPath), 1u);
  }
  EXPECT_EQ(roz::SubTree(rootHandle).size(), 1 + 2 * all.size());
}

}  // namespace
