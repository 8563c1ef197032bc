// Clients and regd over TLS: a client with a certificate of the site's CA
// reads, writes, subscribes, gets notifications, pushed blocks and
// data-on-demand reads; plain, self-signed, expired and other-CA clients
// are refused with the library's connect failure and logged by regd;
// --writers lets only the named identities write and run commands; a
// restart of the server is healed by roz::Ping with the subscriptions;
// garbage, stalled and 200 simultaneous handshakes, and clients that
// finish the handshake and then never send, leave good clients served.
//
// Every library client runs in a forked child (RemoteTest::InClient), every
// other client is rozctl run as a child process; all inside the
// loopback-only network namespace, with certificates made at run time.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/roz.h"
#include "isig/isig.h"
#include "network/tls.h"
#include "remote/remote_fixture.h"
#include "rozctl/rozctl_process.h"
#include "support/inbox.h"
#include "support/test_pki.h"

namespace {

using remotetest::RegdProcess;
using remotetest::RemoteTest;
using testsupport::Inbox;
using testsupport::TestPki;

using Traits = isig::SignalTraits<double>;
using StreamClient = isig::StreamClient<Traits>;
using DodSource = isig::DataOnDemandRemoteSource<isig::SignalTraits<float>>;
using DodClient = isig::DodRemoteClient<isig::SignalTraits<float>>;

class TlsTest : public RemoteTest {
 protected:
  // regd with TLS on and `more` arguments.
  static void StartTlsRegd(RegdProcess& regd, const TestPki& pki,
                           const std::vector<std::string>& more = {}) {
    regd.Options().args = {"--tls-ca", pki.Ca(), "--tls-key", pki.Key("server")};
    regd.Options().args.insert(regd.Options().args.end(), more.begin(), more.end());
    regd.Start();
  }

  // The library with TLS as the client `name` of `pki`, connected to the
  // app registry of `regd`.
  static roz::Node TlsConnect(const RegdProcess& regd, const TestPki& pki,
                              const std::string& name) {
    inet::TlsSettings settings;
    settings.m_caFile = pki.Ca();
    settings.m_keyFile = pki.Key(name);
    roz::SetTls(settings);
    roz::Init();
    return roz::Connect("127.0.0.1", roz::eApp, static_cast<int>(regd.Port()), false);
  }

