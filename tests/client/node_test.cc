#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <utility>
#include <vector>

#include "client/roz.h"
#include "istd/trace_fixture.h"
#include "value_node.h"

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testutil::MakeLocalNode;
using testutil::MakeValueNode;
using testutil::Names;
using testutil::ThrownText;
using namespace roz::enums;

namespace {

const roz::Path& c_none = roz::c_noRelPath;

// r / {y / {x}, h (hidden), z}
struct SmallTree {
  roz::TreeNodePtr r = MakeLocalNode("r");
  roz::TreeNodePtr y = r->Add(MakeLocalNode("y"));
  roz::TreeNodePtr x = y->Add(MakeLocalNode("x"));
  roz::TreeNodePtr h = r->Add(MakeLocalNode("h", eHidden));
  roz::TreeNodePtr z = r->Add(MakeLocalNode("z"));
};

TEST(NodeTest, DefaultHandlesAreUnequalAndHandlesEqualThemselves) {
  const roz::Node a;
  const roz::Node b;
  EXPECT_FALSE(a == b);
  EXPECT_TRUE(a == a);
  EXPECT_FALSE(a.IsValid());
  EXPECT_EQ(ThrownText([&] { a.GetTreeNode(); }), "Node is not valid anymore.");
  EXPECT_FALSE(roz::Node(roz::TreeNodeAddr{}).IsValid());
  EXPECT_TRUE(roz::Node(roz::TreeNodeAddr{}).GetId() == roz::c_nullNodeId);
}

TEST(NodeTest, HandlesCompareByIdAndPathIgnoringUnmanagedData) {
  const auto tn = MakeValueNode("v");
  roz::Node ab(tn, {"a", "b"});
  const roz::Node ac(tn, {"a", "c"});
  roz::Node ab2(tn, {"a", "b"});
  int marker = 0;
  ab2.SetUnmanagedData(&marker);
  EXPECT_TRUE(ab < ac);
  EXPECT_FALSE(ac < ab);
  EXPECT_TRUE(ab == ab2);
  EXPECT_FALSE(ab == ac);
  EXPECT_EQ(roz::Node(ab2).GetUnmanagedData(), &marker) << "copies carry the unmanaged data";
  EXPECT_EQ(ab.GetUnmanagedData(), nullptr);

  const auto later = MakeValueNode("w");
  EXPECT_TRUE(ac < roz::Node(later, c_none)) << "identifier first, then path";
  const roz::Node named(tn->GetId(), {"a", "b"});
  EXPECT_TRUE(named == ab) << "a naming handle equals the live one";
  EXPECT_FALSE(named.IsValid());
}

TEST(NodeTest, PathsSortNameByNameWithAPrefixFirst) {
  const auto tn = MakeValueNode("v");
  const std::vector<roz::Path> sorted = {
      {}, {"a"}, {"a", ""}, {"a", "b"}, {"a", "b", "c"}, {"a", "ba"}, {"ab"}, {"b"}};
  for (size_t i = 0; i < sorted.size(); ++i) {
    for (size_t j = 0; j < sorted.size(); ++j) {
      EXPECT_EQ(roz::Node(tn, sorted[i]) < roz::Node(tn, sorted[j]), i < j)
          << roz::ToString(sorted[i]) << " / " << roz::ToString(sorted[j]);
    }
  }
}

TEST(NodeTest, RelativePathsAndDomainRefusals) {
  EXPECT_EQ(roz::RelativePath({"a", "b"}, {"a", "b", "c", "d"}), (roz::Path{"c", "d"}));
  EXPECT_EQ(roz::RelativePath({}, {"a"}), (roz::Path{"a"}));
  EXPECT_EQ(roz::RelativePath({"a", "b"}, {"a", "b"}), roz::Path{});
  EXPECT_EQ(roz::RelativePath({"a", "x"}, {"a", "b", "c"}), (roz::Path{"a", "b", "c"}))
      << "not below the base: the whole path";
  EXPECT_EQ(roz::RelativePath({"a", "b", "c"}, {"a"}), (roz::Path{"a"}));
  const std::vector<std::string> domain = {"slow", "fast"};
  EXPECT_EQ(roz::DomainRefusal({"fast", "slow"}, domain, "mode"), "");
  EXPECT_EQ(roz::DomainRefusal({"fast", "turbo", "warp"}, domain, "m.mode"),
            "\"turbo\" is not a value of m.mode; allowed: slow, fast");
}

TEST(NodeTest, SameHandleNeedsTheSameTreeNodePathAndUnmanagedData) {
  const auto tn = MakeValueNode("v");
  roz::Path path{"a", "b"};
  const roz::Node ab(tn, path);
  const roz::Node moved(tn, std::move(path));
  EXPECT_TRUE(moved.IsSameHandle(ab)) << "taking the path over builds the same handle";
  EXPECT_THAT(moved.GetRelPath(), ElementsAre("a", "b"));
  EXPECT_TRUE(roz::Node(ab).IsSameHandle(ab));
  EXPECT_FALSE(ab.IsSameHandle(roz::Node(tn, {"a", "c"})));
  int marker = 0;
  roz::Node marked(ab);
  marked.SetUnmanagedData(&marker);
  EXPECT_TRUE(marked == ab);
  EXPECT_FALSE(marked.IsSameHandle(ab)) << "unmanaged data differs";
  const roz::Node named(tn->GetId(), {"a", "b"});
  EXPECT_TRUE(named == ab);
  EXPECT_FALSE(named.IsSameHandle(ab)) << "no tree node behind the naming handle";
  EXPECT_TRUE(roz::Node().IsSameHandle(roz::Node()));
}

TEST(NodeTest, HandleOfADestroyedNodeStillComparesSortsAndThrowsWhenUsed) {
  auto tn = MakeValueNode("gone");
  const roz::Node root(tn, c_none);
  const roz::Node inner(tn, {"p", "leaf"});
  const roz::Node copy = root;
  tn.reset();
  EXPECT_FALSE(root.IsValid());
  EXPECT_TRUE(root == copy);
  EXPECT_TRUE(root < inner);
  std::set<roz::Node> sorted{inner, root};
  EXPECT_TRUE(*sorted.begin() == root);
  EXPECT_EQ(inner.GetName(), "leaf") << "the last path element needs no tree node";
  EXPECT_THAT(inner.GetRelPath(), ElementsAre("p", "leaf"));
  EXPECT_EQ(ThrownText([&] { root.GetName(); }), "Node is not valid anymore.");
  EXPECT_EQ(ThrownText([&] { root.GetNodes(); }), "Node is not valid anymore.");
  EXPECT_EQ(ThrownText([&] { root.GetFlags(); }), "Node is not valid anymore.");
  EXPECT_EQ(ThrownText([&] { root.ToString(); }), "Node is not valid anymore.");
  std::vector<std::string> values{"kept"};
  EXPECT_FALSE(root.GetDomainValues(values));
  EXPECT_THAT(values, ElementsAre("kept"));
}

TEST(NodeTest, NavigatesChildrenByNameIndexAndPath) {
  SmallTree t;
  const roz::Node r(t.r, c_none);
  EXPECT_EQ(r.GetName(), "r");
  EXPECT_EQ(r["y"].GetTreeNode(), t.y);
  EXPECT_EQ(r[std::string("h")].GetTreeNode(), t.h) << "hidden children are found by name";
  EXPECT_EQ(r.GetNode(size_t{1}).GetName(), "z");
  EXPECT_EQ(r.GetNode(roz::Path{"y", "x"}).GetTreeNode(), t.x);
  EXPECT_EQ(ThrownText([&] { r.GetNode("y.x"); }), "ireg: node y.x not found.")
      << "a name is one element";
  EXPECT_THAT(Names(r.GetNodes()), ElementsAre("y", "z"));
  EXPECT_EQ(r.GetNodeCount(), 2u);
  EXPECT_FALSE(r.IsLeaf());
  EXPECT_TRUE(r["y"]["x"].IsLeaf());
  EXPECT_TRUE(r.IsRoot());
  EXPECT_FALSE(r["y"].IsRoot());
  EXPECT_EQ(r["y"]["x"].GetParent().GetTreeNode(), t.y);
  EXPECT_EQ(r["y"]["x"].GetRoot().GetTreeNode(), t.r);
  EXPECT_EQ(ThrownText([&] { r.GetParent(); }), "ireg: root node doesn't have a parent.");
}

TEST(NodeTest, FullPathsWithAndWithoutTheRoot) {
  SmallTree t;
  const roz::Node x(t.x, c_none);
  EXPECT_THAT(x.GetFullPath(false), ElementsAre("r", "y", "x"));
  EXPECT_THAT(x.GetFullPath(true), ElementsAre("y", "x"));
  const roz::Node r(t.r, c_none);
  EXPECT_THAT(r.GetFullPath(false), ElementsAre("r"));
  EXPECT_THAT(r.GetFullPath(true), IsEmpty());

  // Inside a tree node, parents are the same tree node with shorter paths.
  const auto v = MakeValueNode("v");
  t.z->Add(v);
  const roz::Node deep(v, {"a", "b"});
  EXPECT_FALSE(deep.IsRoot());
  EXPECT_THAT(deep.GetParent().GetRelPath(), ElementsAre("a"));
  EXPECT_THAT(deep.GetFullPath(false), ElementsAre("r", "z", "v", "a", "b"));
}

TEST(NodeTest, SubTreeIsPreOrderOverVisibleNodesToTheDepth) {
  SmallTree t;
  const roz::Node r(t.r, c_none);
  EXPECT_EQ(roz::SubTree(r, 0).size(), 1u);
  EXPECT_THAT(Names(roz::SubTree(r, 1)), ElementsAre("r", "y", "z"));
  EXPECT_THAT(Names(roz::SubTree(r)), ElementsAre("r", "y", "x", "z"));
}

TEST(NodeTest, AttributesAndMetadataComeFromTheAddressedPath) {
  const auto v = MakeValueNode("v");
  auto& entry = v->Define<std::string>({"mode"}, eRead | eWrite | eArray | eSignal | eConstant,
                                       {"on", "off"}, eEnumeration);
  entry.hasDomain = true;
  entry.domain = {"on", "off", "auto"};
  entry.hasValidator = true;
  entry.validator = "x > 0";
  const roz::Node mode(v, {"mode"});
  EXPECT_EQ(mode.GetFlags(),
            static_cast<roz::Flags>(eRead | eWrite | eArray | eSignal | eConstant));
  EXPECT_TRUE(mode.IsReadable() && mode.IsWritable() && mode.IsArray() && mode.IsSignal() &&
              mode.IsConstant());
  EXPECT_FALSE(mode.IsExecutable() || mode.IsPersistent());
  EXPECT_EQ(mode.GetSize(), 2u);
  EXPECT_EQ(mode.GetValueType(), eEnumeration);
  std::vector<std::string> domain{"old"};
  EXPECT_TRUE(mode.GetDomainValues(domain));
  EXPECT_THAT(domain, ElementsAre("on", "off", "auto"));
  std::string expression;
  EXPECT_TRUE(mode.GetValidatorExpression(expression));
  EXPECT_EQ(expression, "x > 0");
  const roz::Node missing(v, {"nope"});
  EXPECT_FALSE(missing.GetDomainValues(domain)) << "lookup failures become false";
}

TEST(NodeTest, EmitHandsARecordOfTheHandleAndLocalNodesRefuseSubscriptions) {
  const auto v = MakeValueNode("v");
  roz::Node handle(v, {"a"});
  EXPECT_TRUE(handle.Emit(eNodeAdded, istd::Any(42)));
  ASSERT_EQ(v->m_emitted.size(), 1u);
  EXPECT_TRUE(v->m_emitted[0].node == handle);
  EXPECT_EQ(v->m_emitted[0].type, eNodeAdded);
  EXPECT_EQ(v->m_emitted[0].data.Get<int>(), 42);
  EXPECT_EQ(v->m_emitted[0].pos, 0u);

  const roz::ClientId client;
  roz::Node local(MakeLocalNode("l"), c_none);
  EXPECT_FALSE(local.Emit(eValueChanged, istd::Any()));
  roz::Node plain(std::make_shared<roz::TreeNode>("p"), c_none);
  EXPECT_FALSE(plain.Subscribe(client));
  EXPECT_FALSE(plain.Unsubscribe(client));
}

using NodeTraceTest = TraceFixture;

TEST_F(NodeTraceTest, DeadHandleNotificationsReturnFalseAndTraceAtMedium) {
  roz::Node dead(MakeLocalNode("d"), c_none);  // the temporary node is gone already
  StartTrace(istd::eMedium);
  const roz::ClientId client;
  EXPECT_FALSE(dead.Subscribe(client));
  EXPECT_FALSE(dead.Unsubscribe(client));
  EXPECT_FALSE(dead.Emit(eValueChanged, istd::Any(1)));
  const std::vector<std::string> messages = TraceMessages();
  EXPECT_EQ(std::count(messages.begin(), messages.end(), "Node is not valid anymore."), 3);
}

TEST_F(NodeTraceTest, DestroyNodeDetachesCleansUpWarnsAndResets) {
  roz::TreeNodePtr none;
  roz::DestroyNode(none);  // nothing happens

  const roz::TreeNodePtr parent = MakeLocalNode("p");
  const auto v = MakeValueNode("v");
  parent->Add(v);
  roz::TreeNodePtr mine = v;
  StartTrace(istd::eMedium);
  roz::DestroyNode(mine);
  EXPECT_EQ(mine, roz::TreeNodePtr());
  EXPECT_TRUE(v->IsRoot());
  EXPECT_TRUE(parent->IsLeaf(c_none));
  EXPECT_EQ(v->m_cleanupCalls, 1);
  EXPECT_THAT(TraceMessages(), Contains("Warning: Node v use count: 2. Should be 1."));
}

TEST(NodeTest, DestroyOfAPathInsideALocalRootThrowsAndDeleteNodeRemovesAGrandchild) {
  SmallTree t;
  const auto v = MakeValueNode("v");
  roz::Node inner(v, {"a"});
  EXPECT_EQ(ThrownText([&] { inner.Destroy(); }), "ireg: root node doesn't have a parent.");
  roz::Node rootHandle(t.r, {"ignored"});
  rootHandle.DeleteNode("y", "x");
  EXPECT_TRUE(t.y->IsLeaf(c_none));
  EXPECT_TRUE(t.x->IsRoot());
  EXPECT_NO_THROW(rootHandle.DeleteNode("y", "absent"));
  EXPECT_EQ(ThrownText([&] { rootHandle.DeleteNode("nohost", "x"); }),
            "ireg: node nohost not found.");
  roz::Node z(t.z, c_none);
  EXPECT_TRUE(z.Destroy());
  EXPECT_TRUE(t.z->IsRoot());
  EXPECT_THAT(Names(roz::Node(t.r, c_none).GetNodes()), ElementsAre("y"));
}

}  // namespace
