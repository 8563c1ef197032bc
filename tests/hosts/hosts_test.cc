// Clients and registries on different hosts: regd runs on a server test host,
// the client library on a client test host, the two joined by a veth link
// (hosts/test_hosts.h). Checks the road across the link (host key, proxy
// names, reads, writes, notifications, push and data-on-demand signals), the
// refused subnet 192.168.77.0/24 of the fixed transport rules, and that
// a client whose host refuses inbound connections is fully served, also
// over TLS.
//
// Every test makes its own hosts and its own regd (on the application port
// 5679 of its server host, which no other test shares); the client side runs
// in a forked child that enters the client host before roz::Init.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <omniORB4/CORBA.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/roz.h"
#include "hosts/test_hosts.h"
#include "isig/isig.h"
#include "network/i_application.h"
#include "remote/remote_fixture.h"
#include "support/inbox.h"
#include "support/regd_fixture.h"
#include "support/test_pki.h"

namespace {

using hosttest::Host;
using hosttest::TestHosts;
using remotetest::RegdProcess;
using testsupport::Inbox;
using testsupport::WaitUntil;

using Traits = isig::SignalTraits<double>;
using Stream = isig::RemoteStream<Traits>;
using StreamClient = isig::StreamClient<Traits>;
using DodSource = isig::DataOnDemandRemoteSource<Traits>;
using DodClient = isig::DodRemoteClient<Traits>;

const unsigned int c_appPort = inet::c_defaultAppPort;
// The host node of the server's application registry in the client's cache.
const std::string c_serverHostKey = "host-10-200-0-2:" + std::to_string(c_appPort);

// Component c of atom i of both signals is i % 100 + c.
const char* const c_tree = R"({"name": "device", "flags": ["read"], "children": [
    {"name": "gain", "type": "Double", "flags": ["read", "write"], "value": 1.5},
    {"name": "levels", "type": "Long", "flags": ["read", "write", "array"], "value": [1, 2, 3, 4]},
    {"name": "scope", "flags": ["read", "signal"], "signal": {"access": "push",
     "element": "double", "components": ["x", "y"], "group_size": 4, "block_rate_hz": 50,
     "generator": {"kind": "ramp", "step": 1, "period": 100}}},
    {"name": "history", "flags": ["read", "signal"], "signal": {"access": "dod",
     "element": "double", "components": ["x", "y"], "length": 1000,
     "generator": {"kind": "ramp", "step": 1, "period": 100}}}]})";

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// True when a TCP connection to address:port opens from the calling
// process's namespace (the server is there at the network level).
bool TcpConnects(const std::string& address, unsigned int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, address.c_str(), &to.sin_addr);
  const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
  ::close(fd);
  return connected;
}

class SeveralHostsTest : public remotetest::RemoteTest {
 protected:
  void SetUp() override {
    const std::string why = TestHosts::Unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
  }

  // Starts `regd` on the application port of `host` with the tree above.
  static void StartRegdOn(RegdProcess& regd, const Host& host) {
    regd.Options().netns = host.ns;
    regd.Options().port = c_appPort;
    regd.Options().tree = regd.WriteTree("tree.json", c_tree);
    regd.Start();
  }

  // In the client child: enters `client`, initialises the library and
  // connects the application registry of `server`.
  static roz::Node ConnectFrom(const Host& client, const Host& server) {
    TestHosts::Enter(client);
    roz::Init();
    return roz::Connect(server.address, roz::eApp, 0, false);
  }

  // The first two blocks `stream` gives a new client: consecutive, the
  // ramp's atoms.
  static void ExpectTwoBlocks(isig::SignalSource& source) {
    std::unique_ptr<StreamClient> client(
        dynamic_cast<StreamClient*>(source.NewSignalClient("reader", 64)));
    ASSERT_TRUE(client);
    client->Open();
    StreamClient::Block first;
    StreamClient::Block second;
    ASSERT_EQ(client->Read(first, 10000), isig::eSuccess);
    ASSERT_EQ(client->Read(second, 10000), isig::eSuccess);
    EXPECT_EQ(second->meta.at(isig::eMetaSequence), first->meta.at(isig::eMetaSequence) + 1);
    const long long position = second->meta.at(isig::eMetaPosition);
    ASSERT_EQ(second->buffer.AtomCount(), 4u);
    for (unsigned int a = 0; a < 4; ++a) {
      EXPECT_EQ(second->buffer.Atom(a)[1], static_cast<double>((position + a) % 100 + 1));
    }
  }

