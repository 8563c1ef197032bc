#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "istd/exception.h"
#include "istd/thread_controller.h"
#include "trace_fixture.h"

using ::testing::Contains;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using State = istd::ThreadController;

namespace {

using Clock = std::chrono::steady_clock;

// Short periods keep the waits of the controller fast: 10 ms, and at most
// 100 of them (1 s) for a state to be entered.
class ThreadControllerTest : public TraceFixture {
 protected:
  void SetUp() override {
    m_savedPeriod = istd::cStopSleepPeriodMs;
    m_savedRetries = istd::cRetryCounter;
    istd::cStopSleepPeriodMs = 10;
    istd::cRetryCounter = 100;
  }
  void TearDown() override {
    istd::cStopSleepPeriodMs = m_savedPeriod;
    istd::cRetryCounter = m_savedRetries;
    TraceFixture::TearDown();
  }

  static bool WaitFor(istd::ThreadController& c, State::State_e state) {
    std::unique_lock<std::mutex> lock(c.GetMutex());
    return c.WaitOnStateEnter(state, lock);
  }

  unsigned int m_savedPeriod = 0;
  unsigned int m_savedRetries = 0;
};

// A loop body that counts its calls and the loop threads it ran on.
struct Counting {
  std::atomic<int> calls{0};
  std::atomic<int> threads{0};
  std::atomic<int> concurrent{0};
  std::atomic<int> maxConcurrent{0};
  void operator()() {
    thread_local bool seen = false;
    if (!seen) {
      seen = true;
      ++threads;
    }
    const int now = ++concurrent;
    int max = maxConcurrent.load();
    while (now > max && !maxConcurrent.compare_exchange_weak(max, now)) {
    }
    ++calls;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    --concurrent;
  }
};

TEST_F(ThreadControllerTest, StartAndStopAreIdempotentAndRunOneLoopThread) {
  Counting body;
  istd::ThreadController c("counter", std::ref(body), nullptr);
  EXPECT_EQ(c.GetState(), State::eStopped);
  EXPECT_TRUE(c.Stop()) << "stopping a stopped controller";
  EXPECT_TRUE(c.Start());
  EXPECT_EQ(c.GetState(), State::eRunning);
  EXPECT_TRUE(c.Start()) << "starting a running controller";
  while (body.calls.load() < 5) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(c.Stop());
  EXPECT_EQ(c.GetState(), State::eStopped);
  const int calls = body.calls.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(body.calls.load(), calls) << "the loop ran on after Stop";
  EXPECT_EQ(body.threads.load(), 1);
  EXPECT_EQ(body.maxConcurrent.load(), 1);
}

// A loop body that blocks until cancelled `needed` times.
struct Blocking {
  explicit Blocking(int needed) : needed(needed) {}
  std::mutex m;
  std::condition_variable cv;
  int cancels = 0;
  bool entered = false;
  const int needed;
  void Loop() {
    std::unique_lock<std::mutex> lock(m);
    entered = true;
    cv.notify_all();
    cv.wait(lock, [this] { return cancels >= needed; });
    cancels = 0;
  }
  void Cancel() {
    std::lock_guard<std::mutex> lock(m);
    ++cancels;
    cv.notify_all();
  }
  void WaitEntered() {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [this] { return entered; });
  }
};

TEST_F(ThreadControllerTest, StopIssuesTheCancelFunctionAtOnceAndEveryPeriod) {
  // Shared with the cancel threads, which may still run after Stop returns.
  auto once = std::make_shared<Blocking>(1);
  {
    istd::ThreadController c("blocked", [once] { once->Loop(); }, [once] { once->Cancel(); });
    c.Start();
    once->WaitEntered();
    const auto start = Clock::now();
    c.Stop();
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(c.GetState(), State::eStopped);
  }

  // The loop body gives in only to the fourth cancel: Stop has to re-issue
  // it period after period (10 ms here).
  auto stubborn = std::make_shared<Blocking>(4);
  istd::ThreadController c("stubborn", [stubborn] { stubborn->Loop(); },
                           [stubborn] { stubborn->Cancel(); });
  c.Start();
  stubborn->WaitEntered();
  const auto start = Clock::now();
  c.Stop();
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(25));
  EXPECT_EQ(c.GetState(), State::eStopped);
}

TEST_F(ThreadControllerTest, SetStateFollowsTheTransitionTable) {
  StartTrace(istd::eHigh);
  istd::ThreadController c("table", [] {}, nullptr);
  std::unique_lock<std::mutex> lock(c.GetMutex());
  auto thrown = [&](State::State_e s) -> std::string {
    try {
      c.SetState(s);
    } catch (const istd::Exception& e) {
      return e.what();
    }
    return "";
  };
  EXPECT_EQ(thrown(State::eRunning),
            "table could be started only from eStarting state. Current state: 0");
  EXPECT_EQ(thrown(State::eStopped),
            "table could be stopped from eTerminating state. Current state: 0");
  EXPECT_FALSE(c.SetState(State::eTerminating));
  EXPECT_TRUE(c.SetState(State::eStarting));
  EXPECT_EQ(thrown(State::eStarting), "table could not be started since it is not in eStopped state.");
  EXPECT_EQ(thrown(State::eTerminating), "table is not running, thus it could not be terminated.");
  EXPECT_TRUE(c.SetState(State::eRunning));
  EXPECT_FALSE(c.SetState(State::eStarting));
  EXPECT_EQ(thrown(State::eStopped),
            "table could be stopped from eTerminating state. Current state: 2");
  EXPECT_TRUE(c.SetState(State::eTerminating));
  EXPECT_EQ(thrown(State::eRunning),
            "table could be started only from eStarting state. Current state: 3");
  EXPECT_TRUE(c.SetState(State::eStopped));
  lock.unlock();

  const std::vector<std::string> messages = TraceMessages();
  EXPECT_THAT(messages, Contains("table is already stopped."));
  EXPECT_THAT(messages, Contains("table is already running."));
  EXPECT_THAT(messages, Contains("** Thrown istd::Exception: table is not running, thus it "
                                 "could not be terminated."));
}

