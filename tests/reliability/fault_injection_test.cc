// Fault injection against a real registry server: regd killed (SIGKILL) in
// the middle of reads, pushes, data-on-demand reads and notification
// deliveries and restarted (streams and sources then find their signal
// again), a server that stops answering, roz::Shutdown and client
// destruction while data still arrives, and many program threads on one
// proxy. Every scenario checks
// what the client reports (texts, states, what was delivered) and that it
// recovers; time is only bounded from above, against hangs.
//
// Each test body runs in a forked child with its own regd (RemoteTest).
#include <gtest/gtest.h>

#include <omniORB4/CORBA.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/roz.h"
#include "isig/isig.h"
#include "remote/remote_fixture.h"
#include "support/regd_fixture.h"

namespace {

using remotetest::RegdProcess;
using remotetest::RemoteTest;
using remotetest::ThrownText;
using roz::Callback;
using roz::Node;
using roz::NotificationClient;
using roz::NotificationData;
using testsupport::WaitUntil;
using Clock = std::chrono::steady_clock;

using Traits = isig::SignalTraits<double>;
using StreamClient = isig::StreamClient<Traits>;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Values of regd.stress.counter as one notification client received them.
class CounterInbox {
 public:
  Callback Take() {
    return Callback([this](const NotificationData& record) {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_values.push_back(record.data.Get<uint64_t>());
    });
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_values.size();
  }
  std::vector<uint64_t> Values() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_values;
  }
  // True once the count has not changed for `quietS` seconds (at most
  // `timeoutS` in all).
  bool WaitQuiet(double quietS = 0.3, double timeoutS = 20.0) {
    size_t last = Count();
    Clock::time_point since = Clock::now();
    return WaitUntil(
        [&] {
          const size_t now = Count();
          if (now != last) {
            last = now;
            since = Clock::now();
          }
          return SecondsSince(since) >= quietS;
        },
        timeoutS);
  }

 private:
  std::mutex m_mutex;
  std::vector<uint64_t> m_values;
};

class FaultTest : public RemoteTest {
 protected:
  // Calls of regd's `function` that have started (regd traces at High).
  static int Calls(const RegdProcess& regd, const std::string& function) {
    int count = 0;
    for (const std::string& line : testutil::SplitLines(regd.ReadTrace())) {
      const size_t entry = line.find("==> ");
      if (entry != std::string::npos && line.find(function, entry) != std::string::npos) ++count;
    }
    return count;
  }
  // Kills regd and starts it again on the same port.
  static void KillAndRestart(RegdProcess& regd) {
    regd.Kill();
    regd.Restart();
  }
  // A proxy of regd's registry outside the cache (its own client there).
  static roz::TreeNodePtr OtherProxy(const RegdProcess& regd, const std::string& name) {
    return roz::factory::Create<roz::RemoteNodeStructure, roz::RemoteNode>(
        name, std::string("127.0.0.1"), regd.Port(), std::string(inet::c_defaultNetId));
  }
  // Writes n to regd.stress.emit: the counter is emitted n times.
  static void Emit(const Node& platform, uint64_t n) {
    platform.GetNode(roz::Tokenize("regd.stress.emit")).Set(n, 0);
  }
  static Node StressCounter(const Node& platform) {
    return platform.GetNode(roz::Tokenize("regd.stress.counter"));
  }
};

const char* const c_slowTree = R"({"name": "r", "children": [
    {"name": "slow_scalar", "type": "Long", "value": 1, "flags": ["read", "write"],
     "hooks": {"delay_ms": 4000}},
    {"name": "slow_array", "type": "Long", "value": [1, 2, 3], "flags": ["read", "write", "array"],
     "hooks": {"delay_ms": 4000}},
    {"name": "plain", "type": "Long", "value": 5, "flags": ["read", "write"]},
    {"name": "fast", "flags": ["read", "signal"],
     "signal": {"access": "push", "element": "double", "components": ["a", "b"],
                "group_size": 8, "block_rate_hz": 200,
                "generator": {"kind": "ramp", "step": 1, "period": 100}}},
    {"name": "history", "flags": ["read", "signal"],
     "signal": {"access": "dod", "element": "double", "components": ["a", "b"], "length": 1000,
                "generator": {"kind": "ramp", "step": 1, "period": 100},
                "hooks": {"dispatch_delay_ms": 1000}}}]})";

