#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <thread>

#include "client/roz.h"
#include "istd/trace_fixture.h"
#include "value_node.h"

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testutil::MakeLocalNode;
using testutil::MakeValueNode;
using testutil::ThrownText;
using namespace roz::enums;

namespace {

TEST(RozVocabularyTest, PathTextFormsAndTokenizing) {
  using roz::operator<<;
  EXPECT_EQ(roz::ToString(roz::Path{"a", "b", "c"}), "a.b.c");
  EXPECT_EQ(roz::ToString(roz::c_noRelPath), "");
  EXPECT_TRUE(roz::c_noRelPath.empty());
  EXPECT_THAT(roz::Tokenize("a.b.c"), ElementsAre("a", "b", "c"));
  EXPECT_THAT(roz::Tokenize(std::string(".a..b.")), ElementsAre("a", "b"));
  EXPECT_THAT(roz::Tokenize(""), IsEmpty());
  std::ostringstream os;
  os << roz::Path{"x", "y"};
  EXPECT_EQ(os.str(), "x.y");
}

TEST(RozVocabularyTest, StringFlagsMarksNineNamedPositions) {
  EXPECT_EQ(roz::StringFlags(0), std::string(9, ' '));
  EXPECT_EQ(roz::StringFlags(eUnlockedRead | 1 | 2048), std::string(9, ' '))
      << "unlocked_read and unnamed bits leave no mark";
  EXPECT_EQ(roz::StringFlags(eRead | eWrite | eArray), "rw     A ");
  const roz::Flags all = eRead | eWrite | ePersistent | eUnlockedRead | eConstant | eHidden |
                         eExecutable | eAttribute | eArray | eSignal;
  EXPECT_EQ(roz::StringFlags(all), "rwPcHxaAS");
}

TEST(RozVocabularyTest, EnumerationTablesHoldTheExternalNames) {
  const auto& flags = istd::EnumMap<Flags_e>::items;
  EXPECT_STREQ(flags.FindText(eUnlockedRead), "unlocked_read");
  EXPECT_STREQ(flags.FindText(eSignal), "signal");
  EXPECT_EQ(flags.ValueMap().size(), 10u);
  Flags_e flag = eRead;
  ASSERT_TRUE(flags.FindValue("executable", flag));
  EXPECT_EQ(flag, eExecutable);
  EXPECT_FALSE(flags.FindValue("Read", flag)) << "names are case-sensitive";

  const auto& types = istd::EnumMap<NodeValType_e>::items;
  const char* const names[] = {"Undefined", "Bool",   "Long",  "ULong",  "LongLong",
                               "ULongLong", "Double", "Float", "String", "Enumeration"};
  for (int i = 0; i <= 9; ++i) {
    EXPECT_STREQ(types.FindText(static_cast<NodeValType_e>(i)), names[i]);
  }
}

struct OtherTag {};

TEST(IdTest, CountersArePerTagStartAtOneAndGrowByOne) {
  using OtherId = istd::Id<OtherTag>;
  const OtherId first;
  EXPECT_EQ(first.Value(), 1u) << "the first identifier of a fresh tag";
  const OtherId second = OtherId::Generate();
  EXPECT_EQ(second.Value(), 2u);
  const OtherId copy = first;
  EXPECT_TRUE(copy == first);
  EXPECT_TRUE(first < second);
  EXPECT_EQ(static_cast<unsigned long long>(second), 2u);

  const roz::ClientId client;
  const OtherId third;
  EXPECT_EQ(third.Value(), 3u) << "drawing another tag does not advance this one";
}

TEST(IdTest, TreeNodeIdsGrowByOneAndNeverReuseTheNullId) {
  std::vector<roz::TreeNodePtr> nodes;
  for (int i = 0; i < 5; ++i) nodes.push_back(MakeLocalNode("n" + std::to_string(i)));
  for (size_t i = 1; i < nodes.size(); ++i) {
    EXPECT_EQ(nodes[i]->GetId().Value(), nodes[i - 1]->GetId().Value() + 1);
  }
  for (const auto& node : nodes) {
    EXPECT_FALSE(node->GetId() == roz::c_nullNodeId);
    EXPECT_GT(node->GetId().Value(), roz::c_nullNodeId.Value());
  }
  EXPECT_TRUE(roz::Node().GetId() == roz::c_nullNodeId);
}

TEST(TreeNodeTest, NameCheckAcceptsLetterFirstAndRefusesSpaceDotAndBadStart) {
  for (const char* good : {"a", "a1", "a_b-c", "Z9"}) {
    EXPECT_NO_THROW(roz::TreeNode node(good)) << good;
  }
  for (const char* bad : {"", "1a", "_a", "a b", "a.b", "-a"}) {
    EXPECT_EQ(ThrownText([bad] { roz::TreeNode node(bad); }),
              std::string("Invalid node name: ") + bad);
  }
  roz::TreeNode anonymous(eRead);
  EXPECT_EQ(anonymous.GetName(), "");
  EXPECT_EQ(anonymous.GetFlags(roz::c_noRelPath), static_cast<roz::Flags>(eRead));
}

TEST(TreeNodeTest, SetNameOnlyOnRootsAndWithoutCheck) {
  const roz::TreeNodePtr parent = MakeLocalNode("p");
  const roz::TreeNodePtr child = parent->Add(MakeLocalNode("c"));
  EXPECT_EQ(ThrownText([&] { child->SetName("d"); }),
            "ireg: Can't change name of non-root node: c");
  EXPECT_EQ(child->GetName(), "c");
  parent->SetName("with.dot");
  EXPECT_EQ(parent->GetName(), "with.dot");
}

TEST(TreeNodeTest, FlagsAreOnlyAddedAndQueriedByMask) {
  roz::TreeNode node("n", eRead);
  EXPECT_EQ(node.SetFlags(0, roz::c_noRelPath), static_cast<roz::Flags>(eRead));
  EXPECT_EQ(node.SetFlags(eHidden, roz::c_noRelPath), static_cast<roz::Flags>(eRead | eHidden));
  EXPECT_TRUE(node.IsReadable(roz::c_noRelPath));
  EXPECT_TRUE(node.IsHidden(roz::c_noRelPath));
  EXPECT_FALSE(node.IsWritable(roz::c_noRelPath));
  EXPECT_FALSE(node.IsArray(roz::c_noRelPath));
  EXPECT_TRUE(node.HasFlagSet(eWrite | eHidden, roz::c_noRelPath));
  EXPECT_FALSE(node.HasFlagSet(eSignal | eConstant, roz::c_noRelPath));
}

TEST(TreeNodeTest, LocalNodeHasNoValueAndTheDefaultHooks) {
  roz::TreeNode node("n");
  int32_t i = 0;
  EXPECT_EQ(ThrownText([&] { node.Get(i, 0, roz::c_noRelPath); }),
            "ireg: type not supported : int");
  std::vector<int32_t> v;
  EXPECT_EQ(ThrownText([&] { node.Get(v, 0, 0, roz::c_noRelPath); }),
            "ireg: type not supported : " + istd::CppName(typeid(std::vector<int>)));
  EXPECT_EQ(ThrownText([&] { node.Set(1.5, 0, roz::c_noRelPath); }),
            "ireg: type not supported : double");
  EXPECT_EQ(ThrownText([&] { node.Set(std::vector<bool>{true}, 0, roz::c_noRelPath); }),
            "ireg: type not supported : " + istd::CppName(typeid(std::vector<bool>)));

  const roz::ClientId client;
  EXPECT_TRUE(node.Init());
  EXPECT_FALSE(node.Emit());
  EXPECT_TRUE(node.Cleanup(roz::c_noRelPath));
  EXPECT_FALSE(node.Subscribe(client, roz::c_noRelPath));
  EXPECT_FALSE(node.Unsubscribe(client, roz::c_noRelPath, true));
  EXPECT_FALSE(node.OnEmitValue(istd::Any(1), 0));
  EXPECT_EQ(node.GetSize(roz::c_noRelPath), 0u);
  EXPECT_EQ(node.GetValueType(roz::c_noRelPath), eUndefined);
  EXPECT_THAT(node.GetDomainValues(roz::c_noRelPath), IsEmpty());
  std::string expression = "kept";
  EXPECT_FALSE(node.GetValidatorExpression(expression, roz::c_noRelPath));
  EXPECT_EQ(expression, "kept");
}

TEST(TreeNodeTest, ExecuteWrites238OnlyOnExecutableNodes) {
  const auto node = MakeValueNode("cmd");
  node->Define<int64_t>(roz::c_noRelPath, eWrite, {0});
  EXPECT_EQ(ThrownText([&] { node->Execute(roz::c_noRelPath); }),
            "ireg: node is not executable: cmd");
  EXPECT_EQ(node->m_setCalls, 0);

  node->Define<int64_t>({"run"}, eExecutable, {0});
  EXPECT_TRUE(node->Execute({"run"}));
  EXPECT_THAT(node->Values<int64_t>({"run"}), ElementsAre(238));
  EXPECT_EQ(node->m_lastSetPos, 0u);
}

TEST(TreeNodeTest, ResizeNeedsTheArrayFlagOfTheTreeNodeItself) {
  const auto node = MakeValueNode("n");
  EXPECT_FALSE(node->Resize(4, roz::c_noRelPath));
  EXPECT_EQ(node->m_resizeCalls, 0) << "OnResize must not be called without eArray";
  node->SetFlags(eArray, roz::c_noRelPath);
  EXPECT_TRUE(node->Resize(4, {"x"}));
  EXPECT_EQ(node->m_resizeCalls, 1);
}

TEST(TreeNodeTest, EqualityNeedsNameFlagsAndClass) {
  roz::TreeNode a("n", eRead);
  roz::TreeNode b("n", eRead);
  roz::TreeNode c("n", eWrite);
  roz::TreeNode d("m", eRead);
  testutil::ValueNode e("n", eRead);
  EXPECT_TRUE(a == b);
  EXPECT_FALSE(a == c);
  EXPECT_FALSE(a == d);
  EXPECT_FALSE(a == e) << "same name and flags, other class";
  EXPECT_FALSE(e == a);
}

// True when another thread can take the mutex of `lock` right now.
bool FreeForOthers(const std::unique_lock<std::recursive_mutex>& lock) {
  bool free = false;
  std::thread([&] {
    std::unique_lock<std::recursive_mutex> other(*lock.mutex(), std::try_to_lock);
    free = other.owns_lock();
  }).join();
  return free;
}

TEST(TreeNodeTest, LockReadDoesNotLockUnlockedReadNodes) {
  roz::TreeNode locked("a");
  roz::TreeNode unlocked("b", eUnlockedRead);
  {
    const auto guard = locked.Lock();
    EXPECT_FALSE(FreeForOthers(guard));
  }
  {
    const auto guard = locked.LockRead();
    EXPECT_TRUE(guard.owns_lock());
    EXPECT_FALSE(FreeForOthers(guard));
  }
  const auto guard = unlocked.LockRead();
  EXPECT_FALSE(guard.owns_lock());
  EXPECT_TRUE(FreeForOthers(guard));
}

TEST(TreeNodeTest, AttachChainsOnTheParentAndNeedsASharedOwner) {
  const roz::TreeNodePtr root = MakeLocalNode("r");
  const roz::TreeNodePtr same = root->Attach(MakeLocalNode("a"))->Attach(MakeLocalNode("b"));
  EXPECT_EQ(same, root);
  EXPECT_EQ(root->GetNodeCount(roz::c_noRelPath), 2u);
  EXPECT_EQ(root->Add(roz::TreeNodePtr()), roz::TreeNodePtr()) << "an empty child is ignored";
  EXPECT_EQ(root->GetNodeCount(roz::c_noRelPath), 2u);

  roz::TreeNode unowned("u");
  EXPECT_THROW(unowned.Attach(roz::TreeNodePtr()), std::bad_weak_ptr);
}

TEST(TreeNodeTest, StructureCanOnlyBeReplacedWhileLeafAndKeepsTheParentLink) {
  const roz::TreeNodePtr root = MakeLocalNode("r");
  const roz::TreeNodePtr child = root->Add(MakeLocalNode("c"));
  child->SetNodeStructure(new roz::LocalNodeStructure(child.get()));
  EXPECT_FALSE(child->IsRoot()) << "a new structure keeps the node in its tree";
  EXPECT_EQ(child->GetParent(roz::c_noRelPath).node, root);

  auto* refused = new roz::LocalNodeStructure(root.get());
  EXPECT_EQ(ThrownText([&] { root->SetNodeStructure(refused); }),
            "ireg: Can't replace node structure for non leaf nodes.");
  delete refused;  // the caller keeps ownership after a refusal
  EXPECT_EQ(root->GetNode("c", roz::c_noRelPath).node, child);
}

TEST(TreeNodeTest, DestroyingAParentReleasesChildrenAndSurvivorsBecomeRoots) {
  roz::TreeNodePtr root = MakeLocalNode("r");
  const roz::TreeNodePtr kept = root->Add(MakeLocalNode("kept"));
  std::weak_ptr<roz::TreeNode> dropped = root->Add(MakeLocalNode("dropped"));
  EXPECT_FALSE(kept->IsRoot());
  root.reset();
  EXPECT_TRUE(dropped.expired());
  EXPECT_TRUE(kept->IsRoot());
  EXPECT_EQ(ThrownText([&] { kept->GetParent(roz::c_noRelPath); }),
            "ireg: root node doesn't have a parent.");
}

TEST(TreeNodeTest, FactoryDiscardsNodesWhoseInitFails) {
  struct Failing : roz::TreeNode {
    using TreeNode::TreeNode;
    bool Init() override { return false; }
  };
  EXPECT_EQ((roz::factory::Create<roz::LocalNodeStructure, Failing>("f")), roz::TreeNodePtr());
  const roz::TreeNodePtr leaf = roz::factory::Create<roz::NodeStructure, roz::TreeNode>("leaf");
  ASSERT_TRUE(leaf);
  EXPECT_TRUE(leaf->IsLeaf(roz::c_noRelPath));
}

using TreeNodeTraceTest = TraceFixture;

TEST_F(TreeNodeTraceTest, TracesCreationLinksHiddenAdditionsAndDestruction) {
  StartTrace(istd::eDetail);
  {
    const roz::TreeNodePtr parent = MakeLocalNode("p");
    const roz::TreeNodePtr child = MakeLocalNode("c");
    parent->Add(child);
    parent->Add(MakeLocalNode("h", eHidden));
    parent->Detach("c", roz::c_noRelPath);
    std::ostringstream created;
    created << "new TreeNode: c id: " << child->GetId().Value();
    const std::vector<std::string> messages = TraceMessages();
    EXPECT_THAT(messages, Contains(created.str()));
    EXPECT_THAT(messages, Contains("Add: p <- c"));
    EXPECT_THAT(messages, Contains("TreeNode got parent: p --> c"));
    EXPECT_THAT(messages, Contains("Added hidden node: h"));
    EXPECT_THAT(messages, Contains("TreeNode detached: c"));
  }
  EXPECT_THAT(TraceMessages(), Contains("TreeNode destroyed: p"));
  EXPECT_THAT(TraceMessages(), Contains("TreeNode destroyed: h"));
}

}  // namespace
