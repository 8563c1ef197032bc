// Notifications of a real registry server: subscription through the proxy
// (one server subscription per path however many local clients), delivery
// to the callbacks on the clients' workers, refusal, reconnection, broken
// and destroyed clients, tear-down, and the server's stress emitter.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "remote/remote_fixture.h"
#include "support/inbox.h"
#include "support/regd_fixture.h"

namespace {

using remotetest::RegdProcess;
using roz::Callback;
using roz::Node;
using roz::NotificationClient;
using roz::NotificationData;
using testsupport::Inbox;
using testsupport::WaitUntil;

const char* const c_tree = R"({"name": "r", "children": [
    {"name": "a", "type": "Long", "flags": ["read", "write"]},
    {"name": "arr", "type": "Long", "flags": ["read", "write", "array"], "value": [0, 0, 0, 0]},
    {"name": "refused", "type": "Long", "flags": ["read", "write"],
     "hooks": {"refuse_subscribe": true}},
    {"name": "sub", "children": [{"name": "b", "type": "Long", "flags": ["read", "write"]}]}]})";

class NotificationTest : public remotetest::RemoteTest {
 protected:
  // A second proxy of the same server (a client of its own there), outside
  // the cache: what "another program" writes through.
  static roz::TreeNodePtr Writer(const RegdProcess& regd) {
    return roz::factory::Create<roz::RemoteNodeStructure, roz::RemoteNode>(
        std::string("writer"), std::string("127.0.0.1"), regd.Port(),
        std::string(inet::c_defaultNetId));
  }
  static Node At(const roz::TreeNodePtr& proxy, const std::string& path) {
    return Node(proxy, roz::Tokenize(path));
  }
  static int32_t IntOf(const NotificationData& record) { return record.data.Get<int32_t>(); }

  // Runs `body` in a client child, with regd started on the tree above and
  // its registry connected as the platform root; traces at `trace` unless
  // that is eOff.
  void WithRegd(const std::function<void(RegdProcess&, const Node&)>& body,
                istd::TraceLevel_e trace = istd::eOff) {
    InClient([&] {
      if (trace != istd::eOff) StartTrace(trace);
      RegdProcess regd;
      const Node platform = StartAndConnect(regd, c_tree);
      ASSERT_TRUE(platform.IsValid());
      body(regd, platform);
    });
  }
};

TEST_F(NotificationTest, WriteByAnotherClientReachesTheCallbacksOnTheirWorkers) {
  WithRegd([&](RegdProcess& regd, const Node& platform) {
    const roz::TreeNodePtr writer = Writer(regd);
    ASSERT_TRUE(writer);
    Inbox one;
    Inbox two;
    NotificationClient first(one.Take());
    NotificationClient second(two.Take());
    Node a = platform["a"];
    int marker = 0;
    a.SetUnmanagedData(&marker);
    ASSERT_TRUE(first.Register(a));
    ASSERT_TRUE(second.Register(platform["a"]));
    ASSERT_TRUE(first.Register(platform["arr"]));

    ASSERT_TRUE(At(writer, "a").SetValue(5, 0));
    ASSERT_TRUE(one.WaitFor(1));
    ASSERT_TRUE(two.WaitFor(1));
    const NotificationData got = one.At(0);
    EXPECT_TRUE(got.node == platform["a"]);
    EXPECT_EQ(got.node.GetUnmanagedData(), &marker) << "the handle as registered";
    EXPECT_EQ(got.type, roz::enums::eValueChanged);
    EXPECT_EQ(IntOf(got), 5);
    EXPECT_EQ(got.pos, 0u);
    EXPECT_EQ(IntOf(two.At(0)), 5);

    // An array write: the written elements at their position.
    ASSERT_TRUE(At(writer, "arr").SetValue(std::vector<int32_t>{8, 9}, 1));
    ASSERT_TRUE(one.WaitFor(2));
    EXPECT_TRUE(one.At(1).node == platform["arr"]);
    EXPECT_EQ(one.At(1).data.Get<std::vector<int32_t>>(), (std::vector<int32_t>{8, 9}));
    EXPECT_EQ(one.At(1).pos, 1u);

    // Each client's callbacks run on its own worker, never on this thread.
    EXPECT_NE(one.ThreadAt(0), std::this_thread::get_id());
    EXPECT_EQ(one.ThreadAt(0), one.ThreadAt(1));
    EXPECT_NE(one.ThreadAt(0), two.ThreadAt(0));
    EXPECT_EQ(two.Count(), 1u);
  });
}

