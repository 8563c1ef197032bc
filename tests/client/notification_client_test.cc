// Notification records, callbacks and the notification client, in-process
// (nodes that notify through the dispatcher without a network).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "client/notifying_node.h"
#include "client/roz.h"
#include "common/test_util.h"
#include "istd/trace_fixture.h"

namespace {

using roz::Callback;
using roz::Node;
using roz::NotificationClient;
using roz::NotificationData;
using testutil::NotifyingNode;
using testutil::Recorder;
using testutil::ThrownText;
using testutil::WaitUntil;

TEST(CallbackTest, IdentityIsTheIdentifierNotTheFunction) {
  const std::function<void(const NotificationData&)> f = [](const NotificationData&) {};
  const Callback one(f);
  const Callback two(f);
  const Callback copy(one);  // NOLINT(performance-unnecessary-copy-initialization)
  EXPECT_FALSE(one == two);
  EXPECT_TRUE(one == copy);
  EXPECT_GT(two.GetId(), one.GetId());

  const Callback empty{Callback::Function()};
  const NotificationData record(Node(), roz::enums::eValueChanged, istd::Any(1), 0);
  EXPECT_THROW(empty(record), std::bad_function_call);
}

TEST(NotificationDataTest, StreamsThePayloadOnlyAndCopiesItDeeply) {
  auto tree = NotifyingNode::Make("t");
  NotificationData record(Node(tree, roz::Path{"a"}),
                          static_cast<roz::enums::NotificationType_e>(77),
                          istd::Any(std::vector<int>{1, 2}), 5);
  std::ostringstream withRecord;
  std::ostringstream withData;
  withRecord << record;
  withData << record.data;
  EXPECT_EQ(withRecord.str(), withData.str());

  NotificationData copy(record);
  copy.data = istd::Any(std::string("other"));
  EXPECT_EQ(record.data.Get<std::vector<int>>(), (std::vector<int>{1, 2}));
  EXPECT_EQ(copy.type, 77) << "a value outside the named ones passes";
}

class NotificationClientTest : public TraceFixture {
 protected:
  // Emits the int `value` on the node of `node`'s tree, as the tree would.
  static bool Emit(Node node, int value) {
    return node.Emit(roz::enums::eValueChanged, istd::Any(value));
  }
};

TEST_F(NotificationClientTest, RunsTheCallbacksOfANodeInRegistrationOrder) {
  StartTrace(istd::eHigh);
  auto tree = NotifyingNode::Make("t");
  Node node(tree, roz::Path{"a"});
  int marker = 0;
  node.SetUnmanagedData(&marker);

  std::mutex mutex;
  std::vector<std::string> calls;
  std::vector<NotificationData> seen;
  std::vector<std::thread::id> threads;
  auto named = [&](const std::string& name) {
    return Callback([&, name](const NotificationData& record) {
      std::lock_guard<std::mutex> lock(mutex);
      calls.push_back(name);
      seen.push_back(record);
      threads.push_back(std::this_thread::get_id());
    });
  };
  NotificationClient client;
  const Callback first = named("first");
  EXPECT_TRUE(client.Register(node, first));
  EXPECT_TRUE(client.Register(node, first)) << "kept once";
  EXPECT_TRUE(client.Register(
      node, Callback([](const NotificationData&) { throw std::runtime_error("boom"); })));
  EXPECT_TRUE(client.Register(node, named("second")));
  EXPECT_TRUE(client.Register(node, Callback([](const NotificationData&) { throw 3; })));
  EXPECT_TRUE(client.Register(node, named("third")));
  EXPECT_EQ(tree->SubscribeCalls(), 1) << "one subscription for all callbacks";
  EXPECT_EQ(client.NumOfRegisteredNodes(), 1u);

  ASSERT_TRUE(Emit(Node(tree, roz::Path{"a"}), 7));
  ASSERT_TRUE(Emit(Node(tree, roz::Path{"a"}), 8));
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return calls.size() == 6;
  }));
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(calls,
            (std::vector<std::string>{"first", "second", "third", "first", "second", "third"}));
  EXPECT_TRUE(seen[0].node == node);
  EXPECT_EQ(seen[0].node.GetUnmanagedData(), &marker) << "the handle as registered";
  EXPECT_EQ(seen[0].type, roz::enums::eValueChanged);
  EXPECT_EQ(seen[0].data.Get<int>(), 7);
  EXPECT_EQ(seen[0].pos, 0u);
  EXPECT_EQ(seen[5].data.Get<int>(), 8);
  EXPECT_NE(threads[0], std::this_thread::get_id());
  EXPECT_EQ(threads[0], threads[5]);
  const std::string trace = TraceText();
  EXPECT_NE(trace.find("Exception in notification callback boom"), std::string::npos);
  EXPECT_NE(trace.find("Unknown  exception in notification callback."), std::string::npos);
}

