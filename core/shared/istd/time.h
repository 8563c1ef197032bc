// istd::Time, a wall-clock instant or a duration with nanosecond resolution
// that remembers its print form and caches its text, and istd::StopWatch,
// which measures the loops of a repeated activity.
//
// Print forms (add c_utc to break the value down in UTC instead of local time):
//   2 "hh:mm:ss"   3 "hh:mm:ss.nnnnnnnnn"   4 "yyyy-mm-dd"
//   6 "yyyy-mm-dd hh:mm:ss"   7 "yyyy-mm-dd hh:mm:ss.nnnnnnnnn"
//   any other: "seconds.nnnnnnnnn" without breakdown.
//
// Thread-safety: none; an object belongs to one thread at a time. Rendering
// writes the cached text even through const access.
#ifndef VARNEK_ISTD_TIME_H
#define VARNEK_ISTD_TIME_H

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>

namespace istd {

class Time {
 public:
  static constexpr int c_utc = 8;
  static constexpr int c_timeOfDay = 2;
  static constexpr int c_timeOfDayNs = 3;
  static constexpr int c_date = 4;
  static constexpr int c_dateTime = 6;
  static constexpr int c_dateTimeNs = 7;
  static constexpr size_t c_textSize = 30;

  // Seconds and nanoseconds, form 3, normalised: nanoseconds of 1e9 or more
  // carry into the seconds, negative ones (passed as the wrapped unsigned
  // value) borrow from them.
  Time(unsigned long seconds, unsigned long nanoseconds);
  // Seconds, form 3, 0 ns.
  explicit Time(unsigned int seconds);
  // The current time in the given form.
  explicit Time(int form);
  Time(const Time& other);
  Time& operator=(const Time& other);

  // The current time in the given form.
  static Time Now(int form);

  Time& operator+=(const Time& other);
  // Never negative: subtracting a later time gives 0 s, 0 ns. The seconds are
  // compared as signed 32-bit values.
  Time& operator-=(const Time& other);
  Time& operator/=(unsigned long divisor);

  bool IsEpoch() const;
  // Rereads CLOCK_REALTIME into this object.
  void UpdateToCurrent() const;
  // Renders the text into the cache; returns its character count.
  int ToText() const;
  // The cached text, rendered first when stale.
  const char* Text() const;

  unsigned long Seconds() const { return m_seconds; }
  long Nanoseconds() const { return m_nanoseconds; }
  int Form() const { return m_form; }
  void SetForm(int form);

  explicit operator std::chrono::duration<double>() const;

 private:
  void Normalise();

  int m_form;
  mutable unsigned long m_seconds;
  mutable long m_nanoseconds;
  mutable bool m_textStale;
  mutable char m_text[c_textSize];
};

Time operator+(Time left, const Time& right);
Time operator-(Time left, const Time& right);
Time operator/(Time left, unsigned long divisor);
bool operator==(const Time& a, const Time& b);
bool operator!=(const Time& a, const Time& b);
bool operator<(const Time& a, const Time& b);
bool operator>(const Time& a, const Time& b);
// Renders when stale, then writes the text.
std::ostream& operator<<(std::ostream& os, const Time& t);

// The process-wide epoch value (0 s, 0 ns).
extern const Time c_epoch;

// Parses a local date and time "YYYY-MM-DD hh:mm:ss" (trailing characters are
// ignored) into a form-6 time. Throws istd::Exception "invalid time format"
// or the "time overflows" text when mktime cannot represent it.
Time CreateTime(const std::string& text);

// Measures repeated loops: Start(), NextLoop() at the end of every loop but
// the last, Stop(). Durations print as hh:mm:ss.nnnnnnnnn.
class StopWatch {
 public:
  StopWatch();
  void Start();
  void NextLoop();
  void Stop();

  const Time& StartTime() const { return m_start; }
  const Time& Total() const { return m_total; }
  const Time& LoopStart() const { return m_loopStart; }
  const Time& LastLoop() const { return m_lastLoop; }
  bool IsRunning() const { return m_running; }
  uint64_t LoopCount() const { return m_loopCount; }
  const Time& Shortest() const { return m_shortest; }
  const Time& Longest() const { return m_longest; }
  const Time& Average() const { return m_average; }

 private:
  void CloseLoop(const Time& now);
  static void SetDuration(Time& field, const Time& value);

  Time m_start;
  Time m_total;
  Time m_loopStart;
  Time m_lastLoop;
  bool m_running;
  uint64_t m_loopCount;
  Time m_shortest;
  Time m_longest;
  Time m_average;
};

}  // namespace istd

#endif  // VARNEK_ISTD_TIME_H