// The same signal "fast" on a server that refuses every registration.
const char* const c_refusingTree = R"({"name": "r", "children": [
    {"name": "fast", "flags": ["read", "signal"],
     "signal": {"access": "push", "element": "double", "components": ["a", "b"],
                "group_size": 8, "block_rate_hz": 200, "hooks": {"refuse_register": true},
                "generator": {"kind": "ramp", "step": 1, "period": 100}}}]})";

// Reads what `client` still has queued, until a read times out.
void Drain(StreamClient& client) {
  StreamClient::Block block;
  isig::SuccessCode_e code;
  while ((code = client.Read(block, 500)) == isig::eSuccess) {
  }
  EXPECT_EQ(code, isig::eTimeout) << client.Name();
}

TEST_F(FaultTest, ServerKilledDuringScalarAndArrayReadsFailsThemAndPingReconnects) {
  InClient([&] {
    RegdProcess regd;
    regd.Options().traceLevel = "High";
    const Node root = StartAndConnect(regd, c_slowTree);
    ASSERT_TRUE(root.IsValid());
    const Node scalar = root["slow_scalar"];
    const Node array = root["slow_array"];
    const Node plain = root["plain"];
    const int before = Calls(regd, "i_RemoteNode_impl::GetValue(");

    std::string scalarText;
    std::string arrayText;
    double scalarS = 0;
    double arrayS = 0;
    std::thread scalarReader([&] {
      const Clock::time_point start = Clock::now();
      int32_t value = 0;
      scalarText = ThrownText([&] { scalar.Get(value, 0); });
      scalarS = SecondsSince(start);
    });
    std::thread arrayReader([&] {
      const Clock::time_point start = Clock::now();
      std::vector<int32_t> values;
      arrayText = ThrownText([&] { array.Get(values, 0, 0); });
      arrayS = SecondsSince(start);
    });
    // Both reads are inside the server (waiting out their delay) when it dies.
    EXPECT_TRUE(
        WaitUntil([&] { return Calls(regd, "i_RemoteNode_impl::GetValue(") >= before + 2; }));
    regd.Kill();
    scalarReader.join();
    arrayReader.join();
    EXPECT_EQ(scalarText, "ireg: node not accessible: slow_scalar");
    EXPECT_EQ(arrayText, "ireg: node not accessible: slow_array");
    // The lost connection ends the calls; nothing waits for the delay or a
    // time-out.
    EXPECT_LT(scalarS, 3.5);
    EXPECT_LT(arrayS, 3.5);

    // Down: a new call fails the same way; the proxy keeps its state.
    int32_t value = 0;
    EXPECT_EQ(ThrownText([&] { plain.Get(value, 0); }), "ireg: node not accessible: plain");

    // Up again on the same port: the old objects are gone until Ping
    // reconnects the proxy in place.
    regd.Restart();
    EXPECT_EQ(ThrownText([&] { plain.Get(value, 0); }), "ireg: node not accessible: plain");
    Node handle = plain;
    EXPECT_EQ(roz::Ping(handle), roz::eReconnected);
    EXPECT_TRUE(plain.GetValue(value, 0));
    EXPECT_EQ(value, 5);
    EXPECT_TRUE(plain.SetValue(6, 0));
    EXPECT_EQ(static_cast<int32_t>(plain), 6);
    EXPECT_EQ(roz::Ping(handle), roz::eConnected);
  });
}

TEST_F(FaultTest, ServerKilledWhileAStreamPushesEndsTheFlowAndTheClosedStreamReopensAfterRestart) {
  InClient([&] {
    RegdProcess regd;
    const Node root = StartAndConnect(regd, c_slowTree);
    ASSERT_TRUE(root.IsValid());
    isig::SignalSourceSharedPtr source = roz::CreateRemoteSignal(root["fast"]);
    ASSERT_TRUE(source);
    std::unique_ptr<StreamClient> client(
        dynamic_cast<StreamClient*>(source->NewSignalClient("reader", 16)));
    ASSERT_TRUE(client);
    client->Open();
    StreamClient::Block block;
    for (int i = 0; i < 3; ++i) ASSERT_EQ(client->Read(block, 10000), isig::eSuccess);

    regd.Kill();
    // What was queued before the kill is still read; then nothing more
    // comes (a dead server cannot cancel), and Read times out.
    Drain(*client);
    // Closing unregisters at a server that is gone: ignored.
    client->Close();

    regd.Restart();
    Node handle = root;
    EXPECT_EQ(roz::Ping(handle), roz::eReconnected);
    // The stream's reference names the old server's object; opening finds
    // it gone, looks the signal up again through the proxy and reads from
    // the new server's first block.
    client->Open();
    ASSERT_EQ(client->Read(block, 10000), isig::eSuccess);
    EXPECT_EQ(block->meta.at(isig::eMetaSequence), 0);
    EXPECT_EQ(block->buffer.AtomCount(), 8u);
    ASSERT_EQ(client->Read(block, 10000), isig::eSuccess);
    EXPECT_EQ(block->meta.at(isig::eMetaSequence), 1);
    EXPECT_EQ(Counter(root, "receivers"), 1u);
  });
}

