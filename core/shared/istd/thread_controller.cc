// istd::ThreadController.
#include "istd/thread_controller.h"

#include <chrono>
#include <exception>
#include <sstream>
#include <system_error>
#include <thread>
#include <utility>

#include "istd/exception.h"
#include "istd/log.h"

namespace istd {

std::atomic<unsigned int> cStopSleepPeriodMs{100};
std::atomic<unsigned int> cRetryCounter{100};

ThreadController::ThreadController(std::string name, LoopFnc loop, CancelLoopFnc cancel)
    : m_name(std::move(name)),
      m_state(eStopped),
      m_loopFnc(std::move(loop)),
      m_cancelFnc(std::move(cancel)),
      m_stopSleepPeriodMs(cStopSleepPeriodMs.load()),
      m_detachedCalls(0) {}

ThreadController::~ThreadController() {
  try {
    {
      // An asynchronous operation still running would use this object after
      // its destruction.
      std::unique_lock<std::mutex> lock(m_mutex);
      m_condition.wait(lock, [this] { return m_detachedCalls == 0; });
    }
    Stop();
  } catch (...) {
    // A destructor must not throw; Stop only throws on broken invariants,
    // which SetState has traced.
  }
}

bool ThreadController::SetState(State_e state) {
  std::ostringstream error;
  switch (state) {
    case eStarting:
      if (m_state == eStopped) break;
      if (m_state == eRunning) {
        ISTD_TRACE(eHigh, m_name << " is already running.");
        return false;
      }
      error << m_name << " could not be started since it is not in eStopped state.";
      throw Exception(error, true);
    case eRunning:
      if (m_state == eStarting) break;
      error << m_name << " could be started only from eStarting state. Current state: " << m_state;
      throw Exception(error, true);
    case eTerminating:
      if (m_state == eRunning) break;
      if (m_state == eStopped) {
        ISTD_TRACE(eHigh, m_name << " is already stopped.");
        return false;
      }
      error << m_name << " is not running, thus it could not be terminated.";
      throw Exception(error, true);
    case eStopped:
      if (m_state == eTerminating) break;
      error << m_name << " could be stopped from eTerminating state. Current state: " << m_state;
      throw Exception(error, true);
    default:
      error << m_name << " can not enter the unknown state " << static_cast<int>(state);
      throw Exception(error, true);
  }
  m_state = state;
  m_condition.notify_all();
  return true;
}

void ThreadController::IssueCancel() {
  if (!m_cancelFnc) return;
  try {
    // The thread gets its own copies: it may outlive the controller.
    std::thread([cancel = m_cancelFnc, name = m_name] {
      try {
        cancel();
      } catch (const std::exception& e) {
        ISTD_TRACE(eLow, "WARNING: " << name << " cancel function failed: " << e.what());
      } catch (...) {
        ISTD_TRACE(eLow, "WARNING: " << name << " cancel function failed.");
      }
    }).detach();
  } catch (const std::system_error& e) {
    // Issued again in the next period.
    ISTD_TRACE(eLow, "WARNING: " << m_name << " could not start a cancel thread: " << e.what());
  }
}

void ThreadController::WaitOnStateExit(const State_e& state, std::unique_lock<std::mutex>& lock) {
  ISTD_TRACE_FNC();
  for (;;) {
    const State_e seen = m_state;
    if (seen != state) return;
    if (seen == eTerminating) IssueCancel();
    if (m_condition.wait_for(lock, std::chrono::milliseconds(m_stopSleepPeriodMs)) ==
        std::cv_status::no_timeout) {
      ISTD_TRACE(eHigh, "WaitOnStateExit state changed from  " << seen << " into " << m_state
                                                               << " while waiting to exit from "
                                                               << state);
    }
  }
}

bool ThreadController::WaitOnStateEnter(const State_e& state, std::unique_lock<std::mutex>& lock) {
  ISTD_TRACE_FNC();
  const unsigned int retries = cRetryCounter.load();
  for (unsigned int i = 0; i < retries; ++i) {
    const State_e seen = m_state;
    if (seen == eTerminating) IssueCancel();
    if (seen == state) return true;
    if (m_condition.wait_for(lock, std::chrono::milliseconds(m_stopSleepPeriodMs)) ==
        std::cv_status::no_timeout) {
      ISTD_TRACE(eHigh, "WaitOnStateEnter state changed from  "
                            << seen << " into " << m_state << " while waiting for entering into "
                            << state);
    }
    if (m_state == state) return true;
  }
  ISTD_TRACE(eLow, m_name << " didn't come into " << state << " state in a reasonable time.");
  return false;
}

ThreadController::State_e ThreadController::GetState() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_state;
}