TEST_F(ThreadControllerTest, WaitOnStateEnterGivesUpAfterTheRetryCounter) {
  StartTrace(istd::eLow);
  istd::cRetryCounter = 10;
  istd::ThreadController c("idle", [] {}, nullptr);
  const auto start = Clock::now();
  EXPECT_FALSE(WaitFor(c, State::eRunning));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(90));  // 10 periods of 10 ms
  EXPECT_THAT(TraceMessages(), Contains("idle didn't come into 2 state in a reasonable time."));
  EXPECT_TRUE(WaitFor(c, State::eStopped));

  istd::cRetryCounter = 0;
  EXPECT_FALSE(WaitFor(c, State::eStopped)) << "no retries fail at once";
}

TEST_F(ThreadControllerTest, LoopBodyThatThrowsLeavesTheControllerStoppedAndRestartable) {
  StartTrace(istd::eLow);
  std::atomic<int> calls{0};
  istd::ThreadController c("fragile",
                           [&] {
                             if (++calls == 3) throw std::runtime_error("sensor lost");
                             std::this_thread::sleep_for(std::chrono::milliseconds(1));
                           },
                           nullptr);
  // A waiter that is already blocked is told of the end.
  std::atomic<bool> waiting{false};
  std::atomic<bool> sawStopped{false};
  std::thread waiter([&] {
    std::unique_lock<std::mutex> lock(c.GetMutex());
    waiting = true;
    c.WaitOnStateExit(State::eStopped, lock);  // until started
    sawStopped = c.WaitOnStateEnter(State::eStopped, lock);
  });
  while (!waiting.load()) std::this_thread::yield();
  c.Start();  // gets the mutex only once the waiter waits
  waiter.join();
  EXPECT_TRUE(sawStopped.load());
  EXPECT_EQ(c.GetState(), State::eStopped);
  EXPECT_EQ(calls.load(), 3);
  EXPECT_THAT(TraceMessages(), Contains("WARNING: WorkerThread fragile. Error: sensor lost"));

  // Stopped as usual: it starts again, and an unknown exception ends it too.
  istd::ThreadController odd("odd", [] { throw 42; }, nullptr);
  odd.Start();
  EXPECT_TRUE(WaitFor(odd, State::eStopped));
  EXPECT_TRUE(odd.Start());
  EXPECT_TRUE(WaitFor(odd, State::eStopped));
  EXPECT_TRUE(odd.Stop());
  EXPECT_THAT(TraceMessages(), Contains("WARNING: WorkerThread odd. Unknown exception."));
}

TEST_F(ThreadControllerTest, RestartRunsANewLoopThread) {
  Counting body;
  istd::ThreadController c("restarted", std::ref(body), nullptr);
  EXPECT_TRUE(c.Restart()) << "restarting a stopped controller starts it";
  EXPECT_EQ(c.GetState(), State::eRunning);
  EXPECT_TRUE(c.Restart());
  EXPECT_EQ(c.GetState(), State::eRunning);
  c.Stop();
  EXPECT_EQ(body.threads.load(), 2);
  EXPECT_EQ(body.maxConcurrent.load(), 1);
}

TEST_F(ThreadControllerTest, AsynchronousOperationsReturnAtOnceAndComplete) {
  Counting body;
  istd::ThreadController c("async", std::ref(body), nullptr);
  c.AsyncStart();
  EXPECT_TRUE(WaitFor(c, State::eRunning));
  c.AsyncRestart();
  while (body.threads.load() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(WaitFor(c, State::eRunning));
  c.AsyncStop();
  EXPECT_TRUE(WaitFor(c, State::eStopped));
  EXPECT_EQ(body.maxConcurrent.load(), 1);
}

TEST_F(ThreadControllerTest, DestructionWaitsForPendingAsynchronousCallsAndStops) {
  Counting body;
  for (int i = 0; i < 20; ++i) {
    auto c = std::make_unique<istd::ThreadController>("short-lived", std::ref(body), nullptr);
    c->AsyncStart();
    c.reset();  // must neither crash nor leave a loop running
  }
  const int calls = body.calls.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(body.calls.load(), calls);
  EXPECT_EQ(body.concurrent.load(), 0);
}

TEST_F(ThreadControllerTest, LoopBodyMayStopItsOwnControllerAsynchronously) {
  std::atomic<int> calls{0};
  istd::ThreadController* self = nullptr;
  istd::ThreadController c("self-stopping",
                           [&] {
                             if (++calls == 2) self->AsyncStop();
                             std::this_thread::sleep_for(std::chrono::milliseconds(1));
                           },
                           nullptr);
  self = &c;
  c.Start();
  EXPECT_TRUE(WaitFor(c, State::eStopped));
}

}  // namespace
