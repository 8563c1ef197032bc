// The dispatcher and its per-client workers, in-process: queue order, the
// one shared record, workers that stop and start again, broken clients,
// Stop, and callbacks that use the dispatcher themselves.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/notifying_node.h"
#include "client/roz.h"
#include "common/test_util.h"
#include "istd/trace_fixture.h"

namespace {

using roz::ClientId;
using roz::Dispatcher;
using roz::Node;
using testutil::NotifyingNode;
using testutil::Record;
using testutil::Recorder;
using testutil::WaitUntil;

Dispatcher& D() { return Dispatcher::GetInstance(); }

// A handle that only names a node (no tree node behind it).
Node Named(const std::string& name) { return Node(roz::TreeNodeId(), roz::Path{name}); }

// One dispatcher client whose worker records what it delivers; `before`
// (when set) runs first for each record, on the worker.
class Probe {
 public:
  explicit Probe(std::function<void(const roz::NotificationData&)> before = nullptr)
      : m_before(std::move(before)),
        m_id(D().Connect(roz::Callback([this](const roz::NotificationData& record) {
          if (m_before) m_before(record);
          m_recorder.Add(record);
        }))) {}
  // Disconnects (joining the worker) before the members go.
  ~Probe() { D().Disconnect(m_id, true); }

  const ClientId& Id() const { return m_id; }
  Recorder& Got() { return m_recorder; }

 private:
  std::function<void(const roz::NotificationData&)> m_before;
  Recorder m_recorder;
  const ClientId m_id;
};

class DispatcherTest : public TraceFixture {
 protected:
  size_t Occurrences(const std::string& text) {
    size_t n = 0;
    for (const std::string& m : TraceMessages()) n += m == text ? 1 : 0;
    return n;
  }
};

TEST_F(DispatcherTest, DeliversInQueueOrderPerClient) {
  Probe a;
  Probe b;
  const Node na = Named("a");
  const Node nb = Named("b");
  ASSERT_TRUE(D().Register(a.Id(), na));
  ASSERT_TRUE(D().Register(b.Id(), nb));
  const int n = 2000;
  for (int i = 0; i < n; ++i) {
    // Alternately to one client and to both.
    if (i % 2 == 0) {
      EXPECT_TRUE(D().Emit({a.Id()}, Record(na, i)));
    } else {
      EXPECT_TRUE(D().Emit({a.Id(), b.Id()}, Record(na, i)));
    }
  }
  ASSERT_TRUE(a.Got().WaitFor(n));
  ASSERT_TRUE(b.Got().WaitFor(n / 2));
  std::vector<int> wantA(n);
  std::vector<int> wantB;
  for (int i = 0; i < n; ++i) {
    wantA[i] = i;
    if (i % 2 == 1) wantB.push_back(i);
  }
  EXPECT_EQ(a.Got().Values(), wantA);
  EXPECT_EQ(b.Got().Values(), wantB);

  // Each client's records come from one worker of its own, not this thread.
  std::set<std::thread::id> threadsA;
  std::set<std::thread::id> threadsB;
  for (const auto& d : a.Got().Deliveries()) threadsA.insert(d.thread);
  for (const auto& d : b.Got().Deliveries()) threadsB.insert(d.thread);
  ASSERT_EQ(threadsA.size(), 1u);
  ASSERT_EQ(threadsB.size(), 1u);
  EXPECT_NE(*threadsA.begin(), std::this_thread::get_id());
  EXPECT_NE(*threadsA.begin(), *threadsB.begin());
}

// The worker must not preempt the thread that queued the record (an ORB
// thread that has yet to answer the server): it runs under SCHED_BATCH,
// while the emitting thread keeps its own policy. A policy other than the
// normal one, inherited from the thread that started the worker, is kept.
TEST_F(DispatcherTest, WorkerRunsCallbacksWithoutWakeUpPreemption) {
  std::atomic<int> policy{-1};
  Probe probe([&policy](const roz::NotificationData&) { policy = sched_getscheduler(0); });
  const Node node = Named("a");
  ASSERT_TRUE(D().Register(probe.Id(), node));
  const int before = sched_getscheduler(0);
  ASSERT_TRUE(D().Emit({probe.Id()}, Record(node, 1)));
  ASSERT_TRUE(probe.Got().WaitFor(1));
  EXPECT_EQ(policy.load(), SCHED_BATCH);
  EXPECT_EQ(sched_getscheduler(0), before);

  std::atomic<int> idlePolicy{-1};
  Probe idle([&idlePolicy](const roz::NotificationData&) { idlePolicy = sched_getscheduler(0); });
  // The worker is started by the first registration, here from a thread
  // that the program put under SCHED_IDLE.
  std::thread starter([&idle, &node] {
    sched_param param{};
    ASSERT_EQ(pthread_setschedparam(pthread_self(), SCHED_IDLE, &param), 0);
    ASSERT_TRUE(D().Register(idle.Id(), node));
  });
  starter.join();
  ASSERT_TRUE(D().Emit({idle.Id()}, Record(node, 2)));
  ASSERT_TRUE(idle.Got().WaitFor(1));
  EXPECT_EQ(idlePolicy.load(), SCHED_IDLE);
}

TEST_F(DispatcherTest, SharesOneRecordBetweenClients) {
  std::vector<std::unique_ptr<Probe>> probes;
  std::set<ClientId> ids;
  const Node node = Named("shared");
  for (int i = 0; i < 4; ++i) {
    probes.push_back(std::make_unique<Probe>());
    ids.insert(probes.back()->Id());
    ASSERT_TRUE(D().Register(probes.back()->Id(), node));
  }
  auto record = std::make_shared<roz::NotificationData>(Record(node, 42));
  EXPECT_TRUE(D().Emit(ids, record));
  for (auto& p : probes) {
    ASSERT_TRUE(p->Got().WaitFor(1));
    EXPECT_EQ(p->Got().Deliveries()[0].record, record.get()) << "the same object in every queue";
    EXPECT_EQ(p->Got().Values(), std::vector<int>{42});
  }
  // Each worker lets go of the record once its callback has returned.
  EXPECT_TRUE(WaitUntil([&] { return record.use_count() == 1; }));

  // The by-value form makes one copy, shared again.
  EXPECT_TRUE(D().Emit(ids, Record(node, 43)));
  std::set<const roz::NotificationData*> copies;
  for (auto& p : probes) {
    ASSERT_TRUE(p->Got().WaitFor(2));
    copies.insert(p->Got().Deliveries()[1].record);
  }
  EXPECT_EQ(copies.size(), 1u);
}

TEST_F(DispatcherTest, SlowCallbackDelaysOnlyItsOwnClient) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  Probe slow([released](const roz::NotificationData&) { released.wait(); });
  Probe fast;
  const Node node = Named("n");
  ASSERT_TRUE(D().Register(slow.Id(), node));
  ASSERT_TRUE(D().Register(fast.Id(), node));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(D().Emit({slow.Id(), fast.Id()}, Record(node, i)));
  ASSERT_TRUE(fast.Got().WaitFor(3));
  EXPECT_EQ(slow.Got().Count(), 0u) << "still in its first callback";
  release.set_value();
  ASSERT_TRUE(slow.Got().WaitFor(3));
  EXPECT_EQ(slow.Got().Values(), (std::vector<int>{0, 1, 2}));
}

