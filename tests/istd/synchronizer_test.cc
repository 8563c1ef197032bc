#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "istd/exception.h"
#include "istd/synchronizer.h"
#include "trace_fixture.h"

using ::testing::IsSupersetOf;

namespace {

using Clock = std::chrono::steady_clock;
using SynchronizerTest = TraceFixture;

TEST_F(SynchronizerTest, BudgetUpToMaxTimeoutIsAcceptedAndLargerOnesThrow) {
  auto thrown = [](unsigned int iterations, unsigned int period) -> std::string {
    try {
      istd::Synchronizer s(1, iterations, period);
    } catch (const istd::Exception& e) {
      return e.what();
    }
    return "";
  };
  EXPECT_EQ(istd::Synchronizer(1, 100, 100).Timeout(), istd::Synchronizer::MaxTimeout);
  EXPECT_EQ(thrown(101, 100), "Internal error: Specified timeout is too long. 10100>10000");
  // 65536 x 65536 wraps to 0 in 32 bits; the check must still refuse it.
  EXPECT_EQ(thrown(65536, 65536),
            "Internal error: Specified timeout is too long. 4294967296>10000");
}

TEST_F(SynchronizerTest, WaitEndsAtOnceForZeroCountFailsWithoutBudgetAndTimesOut) {
  StartTrace(istd::eLow);
  auto start = Clock::now();
  EXPECT_TRUE(istd::Synchronizer(0, 1, 5000).Wait());
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  EXPECT_FALSE(istd::Synchronizer(0, 0, 100).Wait()) << "no iterations fail even at count 0";
  start = Clock::now();
  EXPECT_FALSE(istd::Synchronizer(1, 3, 20).Wait());
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(60));
  EXPECT_THAT(TraceMessages(),
              IsSupersetOf(
                  {"waiting failed:", "waiting for condition: iteration:2", "waiting finished:2"}));
}

TEST_F(SynchronizerTest, DecrementsToZeroEndTheWait) {
  StartTrace(istd::eLow);
  istd::Synchronizer s(1, 100, 100);
  s.Increment();
  std::thread producer([&s] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    s.Decrement();
    s.Decrement();
  });
  auto start = Clock::now();
  EXPECT_TRUE(s.Wait());
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  producer.join();
  s.Decrement();  // at zero: stays there
  EXPECT_TRUE(s.Wait());
  EXPECT_THAT(TraceMessages(),
              IsSupersetOf({"Increment: before1", "Increment: after2", "Decrement: before2",
                            "Decrement: after1", "Decrement: before0", "Decrement: after0"}));
}

TEST_F(SynchronizerTest, CancelIsNeverLostAndConsumedByOneWait) {
  StartTrace(istd::eLow);
  const auto cancelled = [this] {
    const std::vector<std::string> m = TraceMessages();
    return std::count(m.begin(), m.end(), "waiting cancelled:");
  };
  // A budget of 5 s in periods of 50 ms; each cancelled wait must end long
  // before it (the margin is generous: this is no timing measurement).
  istd::Synchronizer s(1, 100, 50);

  // A Cancel 50 ms into the wait, at the end of the first period, when the
  // waiter may be between two periods.
  std::thread canceller([&s] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    s.Cancel();
  });
  auto start = Clock::now();
  EXPECT_FALSE(s.Wait());
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500));
  canceller.join();

  // A Cancel before the Wait belongs to that Wait, and only to it: the next
  // Wait waits until the count reaches zero.
  s.Cancel();
  start = Clock::now();
  EXPECT_FALSE(s.Wait());
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500));
  EXPECT_EQ(cancelled(), 2);
  std::thread producer([&s] {
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    s.Decrement();
  });
  EXPECT_TRUE(s.Wait()) << "the Cancel went with the Wait before";
  producer.join();

  // At count zero a pending Cancel is cleared by the successful Wait.
  istd::Synchronizer shortBudget(0, 2, 20);
  shortBudget.Cancel();
  EXPECT_TRUE(shortBudget.Wait());
  shortBudget.Increment();
  EXPECT_FALSE(shortBudget.Wait());
  EXPECT_EQ(cancelled(), 2) << "that Wait timed out; no Cancel was left over";
}

}  // namespace