TEST_F(FaultTest, OpenStreamOfTwoClientsResumesAfterRestartAndPingOrCancelsThemWhenRefused) {
  InClient([&] {
    StartTrace(istd::eLow);
    RegdProcess regd;
    const Node root = StartAndConnect(regd, c_slowTree);
    ASSERT_TRUE(root.IsValid());
    const isig::SignalSourceSharedPtr source = roz::CreateRemoteSignal(root["fast"]);
    ASSERT_TRUE(source);
    std::vector<std::unique_ptr<StreamClient>> clients;
    for (const char* name : {"a", "b"}) {
      clients.emplace_back(dynamic_cast<StreamClient*>(source->NewSignalClient(name, 16)));
      ASSERT_TRUE(clients.back());
      clients.back()->Open();
    }
    StreamClient::Block block;
    for (const auto& client : clients) ASSERT_EQ(client->Read(block, 10000), isig::eSuccess);

    regd.Kill();
    for (const auto& client : clients) Drain(*client);
    regd.Restart();
    Node handle = root;
    EXPECT_EQ(roz::Ping(handle), roz::eReconnected);
    // The clients do nothing: the reconnection registered the stream again,
    // once, and both get the new server's blocks from its first on.
    StreamClient::Block first;
    ASSERT_EQ(clients[0]->Read(first, 10000), isig::eSuccess);
    ASSERT_EQ(clients[1]->Read(block, 10000), isig::eSuccess);
    EXPECT_EQ(first->meta.at(isig::eMetaSequence), 0);
    EXPECT_EQ(block.get(), first.get());
    EXPECT_EQ(Counter(root, "receivers"), 1u);
    // A reconnection to the same server renews the registration there
    // instead of being refused as a second one.
    EXPECT_TRUE(dynamic_cast<roz::RemoteNode&>(*root.GetTreeNode()).Reinit());
    EXPECT_TRUE(std::dynamic_pointer_cast<isig::RemoteStream<Traits>>(source)->IsRegistered());
    EXPECT_EQ(Counter(root, "receivers"), 1u);

    // Restarted again by a server that refuses the registration: the
    // readers end with a code instead of waiting for nothing.
    regd.Kill();
    for (const auto& client : clients) Drain(*client);
    regd.Options().tree = regd.WriteTree("refusing.json", c_refusingTree);
    regd.Restart();
    EXPECT_EQ(roz::Ping(handle), roz::eReconnected);
    for (const auto& client : clients) {
      EXPECT_EQ(client->Read(block, 10000), isig::eFailure) << client->Name();
    }
    EXPECT_TRUE(Traced("fast: the server refused the receiver: result 2"));
    EXPECT_TRUE(Traced("fast: can't register the receiver again after the reconnection"));
  });
}

TEST_F(FaultTest, PendingDataOnDemandReadFailsWhenTheServerDiesAndReadsAgainAfterPing) {
  InClient([&] {
    RegdProcess regd;
    regd.Options().traceLevel = "High";
    const Node root = StartAndConnect(regd, c_slowTree);
    ASSERT_TRUE(root.IsValid());
    const auto source = std::dynamic_pointer_cast<isig::DataOnDemandRemoteSource<Traits>>(
        roz::CreateRemoteSignal(root["history"]));
    ASSERT_TRUE(source);
    isig::DodRemoteClient<Traits> reader(source, "reader");
    isig::Array<Traits> atoms;
    isig::SignalMeta meta;

    // The server answers after a second; it dies before.
    isig::SuccessCode_e pending = isig::eSuccess;
    std::thread read([&] { pending = reader.Read(10, 2, atoms, meta); });
    EXPECT_TRUE(WaitUntil([&] { return Calls(regd, "i_RemoteSignal_impl::DodRead") == 1; }));
    regd.Kill();
    read.join();
    EXPECT_EQ(pending, isig::eFailure);

    // Back on the same port: the old object is gone, and the signal is found
    // again through the proxy once Ping has reconnected it.
    regd.Restart();
    EXPECT_EQ(reader.Read(10, 2, atoms, meta), isig::eFailure) << "the proxy is not reconnected";
    Node handle = root;
    EXPECT_EQ(roz::Ping(handle), roz::eReconnected);
    ASSERT_EQ(reader.Read(10, 2, atoms, meta), isig::eSuccess);
    ASSERT_EQ(atoms.AtomCount(), 2u);
    EXPECT_EQ(atoms.Atom(1)[1], 12.0) << "component 1 of atom 11 of the ramp";
    EXPECT_EQ(meta.at(isig::eMetaPosition), 10);
  });
}

