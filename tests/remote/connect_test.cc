// The entry points against a real server: connecting and the cache layout,
// refused and unreachable servers, servers that stop or restart, Ping,
// Disconnect, Shutdown and call time-outs.
#include <gtest/gtest.h>

#include <omniORB4/CORBA.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "client/roz.h"
#include "common/test_util.h"
#include "network/orb_manager.h"
#include "remote/remote_fixture.h"
#include "support/regd_fixture.h"

namespace {

using remotetest::RegdProcess;
using remotetest::RemoteTest;
using remotetest::ThrownText;

class ConnectTest : public RemoteTest {};

TEST(RemoteNodeTest, BuildsItsAddressAndNameWithoutContactingAnything) {
  roz::RemoteNode anonymous("192.168.0.5", 0, "varnek-app");
  EXPECT_EQ(anonymous.GetAddressUrl(), "corbaloc:iiop:192.168.0.5:0/varnek-app");
  EXPECT_EQ(anonymous.GetName(), "IP_192-168-0-5");
  EXPECT_FALSE(anonymous.IsConnected());

  roz::RemoteNode named("platform", "10.1.2.3", 2809, inet::c_defaultNetId);
  EXPECT_EQ(named.GetAddressUrl(), "corbaloc:iiop:10.1.2.3:2809/varnek-app");
  EXPECT_EQ(named.GetName(), "platform");
  EXPECT_EQ(ThrownText([] { roz::RemoteNode("1st", "h", 1, "k"); }), "Invalid node name: 1st");

  // Not connected: every access says so.
  EXPECT_EQ(ThrownText([&] {
              named.GetFlags(roz::Path{"a", "b"});
            }),
            "ireg: node disconnected: a.b");
  int32_t value = 0;
  EXPECT_EQ(ThrownText([&] { named.Get(value, 0, roz::Path{"x"}); }), "ireg: node disconnected: x");
  EXPECT_EQ(ThrownText([&] { named.Set(std::vector<bool>{true}, 0, roz::Path{"y"}); }),
            "ireg: node disconnected: y");
}

TEST(RootTest, WritesItsTextName) {
  std::ostringstream os;
  os << roz::ePlatform << " " << roz::eApp << " " << static_cast<roz::Root>(7);
  EXPECT_EQ(os.str(), "platform app platform");
}

TEST_F(ConnectTest, SecondConnectReusesTheProxy) {
  InClient([&] {
    StartTrace(istd::eHigh);
    RegdProcess regd;
    roz::Node platform = StartAndConnect(regd);
    ASSERT_TRUE(platform.IsValid());
    EXPECT_EQ(platform.GetName(), "platform");
    const std::string host = "host-127-0-0-1:" + std::to_string(regd.Port());
    EXPECT_EQ(platform.GetFullPath(false), (roz::Path{"cache", host, "platform"}));
    EXPECT_TRUE(Traced("Connecting to root node: 127.0.0.1:" + std::to_string(regd.Port()) +
                       "/varnek-app"));
    EXPECT_TRUE(Traced("Connecting to remote application: corbaloc:iiop:127.0.0.1:" +
                       std::to_string(regd.Port()) + "/varnek-app"));

    const roz::Node again = roz::Connect("", roz::ePlatform, static_cast<int>(regd.Port()), true);
    EXPECT_TRUE(again == platform);
    EXPECT_TRUE(roz::GetNode(roz::ePlatform, static_cast<int>(regd.Port())) == platform);
    EXPECT_EQ(Counter(platform, "get_remote_node_calls"), 1u);
    EXPECT_EQ(Counter(platform, "clients"), 1u);

    // The application root of the same address is another connection below
    // the same host node.
    const roz::Node app =
        roz::Connect("127.0.0.1", roz::eApp, static_cast<int>(regd.Port()), false);
    ASSERT_TRUE(app.IsValid());
    EXPECT_FALSE(app == platform);
    EXPECT_EQ(app.GetFullPath(false), (roz::Path{"cache", host, "app"}));
    EXPECT_EQ(app.GetParent().GetNodeCount(), 2u);
    EXPECT_EQ(Counter(platform, "get_remote_node_calls"), 2u);
  });
}

TEST_F(ConnectTest, GetNodeBeforeConnectFindsNothing) {
  InClient([&] {
    StartTrace(istd::eHigh);
    EXPECT_FALSE(roz::GetNode(roz::eApp, 0).IsValid()) << "no cache at all";
    roz::Init();
    EXPECT_FALSE(roz::GetNode(roz::eApp, 0).IsValid());
    EXPECT_TRUE(Traced("Node not found: host-127-0-0-1:5679.app"));
    roz::Disconnect(roz::eApp, 0);  // never connected: nothing happens
    roz::DeleteNode("10.0.0.1", roz::ePlatform, 0);
    EXPECT_TRUE(Traced("Node not deleted."));
    roz::Node none;
    EXPECT_EQ(roz::Ping(none), roz::eNoTreeNode);
    EXPECT_TRUE(Traced("Node has no tree node, can't reconnect."));
  });
}

TEST_F(ConnectTest, ConnectBeforeInitGivesAnInvalidHandle) {
  InClient([&] { EXPECT_FALSE(roz::Connect(roz::ePlatform, 1).IsValid()); });
}

TEST_F(ConnectTest, ServerOfAnotherInterfaceVersionIsRefused) {
  InClient([&] {
    StartTrace(istd::eLow);
    RegdProcess regd;
    regd.Options().args = {"--interface-version", "2.7"};
    const roz::Node platform = StartAndConnect(regd);
    EXPECT_FALSE(platform.IsValid());
    EXPECT_TRUE(
        Traced("Unable to connect to remote application or registry: Remote interface "
               "version is not supported. Client version 2.6. Server version 2.7."));
  });
}

TEST_F(ConnectTest, UnreachablePortGivesAnInvalidHandle) {
  InClient([&] {
    StartTrace(istd::eLow);
    RegdProcess regd;
    regd.Start();
    const int port = static_cast<int>(regd.Port());
    EXPECT_EQ(regd.Stop(), 0);
    roz::Init();
    EXPECT_FALSE(roz::Connect("127.0.0.1", roz::ePlatform, port, false).IsValid());
    EXPECT_TRUE(Traced("Unable to connect to remote application or registry: CORBA::TRANSIENT#"));
    // A later Connect tries anew.
    regd.Options().port = static_cast<unsigned int>(port);
    regd.Start();
    EXPECT_TRUE(roz::Connect("127.0.0.1", roz::ePlatform, port, false).IsValid());
  });
}

TEST_F(ConnectTest, StoppedServerIsNotFoundAndConnectReplacesItsProxy) {
  InClient([&] {
    StartTrace(istd::eHigh);
    RegdProcess regd;
    const roz::Node old = StartAndConnect(regd);
    ASSERT_TRUE(old.IsValid());
    const int port = static_cast<int>(regd.Port());
    EXPECT_EQ(regd.Stop(), 0);

    EXPECT_FALSE(roz::GetNode("127.0.0.1", roz::ePlatform, port).IsValid());
    EXPECT_TRUE(Traced("Node not found: host-127-0-0-1:" + std::to_string(port) + ".platform"));
    EXPECT_TRUE(old.IsValid()) << "the stale proxy stays in the cache until replaced";

    regd.Options().port = static_cast<unsigned int>(port);
    regd.Start();
    const roz::Node fresh = roz::Connect("127.0.0.1", roz::ePlatform, port, false);
    ASSERT_TRUE(fresh.IsValid());
    EXPECT_FALSE(fresh == old);
    EXPECT_FALSE(old.IsValid()) << "the stale proxy was removed and destroyed";
    std::string serial;
    EXPECT_TRUE(fresh.GetNode(roz::Tokenize("identity.serial")).GetValue(serial, 0));
    EXPECT_EQ(serial, "VX4410-00172");
    EXPECT_EQ(fresh.GetParent().GetNodeCount(), 1u) << "one proxy under the host node";
  });
}

TEST_F(ConnectTest, PingReconnectsAProxyWhoseServerRestarted) {
  InClient([&] {
    StartTrace(istd::eLow);
    RegdProcess regd;
    roz::Node platform = StartAndConnect(regd);
    ASSERT_TRUE(platform.IsValid());
    roz::Node gain = platform.GetNode(roz::Tokenize("settings.gain"));
    EXPECT_EQ(roz::Ping(gain), roz::eConnected);

    regd.Restart();
    double value = 0;
    EXPECT_EQ(ThrownText([&] { gain.Get(value, 0); }), "ireg: node not accessible: settings.gain")
        << "the old server's objects are gone";
    EXPECT_EQ(roz::Ping(gain), roz::eReconnected);
    EXPECT_TRUE(Traced("Node not accessible: gain"));
    EXPECT_TRUE(Traced("Reinitialized remote node: platform"));
    EXPECT_TRUE(gain.GetValue(value, 0)) << "the same handle works again";
    EXPECT_EQ(value, 1.0);
    EXPECT_EQ(roz::Ping(platform), roz::eConnected);
    EXPECT_EQ(Counter(platform, "get_remote_node_calls"), 1u);
  });
}

TEST_F(ConnectTest, ReadersOnOtherThreadsSurviveAReconnection) {
  InClient([&] {
    RegdProcess regd;
    roz::Node platform = StartAndConnect(regd);
    ASSERT_TRUE(platform.IsValid());
    std::atomic<bool> stop{false};
    std::atomic<int> readsAfterRestart{0};
    std::atomic<bool> restarted{false};
    // Resolved before the restart: the readers only read.
    const roz::Node offsets = platform.GetNode(roz::Tokenize("calibration.offsets"));
    std::vector<std::thread> readers;
    for (int i = 0; i < 2; ++i) {
      readers.emplace_back([&] {
        std::vector<int32_t> values;
        while (!stop) {
          if (offsets.GetValue(values, 0, 0) && restarted) ++readsAfterRestart;
        }
      });
    }
    regd.Restart();
    restarted = true;
    EXPECT_EQ(roz::Ping(platform), roz::eReconnected);
    EXPECT_TRUE(testsupport::WaitUntil([&] { return readsAfterRestart > 10; }));
    stop = true;
    for (std::thread& reader : readers) reader.join();
  });
}

TEST_F(ConnectTest, PingOfAStoppedServerLeavesTheProxyDisconnected) {
  InClient([&] {
    StartTrace(istd::eMedium);
    RegdProcess regd;
    roz::Node platform = StartAndConnect(regd);
    ASSERT_TRUE(platform.IsValid());
    EXPECT_EQ(regd.Stop(), 0);
    EXPECT_EQ(roz::Ping(platform), roz::eNotConnected);
    EXPECT_TRUE(Traced("Try to reconnect the remote application: corbaloc:iiop:127.0.0.1:"));
    EXPECT_TRUE(Traced("Failed to reinitialize remote node."));
    auto* proxy = dynamic_cast<roz::RemoteNode*>(platform.GetTreeNode().get());
    ASSERT_NE(proxy, nullptr);
    EXPECT_FALSE(proxy->IsConnected());

    // Disconnected: values say so, navigation fails at the remote call.
    const roz::Node gain(platform.GetTreeNode(), roz::Tokenize("settings.gain"));
    double value = 0;
    EXPECT_EQ(ThrownText([&] { gain.Get(value, 0); }), "ireg: node disconnected: settings.gain");
    EXPECT_EQ(ThrownText([&] { gain.Set(2.0, 0); }), "ireg: node disconnected: settings.gain");
    EXPECT_EQ(ThrownText([&] { gain.GetFlags(); }), "ireg: node disconnected: settings.gain");
    EXPECT_EQ(ThrownText([&] { platform.GetNode("settings"); }),
              "ireg: child node not accessible in: settings");
    EXPECT_EQ(ThrownText([&] { platform.GetNode(2); }), "ireg: child node not accessible in: ");
    EXPECT_EQ(ThrownText([&] { platform.GetNodes(); }), "ireg: node not accessible: ");
    EXPECT_EQ(ThrownText([&] { gain.IsLeaf(); }), "ireg: node not accessible: settings.gain");

    // Back on the same port: Ping repairs the proxy in place.
    regd.Options().port = regd.Port();
    regd.Start();
    EXPECT_EQ(roz::Ping(platform), roz::eReconnected);
    EXPECT_TRUE(gain.GetValue(value, 0));
  });
}

// An application in the test process that hands the registry requests on
// to `target` and keeps the notification sink it was given last.
class SinkKeepingApplication : public POA_i_NET::Application {
 public:
  explicit SinkKeepingApplication(i_NET::Application_ptr target)
      : m_target(i_NET::Application::_duplicate(target)) {}
  char* GetInterfaceVersion() override { return m_target->GetInterfaceVersion(); }
  i_NET::RemoteNode_ptr GetRemoteNode(i_NET::Notification_ptr sink) override {
    m_sink = i_NET::Notification::_duplicate(sink);
    return m_target->GetRemoteNode(sink);
  }
  void ReleaseRemoteNode(i_NET::Notification_ptr sink) override {
    m_target->ReleaseRemoteNode(sink);
  }

