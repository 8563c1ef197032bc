// istd::Synchronizer.
#include "istd/synchronizer.h"

#include <chrono>
#include <sstream>

#include "istd/exception.h"
#include "istd/log.h"

namespace istd {

Synchronizer::Synchronizer(unsigned int count, unsigned int iterations, unsigned int period)
    : m_count(count), m_iterations(iterations), m_period(period) {
  // Computed in 64 bits: a 32-bit product could wrap around to a small value
  // and let an enormous budget pass the check.
  const unsigned long long timeout =
      static_cast<unsigned long long>(iterations) * static_cast<unsigned long long>(period);
  if (timeout > MaxTimeout) {
    std::ostringstream os;
    os << "Internal error: Specified timeout is too long. " << timeout << ">" << MaxTimeout;
    throw Exception(os, true);
  }
}

void Synchronizer::Increment() {
  std::lock_guard<std::mutex> lock(m_mutex);
  ISTD_TRACE(eLow, "Increment: before" << m_count);
  ++m_count;
  ISTD_TRACE(eLow, "Increment: after" << m_count);
}

void Synchronizer::Decrement() {
  std::lock_guard<std::mutex> lock(m_mutex);
  ISTD_TRACE(eLow, "Decrement: before" << m_count);
  if (m_count > 0) --m_count;
  ISTD_TRACE(eLow, "Decrement: after" << m_count);
  if (m_count == 0) m_condition.notify_all();
}

void Synchronizer::Reset(unsigned int count) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_count = count;
}

void Synchronizer::Cancel() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_cancels;
    m_cancelPending = true;
  }
  m_condition.notify_all();
}

// Every trace line of the synchronizer is at Low, so it opens no High scope.
bool Synchronizer::Wait() {
  std::unique_lock<std::mutex> lock(m_mutex);
  // A Cancel that came while nobody waited belongs to this Wait.
  const bool cancelled = m_cancelPending;
  m_cancelPending = false;
  if (m_iterations == 0) {
    ISTD_TRACE(eLow, "waiting failed:");
    return false;
  }
  if (m_count == 0) return true;
  if (cancelled) {
    ISTD_TRACE(eLow, "waiting cancelled:");
    return false;
  }
  const unsigned long long cancels = m_cancels;
  const auto done = [&] { return m_count == 0 || m_cancels != cancels; };
  for (unsigned int i = 0;;) {
    ISTD_TRACE(eLow, "waiting for condition: iteration:" << i);
    const auto deadline = std::chrono::system_clock::now() + std::chrono::milliseconds(m_period);
    // The predicate form sleeps again after a spurious wake-up.
    if (m_condition.wait_until(lock, deadline, done)) {
      // A Cancel during this wait is consumed by it (and by the other waits
      // it ended), also when the count reached zero at the same time.
      if (m_cancels != cancels) m_cancelPending = false;
      if (m_count == 0) return true;
      ISTD_TRACE(eLow, "waiting cancelled:");
      return false;
    }
    ISTD_TRACE(eLow, "waiting finished:" << i);
    ++i;
    if (i >= m_iterations) {
      ISTD_TRACE(eLow, "waiting failed:");
      return false;
    }
  }
}

unsigned int Synchronizer::Timeout() const { return m_iterations * m_period; }

}  // namespace istd