  // rozctl against `regd` as the client `name` of `pki` (no TLS options
  // when `name` is empty), trusting `ca` (default: the site's CA).
  static rozctltest::Result Rozctl(const RegdProcess& regd, const TestPki& pki,
                                   const std::string& name, std::vector<std::string> command,
                                   const std::string& ca = "") {
    std::vector<std::string> args = {"--port", std::to_string(regd.Port())};
    if (!name.empty()) {
      args.insert(args.end(),
                  {"--tls-ca", ca.empty() ? pki.Ca() : ca, "--tls-key", pki.Key(name)});
    }
    args.insert(args.end(), command.begin(), command.end());
    return rozctltest::Run(args);
  }
};

TEST_F(TlsTest, CaSignedClientReadsWritesSubscribesAndReadsSignalsOverTls) {
  InClient([&] {
    TestPki pki;
    RegdProcess regd;
    StartTlsRegd(regd, pki);
    roz::Node app = TlsConnect(regd, pki, "operator");
    ASSERT_TRUE(app.IsValid());
    auto* proxy = dynamic_cast<roz::RemoteNode*>(app.GetTreeNode().get());
    ASSERT_NE(proxy, nullptr);
    EXPECT_EQ(proxy->GetAddressUrl(),
              "corbaloc:ssliop:127.0.0.1:" + std::to_string(regd.Port()) + "/varnek-app");

    roz::Node gain = app.GetNode(roz::Tokenize("settings.gain"));
    double value = 0;
    ASSERT_TRUE(gain.GetValue(value, 0));
    EXPECT_EQ(value, 1.0);
    EXPECT_EQ(inet::LastServerIdentity(), "regd-test") << "the server's certificate";

    Inbox inbox;
    {
      roz::NotificationClient client(inbox.Take());
      ASSERT_TRUE(client.Register(gain));
      ASSERT_TRUE(gain.SetValue(2.5, 0));
      ASSERT_TRUE(inbox.WaitFor(1));
      EXPECT_EQ(inbox.At(0).data.Get<double>(), 2.5);
      ASSERT_TRUE(gain.GetValue(value, 0));
      EXPECT_EQ(value, 2.5);
      client.Unregister(gain);
    }

    const isig::SignalSourceSharedPtr scope =
        roz::CreateRemoteSignal(app.GetNode(roz::Tokenize("signals.scope")));
    ASSERT_TRUE(scope);
    std::unique_ptr<StreamClient> blocks(
        dynamic_cast<StreamClient*>(scope->NewSignalClient("tls", 64)));
    ASSERT_TRUE(blocks);
    blocks->Open();
    for (int b = 0; b < 3; ++b) {
      StreamClient::Block block;
      ASSERT_EQ(blocks->Read(block, 10000), isig::eSuccess);
      EXPECT_EQ(block->buffer.AtomCount(), 64u);
    }
    blocks.reset();

    const auto history = std::dynamic_pointer_cast<DodSource>(
        roz::CreateRemoteSignal(app.GetNode(roz::Tokenize("signals.history"))));
    ASSERT_TRUE(history);
    DodClient reader(history, "tls");
    isig::Array<isig::SignalTraits<float>> atoms;
    isig::SignalMeta meta;
    ASSERT_EQ(reader.Read(500, 100, atoms, meta), isig::eSuccess);
    EXPECT_EQ(atoms.AtomCount(), 100u);

    roz::Shutdown();

    // A second ORB of the process: TLS again, the peer still known (on a
    // thread that has not called before).
    roz::Init();
    std::string identity;
    std::thread([&] {
      roz::Node again = roz::Connect("127.0.0.1", roz::eApp, static_cast<int>(regd.Port()), false);
      double v = 0;
      if (again.IsValid() && again.GetNode(roz::Tokenize("settings.gain")).GetValue(v, 0)) {
        identity = inet::LastServerIdentity();
      }
    }).join();
    EXPECT_EQ(identity, "regd-test");

    roz::Dispatcher::GetInstance().Stop();
    roz::Shutdown();
    EXPECT_EQ(regd.ReadLog().find("refused"), std::string::npos) << regd.ReadLog();
  });
}

TEST_F(TlsTest, PlainServerSaysNothingAboutTls) {
  RegdProcess regd;
  regd.Start();
  EXPECT_EQ(regd.Stop(), 0) << regd.ReadStderr();
  EXPECT_EQ(regd.ReadStderr().find("SSL"), std::string::npos) << regd.ReadStderr();
  EXPECT_EQ(regd.ReadStdout().find("(TLS)"), std::string::npos);
}

TEST_F(TlsTest, ClientsWithoutAValidCertificateAreRefusedAndLogged) {
  TestPki pki;
  RegdProcess regd;
  StartTlsRegd(regd, pki);

  const rozctltest::Result good = Rozctl(regd, pki, "reader", {"ping"});
  EXPECT_EQ(good.exitCode, 0) << good.err;
  EXPECT_NE(good.out.find("(TLS, peer regd-test)"), std::string::npos) << good.out;

  struct Refused {
    const char* client;  // "": plain TCP
    std::string ca;      // the CA the client trusts ("": the site's)
    const char* logged;  // what regd's log says of it
    const char* told;    // what the client is told after "cannot connect to ..."
  };
  const Refused cases[] = {
      {"", "", "identity \"none\": wrong version number", "\n"},
      {"selfsigned", "", "identity \"intruder\": self-signed certificate",
       ": TLS handshake refused by the peer: unknown CA, peer \"regd-test\"\n"},
      {"expired", "", "identity \"operator-old\": certificate has expired",
       ": TLS handshake refused by the peer: certificate expired, peer \"regd-test\"\n"},
      {"stranger", "", "identity \"stranger\": unable to get local issuer certificate",
       ": TLS handshake refused by the peer: unknown CA"},
      {"stranger", pki.OtherCa(), "refused by the peer: unknown CA",
       ": TLS handshake refused here: self-signed certificate in certificate chain, "
       "peer \"regd-test\"\n"},
  };
  for (const Refused& c : cases) {
    SCOPED_TRACE(std::string(c.client) + " " + c.ca);
    // rozctltest::Run kills what still runs after its deadline: a hang
    // shows as exit code -1.
    const rozctltest::Result result = Rozctl(regd, pki, c.client, {"ping"}, c.ca);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("cannot connect to the app registry at 127.0.0.1:" +
                              std::to_string(regd.Port()) + c.told),
              std::string::npos)
        << result.err;
    EXPECT_TRUE(testutil::WaitUntil(
        [&] { return regd.ReadLog().find(c.logged) != std::string::npos; }))
        << regd.ReadLog();
  }
  EXPECT_NE(regd.ReadLog().find("TLS connection refused: client 127.0.0.1:"), std::string::npos)
      << "with the peer's address";