TEST_F(NotificationClientTest, RegisterNeedsASubscribableNodeAndADefaultCallback) {
  const roz::TreeNodePtr local = roz::factory::Create<roz::LocalNodeStructure, roz::TreeNode>("l");
  auto tree = NotifyingNode::Make("t");
  NotificationClient plain;
  EXPECT_FALSE(
      plain.Register(Node(local, roz::c_noRelPath), Callback([](const NotificationData&) {})));
  EXPECT_EQ(plain.NumOfRegisteredNodes(), 0u);
  EXPECT_EQ(ThrownText([&] { plain.Register(Node(tree, roz::Path{"a"})); }),
            "Default callback method is not set.");
  EXPECT_EQ(tree->SubscribeCalls(), 0);
  EXPECT_FALSE(plain.Register(Node(), Callback([](const NotificationData&) {})))
      << "a handle without a tree node";

  Recorder got;
  NotificationClient withDefault(Callback([&](const NotificationData& r) { got.Add(r); }));
  EXPECT_TRUE(withDefault.Register(Node(tree, roz::Path{"a"})));
  ASSERT_TRUE(Emit(Node(tree, roz::Path{"a"}), 5));
  ASSERT_TRUE(got.WaitFor(1));
  EXPECT_EQ(got.Values(), std::vector<int>{5});
}

TEST_F(NotificationClientTest, UnregisterEndsTheDeliveryOfThatNode) {
  StartTrace(istd::eHigh);
  auto tree = NotifyingNode::Make("t");
  const Node a(tree, roz::Path{"a"});
  const Node b(tree, roz::Path{"b"});
  Recorder got;
  NotificationClient client(Callback([&](const NotificationData& r) { got.Add(r); }));
  ASSERT_TRUE(client.Register(a));
  ASSERT_TRUE(client.Register(b));
  EXPECT_TRUE(client.Unregister(a));
  EXPECT_FALSE(client.Unregister(a));
  EXPECT_FALSE(client.Unregister(Node(tree, roz::Path{"never"})));
  EXPECT_EQ(client.NumOfRegisteredNodes(), 1u);
  EXPECT_FALSE(Emit(a, 1)) << "nobody subscribes a any more";
  ASSERT_TRUE(Emit(b, 2));
  ASSERT_TRUE(got.WaitFor(1));

  // A record for a node the client does not hold is dropped.
  EXPECT_TRUE(roz::Dispatcher::GetInstance().Emit({client.GetClientId()},
                                                  testutil::Record(Node(tree, roz::Path{"x"}), 3)));
  EXPECT_TRUE(WaitUntil([&] {
    return TraceText().find("Cannot send notification for node x. Callback is not registered?") !=
           std::string::npos;
  }));
  EXPECT_EQ(got.Values(), std::vector<int>{2});
}

TEST_F(NotificationClientTest, MarkBrokenIgnoresRecordsAndTheNextEmitDisconnects) {
  auto tree = NotifyingNode::Make("t");
  const Node node(tree, roz::Path{"a"});
  Recorder got;
  Recorder other;
  NotificationClient client(Callback([&](const NotificationData& r) { got.Add(r); }));
  NotificationClient witness(Callback([&](const NotificationData& r) { other.Add(r); }));
  ASSERT_TRUE(client.Register(node));
  ASSERT_TRUE(witness.Register(node));
  client.MarkBroken();
  ASSERT_TRUE(Emit(node, 1));
  ASSERT_TRUE(other.WaitFor(1));
  EXPECT_EQ(client.NumOfRegisteredNodes(), 0u) << "disconnected by that Emit";
  EXPECT_EQ(got.Count(), 0u);
  roz::Dispatcher::GetInstance().WaitForReleases();
  ASSERT_EQ(tree->Unsubscriptions().size(), 1u);
  EXPECT_EQ(tree->Unsubscriptions()[0].client, client.GetClientId());
}

