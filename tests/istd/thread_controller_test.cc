#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "istd/exception.h"
#include "istd/thread_controller.h"
#include "trace_fixture.h"

using ::testing::IsSupersetOf;
using State = istd::ThreadController;

namespace {

using Clock = std::chrono::steady_clock;

// Periods of 10 ms, at most 100 of them (1 s) for a state to be entered.
class ThreadControllerTest : public TraceFixture {
 protected:
  void SetUp() override {
    istd::cStopSleepPeriodMs = 10;
    istd::cRetryCounter = 100;
  }
  void TearDown() override {
    istd::cStopSleepPeriodMs = 100;
    istd::cRetryCounter = 100;
    TraceFixture::TearDown();
  }
  static bool WaitFor(istd::ThreadController& c, State::State_e state) {
    std::unique_lock<std::mutex> lock(c.GetMutex());
    return c.WaitOnStateEnter(state, lock);
  }
};

// A loop body that counts its calls, the loop threads it ran on and the
// most calls that overlapped.
struct Counting {
  std::atomic<int> calls{0}, threads{0}, running{0}, overlapped{0};
  void operator()() {
    thread_local bool seen = false;
    if (!seen) ++threads;
    seen = true;
    if (++running > 1) ++overlapped;
    ++calls;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    --running;
  }
};

TEST_F(ThreadControllerTest, StartStopAndRestartRunOneLoopThreadAtATime) {
  Counting body;
  istd::ThreadController c("counter", std::ref(body), nullptr);
  EXPECT_TRUE(c.Stop()) << "stopping a stopped controller";
  EXPECT_TRUE(c.Start());
  EXPECT_EQ(c.GetState(), State::eRunning);
  EXPECT_TRUE(c.Start()) << "starting a running controller";
  EXPECT_TRUE(c.Restart());
  EXPECT_EQ(c.GetState(), State::eRunning);
  EXPECT_TRUE(c.Stop());
  EXPECT_EQ(c.GetState(), State::eStopped);
  const int calls = body.calls;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(body.calls, calls) << "the loop ran on after Stop";
  EXPECT_EQ(body.threads, 2);
  EXPECT_EQ(body.overlapped, 0);
}

TEST_F(ThreadControllerTest, StopIssuesTheCancelFunctionAtOnceAndEveryPeriod) {
  // The loop body returns once cancelled `needed` times. 1: the cancel at
  // the start of the stop suffices; 4: Stop re-issues it period after period.
  for (int needed : {1, 4}) {
    auto cancels = std::make_shared<std::atomic<int>>(0);  // cancel threads may outlive Stop
    std::atomic<bool> entered{false};
    istd::ThreadController c(
        "blocked",
        [&entered, cancels, needed] {
          entered = true;
          while (*cancels < needed) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        },
        [cancels] { ++*cancels; });
    c.Start();
    while (!entered) std::this_thread::yield();
    const auto start = Clock::now();
    c.Stop();
    const auto took = Clock::now() - start;
    EXPECT_EQ(c.GetState(), State::eStopped);
    EXPECT_LT(took, std::chrono::milliseconds(500));
    if (needed == 4) EXPECT_GE(took, std::chrono::milliseconds(25));
  }
}

TEST_F(ThreadControllerTest, SetStateFollowsTheTransitionTableAndWaitOnStateEnterGivesUp) {
  StartTrace(istd::eHigh);
  istd::cRetryCounter = 10;
  istd::ThreadController c(
      "table", [] {}, nullptr);
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
  EXPECT_FALSE(c.SetState(State::eTerminating));
  const auto start = Clock::now();
  EXPECT_FALSE(c.WaitOnStateEnter(State::eRunning, lock));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(90));  // 10 periods
  EXPECT_TRUE(c.SetState(State::eStarting));
  EXPECT_EQ(thrown(State::eStarting),
            "table could not be started since it is not in eStopped state.");
  EXPECT_EQ(thrown(State::eTerminating), "table is not running, thus it could not be terminated.");
  EXPECT_TRUE(c.SetState(State::eRunning));
  EXPECT_FALSE(c.SetState(State::eStarting));
  EXPECT_EQ(thrown(State::eStopped),
            "table could be stopped from eTerminating state. Current state: 2");
  EXPECT_TRUE(c.SetState(State::eTerminating));
  EXPECT_TRUE(c.SetState(State::eStopped));
  EXPECT_TRUE(c.WaitOnStateEnter(State::eStopped, lock));
  istd::cRetryCounter = 0;
  EXPECT_FALSE(c.WaitOnStateEnter(State::eStopped, lock)) << "no retries fail at once";
  lock.unlock();
  EXPECT_THAT(TraceMessages(),
              IsSupersetOf({"table is already stopped.", "table is already running.",
                            "table didn't come into 2 state in a reasonable time."}));
}

TEST_F(ThreadControllerTest, LoopBodyThatThrowsLeavesTheControllerStoppedAndRestartable) {
  StartTrace(istd::eLow);
  std::atomic<bool> fail{false};
  istd::ThreadController c(
      "fragile",
      [&] {
        if (fail.exchange(false)) throw std::runtime_error("sensor lost");
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      },
      nullptr);
  for (int run = 0; run < 2; ++run) {
    EXPECT_TRUE(c.Start());
    // A waiter that is blocked while the loop runs sees the end.
    std::atomic<bool> waiting{false}, sawStopped{false};
    std::thread waiter([&] {
      std::unique_lock<std::mutex> lock(c.GetMutex());
      waiting = true;
      sawStopped = c.WaitOnStateEnter(State::eStopped, lock);
    });
    while (!waiting) std::this_thread::yield();
    { std::lock_guard<std::mutex> waiterBlocked(c.GetMutex()); }
    fail = true;
    waiter.join();
    EXPECT_TRUE(sawStopped);
    EXPECT_EQ(c.GetState(), State::eStopped);
  }

  istd::ThreadController odd(
      "odd", [] { throw 42; }, nullptr);
  odd.Start();
  EXPECT_TRUE(WaitFor(odd, State::eStopped));
  EXPECT_THAT(TraceMessages(), IsSupersetOf({"WARNING: WorkerThread fragile. Error: sensor lost",
                                             "WARNING: WorkerThread odd. Unknown exception."}));
}

TEST_F(ThreadControllerTest, AsynchronousOperationsCompleteAndDestructionWaitsForThem) {
  Counting body;
  istd::ThreadController c("async", std::ref(body), nullptr);
  c.AsyncStart();
  EXPECT_TRUE(WaitFor(c, State::eRunning));
  c.AsyncRestart();
  const auto until = Clock::now() + std::chrono::seconds(1);
  while (body.threads < 2 && Clock::now() < until) std::this_thread::yield();
  EXPECT_TRUE(WaitFor(c, State::eRunning));
  c.AsyncStop();
  EXPECT_TRUE(WaitFor(c, State::eStopped));

  // Destroyed while its AsyncStart may not even have begun.
  for (int i = 0; i < 20; ++i) {
    auto shortLived = std::make_unique<istd::ThreadController>("short", std::ref(body), nullptr);
    shortLived->AsyncStart();
  }
  const int calls = body.calls;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(body.calls, calls) << "a loop outlived its controller";
  EXPECT_EQ(body.overlapped, 0);
}

}  // namespace