TEST_F(DispatcherTest, WorkerStopsWithTheLastNodeAndTheNextOneDeliversTheQueue) {
  StartTrace(istd::eHigh);
  Probe a;
  const Node n1 = Named("one");
  const Node n2 = Named("two");
  EXPECT_TRUE(D().Register(a.Id(), n1));
  EXPECT_FALSE(D().Register(a.Id(), n1)) << "already registered";
  EXPECT_TRUE(D().Register(a.Id(), n2));
  EXPECT_EQ(D().NumOfRegisteredNodes(a.Id()), 2u);
  const std::string started = "Dispatcher thread started for client " + std::to_string(a.Id());
  EXPECT_TRUE(WaitUntil([&] { return Occurrences(started) == 1; })) << "one worker for both";

  EXPECT_TRUE(D().Unregister(a.Id(), n1));
  EXPECT_FALSE(D().Unregister(a.Id(), n1));
  EXPECT_EQ(D().NumOfRegisteredNodes(a.Id()), 1u);
  // The form a destroyed proxy uses: tree node identifier and path.
  D().Unregister(n2.GetId(), n2.GetRelPath(), {a.Id(), ClientId()});
  EXPECT_EQ(D().NumOfRegisteredNodes(a.Id()), 0u);
  EXPECT_TRUE(WaitUntil([&] { return Occurrences("Dispatcher thread stopped") == 1; }));

  // Without a worker records wait in the queue ...
  EXPECT_TRUE(D().Emit({a.Id()}, Record(n1, 1)));
  EXPECT_TRUE(D().Emit({a.Id()}, Record(n1, 2)));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(a.Got().Count(), 0u);
  // ... for the next worker, which delivers them first.
  EXPECT_TRUE(D().Register(a.Id(), n1));
  ASSERT_TRUE(a.Got().WaitFor(2));
  EXPECT_EQ(a.Got().Values(), (std::vector<int>{1, 2}));
  EXPECT_EQ(Occurrences(started), 2u);
}