  // In the client child, connected to `app` from a client host that refuses
  // inbound connections: a write and its read, a data-on-demand read,
  // pushed blocks and the notification of a write all arrive, and the
  // client's firewall never had to refuse anything.
  static void ExpectServedBehindTheFirewall(const TestHosts& hosts, const roz::Node& app) {
    const roz::Node gain = app["gain"];
    ASSERT_TRUE(gain.SetValue(2.5, 0));
    double value = 0;
    ASSERT_TRUE(gain.GetValue(value, 0));
    EXPECT_EQ(value, 2.5);
    ExpectDataOnDemandRead(app["history"]);
    const isig::SignalSourceSharedPtr scope = roz::CreateRemoteSignal(app["scope"]);
    ASSERT_TRUE(std::dynamic_pointer_cast<Stream>(scope));
    ExpectTwoBlocks(*scope);

    Inbox inbox;
    roz::NotificationClient listener(inbox.Take());
    ASSERT_TRUE(listener.Register(gain));
    ASSERT_TRUE(gain.SetValue(3.5, 0));
    ASSERT_TRUE(inbox.WaitFor(1, 10.0)) << "the notification of a write";
    EXPECT_TRUE(inbox.At(0).node == gain);
    EXPECT_EQ(inbox.At(0).data.Get<double>(), 3.5);
    EXPECT_EQ(hosts.RefusedConnections(hosts.Client()), 0u)
        << "everything came back over the client's connection";
  }

  // Reads atoms 250..252 of the data-on-demand signal `history`.
  static void ExpectDataOnDemandRead(const roz::Node& history) {
    const auto source = std::dynamic_pointer_cast<DodSource>(roz::CreateRemoteSignal(history));
    ASSERT_TRUE(source);
    DodClient reader(source, "reader");
    isig::Array<Traits> atoms;
    isig::SignalMeta meta;
    ASSERT_EQ(reader.Read(250, 3, atoms, meta), isig::eSuccess);
    ASSERT_EQ(atoms.AtomCount(), 3u);
    EXPECT_EQ(atoms.Atom(2)[0], 52.0);
    EXPECT_EQ(atoms.Atom(2)[1], 53.0);
  }
};

TEST_F(SeveralHostsTest, ClientUsesTheRegistryOfAnotherHostAcrossTheLink) {
  TestHosts hosts("10.200.0.1", "10.200.0.2");
  RegdProcess regd;
  StartRegdOn(regd, hosts.Server());
  // Only the link leads there: the client host has no such address itself.
  EXPECT_EQ(hosts.Exec(hosts.Client(), {"ip", "-4", "-o", "addr", "show", "to", "10.200.0.2"}), "");

  InClient([&] {
    const roz::Node app = ConnectFrom(hosts.Client(), hosts.Server());
    ASSERT_TRUE(app.IsValid());
    EXPECT_EQ(app.GetName(), "app");
    EXPECT_EQ(app.GetParent().GetName(), c_serverHostKey);
    EXPECT_EQ(app.GetFullPath(false), (roz::Path{"cache", c_serverHostKey, "app"}));
    EXPECT_TRUE(roz::GetNode("10.200.0.2", roz::eApp, 0) == app);
    const roz::Node gain = app["gain"];
    EXPECT_EQ(gain.GetName(), "gain");
    EXPECT_EQ(gain.GetFullPath(false), (roz::Path{"cache", c_serverHostKey, "app", "gain"}));

    // Reads and writes.
    double value = 0;
    ASSERT_TRUE(gain.GetValue(value, 0));
    EXPECT_EQ(value, 1.5);
    std::vector<int32_t> levels;
    ASSERT_TRUE(app["levels"].GetValue(levels, 0, 0));
    EXPECT_EQ(levels, (std::vector<int32_t>{1, 2, 3, 4}));
    ASSERT_TRUE(app["levels"].SetValue(std::vector<int32_t>{7, 8}, 2));
    ASSERT_TRUE(app["levels"].GetValue(levels, 0, 0));
    EXPECT_EQ(levels, (std::vector<int32_t>{1, 2, 7, 8}));

    // A notification comes back across the link to the callback.
    Inbox inbox;
    roz::NotificationClient listener(inbox.Take());
    ASSERT_TRUE(listener.Register(gain));
    ASSERT_TRUE(gain.SetValue(2.5, 0));
    ASSERT_TRUE(inbox.WaitFor(1, 10.0));
    EXPECT_TRUE(inbox.At(0).node == gain);
    EXPECT_EQ(inbox.At(0).data.Get<double>(), 2.5);
    ASSERT_TRUE(gain.GetValue(value, 0));
    EXPECT_EQ(value, 2.5);

    // Signals: pushed blocks and a data-on-demand read.
    const isig::SignalSourceSharedPtr scope = roz::CreateRemoteSignal(app["scope"]);
    ASSERT_TRUE(std::dynamic_pointer_cast<Stream>(scope));
    ExpectTwoBlocks(*scope);
    ExpectDataOnDemandRead(app["history"]);
  });
}

// With the client's host refusing new inbound connections, everything comes
// back over the client's own connection (bidirectional GIOP): answers of
// reads and writes, data-on-demand reads, pushed blocks and notifications
// (whose sink regd takes in its bidirectional adapter); no connection
// towards the client is ever tried.
TEST_F(SeveralHostsTest, ClientHostRefusingInboundIsServedOverItsOwnConnection) {
  TestHosts hosts("10.200.0.1", "10.200.0.2");
  RegdProcess regd;
  StartRegdOn(regd, hosts.Server());
  hosts.RefuseInbound(hosts.Client());

  InClient([&] {
    const roz::Node app = ConnectFrom(hosts.Client(), hosts.Server());
    ASSERT_TRUE(app.IsValid());
    ExpectServedBehindTheFirewall(hosts, app);
  });
}

