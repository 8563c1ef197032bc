// Browsing a remote tree through roz::Node handles: children, counts and
// leaves answered by the remote structure, hidden nodes, parents inside the
// proxy, subtrees and their text dump, attribute queries, the failure texts
// of navigation, and the proxy's own operations (servant, cleanup, signals).
#include <gtest/gtest.h>

#include <algorithm>

#include "client/internal/i_notification_impl.h"
#include "client/roz.h"
#include "common/test_util.h"
#include "remote/remote_fixture.h"
#include "support/regd_fixture.h"

namespace {

using remotetest::RegdProcess;
using remotetest::RemoteTest;
using remotetest::ThrownText;

class BrowseTest : public RemoteTest {};

std::vector<std::string> Names(const std::vector<roz::Node>& nodes) {
  std::vector<std::string> names;
  for (const roz::Node& node : nodes) names.push_back(node.GetName());
  return names;
}

TEST_F(BrowseTest, ChildrenCountsAndLeavesComeFromTheServer) {
  InClient([&] {
    RegdProcess regd;
    const roz::Node platform = StartAndConnect(regd);
    ASSERT_TRUE(platform.IsValid());

    const std::vector<roz::Node> children = platform.GetNodes();
    EXPECT_EQ(Names(children), (std::vector<std::string>{"identity", "settings", "calibration",
                                                         "measurement", "reset", "signals"}));
    for (const roz::Node& child : children) {
      EXPECT_EQ(child.GetTreeNode(), platform.GetTreeNode()) << "every node is the proxy";
      EXPECT_EQ(child.GetRelPath(), roz::Path{child.GetName()});
    }
    EXPECT_EQ(platform.GetNodeCount(), 6u);
    EXPECT_FALSE(platform.IsLeaf());

    const roz::Node settings = platform.GetNode(1);
    EXPECT_EQ(settings.GetRelPath(), roz::Path{"settings"});
    const roz::Node gain = settings["gain"];
    EXPECT_EQ(gain.GetRelPath(), (roz::Path{"settings", "gain"}));
    EXPECT_TRUE(gain.IsLeaf());
    EXPECT_EQ(gain.GetNodeCount(), 0u);
    EXPECT_TRUE(platform.GetNode(roz::Tokenize("settings.gain")) == gain);
    EXPECT_EQ(settings.GetNode(roz::Path{"mode"}).GetRelPath(), (roz::Path{"settings", "mode"}));
    EXPECT_EQ(platform.GetNode(roz::c_noRelPath).GetRelPath(), roz::c_noRelPath);

    // Parents inside the proxy are the same proxy with a shorter path; the
    // proxy's own parent is its host node in the cache.
    EXPECT_TRUE(gain.GetParent() == settings);
    EXPECT_TRUE(settings.GetParent() == platform);
    EXPECT_EQ(platform.GetParent().GetName(), "host-127-0-0-1:" + std::to_string(regd.Port()));
    EXPECT_EQ(gain.GetRoot().GetName(), "cache");
    EXPECT_FALSE(gain.IsRoot());

    // The proxy lists itself once per visible child.
    auto* proxy = dynamic_cast<roz::RemoteNode*>(platform.GetTreeNode().get());
    ASSERT_NE(proxy, nullptr);
    const std::vector<roz::TreeNodePtr> all = proxy->GetAllNodes();
    EXPECT_EQ(all.size(), 6u);
    EXPECT_TRUE(std::all_of(all.begin(), all.end(), [&](const roz::TreeNodePtr& n) {
      return n == platform.GetTreeNode();
    }));
  });
}

TEST_F(BrowseTest, HiddenNodesAreFoundByNameButNotListed) {
  InClient([&] {
    RegdProcess regd;
    const roz::Node platform = StartAndConnect(regd);
    ASSERT_TRUE(platform.IsValid());
    const std::vector<std::string> names = Names(platform.GetNodes());
    EXPECT_EQ(std::count(names.begin(), names.end(), "service"), 0);
    EXPECT_EQ(std::count(names.begin(), names.end(), "regd"), 0);

    const roz::Node service = platform["service"];
    EXPECT_NE(service.GetFlags() & roz::enums::eHidden, 0u);
    EXPECT_EQ(Names(service.GetNodes()), (std::vector<std::string>{"debug_level", "factory_key"}));
    std::string key;
    EXPECT_TRUE(service["factory_key"].GetValue(key, 0));
    EXPECT_EQ(key, "7F3A-22C1");

    // Pre-order over the visible nodes only.
    const std::vector<roz::Node> tree = roz::SubTree(platform);
    EXPECT_TRUE(tree.front() == platform);
    EXPECT_EQ(roz::SubTree(platform, 0).size(), 1u);
    EXPECT_EQ(roz::SubTree(platform, 1).size(), 7u);
    // demo: 6 children, 5 + 9 + 8 + 3 grandchildren, 2 signals with 6
    // attribute children each.
    EXPECT_EQ(tree.size(), 1u + 6u + 5u + 9u + 8u + 3u + 2u + 12u);
    for (const roz::Node& node : tree) EXPECT_NE(node.GetName(), "service");
    EXPECT_EQ(tree[1].GetName(), "identity");
    EXPECT_EQ(tree[2].GetName(), "manufacturer");
  });
}

TEST_F(BrowseTest, DumpsTheDemoTree) {
  InClient([&] {
    RegdProcess regd;
    const roz::Node platform = StartAndConnect(regd);
    ASSERT_TRUE(platform.IsValid());
    const std::vector<std::string> plain = testutil::SplitLines(platform.DumpSubTree(-1, 0, 0));
    ASSERT_GE(plain.size(), 6u);
    EXPECT_EQ(plain[0], "identity");
    EXPECT_EQ(plain[1], "  manufacturer=Varnek Instruments");
    EXPECT_EQ(plain[5], "  channels=4");
    const auto has = [](const std::vector<std::string>& lines, const std::string& line) {
      return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    EXPECT_TRUE(has(plain, "  gain=1"));
    EXPECT_TRUE(has(plain, "  mode=normal"));
    EXPECT_TRUE(has(plain, "  offsets=[-3,0,7,2]"));
    EXPECT_TRUE(has(plain, "  channel_enabled=[true,true,false,true]"));
    EXPECT_TRUE(has(plain, "reset")) << "not readable: no value";
    EXPECT_TRUE(has(plain, "    group_size=64"));

    const std::vector<std::string> paths = testutil::SplitLines(platform.DumpSubTree(-1, 4, 12));
    EXPECT_TRUE(has(paths, "settings.label=bench 3"));
    EXPECT_TRUE(has(paths, "identity.model=VX-4410 D..."));
    EXPECT_FALSE(has(paths, "settings")) << "mode 4 leaves out nodes without value";

    const std::vector<std::string> flagged = testutil::SplitLines(platform.DumpSubTree(1, 2, 0));
    EXPECT_EQ(flagged.size(), 6u);
    EXPECT_EQ(flagged[0], "r         identity");
    EXPECT_EQ(flagged[4], " w   x    reset");
  });
}

TEST_F(BrowseTest, AttributesComeFromTheServer) {
  InClient([&] {
    RegdProcess regd;
    const roz::Node platform = StartAndConnect(regd);
    ASSERT_TRUE(platform.IsValid());
    const roz::Node gain = platform.GetNode(roz::Tokenize("settings.gain"));
    EXPECT_EQ(gain.GetFlags(),
              roz::Flags(roz::enums::eRead | roz::enums::eWrite | roz::enums::ePersistent));
    EXPECT_TRUE(gain.IsReadable());
    EXPECT_TRUE(gain.IsWritable());
    EXPECT_TRUE(gain.IsPersistent());
    EXPECT_FALSE(gain.IsArray());
    EXPECT_EQ(gain.GetValueType(), roz::enums::eDouble);
    EXPECT_EQ(gain.GetSize(), 1u);
    EXPECT_TRUE(platform.GetNode(roz::Tokenize("identity.serial")).IsConstant());

    // A remote node's flags cannot be changed from here.
    const roz::TreeNodePtr proxy = platform.GetTreeNode();
    EXPECT_EQ(proxy->SetFlags(roz::enums::eHidden | roz::enums::eSignal, gain.GetRelPath()),
              gain.GetFlags());
    EXPECT_EQ(gain.GetFlags() & roz::enums::eHidden, 0u);

    const roz::Node offsets = platform.GetNode(roz::Tokenize("calibration.offsets"));
    EXPECT_TRUE(offsets.IsArray());
    EXPECT_EQ(offsets.GetSize(), 4u);
    EXPECT_EQ(offsets.GetValueType(), roz::enums::eLong);
    EXPECT_EQ(platform.GetValueType(), roz::enums::eUndefined);

    const roz::Node scope = platform.GetNode(roz::Tokenize("signals.scope"));
    EXPECT_TRUE(scope.IsSignal());
    auto* remote = dynamic_cast<roz::RemoteNode*>(proxy.get());
    ASSERT_NE(remote, nullptr);
    i_NET::RemoteSignal_var signal = remote->GetRemoteSignal(scope.GetRelPath());
    EXPECT_FALSE(CORBA::is_nil(signal.in()));
    i_NET::RemoteSignal_var none = remote->GetRemoteSignal(gain.GetRelPath());
    EXPECT_TRUE(CORBA::is_nil(none.in())) << "not a signal";
    EXPECT_EQ(ThrownText([&] { remote->GetRemoteSignal(roz::Path{"nope"}); }),
              "ireg: node not found: nope");
  });
}

TEST_F(BrowseTest, FailedLookupsSayWhatWasMissing) {
  InClient([&] {
    RegdProcess regd;
    const roz::Node platform = StartAndConnect(regd, R"({"name": "r", "children": [
        {"name": "a", "children": [{"name": "x", "type": "Long", "flags": ["read"]}]},
        {"name": "gone", "type": "Long", "flags": ["read"], "hooks": {"not_found": true}}]})");
    ASSERT_TRUE(platform.IsValid());
    const roz::Node a = platform["a"];
    EXPECT_EQ(a["x"].GetRelPath(), (roz::Path{"a", "x"}));
    EXPECT_EQ(ThrownText([&] { a.GetNode("y"); }),
              "ireg: child node not found in: a.y (node not found: a.y)");
    EXPECT_EQ(ThrownText([&] { a.GetNode(1); }),
              "ireg: child node not found in: a (no child with index 1 in: a)");
    EXPECT_EQ(ThrownText([&] { platform.GetNode(roz::Tokenize("a.x.z")); }),
              "ireg: node not found: a.x.z (node not found: a.x.z)");

    // A node the server does not know at all, addressed directly.
    const roz::Node missing(platform.GetTreeNode(), roz::Path{"b"});
    EXPECT_EQ(ThrownText([&] { missing.GetNodes(); }),
              "ireg: node not found: b (node not found: b)");
    EXPECT_EQ(ThrownText([&] { missing.GetNodeCount(); }), "ireg: node not found: b");
    EXPECT_EQ(ThrownText([&] { missing.IsLeaf(); }), "ireg: node not found: b");
    EXPECT_EQ(ThrownText([&] { missing.GetFlags(); }), "ireg: node not found: b");
    EXPECT_EQ(ThrownText([&] { missing.GetSize(); }), "ireg: node not found: b");
    std::vector<std::string> domain{"kept"};
    EXPECT_TRUE(missing.GetDomainValues(domain));
    EXPECT_EQ(domain, std::vector<std::string>{}) << "no domain for an unknown path";

    // Listed by its parent, refused by the server.
    EXPECT_EQ(Names(platform.GetNodes()), (std::vector<std::string>{"a", "gone"}));
    EXPECT_EQ(ThrownText([&] { platform.GetNode("gone"); }),
              "ireg: child node not found in: gone (node not found: gone)");
  });
}

