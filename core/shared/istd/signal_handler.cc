// istd::SignalHandler and istd::SignalHandlerThread.
#include "istd/signal_handler.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <exception>
#include <mutex>
#include <sstream>

#include "istd/exception.h"
#include "istd/log.h"

namespace istd {

sem_t g_semSignal;

namespace {

const int c_defaultSignals[] = {SIGHUP, SIGINT, SIGTERM, SIGQUIT, 0};

static_assert(ATOMIC_INT_LOCK_FREE == 2, "the signal function needs lock-free atomics");

// Signals caught and not yet handled, counted per signal number. Written by
// the signal function (in signal context, on any thread), read and counted
// down by the signal thread only.
std::atomic<unsigned int> s_pending[NSIG];
// Stop requests, the pseudo-signal c_stopSignal.
std::atomic<unsigned int> s_stopRequests{0};

// Guards the instance pointer.
std::mutex s_instanceMutex;
SignalHandlerThread* s_instance = nullptr;

// The process-level signal function. Async-signal-safe: one lock-free atomic
// increment and sem_post; errno is kept for the interrupted code.
extern "C" void PosixSignalFunction(int signalNumber) {
  const int savedErrno = errno;
  if (signalNumber > 0 && signalNumber < NSIG) {
    s_pending[signalNumber].fetch_add(1, std::memory_order_release);
  }
  ::sem_post(&g_semSignal);
  errno = savedErrno;
}

// Takes one pending signal: the lowest pending signal number, else the stop
// pseudo-signal, else 0. Every post of the semaphore follows its count, so a
// wake-up always finds one.
int TakePending() {
  for (int number = 1; number < NSIG; ++number) {
    if (s_pending[number].load(std::memory_order_acquire) > 0) {
      s_pending[number].fetch_sub(1, std::memory_order_acq_rel);
      return number;
    }
  }
  if (s_stopRequests.load(std::memory_order_acquire) > 0) {
    s_stopRequests.fetch_sub(1, std::memory_order_acq_rel);
    return SignalHandlerThread::c_stopSignal;
  }
  return 0;
}

// The receiver's wake-up at a stop: one of its signals, queued to it alone
// with a value no real signal carries.
constexpr int c_wakeUpValue = SignalHandlerThread::c_stopSignal;

void WakeReceiver(std::thread& receiver, const sigset_t& signals) {
  for (int number = 1; number < NSIG; ++number) {
    if (::sigismember(&signals, number) == 1) {
      union sigval value;
      value.sival_int = c_wakeUpValue;
      ::pthread_sigqueue(receiver.native_handle(), number, value);
      return;
    }
  }
}

bool IsWakeUp(const siginfo_t& info) {
  return info.si_code == SI_QUEUE && info.si_pid == ::getpid() &&
         info.si_value.sival_int == c_wakeUpValue;
}

}  // namespace

SignalHandler::~SignalHandler() = default;

SignalHandlerThread* SignalHandlerThread::InstallHandler(SignalHandler& handler,
                                                         const int* signals) {
  ISTD_TRACE_FNC();
  std::lock_guard<std::mutex> lock(s_instanceMutex);
  if (s_instance != nullptr) return s_instance;
  s_instance = new SignalHandlerThread(handler, signals);
  ISTD_TRACE(eHigh, "Posix signal handling thread started.");
  return s_instance;
}

SignalHandlerThread::SignalHandlerThread(SignalHandler& handler, const int* signals)
    : m_handler(handler), m_stopped(false) {
  ISTD_TRACE_FNC();
  for (std::atomic<unsigned int>& pending : s_pending) pending.store(0);
  s_stopRequests.store(0);
  ::sem_init(&g_semSignal, 0, 0);
  for (const int* number = signals != nullptr ? signals : c_defaultSignals; *number != 0;
       ++number) {
    void (*previous)(int) = ::signal(*number, PosixSignalFunction);
    if (previous == SIG_ERR) {
      RestoreHandlers();
      std::ostringstream os;
      os << "Can't install handler for " << *number;
      throw Exception(os, true);
    }
    // A number listed twice keeps its first record, the handler from before.
    m_previousHandlers.emplace(*number, previous);
  }
  ::sigemptyset(&m_signals);
  for (const auto& entry : m_previousHandlers) ::sigaddset(&m_signals, entry.first);
  // Blocked before the threads start, so that they inherit the block too.
  m_installer = std::this_thread::get_id();
  ::pthread_sigmask(SIG_BLOCK, &m_signals, &m_savedMask);
  try {
    if (!m_previousHandlers.empty()) m_receiver = std::thread([this] { Receive(); });
    m_thread = std::thread([this] { (*this)(); });
  } catch (...) {
    if (m_receiver.joinable()) {
      m_stopped.store(true);
      WakeReceiver(m_receiver, m_signals);
      m_receiver.join();
    }
    ::pthread_sigmask(SIG_SETMASK, &m_savedMask, nullptr);
    RestoreHandlers();
    throw;
  }
}

SignalHandlerThread::~SignalHandlerThread() {
  Stop();
  std::lock_guard<std::mutex> lock(s_instanceMutex);
  if (s_instance == this) s_instance = nullptr;
}

void SignalHandlerThread::RestoreHandlers() {
  for (const auto& entry : m_previousHandlers) ::signal(entry.first, entry.second);
}

void SignalHandlerThread::Receive() {
  for (;;) {
    siginfo_t info;
    const int number = ::sigwaitinfo(&m_signals, &info);
    if (number < 0) {
      if (errno == EINTR) continue;
      ISTD_TRACE(eLow, "Waiting for signals failed: " << std::strerror(errno));
      return;
    }
    if (m_stopped.load() && IsWakeUp(info)) return;
    PosixSignalFunction(number);
  }
}

void SignalHandlerThread::Stop() {
  ISTD_TRACE_FNC();
  if (m_stopped.exchange(true)) return;
  if (m_receiver.joinable()) {
    WakeReceiver(m_receiver, m_signals);
    m_receiver.join();
  }
  s_stopRequests.fetch_add(1, std::memory_order_release);
  ::sem_post(&g_semSignal);
  if (m_thread.get_id() == std::this_thread::get_id()) {
    // From HandleSignal: the thread ends once the handler has returned.
    m_thread.detach();
  } else if (m_thread.joinable()) {
    m_thread.join();
  }
  RestoreHandlers();
  if (std::this_thread::get_id() == m_installer) {
    ::pthread_sigmask(SIG_SETMASK, &m_savedMask, nullptr);
  }
}

void SignalHandlerThread::operator()() {
  ISTD_TRACE_FNC();
  for (;;) {
    ISTD_TRACE(eMedium, "Waiting for semaphore from handler function.");
    while (::sem_wait(&g_semSignal) != 0) {
      if (errno == EINTR) continue;
      ISTD_TRACE(eLow, "Waiting for the signal semaphore failed: " << std::strerror(errno));
      return;
    }
    ISTD_TRACE(eMedium, "Semaphore triggered.");
    const int signalNumber = TakePending();
    if (signalNumber == c_stopSignal) {
      ISTD_TRACE(eMedium, "Got signal to stop signal thread.");
      return;
    }
    if (signalNumber == 0) continue;
    try {
      const auto found = m_previousHandlers.find(signalNumber);
      if (found != m_previousHandlers.end() && found->second != SIG_DFL &&
          found->second != SIG_IGN && found->second != PosixSignalFunction) {
        ISTD_TRACE(eMedium, "Calling previous signal handler.");
        found->second(signalNumber);
      }
      m_handler.HandleSignal(signalNumber);
    } catch (const std::exception& e) {
      ISTD_TRACE(eLow, "WARNING: Ignored std::exception: " << e.what());
    } catch (...) {
      ISTD_TRACE(eLow, "WARNING: Ignored unknown exception.");
    }
  }
}

}  // namespace istd
