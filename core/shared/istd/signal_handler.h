// POSIX signal handling out of signal context. InstallHandler installs a
// process-level signal function for a list of signals and starts the signal
// thread. The signal function only counts the signal and posts the
// semaphore g_semSignal; the signal thread then calls the handler that was
// installed before (when it is a real function) and the application's
// istd::SignalHandler, both in ordinary thread context.
//
// Every signal is kept: each number has its own pending count (lock-free
// atomics, async-signal-safe), so two different signals that arrive before
// the thread wakes are both handled, in ascending signal-number order.
//
// Delivery: the listed signals are blocked on the installing thread, so
// that every thread it starts afterwards inherits the block, and a receiver
// thread takes them with sigwaitinfo and hands each to the signal function
// in ordinary thread context. Threads that existed before and do not block
// them still run the signal function in signal context. No thread but those
// runs signal context, which keeps emulated 32-bit targets (whose thread
// pointer does not survive a signal return in a threaded process) sound.
//
// Threads and ownership: one signal thread (plus its receiver) per process,
// created by the first InstallHandler and never again; the instance lives
// until process exit and does not own the handler object. HandleSignal runs
// only on the signal thread. Stop ends both threads, puts the previous
// handlers back and, on the installing thread, its signal mask.
#ifndef VARNEK_ISTD_SIGNAL_HANDLER_H
#define VARNEK_ISTD_SIGNAL_HANDLER_H

#include <semaphore.h>
#include <signal.h>

#include <atomic>
#include <map>
#include <thread>

namespace istd {

// Posted once per signal caught (and by SignalHandlerThread::Stop).
extern sem_t g_semSignal;

class SignalHandler {
 public:
  virtual ~SignalHandler();
  // Called on the signal thread with the number of a caught signal. An
  // exception escaping it is traced and dropped.
  virtual void HandleSignal(int signalNumber) = 0;
};

class SignalHandlerThread {
 public:
  // The pseudo-signal that tells the signal thread to end.
  static constexpr int c_stopSignal = 4077;

  // The process's signal thread, created on the first call for `handler`
  // and the signals of the 0-terminated list `signals` (null: SIGHUP,
  // SIGINT, SIGTERM, SIGQUIT); later calls return it and ignore their
  // arguments. Throws istd::Exception "Can't install handler for " + number
  // when a signal function cannot be installed.
  static SignalHandlerThread* InstallHandler(SignalHandler& handler, const int* signals);

  // Installs the signal function for each listed signal (recording the
  // previous handler) and starts the thread. Prefer InstallHandler, which
  // keeps the one instance of the process.
  SignalHandlerThread(SignalHandler& handler, const int* signals);
  // Stops the thread when it still runs.
  virtual ~SignalHandlerThread();
  SignalHandlerThread(const SignalHandlerThread&) = delete;
  SignalHandlerThread& operator=(const SignalHandlerThread&) = delete;

  // Ends the signal thread and waits for it (called on the signal thread
  // itself, from HandleSignal, it does not wait: the thread ends after the
  // handler returns). The previous handlers are then installed again, so
  // later signals get the disposition they had before; called on the
  // thread that installed, it also unblocks the signals there again (a
  // signal that arrived meanwhile is then delivered to that disposition).
  // Threads started after the installation keep them blocked.
  void Stop();

  // The thread body: waits for the semaphore and handles one signal per
  // wake-up until the stop pseudo-signal arrives.
  void operator()();

 private:
  // Puts back the recorded previous handlers.
  void RestoreHandlers();
  // The receiver thread's body: takes the blocked signals one by one.
  void Receive();


  SignalHandler& m_handler;
  std::thread m_thread;
  // Takes the listed signals with sigwaitinfo; not started for an empty list.
  std::thread m_receiver;
  // The listed signals, and the installing thread's mask before they were
  // blocked there.
  sigset_t m_signals;
  sigset_t m_savedMask;
  std::thread::id m_installer;
  std::map<int, void (*)(int)> m_previousHandlers;
  // Set by the first Stop; later calls return at once.
  std::atomic<bool> m_stopped;
};

}  // namespace istd

#endif  // VARNEK_ISTD_SIGNAL_HANDLER_H
