#include <gtest/gtest.h>

#include <algorithm>

#include <chrono>
#include <ctime>
#include <sstream>
#include <thread>

#include "istd/exception.h"
#include "istd/time.h"

namespace {

std::string Text(const istd::Time& t) {
  std::ostringstream os;
  os << t;
  return os.str();
}

TEST(TimeTest, ConstructionNormalisesNanoseconds) {
  const istd::Time carried(5UL, 1500000000UL);
  EXPECT_EQ(carried.Seconds(), 6u);
  EXPECT_EQ(carried.Nanoseconds(), 500000000);
  const istd::Time borrowed(5UL, static_cast<unsigned long>(-1L));
  EXPECT_EQ(borrowed.Seconds(), 4u);
  EXPECT_EQ(borrowed.Nanoseconds(), 999999999);
  const istd::Time fromSeconds(7u);
  EXPECT_EQ(fromSeconds.Seconds(), 7u);
  EXPECT_EQ(fromSeconds.Nanoseconds(), 0);
  EXPECT_EQ(fromSeconds.Form(), 3);
}

TEST(TimeTest, ArithmeticNeverGoesNegative) {
  const istd::Time early(10UL, 900000000UL);
  const istd::Time late(12UL, 100000000UL);
  const istd::Time diff = late - early;
  EXPECT_EQ(diff.Seconds(), 1u);
  EXPECT_EQ(diff.Nanoseconds(), 200000000);
  EXPECT_TRUE((early - late).IsEpoch());
  // Same second, later nanoseconds: clamps to zero as well.
  EXPECT_TRUE((istd::Time(0UL, 5UL) - istd::Time(0UL, 9UL)).IsEpoch());
  const istd::Time sum = early + late;
  EXPECT_EQ(sum.Seconds(), 23u);
  EXPECT_EQ(sum.Nanoseconds(), 0);
  // Seconds compare as signed 32-bit: a value with the top bit set counts as
  // earlier than a small one.
  EXPECT_TRUE((istd::Time(0x80000000UL, 0UL) - istd::Time(1UL, 0UL)).IsEpoch());
}

TEST(TimeTest, DivisionSpreadsRemainderIntoNanoseconds) {
  istd::Time t(7UL, 500000000UL);
  t /= 2;
  EXPECT_EQ(t.Seconds(), 3u);
  EXPECT_EQ(t.Nanoseconds(), 750000000);
  const istd::Time third = istd::Time(1UL, 0UL) / 3;
  EXPECT_EQ(third.Seconds(), 0u);
  EXPECT_EQ(third.Nanoseconds(), 333333333);
}

TEST(TimeTest, ComparesSecondsThenNanosecondsIgnoringForm) {
  istd::Time a(3UL, 10UL);
  istd::Time b(3UL, 10UL);
  b.SetForm(7);
  EXPECT_TRUE(a == b);
  EXPECT_TRUE(istd::Time(3UL, 9UL) < a);
  EXPECT_TRUE(istd::Time(2UL, 999999999UL) < a);
  EXPECT_FALSE(a < b);
  EXPECT_TRUE(istd::Time(0UL, 0UL).IsEpoch());
  EXPECT_FALSE(istd::Time(0UL, 1UL).IsEpoch());
}

TEST(TimeTest, FormsRenderTheirTexts) {
  istd::Time zero(0UL, 0UL);
  zero.SetForm(0);
  EXPECT_EQ(Text(zero), "0.000000000");
  zero.SetForm(2 + istd::Time::c_utc);
  EXPECT_EQ(Text(zero), "00:00:00");
  // Seconds are unsigned: the largest 32-bit value prints as such on every
  // word size (the stopwatch starts its shortest loop there).
  istd::Time largest(4294967295UL, 5UL);
  largest.SetForm(0);
  EXPECT_EQ(Text(largest), "4294967295.000000005");

  istd::Time t(1416239626UL, 123456789UL);  // 2014-11-17 15:53:46 UTC
  const struct {
    int form;
    const char* text;
  } cases[] = {{2, "15:53:46"},
               {3, "15:53:46.123456789"},
               {4, "2014-11-17"},
               {6, "2014-11-17 15:53:46"},
               {7, "2014-11-17 15:53:46.123456789"},
               {5, "1416239626.123456789"}};
  for (const auto& c : cases) {
    t.SetForm(c.form + istd::Time::c_utc);
    EXPECT_EQ(Text(t), c.text) << "form " << c.form;
    EXPECT_EQ(t.ToText(), static_cast<int>(std::string(c.text).size()));
  }
  // The cached text follows every mutation.
  t.SetForm(2 + istd::Time::c_utc);
  EXPECT_EQ(Text(t), "15:53:46");
  t += istd::Time(1u);
  EXPECT_EQ(Text(t), "15:53:47");
}

TEST(TimeTest, CurrentTimeAndDurationConversion) {
  const auto before = std::chrono::system_clock::now();
  const istd::Time now = istd::Time::Now(7);
  const auto after = std::chrono::system_clock::now();
  const double seconds = std::chrono::duration<double>(now).count();
  EXPECT_GE(seconds + 1e-3, std::chrono::duration<double>(before.time_since_epoch()).count());
  EXPECT_LE(seconds - 1e-3, std::chrono::duration<double>(after.time_since_epoch()).count());
  EXPECT_EQ(now.Form(), 7);
  EXPECT_DOUBLE_EQ(std::chrono::duration<double>(istd::Time(2UL, 500000000UL)).count(), 2.5);
}

TEST(TimeTest, CreateTimeParsesLocalDateTime) {
  const istd::Time t = istd::CreateTime("2014-11-17 15:53:46 trailing text");
  EXPECT_EQ(t.Form(), 6);
  EXPECT_EQ(Text(t), "2014-11-17 15:53:46");
  EXPECT_EQ(t.Nanoseconds(), 0);
  try {
    istd::CreateTime("2014-13-01 00:00:00");
    FAIL() << "month 13 accepted";
  } catch (const istd::Exception& e) {
    EXPECT_STREQ(e.what(), "invalid time format");
  }
  EXPECT_THROW(istd::CreateTime("17.11.2014"), istd::Exception);
}

TEST(TimeTest, CreateTimeBeyond2038DependsOnTheWidthOfTimeT) {
  const char* const text = "2040-06-01 12:00:00";
  if (sizeof(time_t) == 4) {
    // The 32-bit target: mktime cannot represent it.
    try {
      istd::CreateTime(text);
      FAIL() << "2040 accepted with a 32-bit time_t";
    } catch (const istd::Exception& e) {
      EXPECT_STREQ(e.what(),
                   "time overflows\nmaximum time is 2038-01-19 for (32bit OS)\n"
                   "                2106-02-07 for (64bit OS)");
    }
  } else {
    const istd::Time t = istd::CreateTime(text);
    EXPECT_GT(t.Seconds(), 0x80000000UL);
    EXPECT_EQ(Text(t), text);
  }
}

TEST(StopWatchTest, SingleRunReportsOneLoopEqualToTotal) {
  istd::StopWatch w;
  EXPECT_FALSE(w.IsRunning());
  w.Stop();  // not running: nothing happens
  EXPECT_EQ(w.LoopCount(), 0u);
  w.Start();
  EXPECT_TRUE(w.IsRunning());
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  w.Stop();
  EXPECT_FALSE(w.IsRunning());
  EXPECT_EQ(w.LoopCount(), 1u);
  EXPECT_FALSE(w.Total().IsEpoch());
  EXPECT_EQ(w.LastLoop(), w.Total());
  EXPECT_EQ(w.Shortest(), w.Total());
  EXPECT_EQ(w.Longest(), w.Total());
  EXPECT_EQ(w.Average(), w.Total());
}

TEST(StopWatchTest, LoopsKeepShortestLongestAndAverageOfTotal) {
  istd::StopWatch w;
  w.NextLoop();  // not running: starts
  ASSERT_TRUE(w.IsRunning());
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
  w.NextLoop();
  const istd::Time first = w.LastLoop();
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  w.NextLoop();
  const istd::Time second = w.LastLoop();
  std::this_thread::sleep_for(std::chrono::milliseconds(15));
  w.Stop();
  const istd::Time third = w.LastLoop();
  EXPECT_EQ(w.LoopCount(), 3u);
  // A loaded machine may oversleep any of the three, so the extremes are
  // taken from the loops as measured.
  EXPECT_EQ(w.Shortest(), std::min({first, second, third}));
  EXPECT_EQ(w.Longest(), std::max({first, second, third}));
  EXPECT_EQ(w.Average(), w.Total() / 3);
  // Durations print as hours to nanoseconds whatever the local time zone.
  EXPECT_EQ(w.Shortest().Form(), 3 + istd::Time::c_utc);
  EXPECT_EQ(Text(w.Average()).substr(0, 6), "00:00:");
}

}  // namespace