TEST_F(NotificationTest, ServerIsAskedOncePerPathAndToldWhenTheLastClientLeaves) {
  WithRegd([&](RegdProcess& regd, const Node& platform) {
    Inbox one;
    Inbox two;
    NotificationClient first(one.Take());
    NotificationClient second(two.Take());
    const Node a = platform["a"];
    EXPECT_TRUE(first.Register(a));
    EXPECT_TRUE(second.Register(a));
    EXPECT_TRUE(first.Register(a, two.Take())) << "a second callback, no second subscription";
    EXPECT_EQ(Counter(platform, "subscriptions"), 1u);
    EXPECT_EQ(first.NumOfRegisteredNodes(), 1u);

    EXPECT_TRUE(first.Unregister(a));
    EXPECT_EQ(Counter(platform, "subscriptions"), 1u) << "the second client still has it";
    EXPECT_FALSE(first.Unregister(a));
    EXPECT_TRUE(second.Unregister(a));
    EXPECT_EQ(Counter(platform, "subscriptions"), 0u);
    EXPECT_EQ(second.NumOfRegisteredNodes(), 0u);

    // Only remote nodes can be subscribed: the host node above is local.
    EXPECT_FALSE(first.Register(platform.GetParent()));
  });
}

TEST_F(NotificationTest, RefusedOrFailedSubscriptionLeavesNothingBehind) {
  WithRegd([&](RegdProcess& regd, const Node& platform) {
    Inbox inbox;
    NotificationClient client(inbox.Take());
    EXPECT_FALSE(client.Register(platform["refused"]));
    EXPECT_EQ(client.NumOfRegisteredNodes(), 0u);
    EXPECT_EQ(Counter(platform, "subscriptions"), 0u);
    ASSERT_TRUE(client.Register(platform["a"]));
    const Node arr = platform["arr"];
    ASSERT_TRUE(client.Register(arr));

    // The server is gone: a subscription fails and is not kept either; an
    // unsubscription fails to tell the server, but is done here.
    const Node b = platform.GetNode(roz::Tokenize("sub.b"));
    ASSERT_EQ(regd.Stop(), 0);
    EXPECT_FALSE(client.Register(b));
    EXPECT_FALSE(client.Unregister(arr));
    EXPECT_EQ(client.NumOfRegisteredNodes(), 1u);

    // Back on the same port: Ping reconnects and subscribes a again (the
    // refused path is not in the way), and b and arr can be subscribed.
    regd.Options().port = regd.Port();
    regd.Start();
    Node handle = platform;
    EXPECT_EQ(roz::Ping(handle), roz::eReconnected);
    EXPECT_EQ(Counter(platform, "subscriptions"), 1u);
    EXPECT_TRUE(client.Register(b));
    EXPECT_TRUE(client.Register(arr));
    EXPECT_EQ(Counter(platform, "subscriptions"), 3u);
    ASSERT_TRUE(b.SetValue(6, 0));
    ASSERT_TRUE(arr.SetValue(std::vector<int32_t>{5}, 0));
    ASSERT_TRUE(platform["a"].SetValue(7, 0));
    ASSERT_TRUE(inbox.WaitFor(3));
    EXPECT_TRUE(inbox.At(0).node == b);
    EXPECT_EQ(IntOf(inbox.At(0)), 6);
    EXPECT_EQ(inbox.At(1).data.Get<std::vector<int32_t>>(), std::vector<int32_t>{5});
    EXPECT_EQ(IntOf(inbox.At(2)), 7);
  });
}