// A proxy whose notification servant a test can reach.
class ProbeNode : public roz::RemoteNode {
 public:
  using roz::RemoteNode::RemoteNode;
  roz::i_Notification_impl* Servant() const { return GetNotificationServant(); }
};

const char* const c_subscribeTree = R"({"name": "r", "children": [
    {"name": "a", "type": "Long", "flags": ["read", "write"]},
    {"name": "b", "type": "Long", "flags": ["read", "write"], "hooks": {"refuse_subscribe": true}},
    {"name": "c", "type": "Long", "flags": ["read", "write"]}]})";

// Starts `regd` with the tree above and connects a probe proxy to it, outside
// the cache.
roz::TreeNodePtr StartProbe(RegdProcess& regd) {
  regd.Options().tree = regd.WriteTree("tree.json", c_subscribeTree);
  regd.Start();
  roz::Init();
  return roz::factory::Create<roz::RemoteNodeStructure, ProbeNode>(
      std::string("probe"), std::string("127.0.0.1"), regd.Port(),
      std::string(inet::c_defaultNetId));
}

TEST_F(BrowseTest, ReinitSubscribesThePathsOfTheServantAgain) {
  InClient([&] {
    StartTrace(istd::eLow);
    RegdProcess regd;
    const roz::TreeNodePtr tree = StartProbe(regd);
    ASSERT_TRUE(tree);
    auto* probe = static_cast<ProbeNode*>(tree.get());
    ASSERT_NE(probe->Servant(), nullptr);
    const roz::Node root(tree, roz::c_noRelPath);

    // Two clients on a, one on c: the server is asked once per path.
    const roz::ClientId one;
    const roz::ClientId two;
    bool first = false;
    EXPECT_TRUE(probe->Servant()->Subscribe(one, root["a"], first));
    EXPECT_TRUE(first);
    EXPECT_TRUE(probe->Servant()->Subscribe(two, root["a"], first));
    EXPECT_FALSE(first);
    EXPECT_FALSE(probe->Servant()->Subscribe(two, root["a"], first)) << "already there";
    EXPECT_TRUE(probe->Servant()->Subscribe(one, root["c"], first));
    EXPECT_EQ(probe->Servant()->GetSubscribedNodes().size(), 2u);

    EXPECT_TRUE(probe->Reinit());
    EXPECT_EQ(Counter(root, "subscriptions"), 2u);
    EXPECT_EQ(Counter(root, "get_remote_node_calls"), 2u);
    EXPECT_EQ(Counter(root, "clients"), 1u) << "the same sink, the same client";

    // Cleanup stops the notifications at the server.
    EXPECT_FALSE(tree->Cleanup(roz::Path{"a"}));
    EXPECT_TRUE(tree->Cleanup(roz::c_noRelPath));
    EXPECT_EQ(Counter(root, "subscriptions"), 0u);

    // With b refused (second in path order) the resubscription stops there.
    EXPECT_TRUE(probe->Servant()->Subscribe(one, root["b"], first));
    regd.Restart();
    EXPECT_FALSE(probe->Reinit());
    EXPECT_TRUE(Traced("Failed to subscribe reconnected node.b"));
    EXPECT_EQ(Counter(root, "subscriptions"), 1u) << "a only, c was not tried";

    bool last = false;
    EXPECT_TRUE(probe->Servant()->Unsubscribe(one, root["a"], last));
    EXPECT_FALSE(last);
    EXPECT_TRUE(probe->Servant()->Unsubscribe(two, root["a"], last));
    EXPECT_TRUE(last);
    EXPECT_FALSE(probe->Servant()->Unsubscribe(two, root["a"], last));
    EXPECT_EQ(probe->Servant()->GetSubscribedNodes().size(), 2u) << "b and c";
  });
}

