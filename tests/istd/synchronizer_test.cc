#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "istd/exception.h"
#include "istd/synchronizer.h"
#include "trace_fixture.h"

using ::testing::Contains;
using ::testing::IsSupersetOf;

namespace {

using Clock = std::chrono::steady_clock;
using SynchronizerTest = TraceFixture;

std::string ThrownText(unsigned int iterations, unsigned int period) {
  try {
    istd::Synchronizer s(1, iterations, period);
  } catch (const istd::Exception& e) {
    return e.what();
  }
  return "";
}

TEST_F(SynchronizerTest, BudgetUpToMaxTimeoutIsAcceptedAndLargerOnesThrow) {
  istd::Synchronizer exact(1, 100, 100);
  EXPECT_EQ(exact.Timeout(), istd::Synchronizer::MaxTimeout);
  EXPECT_EQ(ThrownText(100, 100), "");
  EXPECT_EQ(ThrownText(101, 100), "Internal error: Specified timeout is too long. 10100>10000");
  // 65536 x 65536 wraps to 0 in 32 bits; the check must still refuse it.
  EXPECT_EQ(ThrownText(65536, 65536),
            "Internal error: Specified timeout is too long. 4294967296>10000");
}

TEST_F(SynchronizerTest, ZeroCountSucceedsAtOnceAndZeroIterationsAlwaysFail) {
  StartTrace(istd::eLow);
  istd::Synchronizer done(0, 1, 5000);
  const auto start = Clock::now();
  EXPECT_TRUE(done.Wait());
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));

  istd::Synchronizer noBudget(0, 0, 100);
  EXPECT_FALSE(noBudget.Wait());
  EXPECT_THAT(TraceMessages(), Contains("waiting failed:"));
}

TEST_F(SynchronizerTest, TimesOutAfterTheBudgetTracingEachIteration) {
  StartTrace(istd::eLow);
  istd::Synchronizer s(1, 3, 20);
  const auto start = Clock::now();
  EXPECT_FALSE(s.Wait());
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(60));
  EXPECT_THAT(TraceMessages(),
              IsSupersetOf({"waiting for condition: iteration:0", "waiting finished:0",
                            "waiting for condition: iteration:2", "waiting finished:2",
                            "waiting failed:"}));
}

TEST_F(SynchronizerTest, DecrementsToZeroFromAnotherThreadEndTheWait) {
  StartTrace(istd::eLow);
  istd::Synchronizer s(1, 100, 100);
  s.Increment();
  std::thread producer([&s] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    s.Decrement();
    s.Decrement();
  });
  const auto start = Clock::now();
  EXPECT_TRUE(s.Wait());
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  producer.join();
  EXPECT_THAT(TraceMessages(), IsSupersetOf({"Increment: before1", "Increment: after2",
                                             "Decrement: before2", "Decrement: after1",
                                             "Decrement: before1", "Decrement: after0"}));
}

TEST_F(SynchronizerTest, CancelEndsTheWaitWithFalseBeforeTheBudget) {
  istd::Synchronizer s(1, 100, 100);
  std::atomic<bool> done{false};
  // A Cancel that comes before the waiter blocks is lost, so cancel until
  // the wait has ended.
  std::thread canceller([&] {
    while (!done.load()) {
      s.Cancel();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  const auto start = Clock::now();
  EXPECT_FALSE(s.Wait());
  done.store(true);
  canceller.join();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
}

TEST_F(SynchronizerTest, DecrementAtZeroKeepsZeroAndWakesTheWaiter) {
  StartTrace(istd::eLow);
  istd::Synchronizer s(1, 5, 2000);
  std::thread producer([&] {
    // Once the first iteration is traced the waiter holds the mutex until it
    // blocks, so the Decrement below cannot come before the wait.
    const auto until = Clock::now() + std::chrono::seconds(2);
    while (Clock::now() < until) {
      const std::vector<std::string> m = TraceMessages();
      if (std::find(m.begin(), m.end(), "waiting for condition: iteration:0") != m.end()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    s.Reset(0);  // wakes nobody
    s.Decrement();
  });
  const auto start = Clock::now();
  EXPECT_TRUE(s.Wait());
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1900)) << "not woken by Decrement";
  producer.join();
  EXPECT_THAT(TraceMessages(), IsSupersetOf({"Decrement: before0", "Decrement: after0"}));
}

}  // namespace