TEST_F(NotificationTest, ReconnectionRestoresTheSubscriptionsOfEveryClient) {
  WithRegd([&](RegdProcess& regd, const Node& platform) {
    Inbox one;
    Inbox two;
    NotificationClient first(one.Take());
    NotificationClient second(two.Take());
    ASSERT_TRUE(first.Register(platform["a"]));
    ASSERT_TRUE(second.Register(platform["a"]));
    ASSERT_TRUE(second.Register(platform.GetNode(roz::Tokenize("sub.b"))));

    regd.Restart();
    Node handle = platform;
    EXPECT_EQ(roz::Ping(handle), roz::eReconnected);
    EXPECT_EQ(Counter(platform, "subscriptions"), 2u);
    first.Reinit(platform);  // nothing new: the proxy holds the paths already
    EXPECT_EQ(Counter(platform, "subscriptions"), 2u);

    ASSERT_TRUE(platform["a"].SetValue(11, 0));
    ASSERT_TRUE(platform.GetNode(roz::Tokenize("sub.b")).SetValue(12, 0));
    ASSERT_TRUE(one.WaitFor(1));
    ASSERT_TRUE(two.WaitFor(2));
    EXPECT_EQ(IntOf(one.At(0)), 11);
    EXPECT_EQ(IntOf(two.At(0)), 11);
    EXPECT_EQ(IntOf(two.At(1)), 12);
  });
}

