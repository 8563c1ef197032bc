// istd::ThreadController runs a caller-supplied loop body again and again on
// its own thread and gives the owner synchronous and asynchronous start,
// stop and restart through a strict four-state machine:
//
//   eStopped -> eStarting (Start, Restart) -> eRunning (loop thread)
//            -> eTerminating (Stop, Restart) -> eStopped (loop thread)
//
// A second caller-supplied function breaks a loop body that is blocked when
// a stop is requested; while a stop waits, it is issued once per stop sleep
// period on a fresh detached thread until the loop thread has finished.
//
// Threads: the loop thread, every cancel thread and the threads of the
// asynchronous operations are detached; the controller holds no thread
// handle, the state is the only link. The loop body runs without the
// controller's mutex; the cancel function may run several times, on any
// thread and concurrently with the loop body, and must be safe for that.
// Neither may call Start, Stop or Restart of its own controller (the
// asynchronous variants are fine: a loop body may end its loop with
// AsyncStop).
//
// Locks: one mutex guards the state (and the count of asynchronous
// operations still running); every change is announced on one condition
// variable. Callers of Start, Stop and Restart block on them.
#ifndef VARNEK_ISTD_THREAD_CONTROLLER_H
#define VARNEK_ISTD_THREAD_CONTROLLER_H

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

namespace istd {

// Process-wide tuning values: the length of one wait period of a controller
// (read when a controller is constructed) and the number of periods that
// WaitOnStateEnter waits before giving up (read at each call).
extern std::atomic<unsigned int> cStopSleepPeriodMs;  // 100 ms
extern std::atomic<unsigned int> cRetryCounter;       // 100

class ThreadController {
 public:
  enum State_e {
    eStopped = 0,      // no loop thread
    eStarting = 1,     // a loop thread is being launched
    eRunning = 2,      // the loop thread calls the loop body
    eTerminating = 3,  // a stop was requested; the loop thread is finishing
  };
  using LoopFnc = std::function<void()>;
  using CancelLoopFnc = std::function<void()>;

  // `name` is used in messages; `loop` is the loop body, `cancel` makes a
  // blocked loop body return (may be empty).
  ThreadController(std::string name, LoopFnc loop, CancelLoopFnc cancel);
  // Waits for asynchronous operations still running, then stops the loop.
  virtual ~ThreadController();
  ThreadController(const ThreadController&) = delete;
  ThreadController& operator=(const ThreadController&) = delete;

  // Launches the loop thread unless it runs already; returns when it is
  // running (or has already finished). Returns true; throws istd::Exception
  // when the thread cannot be launched.
  bool Start();
  // Requests the stop and waits, issuing the cancel function every period,
  // until the loop thread has finished. Returns true.
  bool Stop();
  // Stops a running loop as Stop does, then starts it again as Start does.
  // Returns true when a new loop thread was launched, false when the
  // controller was in neither eRunning nor eStopped after the wait.
  bool Restart();

  // Run the synchronous operation on a detached thread and return at once.
  // A failure of that operation is traced at Low and dropped.
  void AsyncStart();
  void AsyncStop();
  void AsyncRestart();

  // The loop thread's body.
  void Run();

  // The transition rule; called with the mutex held. Returns true after a
  // change (all waiters are notified), false for the harmless repetitions
  // (starting a running, stopping a stopped controller, traced at High);
  // throws istd::Exception for an illegal transition.
  bool SetState(State_e state);
  // With `lock` holding the controller's mutex: waits while the state equals
  // `state`, in periods, issuing the cancel function each period while the
  // state is eTerminating. No overall time limit.
  void WaitOnStateExit(const State_e& state, std::unique_lock<std::mutex>& lock);
  // With `lock` holding the controller's mutex: waits until the state equals
  // `state`, at most cRetryCounter periods. Returns false (traced at Low) on
  // time-out.
  bool WaitOnStateEnter(const State_e& state, std::unique_lock<std::mutex>& lock);

  // The current state (takes the mutex).
  State_e GetState() const;
  // The mutex guarding the state, for the locks that SetState and the
  // WaitOnState operations expect.
  std::mutex& GetMutex() { return m_mutex; }
  const std::string& Name() const { return m_name; }

 private:
  // eStopped -> eStarting, a detached loop thread, then the wait while
  // eStarting. Called with the mutex held.
  void Launch(std::unique_lock<std::mutex>& lock);
  // Runs a copy of the cancel function on a detached thread.
  void IssueCancel();
  // Runs `operation` on a detached thread that the destructor waits for.
  void RunDetached(bool (ThreadController::*operation)(), const char* what);

  std::string m_name;
  State_e m_state;
  std::condition_variable m_condition;
  mutable std::mutex m_mutex;
  LoopFnc m_loopFnc;
  CancelLoopFnc m_cancelFnc;
  unsigned int m_stopSleepPeriodMs;
  unsigned int m_detachedCalls;
};

}  // namespace istd

#endif  // VARNEK_ISTD_THREAD_CONTROLLER_H