void ThreadController::Launch(std::unique_lock<std::mutex>& lock) {
  SetState(eStarting);
  try {
    std::thread([this] { Run(); }).detach();
  } catch (const std::system_error& e) {
    // No loop thread will ever leave eStarting, and the transition table
    // has no way back from it: return to eStopped directly.
    m_state = eStopped;
    m_condition.notify_all();
    throw Exception(m_name + " could not launch its loop thread: " + e.what(), true);
  }
  WaitOnStateExit(eStarting, lock);
}

bool ThreadController::Start() {
  ISTD_TRACE_FNC();
  std::unique_lock<std::mutex> lock(m_mutex);
  WaitOnStateExit(eTerminating, lock);
  if (m_state != eStopped) return true;
  Launch(lock);
  return true;
}

bool ThreadController::Stop() {
  ISTD_TRACE_FNC();
  std::unique_lock<std::mutex> lock(m_mutex);
  WaitOnStateExit(eStarting, lock);
  if (m_state == eRunning) SetState(eTerminating);
  // Also when another caller's stop is under way: on return the loop thread
  // has finished.
  WaitOnStateExit(eTerminating, lock);
  return true;
}

bool ThreadController::Restart() {
  ISTD_TRACE_FNC();
  std::unique_lock<std::mutex> lock(m_mutex);
  WaitOnStateExit(eStarting, lock);
  if (m_state == eRunning) {
    SetState(eTerminating);
    WaitOnStateExit(eTerminating, lock);
  }
  if (m_state != eStopped) return false;
  Launch(lock);
  return true;
}

void ThreadController::RunDetached(bool (ThreadController::*operation)(), const char* what) {
  ISTD_TRACE_FNC();
  std::lock_guard<std::mutex> lock(m_mutex);
  std::thread([this, operation, what] {
    try {
      (this->*operation)();
    } catch (const std::exception& e) {
      ISTD_TRACE(eLow, "WARNING: " << m_name << " " << what << " failed: " << e.what());
    } catch (...) {
      ISTD_TRACE(eLow, "WARNING: " << m_name << " " << what << " failed.");
    }
    // Nothing of this object is touched after the mutex is released: the
    // destructor may run as soon as the count is zero.
    std::lock_guard<std::mutex> done(m_mutex);
    --m_detachedCalls;
    m_condition.notify_all();
  }).detach();
  // Counted only once the thread exists (under the mutex, so the thread
  // cannot finish first).
  ++m_detachedCalls;
}

void ThreadController::AsyncStart() { RunDetached(&ThreadController::Start, "AsyncStart"); }
void ThreadController::AsyncStop() { RunDetached(&ThreadController::Stop, "AsyncStop"); }
void ThreadController::AsyncRestart() { RunDetached(&ThreadController::Restart, "AsyncRestart"); }

void ThreadController::Run() {
  ISTD_TRACE_FNC();
  std::unique_lock<std::mutex> lock(m_mutex);
  if (m_state != eStarting) {
    // Not launched by Start or Restart: leave the state to its owner.
    ISTD_TRACE(eLow, "WARNING: " << m_name << " loop run while not in eStarting state.");
    return;
  }
  SetState(eRunning);
  while (m_state == eRunning) {
    lock.unlock();
    try {
      m_loopFnc();
    } catch (const std::exception& e) {
      ISTD_TRACE(eLow, "WARNING: WorkerThread " << m_name << ". Error: " << e.what());
      lock.lock();
      break;
    } catch (...) {
      ISTD_TRACE(eLow, "WARNING: WorkerThread " << m_name << ". Unknown exception.");
      lock.lock();
      break;
    }
    lock.lock();
  }
  // A loop body that failed while nobody asked for a stop leaves the loop in
  // eRunning; it passes through eTerminating so that the transitions stay
  // legal and every waiter sees the stop.
  if (m_state == eRunning) SetState(eTerminating);
  SetState(eStopped);
  // Nothing of this object may be used after the lock is released: a
  // waiting Stop (or the destructor) may destroy the controller at once.
}

}  // namespace istd
