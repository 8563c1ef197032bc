// regd::Worker, the base of regd's own threads (notification sinks, signal
// pushers, the simulator, the stress emitter): an istd::WorkerThread whose
// loop sleeps on a condition variable that a stop request, a Wake or the
// derived class's own state changes (guarded by the same mutex) end at once.
//
// Thread-safety: Shutdown, Wake and Finished may be called from any thread;
// Start and Join belong to the owner, who joins before deleting.
#ifndef VARNEK_TOOLS_REGD_WORKER_H
#define VARNEK_TOOLS_REGD_WORKER_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "istd/worker_thread.h"

namespace regd {

class Worker : public istd::WorkerThread {
 public:
  using Clock = std::chrono::steady_clock;

  explicit Worker(const std::string& name) : istd::WorkerThread(name) {}

  // Asks the loop to end and wakes it; does not wait.
  void Shutdown() {
    Stop();
    m_stopFlag.store(true);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = true;
    m_wake.notify_all();
  }
  // Shutdown, then waits for the thread.
  void ShutdownAndJoin() {
    Shutdown();
    Join();
  }
  // Wakes a sleeping loop (for instance to re-read a period).
  void Wake() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_woken = true;
    m_wake.notify_all();
  }
  // True once Run has returned (a join then does not wait for long).
  bool Finished() const { return m_finished.load(); }
  // Set by Shutdown; for waits elsewhere that poll it.
  const std::atomic<bool>& StopFlag() const { return m_stopFlag; }

  void Main() final {
    struct Done {
      std::atomic<bool>& flag;
      ~Done() { flag.store(true); }
    } done{m_finished};
    Run();
  }

 protected:
  // The loop, on the worker's thread.
  virtual void Run() = 0;

  // Sleeps until `deadline`, a Wake or a stop. True when the deadline was
  // reached without a stop.
  bool SleepUntil(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_wake.wait_until(lock, deadline, [&] { return m_stopping || m_woken; });
    m_woken = false;
    return !m_stopping && Clock::now() >= deadline;
  }
  bool Stopping() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stopping;
  }

  // Guards m_stopping, m_woken and whatever state a derived class adds.
  std::mutex m_mutex;
  std::condition_variable m_wake;
  bool m_stopping = false;

 private:
  bool m_woken = false;
  std::atomic<bool> m_stopFlag{false};
  std::atomic<bool> m_finished{false};
};

}  // namespace regd

#endif  // VARNEK_TOOLS_REGD_WORKER_H