  i_NET::Notification_var m_sink;
  i_NET::Application_var m_target;
};

TEST_F(ConnectTest, FailureOfAnotherKindReleasesTheServantWhateverTheTraceLevel) {
  InClient([&] {
    RegdProcess regd;
    regd.Start();
    const unsigned int port = testutil::FreePort();
    inet::OrbManager::Init(0, nullptr, port, inet::OrbManager::c_defaultMaxMsgSize);
    CORBA::Object_var object = inet::OM()->StringToObject(regd.Address());
    i_NET::Application_var target = i_NET::Application::_narrow(object.in());
    auto* application = new SinkKeepingApplication(target.in());
    inet::OM()->ActivatePersistent(application, "keeping-app");
    for (const istd::TraceLevel_e level : {istd::eOff, istd::eLow}) {
      SCOPED_TRACE(level);
      if (level != istd::eOff) StartTrace(level);
      // A proxy that no shared pointer owns cannot hand itself to its
      // servant: an exception that is no connection failure. It reaches the
      // caller, and the servant of the attempt goes; Reinit, which then
      // makes a fresh servant, the same.
      auto proxy = std::make_unique<roz::RemoteNode>("odd", "127.0.0.1", port, "keeping-app");
      EXPECT_THROW(proxy->Init(), std::bad_weak_ptr);
      EXPECT_TRUE(application->m_sink->_non_existent());
      const i_NET::Notification_var first = application->m_sink;
      EXPECT_THROW(proxy->Reinit(), std::bad_weak_ptr);
      EXPECT_FALSE(application->m_sink->_is_equivalent(first.in()));
      EXPECT_TRUE(application->m_sink->_non_existent());
      EXPECT_FALSE(proxy->IsConnected());
    }
  });
}

// A local node that cannot answer: Ping has no connection to repair.
class SilentNode : public roz::TreeNode {
 public:
  using roz::TreeNode::TreeNode;
  roz::enums::NodeValType_e OnGetValueType(const roz::Path&) const override {
    throw istd::Exception("silent", true);
  }
};

TEST_F(ConnectTest, PingOfALocalNode) {
  InClient([&] {
    StartTrace(istd::eLow);
    const roz::TreeNodePtr local =
        roz::factory::Create<roz::LocalNodeStructure, roz::TreeNode>("local");
    roz::Node handle(local, roz::c_noRelPath);
    EXPECT_EQ(roz::Ping(handle), roz::eConnected) << "a plain local node always answers";
    const roz::TreeNodePtr silent = roz::factory::Create<roz::NodeStructure, SilentNode>("quiet");
    roz::Node quiet(silent, roz::c_noRelPath);
    EXPECT_EQ(roz::Ping(quiet), roz::eNotConnected);
    EXPECT_TRUE(Traced("Node not accessible: quiet"));
  });
}

TEST_F(ConnectTest, DisconnectReleasesTheProxyAtTheServer) {
  InClient([&] {
    RegdProcess regd;
    const roz::Node platform = StartAndConnect(regd);
    ASSERT_TRUE(platform.IsValid());
    const roz::Node serial = platform.GetNode(roz::Tokenize("identity.serial"));
    const roz::Node host = platform.GetParent();
    const int port = static_cast<int>(regd.Port());

    roz::Disconnect("127.0.0.1", roz::ePlatform, port);
    EXPECT_FALSE(platform.IsValid());
    EXPECT_FALSE(serial.IsValid());
    std::string text;
    EXPECT_FALSE(serial.GetValue(text, 0));
    EXPECT_EQ(ThrownText([&] { serial.Get(text, 0); }), "Node is not valid anymore.");
    EXPECT_EQ(serial.GetName(), "serial") << "the last path element needs no tree node";
    EXPECT_EQ(host.GetNodeCount(), 0u) << "the host node stays, empty";

    const roz::Node again = roz::Connect("127.0.0.1", roz::ePlatform, port, false);
    ASSERT_TRUE(again.IsValid());
    EXPECT_EQ(Counter(again, "release_calls"), 1u);
    EXPECT_EQ(Counter(again, "clients"), 1u);

    // DeleteNode removes the proxy whether it answers or not.
    roz::DeleteNode("", roz::ePlatform, port);
    EXPECT_FALSE(again.IsValid());
  });
}

TEST_F(ConnectTest, ShutdownReleasesLiveProxiesAtTheServer) {
  InClient([&] {
    RegdProcess regd;
    regd.Options().traceLevel = "Medium";  // regd traces "Client N released"
    const roz::Node platform = StartAndConnect(regd);
    const int port = static_cast<int>(regd.Port());
    const roz::Node app = roz::Connect("127.0.0.1", roz::eApp, port, false);
    ASSERT_TRUE(platform.IsValid());
    ASSERT_TRUE(app.IsValid());
    EXPECT_EQ(Counter(platform, "clients"), 2u);
    EXPECT_EQ(regd.ReadTrace().find(" released"), std::string::npos);

    roz::Shutdown();
    EXPECT_FALSE(platform.IsValid());
    EXPECT_FALSE(app.IsValid());
    EXPECT_FALSE(roz::GetNode(roz::ePlatform, port).IsValid());
    const std::string trace = regd.ReadTrace();
    EXPECT_NE(trace.find("Client 1 released"), std::string::npos) << trace;
    EXPECT_NE(trace.find("Client 2 released"), std::string::npos) << trace;
  });
}

TEST_F(ConnectTest, AnswerSlowerThanTheCallTimeoutFails) {
  InClient([&] {
    RegdProcess regd;
    const roz::Node root = StartAndConnect(regd, R"({"name": "r", "children": [
        {"name": "slow", "type": "Long", "value": 1, "flags": ["read", "write"],
         "hooks": {"delay_ms": 3000}}]})");
    ASSERT_TRUE(root.IsValid());
    // A call that has to open a connection first is bounded by the connect
    // timeout instead.
    omniORB::setClientCallTimeout(300);
    omniORB::setClientConnectTimeout(300);
    const roz::Node slow = root["slow"];
    int32_t value = 0;
    EXPECT_EQ(ThrownText([&] { slow.Get(value, 0); }), "ireg: node not accessible: slow");
    EXPECT_EQ(ThrownText([&] { slow.Set(2, 0); }), "ireg: node not accessible: slow");
    EXPECT_EQ(slow.GetValueType(), roz::enums::eLong) << "the connection is usable again";
  });
}

}  // namespace