  // A client that trusts the other CA only refuses regd as well.
  EXPECT_EQ(Rozctl(regd, pki, "operator", {"ping"}, pki.OtherCa()).exitCode, 1);
  EXPECT_EQ(regd.Stop(), 0) << regd.ReadStderr();
}

// The library's connect failure says why the TLS handshake failed, and only
// for the attempt whose handshake did: a server that refused this side's
// certificate, a server that speaks no TLS (and closes the connection),
// nobody listening.
TEST_F(TlsTest, ConnectFailuresSayWhyTheHandshakeFailed) {
  InClient([&] {
    TestPki pki;
    RegdProcess tlsRegd;
    StartTlsRegd(tlsRegd, pki);
    RegdProcess plainRegd;
    plainRegd.Start();
    StartTrace(istd::eLow);
    EXPECT_FALSE(TlsConnect(tlsRegd, pki, "expired").IsValid());
    const std::string failure = "Unable to connect to remote application or registry: ";
    EXPECT_TRUE(testutil::WaitUntil([&] {
      return Traced(failure + "CORBA::TRANSIENT#TRANSIENT_ConnectFailed (TLS handshake refused by "
                              "the peer: certificate expired, peer \"regd-test\")");
    })) << TraceText();

    // The failure line of one more connect attempt (the trace may be
    // written a little after the attempt returned).
    const auto failures = [&] {
      std::vector<std::string> lines;
      for (const std::string& line : TraceLines()) {
        if (line.find(failure) != std::string::npos) lines.push_back(line);
      }
      return lines;
    };
    const auto attempt = [&](unsigned int port) {
      const std::size_t before = failures().size();
      EXPECT_FALSE(roz::Connect("127.0.0.1", roz::eApp, static_cast<int>(port), false).IsValid());
      EXPECT_TRUE(testutil::WaitUntil([&] { return failures().size() > before; }));
      const std::vector<std::string> lines = failures();
      return lines.size() > before ? lines[before] : std::string();
    };
    const std::string plain = attempt(plainRegd.Port());
    EXPECT_NE(plain.find("(TLS handshake closed by the peer)"), std::string::npos) << plain;
    const unsigned int gone = plainRegd.Port();
    EXPECT_EQ(plainRegd.Stop(), 0) << plainRegd.ReadStderr();
    const std::string nobody = attempt(gone);
    EXPECT_EQ(nobody.find("TLS handshake"), std::string::npos) << "no handshake began: " << nobody;
    roz::Shutdown();
  });
}

TEST_F(TlsTest, OnlyWritersWriteAndRunCommandsWhileEveryoneReads) {
  TestPki pki;
  RegdProcess regd;
  StartTlsRegd(regd, pki, {"--writers", "operator-*,admin"});

  const rozctltest::Result read = Rozctl(regd, pki, "reader", {"get", "-t", "settings.gain"});
  EXPECT_EQ(read.exitCode, 0) << read.err;
  EXPECT_EQ(read.out, "1\n");
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"put", "settings.gain", "3"},
        std::vector<std::string>{"exec", "reset"}}) {
    SCOPED_TRACE(command[0]);
    const rozctltest::Result refused = Rozctl(regd, pki, "reader", command);
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_NE(refused.err.find("write not allowed for reader-1"), std::string::npos)
        << refused.err;
  }
  EXPECT_NE(regd.ReadLog().find("write refused: settings.gain for identity \"reader-1\" at "
                                "giop:ssl:127.0.0.1:"),
            std::string::npos)
      << regd.ReadLog();
  EXPECT_NE(regd.ReadLog().find("write refused: reset for identity \"reader-1\""),
            std::string::npos);

  const rozctltest::Result written = Rozctl(regd, pki, "operator", {"put", "settings.gain", "3"});
  EXPECT_EQ(written.exitCode, 0) << written.err;
  EXPECT_EQ(Rozctl(regd, pki, "operator", {"exec", "reset"}).exitCode, 0);
  EXPECT_EQ(Rozctl(regd, pki, "reader", {"get", "-t", "settings.gain"}).out, "1\n")
      << "the reset ran";

  // The gate needs identities: without TLS regd does not start.
  const testsupport::RegdRun plain =
      RegdProcess::Run({"--tree", RegdProcess::DemoTree(), "--port", "0", "--writers", "admin"});
  EXPECT_EQ(plain.exitCode, 2);
  EXPECT_NE(plain.err.find("--writers needs --tls-ca"), std::string::npos) << plain.err;
}