TEST_F(DispatcherTest, BrokenClientIsDisconnectedByTheNextEmit) {
  StartTrace(istd::eLow);
  auto tree = NotifyingNode::Make("t");
  const Node node(tree, roz::Path{"x"});
  Probe broken;
  Probe other;
  ASSERT_TRUE(node.Subscribe(broken.Id()));
  ASSERT_TRUE(node.Subscribe(other.Id()));
  EXPECT_TRUE(D().Emit({broken.Id()}, Record(node, 1)));
  D().MarkBroken(broken.Id());
  D().MarkBroken(broken.Id());
  EXPECT_EQ(D().NumOfRegisteredNodes(broken.Id()), 1u) << "nothing happens before an Emit";
  ASSERT_TRUE(broken.Got().WaitFor(1)) << "queued before, delivered";

  // The next Emit disconnects it first, so that this Emit does not reach it.
  EXPECT_TRUE(D().Emit({broken.Id(), other.Id()}, Record(node, 2)));
  D().WaitForReleases();
  EXPECT_NE(TraceText().find("Disconnecting broken notification clients: 1"), std::string::npos);
  EXPECT_EQ(D().NumOfRegisteredNodes(broken.Id()), 0u);
  EXPECT_FALSE(D().Register(broken.Id(), node));
  EXPECT_FALSE(D().Emit({broken.Id()}, Record(node, 3)));
  ASSERT_TRUE(other.Got().WaitFor(1));
  EXPECT_EQ(broken.Got().Values(), std::vector<int>{1});
  // Its node was unsubscribed under its own path, without unregistering.
  const auto gone = tree->Unsubscriptions();
  ASSERT_EQ(gone.size(), 1u);
  EXPECT_EQ(gone[0].client, broken.Id());
  EXPECT_EQ(gone[0].path, roz::Path{"x"});
  EXPECT_FALSE(gone[0].unregister);
}

TEST_F(DispatcherTest, BrokenClientWithAStuckCallbackIsDestroyedOffTheEmittingThread) {
  auto tree = NotifyingNode::Make("t");
  const Node node(tree, roz::Path{"x"});
  std::shared_future<void> released;
  std::atomic<bool> inCallback{false};
  Probe stuck([&](const roz::NotificationData&) {
    inCallback = true;
    released.wait();
  });
  Probe other;
  // Goes before the probes: a failed assertion below breaks the promise,
  // which lets the callback return.
  std::promise<void> release;
  released = release.get_future().share();
  ASSERT_TRUE(node.Subscribe(stuck.Id()));
  ASSERT_TRUE(node.Subscribe(other.Id()));
  ASSERT_TRUE(D().Emit({stuck.Id()}, Record(node, 1)));
  ASSERT_TRUE(WaitUntil([&] { return inCallback.load(); }));
  D().MarkBroken(stuck.Id());

  // The emitting thread stands for an ORB thread that carries a server's
  // call: it takes the broken client out and returns, callback or not.
  std::promise<bool> emitted;
  std::future<bool> result = emitted.get_future();
  std::thread emitter(
      [&] { emitted.set_value(D().Emit({stuck.Id(), other.Id()}, Record(node, 2))); });
  const std::thread::id emitterId = emitter.get_id();
  const bool returned = result.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  EXPECT_TRUE(returned) << "the Emit waits for the broken client's callback";
  EXPECT_TRUE(other.Got().WaitFor(1));
  EXPECT_TRUE(tree->Unsubscriptions().empty()) << "destroyed before its callback returned";

  release.set_value();
  emitter.join();
  EXPECT_TRUE(result.get());
  D().WaitForReleases();
  const auto gone = tree->Unsubscriptions();
  ASSERT_EQ(gone.size(), 1u) << "not destroyed once its callback returned";
  EXPECT_EQ(gone[0].client, stuck.Id());
  EXPECT_NE(gone[0].thread, emitterId);
  EXPECT_NE(gone[0].thread, std::this_thread::get_id());
  EXPECT_EQ(stuck.Got().Values(), std::vector<int>{1});
}