TEST_F(FaultTest, ServerKilledWhileNotificationsArriveAndSubscriptionsResumeAfterPing) {
  InClient([&] {
    RegdProcess regd;
    const Node platform = StartAndConnect(regd);
    ASSERT_TRUE(platform.IsValid());
    CounterInbox inbox;
    NotificationClient client(inbox.Take());
    Node counter = StressCounter(platform);
    ASSERT_TRUE(client.Register(counter));
    Emit(platform, 100000000ULL);  // far more than arrive before the kill
    ASSERT_TRUE(WaitUntil([&] { return inbox.Count() >= 2000; }));
    regd.Kill();
    ASSERT_TRUE(inbox.WaitQuiet());
    const std::vector<uint64_t> before = inbox.Values();
    // Everything that arrived came in order, none lost or doubled.
    for (size_t i = 0; i < before.size(); ++i) ASSERT_EQ(before[i], i + 1) << "at " << i;
    EXPECT_EQ(client.NumOfRegisteredNodes(), 1u) << "the registration outlives the server";

    regd.Restart();
    Node handle = platform;
    EXPECT_EQ(roz::Ping(handle), roz::eReconnected);
    EXPECT_EQ(Counter(platform, "subscriptions"), 1u) << "resubscribed by Ping";
    Emit(platform, 500);
    ASSERT_TRUE(WaitUntil([&] { return inbox.Count() >= before.size() + 500; }));
    ASSERT_TRUE(inbox.WaitQuiet(0.2));
    const std::vector<uint64_t> all = inbox.Values();
    ASSERT_EQ(all.size(), before.size() + 500);
    for (size_t i = 0; i < 500; ++i) {
      ASSERT_EQ(all[before.size() + i], i + 1) << "the new server's emission, at " << i;
    }
    EXPECT_TRUE(client.Unregister(counter));
    EXPECT_EQ(Counter(platform, "subscriptions"), 0u);
  });
}