TEST_F(TlsTest, ServerRestartIsHealedByPingWithTheSubscriptions) {
  InClient([&] {
    TestPki pki;
    RegdProcess regd;
    StartTlsRegd(regd, pki);
    roz::Node app = TlsConnect(regd, pki, "operator");
    ASSERT_TRUE(app.IsValid());
    roz::Node gain = app.GetNode(roz::Tokenize("settings.gain"));
    Inbox inbox;
    {
      roz::NotificationClient client(inbox.Take());
      ASSERT_TRUE(client.Register(gain));

      regd.Restart();
      EXPECT_EQ(roz::Ping(app), roz::eReconnected);
      ASSERT_TRUE(gain.SetValue(4.0, 0));
      ASSERT_TRUE(inbox.WaitFor(1)) << "the subscription came back with the connection";
      EXPECT_EQ(inbox.At(inbox.Count() - 1).data.Get<double>(), 4.0);
      EXPECT_EQ(roz::Ping(app), roz::eConnected);
      client.Unregister(gain);
    }
    roz::Dispatcher::GetInstance().Stop();
    roz::Shutdown();
  });
}

// A TCP connection to 127.0.0.1:`port` (closed with the object); -1 when
// the connect fails.
class RawConnection {
 public:
  explicit RawConnection(unsigned int port) {
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (m_fd >= 0 && ::connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(m_fd);
      m_fd = -1;
    }
  }
  ~RawConnection() {
    if (m_fd >= 0) ::close(m_fd);
  }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;
  bool Connected() const { return m_fd >= 0; }
  void Send(const std::string& bytes) {
    if (m_fd >= 0) (void)::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }

 private:
  int m_fd = -1;
};

TEST_F(TlsTest, HostileHandshakesLeaveGoodClientsServed) {
  TestPki pki;
  RegdProcess regd;
  StartTlsRegd(regd, pki);

  // Clients with valid certificates that finish the handshake and then
  // never send a request (openssl s_client, its input held open).
  std::vector<FILE*> idle;
  for (int i = 0; i < 3; ++i) {
    const std::string out = regd.File("idle-" + std::to_string(i) + ".txt");
    const std::string command = "exec openssl s_client -connect 127.0.0.1:" +
                                std::to_string(regd.Port()) + " -CAfile '" + pki.Ca() +
                                "' -cert '" + pki.Key("reader") + "' -key '" +
                                pki.Key("reader") + "' >'" + out + "' 2>&1";
    FILE* client = ::popen(command.c_str(), "w");
    ASSERT_NE(client, nullptr);
    idle.push_back(client);
    ASSERT_TRUE(testutil::WaitUntil([&] {
      return testutil::ReadFile(out).find("Verify return code: 0 (ok)") != std::string::npos;
    })) << testutil::ReadFile(out);
  }
  // A record header announcing a handshake, then garbage; half a client
  // hello that stops; connections that never send a byte; 200 of them at
  // once, all held open while a good client works.
  const std::string header("\x16\x03\x01\x00\x80", 5);
  std::vector<std::unique_ptr<RawConnection>> hostile;
  for (int i = 0; i < 200; ++i) {
    hostile.push_back(std::make_unique<RawConnection>(regd.Port()));
    ASSERT_TRUE(hostile.back()->Connected()) << i;
    switch (i % 3) {
      case 0: hostile.back()->Send(header + std::string(128, static_cast<char>(0xA5 + i))); break;
      case 1: hostile.back()->Send(header + "\x01\x00\x00\x7c\x03\x03"); break;
      default: break;  // silent
    }
  }
  const rozctltest::Result good = Rozctl(regd, pki, "operator", {"put", "settings.gain", "2"});
  EXPECT_EQ(good.exitCode, 0) << good.err;
  EXPECT_EQ(Rozctl(regd, pki, "reader", {"get", "-t", "settings.gain"}).out, "2\n");
  hostile.clear();
  for (FILE* client : idle) ::pclose(client);  // end of input: s_client leaves

  EXPECT_TRUE(testutil::WaitUntil(
      [&] { return regd.ReadLog().find("TLS connection refused: client") != std::string::npos; }))
      << "the garbage is logged";
  EXPECT_TRUE(regd.Running());
  EXPECT_EQ(Rozctl(regd, pki, "operator", {"ping"}).exitCode, 0);
  EXPECT_EQ(regd.Stop(), 0) << regd.ReadStderr();
}

}  // namespace
