// istd::Time and istd::StopWatch.
#include "istd/time.h"

#include <time.h>

#include <cstdio>
#include <cstring>

#include "istd/exception.h"

namespace istd {

namespace {
constexpr long c_nsPerSecond = 1000000000L;
constexpr int c_durationForm = Time::c_timeOfDayNs + Time::c_utc;
}  // namespace

const Time c_epoch(0UL, 0UL);

Time::Time(unsigned long seconds, unsigned long nanoseconds)
    : m_form(c_timeOfDayNs),
      m_seconds(seconds),
      m_nanoseconds(static_cast<long>(nanoseconds)),
      m_textStale(true) {
  m_text[0] = '\0';
  Normalise();
}

Time::Time(unsigned int seconds)
    : m_form(c_timeOfDayNs), m_seconds(seconds), m_nanoseconds(0), m_textStale(true) {
  m_text[0] = '\0';
}

Time::Time(int form) : m_form(form), m_seconds(0), m_nanoseconds(0), m_textStale(true) {
  m_text[0] = '\0';
  UpdateToCurrent();
}

Time::Time(const Time& other)
    : m_form(other.m_form),
      m_seconds(other.m_seconds),
      m_nanoseconds(other.m_nanoseconds),
      m_textStale(true) {
  m_text[0] = '\0';
}

Time& Time::operator=(const Time& other) {
  m_form = other.m_form;
  m_seconds = other.m_seconds;
  m_nanoseconds = other.m_nanoseconds;
  m_textStale = true;
  return *this;
}

Time Time::Now(int form) { return Time(form); }

void Time::Normalise() {
  // Carry whole seconds out of the nanoseconds, borrowing for negative ones.
  long carry = m_nanoseconds / c_nsPerSecond;
  m_nanoseconds %= c_nsPerSecond;
  if (m_nanoseconds < 0) {
    m_nanoseconds += c_nsPerSecond;
    --carry;
  }
  m_seconds += static_cast<unsigned long>(carry);
  m_textStale = true;
}

Time& Time::operator+=(const Time& other) {
  m_seconds += other.m_seconds;
  m_nanoseconds += other.m_nanoseconds;
  Normalise();
  return *this;
}

Time& Time::operator-=(const Time& other) {
  // The seconds are 32-bit on the target platform: compare them as signed
  // 32-bit values there and here alike.
  if (static_cast<int32_t>(m_seconds) < static_cast<int32_t>(other.m_seconds)) {
    m_seconds = 0;
    m_nanoseconds = 0;
    m_textStale = true;
    return *this;
  }
  m_seconds -= other.m_seconds;
  m_nanoseconds -= other.m_nanoseconds;
  if (m_seconds == 0 && m_nanoseconds < 0) {
    m_nanoseconds = 0;
    m_textStale = true;
  } else {
    Normalise();
  }
  return *this;
}

Time& Time::operator/=(unsigned long divisor) {
  if (divisor == 0) return *this;
  const unsigned long remainder = m_seconds % divisor;
  m_seconds /= divisor;
  const uint64_t ns = static_cast<uint64_t>(c_nsPerSecond) * remainder +
                      static_cast<uint64_t>(m_nanoseconds);
  m_nanoseconds = static_cast<long>(ns / divisor);
  m_textStale = true;
  return *this;
}

bool Time::IsEpoch() const { return *this == c_epoch; }

void Time::UpdateToCurrent() const {
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  m_seconds = static_cast<unsigned long>(now.tv_sec);
  m_nanoseconds = now.tv_nsec;
  m_textStale = true;
}

void Time::SetForm(int form) {
  m_form = form;
  m_textStale = true;
}

int Time::ToText() const {
  struct tm parts;
  std::memset(&parts, 0, sizeof parts);
  const time_t seconds = static_cast<time_t>(m_seconds);
  const bool utc = (m_form & c_utc) != 0;
  if ((utc ? ::gmtime_r(&seconds, &parts) : ::localtime_r(&seconds, &parts)) == nullptr) {
    std::memset(&parts, 0, sizeof parts);
  }
  const int year = parts.tm_year + 1900;
  const int month = parts.tm_mon + 1;
  int n = 0;
  switch (m_form & ~c_utc) {
    case c_timeOfDay:
      n = std::snprintf(m_text, c_textSize, "%02d:%02d:%02d", parts.tm_hour, parts.tm_min,
                        parts.tm_sec);
      break;
    case c_timeOfDayNs:
      n = std::snprintf(m_text, c_textSize, "%02d:%02d:%02d.%09ld", parts.tm_hour,
                        parts.tm_min, parts.tm_sec, m_nanoseconds);
      break;
    case c_date:
      n = std::snprintf(m_text, c_textSize, "%4d-%02d-%02d", year, month, parts.tm_mday);
      break;
    case c_dateTime:
      n = std::snprintf(m_text, c_textSize, "%4d-%02d-%02d %02d:%02d:%02d", year, month,
                        parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
      break;
    case c_dateTimeNs:
      n = std::snprintf(m_text, c_textSize, "%4d-%02d-%02d %02d:%02d:%02d.%09ld", year, month,
                        parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                        m_nanoseconds);
      break;
    default:
      // The seconds are unsigned: 2^31 s and more must not print negative
      // where unsigned long has 32 bits.
      n = std::snprintf(m_text, c_textSize, "%lu.%09ld", m_seconds, m_nanoseconds);
      break;
  }
  m_textStale = false;
  if (n < 0) {
    m_text[0] = '\0';
    return 0;
  }
  return n < static_cast<int>(c_textSize) ? n : static_cast<int>(c_textSize) - 1;
}

const char* Time::Text() const {
  if (m_textStale) ToText();
  return m_text;
}

Time::operator std::chrono::duration<double>() const {
  return std::chrono::duration<double>(static_cast<double>(m_seconds) +
                                       static_cast<double>(m_nanoseconds) / 1e9);
}

Time operator+(Time left, const Time& right) { return left += right; }
Time operator-(Time left, const Time& right) { return left -= right; }
Time operator/(Time left, unsigned long divisor) { return left /= divisor; }

bool operator==(const Time& a, const Time& b) {
  return a.Seconds() == b.Seconds() && a.Nanoseconds() == b.Nanoseconds();
}
bool operator!=(const Time& a, const Time& b) { return !(a == b); }
bool operator<(const Time& a, const Time& b) {
  if (a.Seconds() != b.Seconds()) return a.Seconds() < b.Seconds();
  return a.Nanoseconds() < b.Nanoseconds();
}
bool operator>(const Time& a, const Time& b) { return b < a; }

std::ostream& operator<<(std::ostream& os, const Time& t) { return os << t.Text(); }

Time CreateTime(const std::string& text) {
  struct tm parts;
  std::memset(&parts, 0, sizeof parts);
  if (::strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &parts) == nullptr) {
    throw Exception("invalid time format", true);
  }
  parts.tm_isdst = -1;
  const time_t seconds = ::mktime(&parts);
  if (seconds == static_cast<time_t>(-1)) {
    throw Exception(
        "time overflows\nmaximum time is 2038-01-19 for (32bit OS)\n"
        "                2106-02-07 for (64bit OS)",
        true);
  }
  Time t(static_cast<unsigned long>(seconds), 0UL);
  t.SetForm(Time::c_dateTime);
  return t;
}

// The duration fields keep form 11 (hours to nanoseconds, broken down in UTC)
// whatever is assigned to them, so that a duration never prints shifted by
// the local time zone.
void StopWatch::SetDuration(Time& field, const Time& value) {
  field = value;
  field.SetForm(c_durationForm);
}

StopWatch::StopWatch()
    : m_start(0UL, 0UL),
      m_total(0UL, 0UL),
      m_loopStart(0UL, 0UL),
      m_lastLoop(0UL, 0UL),
      m_running(false),
      m_loopCount(0),
      m_shortest(0UL, 0UL),
      m_longest(0UL, 0UL),
      m_average(0UL, 0UL) {
  SetDuration(m_total, m_total);
  SetDuration(m_lastLoop, m_lastLoop);
  SetDuration(m_shortest, m_shortest);
  SetDuration(m_longest, m_longest);
  SetDuration(m_average, m_average);
}

void StopWatch::Start() {
  m_start = Time::Now(Time::c_timeOfDayNs);
  m_loopStart = m_start;
  SetDuration(m_total, Time(0UL, 0UL));
  SetDuration(m_lastLoop, Time(0UL, 0UL));
  SetDuration(m_longest, Time(0UL, 0UL));
  m_loopCount = 0;
  SetDuration(m_shortest, Time(4294967295UL, 0UL));
  m_running = true;
}

void StopWatch::CloseLoop(const Time& now) {
  SetDuration(m_lastLoop, now - m_loopStart);
  if (m_longest < m_lastLoop) SetDuration(m_longest, m_lastLoop);
  if (m_lastLoop < m_shortest) SetDuration(m_shortest, m_lastLoop);
}

void StopWatch::NextLoop() {
  if (!m_running) {
    Start();
    return;
  }
  const Time now = Time::Now(Time::c_timeOfDayNs);
  CloseLoop(now);
  m_loopStart = now;
  ++m_loopCount;
}

void StopWatch::Stop() {
  if (!m_running) return;
  const Time now = Time::Now(Time::c_timeOfDayNs);
  SetDuration(m_total, now - m_start);
  ++m_loopCount;
  if (m_loopStart == m_start) {
    SetDuration(m_lastLoop, m_total);
    SetDuration(m_longest, m_total);
    SetDuration(m_shortest, m_total);
    SetDuration(m_average, m_total);
  } else {
    CloseLoop(now);
    SetDuration(m_average, m_total / static_cast<unsigned long>(m_loopCount));
  }
  m_running = false;
}

}  // namespace istd
