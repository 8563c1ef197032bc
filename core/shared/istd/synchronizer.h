// istd::Synchronizer, a count-down latch with a polling budget: one thread
// waits, for at most `iterations` periods of `period` milliseconds, until the
// events that other threads report with Decrement() have all completed.
//
// Thread-safety: the count and the cancellation mark are guarded by the
// object's mutex; any number of threads may call Increment, Decrement, Reset
// and Cancel, usually one thread waits. A Cancel is never lost: it ends the
// waits in progress, and when nobody waits, the next Wait. The object owns
// nothing beyond its members.
#ifndef VARNEK_ISTD_SYNCHRONIZER_H
#define VARNEK_ISTD_SYNCHRONIZER_H

#include <condition_variable>
#include <mutex>

namespace istd {

class Synchronizer {
 public:
  // The largest allowed budget, iterations x period, in milliseconds.
  static constexpr unsigned int MaxTimeout = 10000;

  // Count of outstanding events, number of wait periods and the period in
  // milliseconds. Throws istd::Exception "Internal error: Specified timeout
  // is too long. " + product + ">10000" when the budget is larger than
  // MaxTimeout (the product is computed without 32-bit wrap-around).
  Synchronizer(unsigned int count, unsigned int iterations, unsigned int period);
  Synchronizer(const Synchronizer&) = delete;
  Synchronizer& operator=(const Synchronizer&) = delete;

  // One more outstanding event; wakes nobody.
  void Increment();
  // One event completed; wakes all waiters when the count is (or already
  // was) zero. The count never goes below zero.
  void Decrement();
  // Sets a new count; wakes nobody.
  void Reset(unsigned int count);
  // Ends every Wait in progress with false (unless the count is zero by
  // then). When no Wait is in progress, the next Wait consumes the
  // cancellation instead and returns false at once (true when the count is
  // zero). The count is unchanged.
  void Cancel();

  // Blocks until the count is zero (true), or until the budget is used up or
  // the wait is cancelled (false). Spurious wake-ups do not end it. Every
  // Wait clears a pending cancellation. A budget of zero iterations always
  // fails. Traces at Low.
  bool Wait();

  // iterations x period, in milliseconds.
  unsigned int Timeout() const;

 private:
  std::mutex m_mutex;
  std::condition_variable m_condition;
  unsigned int m_count;
  unsigned int m_iterations;
  unsigned int m_period;
  // Number of Cancel calls so far: a wait ends when it changes.
  unsigned long long m_cancels = 0;
  // A Cancel that no Wait has consumed yet.
  bool m_cancelPending = false;
};

}  // namespace istd

#endif  // VARNEK_ISTD_SYNCHRONIZER_H