// The same over TLS across the link; a client without a certificate of
// the CA gets nothing.
TEST_F(SeveralHostsTest, TlsClientBehindAFirewallIsServedAcrossTheLink) {
  testsupport::TestPki pki;
  TestHosts hosts("10.200.0.1", "10.200.0.2");
  RegdProcess regd;
  regd.Options().args = {"--tls-ca", pki.Ca(), "--tls-key", pki.Key("server")};
  StartRegdOn(regd, hosts.Server());
  hosts.RefuseInbound(hosts.Client());

  InClient([&] {
    TestHosts::Enter(hosts.Client());
    inet::TlsSettings tls;
    tls.m_caFile = pki.Ca();
    tls.m_keyFile = pki.Key("operator");
    roz::SetTls(tls);
    roz::Init();
    const roz::Node app = roz::Connect(hosts.Server().address, roz::eApp, 0, false);
    ASSERT_TRUE(app.IsValid());
    ExpectServedBehindTheFirewall(hosts, app);
    EXPECT_EQ(inet::LastServerIdentity(), "regd-test");
    roz::Shutdown();
  });

  InClient([&] {
    TestHosts::Enter(hosts.Client());
    roz::Init();
    EXPECT_FALSE(roz::Connect(hosts.Server().address, roz::eApp, 0, false).IsValid())
        << "plain TCP is refused";
  });
  EXPECT_NE(regd.ReadLog().find("TLS connection refused: client 10.200.0.1:"), std::string::npos)
      << regd.ReadLog();
}

}  // namespace

namespace {

// The answer of the Application at `corbaloc` to an ORB of this process
// initialised with omniORB's defaults (no transport rules): "answered " +
// version, or the name of the system exception.
std::string AskWithoutTransportRules(const std::string& corbaloc) {
  int argc = 1;
  char name[] = "hosts_tests";
  char* argv[] = {name, nullptr};
  CORBA::ORB_var orb = CORBA::ORB_init(argc, argv, "omniORB4");
  omniORB::setClientConnectTimeout(5000);
  omniORB::setClientCallTimeout(5000);
  try {
    CORBA::Object_var obj = orb->string_to_object(corbaloc.c_str());
    i_NET::Application_var app = i_NET::Application::_unchecked_narrow(obj);
    CORBA::String_var version = app->GetInterfaceVersion();
    return std::string("answered ") + version.in();
  } catch (const CORBA::SystemException& e) {
    return e._name();
  }
}

TEST_F(SeveralHostsTest, RegistryInTheRefusedSubnetIsUnreachable) {
  TestHosts hosts("10.200.0.1", "10.200.0.2");
  hosts.AddAddress(hosts.Client(), "192.168.77.1");
  hosts.AddAddress(hosts.Server(), "192.168.77.2");
  RegdProcess regd;
  StartRegdOn(regd, hosts.Server());

  InClient([&] {
    StartTrace(istd::eLow);
    const roz::Node app = ConnectFrom(hosts.Client(), hosts.Server());
    ASSERT_TRUE(app.IsValid()) << "the same server by its other address";
    // The server listens on its address in the refused subnet as well.
    EXPECT_TRUE(TcpConnects("192.168.77.2", c_appPort));

    const auto start = std::chrono::steady_clock::now();
    const roz::Node refused = roz::Connect("192.168.77.2", roz::eApp, 0, false);
    const double took = SecondsSince(start);
    EXPECT_FALSE(refused.IsValid());
    EXPECT_FALSE(roz::GetNode("192.168.77.2", roz::eApp, 0).IsValid());
    // Refused by this client's own transport rule at once: no connect
    // attempt, far below the 5 s connect timeout.
    EXPECT_LT(took, 2.0);
    EXPECT_TRUE(
        Traced("Unable to connect to remote application or registry: "
               "CORBA::TRANSIENT#TRANSIENT_NoUsableProfile"));
  });

  // The server's rule refuses such peers as well: an ORB without the rules
  // is turned away from the refused address, and answered on the other.
  const testutil::ChildResult plain = testutil::RunInChild([&] {
    TestHosts::Enter(hosts.Client());
    const std::string tail = ":" + std::to_string(c_appPort) + "/" + inet::c_defaultNetId;
    std::cout << AskWithoutTransportRules("corbaloc:iiop:192.168.77.2" + tail) << "|"
              << AskWithoutTransportRules("corbaloc:iiop:10.200.0.2" + tail);
  });
  EXPECT_EQ(plain.exitCode, 0);
  EXPECT_EQ(plain.output, "COMM_FAILURE|answered 2.6");
}

}  // namespace
