#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
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

TEST_F(SynchronizerTest, DecrementsToZeroEndTheWaitAndCancelFailsIt) {
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

  s.Reset(1);
  std::atomic<bool> done{false};
  std::thread canceller([&] {
    // A Cancel that comes before the waiter blocks is lost: repeat it.
    for (; !done; std::this_thread::sleep_for(std::chrono::milliseconds(5))) s.Cancel();
  });
  start = Clock::now();
  EXPECT_FALSE(s.Wait());
  done = true;
  canceller.join();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