TEST_F(NotificationClientTest, CallbackMayRegisterAndUnregisterNodesOfItsOwnClient) {
  auto tree = NotifyingNode::Make("t");
  const Node a(tree, roz::Path{"a"});
  const Node b(tree, roz::Path{"b"});
  Recorder got;
  std::atomic<bool> swapped{false};
  std::unique_ptr<NotificationClient> client;
  const Callback onB([&](const NotificationData& r) { got.Add(r); });
  client = std::make_unique<NotificationClient>(Callback([&](const NotificationData& r) {
    got.Add(r);
    // On a's notification: move over to b.
    swapped = client->Register(b, onB) && client->Unregister(a);
  }));
  ASSERT_TRUE(client->Register(a));
  ASSERT_TRUE(Emit(a, 1));
  ASSERT_TRUE(WaitUntil([&] { return swapped.load(); }));
  EXPECT_EQ(client->NumOfRegisteredNodes(), 1u);
  EXPECT_FALSE(Emit(a, 2));
  ASSERT_TRUE(Emit(b, 3));
  ASSERT_TRUE(got.WaitFor(2));
  EXPECT_EQ(got.Values(), (std::vector<int>{1, 3}));
}

TEST_F(NotificationClientTest, DestroyingAClientJoinsItsWorkerAndUnsubscribesItsNodes) {
  StartTrace(istd::eMedium);
  auto tree = NotifyingNode::Make("t");
  roz::ClientId id = roz::ClientId();
  {
    NotificationClient client(Callback([](const NotificationData&) {}));
    id = client.GetClientId();
    ASSERT_TRUE(client.Register(Node(tree, roz::Path{"a"})));
    ASSERT_TRUE(client.Register(Node(tree, roz::Path{"b", "c"})));
  }
  EXPECT_EQ(roz::Dispatcher::GetInstance().NumOfRegisteredNodes(id), 0u);
  EXPECT_NE(TraceText().find("Dispatcher thread for client " + std::to_string(id) + " stopped."),
            std::string::npos);
  const auto gone = tree->Unsubscriptions();
  ASSERT_EQ(gone.size(), 2u);
  EXPECT_EQ(gone[0].path, roz::Path{"a"});
  EXPECT_EQ(gone[1].path, (roz::Path{"b", "c"}));
  EXPECT_FALSE(gone[1].unregister);
}

TEST_F(NotificationClientTest, BrokenClientMayBeDestroyedWhileAnEmitDisconnectsIt) {
  // An emitting thread has taken the broken client out of the dispatcher
  // and is joining its worker, whose callback still runs, when this thread
  // destroys the client.
  auto tree = NotifyingNode::Make("t");
  const Node node(tree, roz::Path{"a"});
  const Node other(tree, roz::Path{"b"});
  Recorder witnessGot;
  NotificationClient witness(Callback([&](const NotificationData& r) { witnessGot.Add(r); }));
  ASSERT_TRUE(witness.Register(other));
  for (int round = 0; round < 5; ++round) {
    std::atomic<int> calls{0};
    auto client = std::make_unique<NotificationClient>(Callback([&](const NotificationData&) {
      ++calls;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }));
    ASSERT_TRUE(client->Register(node));
    ASSERT_TRUE(Emit(node, round));
    ASSERT_TRUE(WaitUntil([&] { return calls == 1; }));
    client->MarkBroken();
    std::thread emitter([&] { Emit(other, round); });
    ASSERT_TRUE(WaitUntil([&] { return client->NumOfRegisteredNodes() == 0; }));
    client.reset();
    emitter.join();
    EXPECT_EQ(calls, 1);
  }
  EXPECT_TRUE(witnessGot.WaitFor(5));
}

TEST_F(NotificationClientTest, ShutdownFromItsOwnCallbackEndsTheClient) {
  auto tree = NotifyingNode::Make("t");
  const Node node(tree, roz::Path{"a"});
  std::atomic<int> calls{0};
  auto client = std::make_unique<NotificationClient>();
  NotificationClient* raw = client.get();
  ASSERT_TRUE(client->Register(node, Callback([&](const NotificationData&) {
                                 raw->Shutdown();
                                 ++calls;
                               })));
  ASSERT_TRUE(Emit(node, 1));
  ASSERT_TRUE(WaitUntil([&] { return tree->Unsubscriptions().size() == 1; }));
  EXPECT_EQ(client->NumOfRegisteredNodes(), 0u);
  client.reset();
  EXPECT_EQ(calls, 1);
}

}  // namespace