TEST_F(DispatcherTest, UnconnectedClientsAreSkipped) {
  Probe a;
  const Node node = Named("n");
  ASSERT_TRUE(D().Register(a.Id(), node));
  const ClientId unknown;
  EXPECT_FALSE(D().Emit({unknown}, Record(node, 1)));
  EXPECT_TRUE(D().Emit({unknown, a.Id()}, Record(node, 2)));
  ASSERT_TRUE(a.Got().WaitFor(1));
  EXPECT_EQ(a.Got().Values(), std::vector<int>{2});
  EXPECT_FALSE(D().Register(unknown, node));
  EXPECT_FALSE(D().Unregister(unknown, node));
  EXPECT_EQ(D().NumOfRegisteredNodes(unknown), 0u);
  D().Disconnect(unknown);
  EXPECT_EQ(D().NumOfRegisteredNodes(a.Id()), 1u);
}

TEST_F(DispatcherTest, StopDisconnectsEveryClientForGood) {
  // Stop is for good: it runs in a child with a dispatcher of its own.
  const auto result = testutil::RunInChild([this] {
    StartTrace(istd::eMedium);
    auto tree = NotifyingNode::Make("t");
    const Node node(tree, roz::Path{"x"});
    auto a = std::make_unique<Probe>();
    if (!node.Subscribe(a->Id())) throw std::runtime_error("no subscription");
    D().Stop();
    if (tree->Unsubscriptions().size() != 1) throw std::runtime_error("not unsubscribed");
    if (D().NumOfRegisteredNodes(a->Id()) != 0) throw std::runtime_error("still registered");
    const ClientId later = D().Connect(roz::Callback([](const roz::NotificationData&) {}));
    if (!(later > a->Id())) throw std::runtime_error("no fresh identifier");
    if (D().Register(later, node)) throw std::runtime_error("registered after Stop");
    if (D().Emit({later, a->Id()}, Record(node, 1))) throw std::runtime_error("emitted");
    const std::string trace = TraceText();
    for (const std::string& text :
         {std::string("Dispatcher is not running. Cannot make a connection"),
          "Dispatcher thread for client " + std::to_string(a->Id()) + " stopped."}) {
      if (trace.find(text) == std::string::npos) throw std::runtime_error("not traced: " + text);
    }
    a.reset();
  });
  EXPECT_EQ(result.exitCode, 0) << result.output;
}

TEST_F(DispatcherTest, CallbackMayUnregisterAndRegisterItsOwnNodes) {
  const Node node = Named("self");
  std::atomic<bool> unregistered{false};
  std::atomic<bool> reregistered{false};
  ClientId self = ClientId();
  Probe a([&](const roz::NotificationData& record) {
    const int value = record.data.Get<int>();
    // Its only node: the worker must not wait for itself.
    if (value == 1) unregistered = D().Unregister(self, node);
    // Off and on again within one callback: the worker goes on.
    if (value == 3) reregistered = D().Unregister(self, node) && D().Register(self, node);
  });
  self = a.Id();
  ASSERT_TRUE(D().Register(a.Id(), node));
  EXPECT_TRUE(D().Emit({a.Id()}, Record(node, 1)));
  ASSERT_TRUE(a.Got().WaitFor(1));
  EXPECT_TRUE(unregistered);
  EXPECT_TRUE(D().Emit({a.Id()}, Record(node, 2)));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(a.Got().Count(), 1u) << "its worker ended with the node";
  EXPECT_TRUE(D().Register(a.Id(), node));
  EXPECT_TRUE(D().Emit({a.Id()}, Record(node, 3)));
  EXPECT_TRUE(D().Emit({a.Id()}, Record(node, 4)));
  ASSERT_TRUE(a.Got().WaitFor(4));
  EXPECT_TRUE(reregistered);
  EXPECT_EQ(a.Got().Values(), (std::vector<int>{1, 2, 3, 4}));
}