TEST_F(FaultTest, StalledServerFailsItsCallsWithinTheTimeoutWhileOtherProxiesWork) {
  InClient([&] {
    RegdProcess stalled;
    RegdProcess other;
    other.Start();
    const Node root = StartAndConnect(stalled, R"({"name": "r", "children": [
        {"name": "stuck", "type": "Long", "value": 1, "flags": ["read", "write"],
         "hooks": {"delay_ms": 5000}},
        {"name": "plain", "type": "Long", "value": 5, "flags": ["read", "write"]}]})");
    ASSERT_TRUE(root.IsValid());
    const roz::TreeNodePtr sameServer = OtherProxy(stalled, "second");
    const roz::TreeNodePtr otherServer = OtherProxy(other, "other");
    ASSERT_TRUE(sameServer);
    ASSERT_TRUE(otherServer);
    const Node samePlain(sameServer, roz::Path{"plain"});
    const Node otherSerial(otherServer, roz::Tokenize("identity.serial"));
    // Bounds of every call of this process from now on. A call that has to
    // open a connection first is bounded by the connect timeout.
    const unsigned int c_timeoutMs = 500;
    omniORB::setClientCallTimeout(c_timeoutMs);
    omniORB::setClientConnectTimeout(c_timeoutMs);

    std::atomic<bool> done{false};
    std::string text;
    double seconds = 0;
    std::thread caller([&] {
      const Clock::time_point start = Clock::now();
      int32_t value = 0;
      text = ThrownText([&] { root["stuck"].Get(value, 0); });
      seconds = SecondsSince(start);
      done = true;
    });
    // Calls to the same server share its connections; a call in flight on
    // the connection that the time-out closes fails with it. So the second
    // proxy of the stalled server may see one failure (it calls one at a
    // time), the proxy of the other server none.
    int sameReads = 0;
    int otherReads = 0;
    std::vector<std::string> sameFailures;
    std::vector<std::string> otherFailures;
    while (!done) {
      int32_t value = 0;
      std::string serial;
      const std::string sameText = ThrownText([&] { samePlain.Get(value, 0); });
      if (sameText == "(nothing thrown)" && value == 5) {
        ++sameReads;
      } else {
        sameFailures.push_back(sameText);
      }
      const std::string otherText = ThrownText([&] { otherSerial.Get(serial, 0); });
      if (otherText == "(nothing thrown)" && serial == "VX4410-00172") {
        ++otherReads;
      } else {
        otherFailures.push_back(otherText);
      }
    }
    caller.join();
    EXPECT_EQ(text, "ireg: node not accessible: stuck");
    EXPECT_LT(seconds, c_timeoutMs / 1000.0 + 3.0) << "the time-out plus a margin";
    EXPECT_GT(sameReads, 0) << "another proxy of the same server";
    EXPECT_GT(otherReads, 0) << "a proxy of another server";
    EXPECT_TRUE(otherFailures.empty()) << otherFailures.front();
    ASSERT_LE(sameFailures.size(), 1u) << sameFailures.front();
    if (!sameFailures.empty()) {
      EXPECT_EQ(sameFailures.front(), "ireg: node not accessible: plain");
    }
    int same = 0;
    EXPECT_TRUE(samePlain.GetValue(same, 0)) << "the second proxy goes on";
    // The stalled proxy itself answers again for nodes that answer.
    int32_t value = 0;
    EXPECT_TRUE(root["plain"].GetValue(value, 0));
    EXPECT_EQ(value, 5);
  });
}

TEST_F(FaultTest, ShutdownWhileNotificationsAndBlocksStillArriveIsClean) {
  InClient([&] {
    RegdProcess regd;
    regd.Options().traceLevel = "Medium";  // regd traces "Client N released"
    const Node platform = StartAndConnect(regd);
    ASSERT_TRUE(platform.IsValid());
    CounterInbox inbox;
    auto client = std::make_unique<NotificationClient>(inbox.Take());
    Node counter = StressCounter(platform);
    ASSERT_TRUE(client->Register(counter));

    isig::SignalSourceSharedPtr source =
        roz::CreateRemoteSignal(platform.GetNode(roz::Tokenize("signals.scope")));
    ASSERT_TRUE(source);
    std::shared_ptr<StreamClient> reader(
        dynamic_cast<StreamClient*>(source->NewSignalClient("reader", 64)));
    ASSERT_TRUE(reader);
    reader->Open();
    std::atomic<int> blocks{0};
    std::atomic<bool> stop{false};
    isig::SuccessCode_e lastCode = isig::eSuccess;
    std::thread readerThread([&] {
      StreamClient::Block block;
      while (!stop) {
        lastCode = reader->Read(block, 200);
        if (lastCode == isig::eSuccess) ++blocks;
      }
    });

    Emit(platform, 100000000ULL);
    ASSERT_TRUE(WaitUntil([&] { return inbox.Count() >= 1000 && blocks >= 2; }));
    roz::Shutdown();
    EXPECT_FALSE(platform.IsValid());
    EXPECT_EQ(client->NumOfRegisteredNodes(), 0u) << "the proxy took its paths along";
    ASSERT_TRUE(inbox.WaitQuiet());
    const size_t delivered = inbox.Count();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(inbox.Count(), delivered) << "nothing after the shutdown";

    // The stream outlives the request broker: its reads time out, and its
    // destruction (unregistering at a server it can no longer reach) is
    // quiet.
    const int blocksAfter = blocks;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LE(blocks - blocksAfter, 1);
    stop = true;
    readerThread.join();
    EXPECT_EQ(lastCode, isig::eTimeout);
    reader.reset();
    source.reset();
    client.reset();
    roz::Dispatcher::GetInstance().Stop();

    EXPECT_TRUE(regd.Running()) << "the server is not disturbed";
    EXPECT_TRUE(WaitUntil([&] {
      return regd.ReadTrace().find("Client 1 released") != std::string::npos;
    })) << regd.ReadTrace();
  });
}

