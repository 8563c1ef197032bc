#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "istd/worker_thread.h"
#include "trace_fixture.h"

using ::testing::ElementsAre;
using ::testing::IsSupersetOf;

namespace {

using Clock = std::chrono::steady_clock;
using WorkerThreadTest = TraceFixture;
using WorkerPoolTest = TraceFixture;

// Sleeps in short waits until asked to stop.
class Sleeper : public istd::WorkerThread {
 public:
  explicit Sleeper(const std::string& name) : WorkerThread(name) {}
  void Main() override {
    while (!StopRequested()) TimedWait(0, 1000000);
  }
};

// Throws what it is given.
template <typename E>
class Thrower : public istd::WorkerThread {
 public:
  Thrower(const std::string& name, E error) : WorkerThread(name), m_error(error) {}
  void Main() override { throw m_error; }

 private:
  E m_error;
};

// Messages of the worker named `name` (its lines start with the name).
std::vector<std::string> WorkerLines(const std::vector<std::string>& messages,
                                     const std::string& name) {
  std::vector<std::string> lines;
  for (const std::string& m : messages) {
    if (m.find("Worker thread: " + name + ":") == 0 || m.find("WorkerThread " + name) != m.npos) {
      lines.push_back(m);
    }
  }
  return lines;
}

TEST_F(WorkerThreadTest, LifeIsTracedFromCreationToDestruction) {
  StartTrace(istd::eLow);
  {
    Sleeper worker("sleepy");
    worker.Start();
    EXPECT_TRUE(worker.Joinable());
    EXPECT_FALSE(worker.StopRequested());
    worker.Stop();
    EXPECT_TRUE(worker.StopRequested());
    worker.Join();
    EXPECT_FALSE(worker.Joinable());
  }
  const std::vector<std::string> lines = WorkerLines(TraceMessages(), "sleepy");
  ASSERT_EQ(lines.size(), 5u) << testing::PrintToString(lines);
  EXPECT_EQ(lines[0], "Worker thread: sleepy: CREATED");
  EXPECT_EQ(lines[1], "Worker thread: sleepy: START");
  // The thread may end before or after Stop() traces its request.
  EXPECT_THAT(std::vector<std::string>(lines.begin() + 2, lines.begin() + 4),
              testing::UnorderedElementsAre("Worker thread: sleepy: REQUEST TO STOP",
                                            "Worker thread: sleepy: STOPPED"));
  EXPECT_EQ(lines[4], "Worker thread: sleepy: DESTROYED");
}

TEST_F(WorkerThreadTest, ExceptionsFromMainAreTracedAndEndOnlyTheWorker) {
  StartTrace(istd::eLow);
  Thrower<std::runtime_error> failing("failing", std::runtime_error("disk on fire"));
  failing.Start();
  failing.Join();
  Thrower<int> odd("odd", 7);
  odd.Start();
  odd.Join();
  const std::vector<std::string> messages = TraceMessages();
  // START is traced once the thread exists, so it may come after its end.
  std::vector<std::string> failingLines = WorkerLines(messages, "failing");
  failingLines.erase(
      std::remove(failingLines.begin(), failingLines.end(), "Worker thread: failing: START"),
      failingLines.end());
  EXPECT_THAT(failingLines,
              ElementsAre("Worker thread: failing: CREATED",
                          "WARNING: WorkerThread failing. Error: disk on fire",
                          "Worker thread: failing: STOPPED"));
  EXPECT_THAT(WorkerLines(messages, "odd"),
              IsSupersetOf({"WARNING: WorkerThread odd. Unknown exception.",
                            "Worker thread: odd: STOPPED"}));
}

TEST_F(WorkerThreadTest, TimedWaitEndsEarlyOnStopAndReportsAFullWaitOtherwise) {
  Sleeper worker("waiter");
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

// Counts its CreateWorker calls; has workers only for names starting "w".
class CountingPool : public istd::WorkerPool {
 public:
  istd::WorkerThread* CreateWorker(const std::string& name) override {
    ++m_created[name];
    if (name.empty() || name[0] != 'w') return nullptr;
    return new Sleeper(name);
  }
  std::map<std::string, int> m_created;
};

TEST_F(WorkerPoolTest, GetWorkerCreatesOncePerNameUntilTerminated) {
  CountingPool pool;
  istd::WorkerThread* first = pool.GetWorker("w1");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(pool.GetWorker("w1"), first);
  EXPECT_EQ(pool.m_created["w1"], 1);
  EXPECT_FALSE(first->Joinable()) << "GetWorker must not start the worker";
  EXPECT_EQ(pool.GetWorker("none"), nullptr);

  first->Start();
  pool.Terminate("w1");
  pool.Terminate("w1");       // already gone: nothing happens
  pool.Terminate("unknown");  // never registered: nothing happens
  istd::WorkerThread* second = pool.GetWorker("w1");
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(pool.m_created["w1"], 2);
  pool.TerminateAll();
}

TEST_F(WorkerPoolTest, TerminateAllStopsStartedWorkersAndDeletesUnstartedOnes) {
  StartTrace(istd::eDetail);
  CountingPool pool;
  pool.GetWorker("wa")->Start();
  pool.GetWorker("wb");  // never started: deleted without a join
  pool.GetWorker("wc")->Start();
  pool.TerminateAll();
  const std::vector<std::string> messages = TraceMessages();
  for (const char* name : {"wa", "wb", "wc"}) {
    EXPECT_EQ(WorkerLines(messages, name).back(), std::string("Worker thread: ") + name +
                                                      ": DESTROYED");
  }
  EXPECT_THAT(messages, IsSupersetOf({"Size of worker map: 3", "Terminated worker threads."}));
  // The entries remain with null workers: asking again creates new ones.
  ASSERT_NE(pool.GetWorker("wb"), nullptr);
  EXPECT_EQ(pool.m_created["wb"], 2);
  pool.TerminateAll();
}

// A worker that, once asked to stop, holds its thread until released.
class Lingering : public istd::WorkerThread {
 public:
  Lingering(const std::string& name, std::mutex& m, std::condition_variable& cv, bool& stopping,
            bool& release)
      : WorkerThread(name), m_m(m), m_cv(cv), m_stopping(stopping), m_release(release) {}
  void Main() override {
    while (!StopRequested()) TimedWait(0, 1000000);
    std::unique_lock<std::mutex> lock(m_m);
    m_stopping = true;
    m_cv.notify_all();
    m_cv.wait(lock, [this] { return m_release; });
  }

 private:
  std::mutex& m_m;
  std::condition_variable& m_cv;
  bool& m_stopping;
  bool& m_release;
};

class LingeringPool : public istd::WorkerPool {
 public:
  istd::WorkerThread* CreateWorker(const std::string& name) override {
    ++m_created;
    return new Lingering(name, m_m, m_cv, m_stopping, m_release);
  }
  std::atomic<int> m_created{0};
  std::mutex m_m;
  std::condition_variable m_cv;
  bool m_stopping = false;
  bool m_release = false;
};

TEST_F(WorkerPoolTest, GetWorkerDuringTerminateNeverReturnsTheDyingWorker) {
  LingeringPool pool;
  istd::WorkerThread* dying = pool.GetWorker("job");
  dying->Start();
  std::thread terminator([&] { pool.Terminate("job"); });
  {
    std::unique_lock<std::mutex> lock(pool.m_m);
    pool.m_cv.wait(lock, [&] { return pool.m_stopping; });
  }
  // Terminate is now joining the dying worker.
  istd::WorkerThread* fresh = pool.GetWorker("job");
  EXPECT_NE(fresh, dying);
  EXPECT_EQ(pool.m_created.load(), 2);
  {
    std::lock_guard<std::mutex> lock(pool.m_m);
    pool.m_release = true;
    pool.m_cv.notify_all();
  }
  terminator.join();
  EXPECT_EQ(pool.GetWorker("job"), fresh) << "deleting the old worker cleared the new entry";
  pool.TerminateAll();
}

TEST(LockTest, HoldsEveryListedMutexUntilDestroyed) {
  std::mutex a, b, c;
  auto lockedElsewhere = [](std::mutex& m) {
    bool locked = false;
    std::thread([&] {
      locked = !m.try_lock();
      if (!locked) m.unlock();
    }).join();
    return locked;
  };
  {
    istd::Lock lock({&a, &b});
    lock.Add(c);
    EXPECT_TRUE(lockedElsewhere(a));
    EXPECT_TRUE(lockedElsewhere(b));
    EXPECT_TRUE(lockedElsewhere(c));
  }
  EXPECT_FALSE(lockedElsewhere(a));
  EXPECT_FALSE(lockedElsewhere(b));
  EXPECT_FALSE(lockedElsewhere(c));
}

}  // namespace