TEST_F(BrowseTest, NotificationsOfSubscribedPathsReachTheServant) {
  InClient([&] {
    StartTrace(istd::eDetail);
    RegdProcess regd;
    const roz::TreeNodePtr tree = StartProbe(regd);
    ASSERT_TRUE(tree);
    auto* probe = static_cast<ProbeNode*>(tree.get());
    const roz::Node root(tree, roz::c_noRelPath);
    const roz::ClientId client;
    bool first = false;
    ASSERT_TRUE(probe->Servant()->Subscribe(client, root["a"], first));
    ASSERT_TRUE(probe->Servant()->Subscribe(client, root["c"], first));
    ASSERT_TRUE(probe->Reinit());  // subscribes a and c at the server

    // The server calls back over the client's own connection.
    EXPECT_TRUE(root["a"].SetValue(5, 0));
    EXPECT_TRUE(testsupport::WaitUntil([&] { return Traced("Notification for a at 0 to 1"); }));
    bool last = false;
    ASSERT_TRUE(probe->Servant()->Unsubscribe(client, root["c"], last));
    EXPECT_TRUE(root["c"].SetValue(6, 0));
    EXPECT_TRUE(testsupport::WaitUntil([&] { return Traced("Cannot find client for this node."); }))
        << "still subscribed at the server, no longer here";
  });
}

}  // namespace
