#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "istd/worker_thread.h"
#include "trace_fixture.h"

using ::testing::IsSupersetOf;

namespace {

using Clock = std::chrono::steady_clock;
using WorkerThreadTest = TraceFixture;

// Runs `body`, by default a sleep in short waits until asked to stop.
class Probe : public istd::WorkerThread {
 public:
  explicit Probe(const std::string& name, std::function<void(Probe&)> body = nullptr)
      : WorkerThread(name), m_body(std::move(body)) {}
  void Main() override {
    if (m_body) return m_body(*this);
    while (!StopRequested()) TimedWait(0, 1000000);
  }

 private:
  std::function<void(Probe&)> m_body;
};

TEST_F(WorkerThreadTest, LifeAndFailuresOfMainAreTraced) {
  StartTrace(istd::eLow);
  {
    Probe sleeper("sleepy");
    sleeper.Start();
    sleeper.Stop();
    EXPECT_TRUE(sleeper.StopRequested());
    sleeper.Join();
    Probe failing("failing", [](Probe&) { throw std::runtime_error("disk on fire"); });
    failing.Start();
    failing.Join();
    Probe odd("odd", [](Probe&) { throw 7; });
    odd.Start();
    odd.Join();
  }
  const std::vector<std::string> m = TraceMessages();
  auto at = [&m](const std::string& text) {
    return std::find(m.begin(), m.end(), text) - m.begin();
  };
  EXPECT_THAT(
      m, IsSupersetOf({"Worker thread: sleepy: START", "Worker thread: sleepy: REQUEST TO STOP",
                       "WARNING: WorkerThread odd. Unknown exception."}));
  EXPECT_LT(at("Worker thread: sleepy: CREATED"), at("Worker thread: sleepy: STOPPED"));
  EXPECT_LT(at("Worker thread: sleepy: STOPPED"), at("Worker thread: sleepy: DESTROYED"));
  EXPECT_EQ(at("WARNING: WorkerThread failing. Error: disk on fire") + 1,
            at("Worker thread: failing: STOPPED"));
}

TEST_F(WorkerThreadTest, TimedWaitEndsEarlyOnStopAndReportsAFullWaitOtherwise) {
  Probe worker("waiter");
  auto start = Clock::now();
  EXPECT_TRUE(worker.TimedWait(0, 50000000));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(50));
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    worker.Stop();
  });
  start = Clock::now();
  EXPECT_FALSE(worker.TimedWait(1, 0));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(900));
  stopper.join();
}

// Has workers for names starting with "w"; counts its CreateWorker calls.
class Pool : public istd::WorkerPool {
 public:
  istd::WorkerThread* CreateWorker(const std::string& name) override {
    ++m_created[name];
    return name[0] == 'w' ? new Probe(name, m_body) : nullptr;
  }
  std::map<std::string, int> m_created;
  std::function<void(Probe&)> m_body;
};

TEST_F(WorkerThreadTest, PoolCreatesOncePerNameAndTerminatesOneOrAll) {
  StartTrace(istd::eDetail);
  Pool pool;
  istd::WorkerThread* first = pool.GetWorker("w1");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(pool.GetWorker("w1"), first);
  EXPECT_FALSE(first->Joinable()) << "GetWorker must not start the worker";
  EXPECT_EQ(pool.GetWorker("none"), nullptr);
  first->Start();
  pool.Terminate("w1");
  pool.Terminate("w1");       // already gone
  pool.Terminate("unknown");  // never registered
  ASSERT_NE(pool.GetWorker("w1"), nullptr);
  EXPECT_EQ(pool.m_created["w1"], 2);
  pool.GetWorker("w2")->Start();  // w1 stays unstarted: deleted without a join
  pool.TerminateAll();
  const std::vector<std::string> m = TraceMessages();
  EXPECT_EQ(std::count(m.begin(), m.end(), "Worker thread: w1: DESTROYED"), 2);
  EXPECT_THAT(m, IsSupersetOf({"Worker thread: w2: DESTROYED", "Size of worker map: 2",
                               "Terminated worker threads."}));
  ASSERT_NE(pool.GetWorker("w2"), nullptr) << "entries remain, holding null";
  EXPECT_EQ(pool.m_created["w2"], 2);
  pool.TerminateAll();
}

TEST_F(WorkerThreadTest, GetWorkerDuringTerminateNeverReturnsTheDyingWorker) {
  Pool pool;
  std::mutex mutex;
  std::condition_variable cv;
  bool stopping = false, release = false;
  pool.m_body = [&](Probe& self) {  // once asked to stop, holds on until released
    while (!self.StopRequested()) self.TimedWait(0, 1000000);
    std::unique_lock<std::mutex> lock(mutex);
    stopping = true;
    cv.notify_all();
    cv.wait(lock, [&] { return release; });
  };
  istd::WorkerThread* dying = pool.GetWorker("wjob");
  dying->Start();
  std::thread terminator([&] { pool.Terminate("wjob"); });
  std::unique_lock<std::mutex> lock(mutex);
  cv.wait(lock, [&] { return stopping; });  // Terminate is joining it now
  lock.unlock();
  istd::WorkerThread* fresh = pool.GetWorker("wjob");
  EXPECT_NE(fresh, dying);
  lock.lock();
  release = true;
  cv.notify_all();
  lock.unlock();
  terminator.join();
  EXPECT_EQ(pool.GetWorker("wjob"), fresh) << "deleting the old worker cleared the new entry";
  pool.TerminateAll();
}

TEST(LockTest, HoldsEveryListedMutexUntilDestroyed) {
  std::mutex a, b, c;
  auto heldElsewhere = [](std::mutex& m) {
    bool held = false;
    std::thread([&] { held = !m.try_lock() || (m.unlock(), false); }).join();
    return held;
  };
  {
    istd::Lock lock({&a, &b});
    lock.Add(c);
    EXPECT_TRUE(heldElsewhere(a) && heldElsewhere(b) && heldElsewhere(c));
  }
  EXPECT_FALSE(heldElsewhere(a) || heldElsewhere(b) || heldElsewhere(c));
}

}  // namespace