TEST_F(DispatcherTest, CallbackMayDisconnectItsOwnClient) {
  StartTrace(istd::eMedium);
  auto tree = NotifyingNode::Make("t");
  const Node node(tree, roz::Path{"x"});
  ClientId self = ClientId();
  Probe a([&](const roz::NotificationData&) { D().Disconnect(self); });
  self = a.Id();
  ASSERT_TRUE(node.Subscribe(a.Id()));
  EXPECT_TRUE(D().Emit({a.Id()}, Record(node, 1)));
  ASSERT_TRUE(a.Got().WaitFor(1));
  // Its worker ends once the callback has returned and takes the client
  // along: its node is unsubscribed there.
  const std::string stopped =
      "Dispatcher thread for client " + std::to_string(a.Id()) + " stopped.";
  EXPECT_TRUE(WaitUntil([&] { return TraceText().find(stopped) != std::string::npos; }));
  EXPECT_EQ(tree->Unsubscriptions().size(), 1u);
  EXPECT_EQ(D().NumOfRegisteredNodes(a.Id()), 0u);
  EXPECT_FALSE(D().Emit({a.Id()}, Record(node, 2)));
}

TEST_F(DispatcherTest, UnregisteringTheLastNodeDoesNotWaitForTheCallback) {
  // The callback goes on only once Unregister has returned on this thread:
  // an Unregister that joined the worker would wait for ever.
  std::promise<void> returned;
  std::shared_future<void> hasReturned = returned.get_future().share();
  std::promise<void> entered;
  std::atomic<bool> sawReturn{false};
  Probe a([&](const roz::NotificationData&) {
    entered.set_value();
    sawReturn = hasReturned.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    // What a callback may do meanwhile: use the dispatcher.
    D().NumOfRegisteredNodes(ClientId());
  });
  const Node node = Named("n");
  ASSERT_TRUE(D().Register(a.Id(), node));
  EXPECT_TRUE(D().Emit({a.Id()}, Record(node, 1)));
  entered.get_future().wait();
  EXPECT_TRUE(D().Unregister(a.Id(), node));
  returned.set_value();
  ASSERT_TRUE(a.Got().WaitFor(1));
  EXPECT_TRUE(sawReturn);
}

TEST_F(DispatcherTest, ConcurrentRegisterEmitUnregisterAndDisconnect) {
  // A steady client receives from two emitters while other threads churn:
  // clients connect, register, unregister and disconnect, and a callback
  // registers and unregisters nodes itself. Every record of the steady
  // client arrives once, in each emitter's order.
  Probe steady;
  const Node node = Named("steady");
  ASSERT_TRUE(D().Register(steady.Id(), node));
  std::atomic<bool> stop{false};
  std::atomic<int> rounds{0};
  std::vector<std::thread> churn;
  for (int t = 0; t < 3; ++t) {
    churn.emplace_back([&, t] {
      const Node own = Named("churn" + std::to_string(t));
      for (; !stop; ++rounds) {
        // The callback holds what it uses: a client marked broken may be
        // destroyed by an emitter while this thread already goes on.
        auto self = std::make_shared<ClientId>();
        *self = D().Connect(roz::Callback([self, own](const roz::NotificationData&) {
          D().Register(*self, own);
          D().Unregister(*self, own);
        }));
        const ClientId id = *self;
        D().Register(id, own);
        D().Register(id, node);
        D().Emit({id}, Record(own, -1));
        D().Unregister(id, own);
        D().Unregister(id, node);
        if (t == 0) D().MarkBroken(id);
        D().Register(id, own);
        D().Disconnect(id);
      }
    });
  }
  // The emitters run while the churn goes on, and it goes on until they are
  // done and it has done a fair number of rounds.
  ASSERT_TRUE(WaitUntil([&] { return rounds >= 20; }));
  const int perEmitter = 3000;
  std::vector<std::thread> emitters;
  for (int e = 0; e < 2; ++e) {
    emitters.emplace_back([&, e] {
      for (int i = 0; i < perEmitter; ++i) {
        D().Emit({steady.Id()}, Record(node, e * perEmitter + i));
        if (i % 100 == 0) std::this_thread::yield();
      }
    });
  }
  for (auto& t : emitters) t.join();
  ASSERT_TRUE(steady.Got().WaitFor(2 * perEmitter, 30));
  EXPECT_TRUE(WaitUntil([&] { return rounds >= 300; }, 60));
  stop = true;
  for (auto& t : churn) t.join();
  std::vector<int> last{-1, -1};
  for (int value : steady.Got().Values()) {
    ASSERT_GE(value, 0);
    const int e = value / perEmitter;
    EXPECT_GT(value, last[e]) << "out of order";
    last[e] = value;
  }
  EXPECT_EQ(steady.Got().Count(), static_cast<size_t>(2 * perEmitter));
}

}  // namespace