TEST_F(NotificationTest, DestroyedClientIsUnsubscribedAtTheServer) {
  WithRegd([&](RegdProcess& regd, const Node& platform) {
    Inbox witnessInbox;
    NotificationClient witness(witnessInbox.Take());
    ASSERT_TRUE(witness.Register(platform["a"]));
    {
      NotificationClient gone;
      ASSERT_TRUE(gone.Register(platform.GetNode(roz::Tokenize("sub.b")), witnessInbox.Take()));
      EXPECT_EQ(Counter(platform, "subscriptions"), 2u);
    }
    EXPECT_EQ(Counter(platform, "subscriptions"), 1u);

    // A write of b is no longer sent; the write of a after it is.
    const uint64_t sent = Counter(platform, "notifications_sent");
    ASSERT_TRUE(platform.GetNode(roz::Tokenize("sub.b")).SetValue(1, 0));
    ASSERT_TRUE(platform["a"].SetValue(2, 0));
    ASSERT_TRUE(witnessInbox.WaitFor(1));
    EXPECT_TRUE(WaitUntil([&] { return Counter(platform, "notifications_sent") == sent + 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(Counter(platform, "notifications_sent"), sent + 1);
    EXPECT_EQ(witnessInbox.Count(), 1u);
  });
}

TEST_F(NotificationTest, BrokenClientOfTheSameProxyDoesNotBlockAnIncomingEmit) {
  WithRegd([&](RegdProcess& regd, const Node& platform) {
    const roz::TreeNodePtr writer = Writer(regd);
    ASSERT_TRUE(writer);
    Inbox brokenInbox;
    Inbox goodInbox;
    NotificationClient broken(brokenInbox.Take());
    NotificationClient good(goodInbox.Take());
    ASSERT_TRUE(broken.Register(platform["a"]));
    ASSERT_TRUE(broken.Register(platform.GetNode(roz::Tokenize("sub.b"))));
    ASSERT_TRUE(good.Register(platform["a"]));
    broken.MarkBroken();

    // The Emit for a disconnects the broken client, whose nodes belong to
    // the proxy whose servant is emitting.
    ASSERT_TRUE(At(writer, "a").SetValue(3, 0));
    ASSERT_TRUE(goodInbox.WaitFor(1));
    EXPECT_EQ(IntOf(goodInbox.At(0)), 3);
    EXPECT_TRUE(WaitUntil([&] { return broken.NumOfRegisteredNodes() == 0; }));
    EXPECT_TRUE(WaitUntil([&] { return Counter(platform, "subscriptions") == 1; }))
        << "b had no other client";
    ASSERT_TRUE(At(writer, "a").SetValue(4, 0));
    ASSERT_TRUE(goodInbox.WaitFor(2));
    EXPECT_EQ(brokenInbox.Count(), 0u);
  });
}

TEST_F(NotificationTest, BrokenClientWithAStuckCallbackDoesNotHoldUpTheServersEmit) {
  WithRegd([&](RegdProcess& regd, const Node& platform) {
    const roz::TreeNodePtr writer = Writer(regd);
    ASSERT_TRUE(writer);
    std::shared_future<void> released;
    std::atomic<int> calls{0};
    Inbox goodInbox;
    NotificationClient good(goodInbox.Take());
    auto broken = std::make_unique<NotificationClient>(Callback([&](const NotificationData&) {
      ++calls;
      released.wait();
    }));
    // Goes before the clients: a failed assertion below breaks the promise,
    // which lets the callback return.
    std::promise<void> release;
    released = release.get_future().share();
    ASSERT_TRUE(broken->Register(platform["a"]));
    ASSERT_TRUE(broken->Register(platform.GetNode(roz::Tokenize("sub.b"))));
    ASSERT_TRUE(good.Register(platform["a"]));
    const unsigned long long before = Counter(platform, "notifications_sent");
    ASSERT_TRUE(At(writer, "a").SetValue(1, 0));
    ASSERT_TRUE(goodInbox.WaitFor(1));
    ASSERT_TRUE(WaitUntil([&] { return calls == 1; }));
    // The first Emit is counted once its reply is back at regd, which may be
    // after the records reached the clients here.
    ASSERT_TRUE(WaitUntil([&] { return Counter(platform, "notifications_sent") == before + 1; }));
    broken->MarkBroken();

    // The server's Emit of the next change takes the broken client out and
    // returns while that client's callback is still stuck: regd counts it
    // as sent and keeps this process's sink.
    const unsigned long long sent = before + 1;
    ASSERT_TRUE(At(writer, "a").SetValue(2, 0));
    ASSERT_TRUE(goodInbox.WaitFor(2));
    EXPECT_TRUE(WaitUntil([&] { return Counter(platform, "notifications_sent") == sent + 1; }))
        << "the incoming Emit did not return";
    EXPECT_EQ(Counter(platform, "sinks_dropped"), 0u);
    EXPECT_EQ(Counter(platform, "subscriptions"), 2u) << "b goes with the client, not before";

    // Once the callback returns, the client is destroyed: b is unsubscribed.
    release.set_value();
    EXPECT_TRUE(WaitUntil([&] { return Counter(platform, "subscriptions") == 1; }));
    EXPECT_EQ(calls, 1);
  });
}

TEST_F(NotificationTest, DisconnectAndShutdownWithRegisteredNodesAreClean) {
  WithRegd(
      [&](RegdProcess& regd, const Node& platform) {
        roz::TreeNodePtr writer = Writer(regd);
        ASSERT_TRUE(writer);
        Inbox inbox;
        auto client = std::make_unique<NotificationClient>(inbox.Take());
        const Node a = platform["a"];
        ASSERT_TRUE(client->Register(a));
        EXPECT_EQ(Counter(At(writer, ""), "clients"), 2u);

        // Disconnect stops the notifications and destroys the proxy, which
        // takes its nodes out of the dispatcher.
        roz::Disconnect("127.0.0.1", roz::ePlatform, static_cast<int>(regd.Port()));
        EXPECT_FALSE(a.IsValid());
        EXPECT_EQ(client->NumOfRegisteredNodes(), 0u);
        EXPECT_EQ(Counter(At(writer, ""), "subscriptions"), 0u);
        EXPECT_TRUE(WaitUntil([&] { return Counter(At(writer, ""), "clients") == 1; }));
        EXPECT_FALSE(client->Unregister(a)) << "its proxy is gone";

        // Connected again and registered again, then the library shut down
        // while the client still holds the node.
        const Node again =
            roz::Connect("127.0.0.1", roz::ePlatform, static_cast<int>(regd.Port()), false);
        ASSERT_TRUE(client->Register(again["a"]));
        ASSERT_TRUE(At(writer, "a").SetValue(9, 0));
        ASSERT_TRUE(inbox.WaitFor(1));
        const roz::ClientId id = client->GetClientId();
        writer.reset();
        roz::Shutdown();
        EXPECT_EQ(client->NumOfRegisteredNodes(), 0u);
        client.reset();
        EXPECT_TRUE(Traced("Dispatcher thread for client " + std::to_string(id) + " stopped."));
        EXPECT_EQ(inbox.Count(), 1u);
      },
      istd::eMedium);
}

TEST_F(NotificationTest, StressEmitterReachesEveryClientInOrder) {
  WithRegd([&](RegdProcess& regd, const Node& platform) {
    const int clients = 8;
    const uint64_t n = 100000;
    struct Seen {
      std::mutex mutex;
      std::vector<uint64_t> values;
    };
    std::vector<std::unique_ptr<Seen>> seen;
    std::vector<std::unique_ptr<NotificationClient>> notified;
    const Node counter = platform.GetNode(roz::Tokenize("regd.stress.counter"));
    for (int i = 0; i < clients; ++i) {
      seen.push_back(std::make_unique<Seen>());
      Seen* mine = seen.back().get();
      notified.push_back(
          std::make_unique<NotificationClient>(Callback([mine](const NotificationData& record) {
            std::lock_guard<std::mutex> lock(mine->mutex);
            mine->values.push_back(record.data.Get<uint64_t>());
          })));
      ASSERT_TRUE(notified.back()->Register(counter));
    }
    EXPECT_EQ(Counter(platform, "subscriptions"), 1u);
    ASSERT_TRUE(platform.GetNode(roz::Tokenize("regd.stress.emit")).SetValue(n, 0));
    for (auto& s : seen) {
      ASSERT_TRUE(WaitUntil(
          [&] {
            std::lock_guard<std::mutex> lock(s->mutex);
            return s->values.size() >= n;
          },
          100));
    }
    for (auto& s : seen) {
      std::lock_guard<std::mutex> lock(s->mutex);
      ASSERT_EQ(s->values.size(), n);
      for (uint64_t i = 0; i < n; ++i) ASSERT_EQ(s->values[i], i + 1) << "at " << i;
    }
    EXPECT_EQ(Counter(platform, "notifications_dropped"), 0u);
    notified.clear();
    EXPECT_EQ(Counter(platform, "subscriptions"), 0u);
  });
}

// A node without a value (a folder) is notified with an empty payload; the
// record reaches the callback instead of being dropped as an unconvertible
// value.
TEST_F(NotificationTest, NotificationWithoutAValueArrivesWithAnEmptyPayload) {
  WithRegd([&](RegdProcess&, const Node& platform) {
    Inbox inbox;
    NotificationClient client(inbox.Take());
    ASSERT_TRUE(client.Register(platform["sub"]));
    ASSERT_TRUE(platform.GetNode(roz::Tokenize("regd.stress.target"))
                    .SetValue(std::string("sub"), 0));
    ASSERT_TRUE(platform.GetNode(roz::Tokenize("regd.stress.emit")).SetValue(uint64_t{2}, 0));
    ASSERT_TRUE(inbox.WaitFor(2));
    for (size_t i = 0; i < 2; ++i) {
      EXPECT_TRUE(inbox.At(i).data.Empty());
      EXPECT_EQ(inbox.At(i).node.GetRelPath(), roz::Path{"sub"});
    }
  });
}

}  // namespace