TEST_F(FaultTest, NotificationClientDestroyedWhileItsCallbackRunsWaitsForTheCallback) {
  InClient([&] {
    RegdProcess regd;
    const Node platform = StartAndConnect(regd);
    ASSERT_TRUE(platform.IsValid());
    Emit(platform, 100000000ULL);  // emitted to whoever subscribes
    for (int round = 0; round < 3; ++round) {
      std::atomic<int> calls{0};
      std::atomic<bool> entered{false};
      std::atomic<bool> left{false};
      auto client = std::make_unique<NotificationClient>(Callback([&](const NotificationData&) {
        if (++calls == 1) {
          entered = true;
          std::this_thread::sleep_for(std::chrono::milliseconds(300));
          left = true;
        }
      }));
      Node counter = StressCounter(platform);
      ASSERT_TRUE(client->Register(counter));
      ASSERT_TRUE(WaitUntil([&] { return entered.load(); }));
      // This thread destroys the client while its worker runs the callback.
      client.reset();
      EXPECT_TRUE(left) << "the destruction waited for the running callback";
      const int atDestruction = calls;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      EXPECT_EQ(calls, atDestruction) << "no callback after the destruction";
      EXPECT_EQ(Counter(platform, "subscriptions"), 0u) << "round " << round;
    }
    EXPECT_GT(static_cast<uint64_t>(platform.GetNode(roz::Tokenize("regd.stress.emitted"))), 0u);
  });
}

TEST_F(FaultTest, SixteenThreadsReadAndWriteThroughOneProxyWhileAnotherThreadSubscribes) {
  InClient([&] {
    const int c_threads = 16;
    std::string tree = R"({"name": "r", "children": [
        {"name": "shared", "type": "Double", "value": [0.5, 1.5, 2.5], "flags": ["read", "array"]})";
    for (int i = 0; i < c_threads; ++i) {
      tree += R"(, {"name": "n)" + std::to_string(i) +
              R"(", "type": "Long", "value": 0, "flags": ["read", "write"]})";
    }
    tree += "]}";
    RegdProcess regd;
    const Node root = StartAndConnect(regd, tree);
    ASSERT_TRUE(root.IsValid());
    std::vector<Node> own;
    for (int i = 0; i < c_threads; ++i) own.push_back(root["n" + std::to_string(i)]);
    const Node shared = root["shared"];

    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::vector<int> rounds(c_threads, 0);
    std::vector<std::thread> workers;
    for (int t = 0; t < c_threads; ++t) {
      workers.emplace_back([&, t] {
        // Each thread alone writes its node: what it reads back is what it
        // wrote, so crossed or corrupted answers show.
        for (int k = 1; !stop; ++k) {
          int32_t value = 0;
          std::vector<double> values;
          if (!own[t].SetValue(t * 100000 + k, 0) || !own[t].GetValue(value, 0) ||
              value != t * 100000 + k || !shared.GetValue(values, 0, 0) ||
              values != std::vector<double>{0.5, 1.5, 2.5}) {
            ++failures;
          }
          ++rounds[t];
        }
      });
    }
    std::atomic<int> notified{0};
    std::atomic<int> misrouted{0};
    int cycles = 0;
    std::thread subscriber([&] {
      NotificationClient client(Callback([&](const NotificationData& record) {
        const std::string name = record.node.GetName();
        if (name != "n0" && name != "n1") ++misrouted;
        ++notified;
      }));
      while (!stop) {
        Node n0 = own[0];
        Node n1 = own[1];
        if (!client.Register(n0) || !client.Register(n1)) ++failures;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (!client.Unregister(n0) || !client.Unregister(n1)) ++failures;
        ++cycles;
      }
    });
    std::this_thread::sleep_for(std::chrono::seconds(3));
    stop = true;
    for (std::thread& worker : workers) worker.join();
    subscriber.join();

    EXPECT_EQ(failures, 0);
    for (int t = 0; t < c_threads; ++t) EXPECT_GT(rounds[t], 0) << "thread " << t;
    EXPECT_GT(cycles, 10);
    EXPECT_GT(notified, 0);
    EXPECT_EQ(misrouted, 0);
    EXPECT_EQ(Counter(root, "subscriptions"), 0u);
    for (int t = 0; t < c_threads; ++t) {
      EXPECT_EQ(static_cast<int32_t>(own[t]), t * 100000 + rounds[t]) << "thread " << t;
    }
  });
}

}  // namespace
