// Worker threads and their pool:
//
// - istd::WorkerThread, the base of a named thread whose body is the virtual
//   Main(), with a cooperative stop request and an interruptible timed sleep;
// - istd::WorkerPool, an abstract registry of workers by name that creates
//   them on demand through the derived class's CreateWorker and stops, joins
//   and deletes them one by one or all at once;
// - istd::Lock, a scope object that holds a set of mutexes and releases them
//   on destruction.
//
// Ownership: whoever creates a worker owns it and must join it (Join) before
// deleting it; a worker created by a pool is owned by the pool and deleted
// by Terminate or TerminateAll, never by the pool's destructor.
//
// Thread-safety: each worker's stop flag and condition variable are guarded
// by the worker's own mutex, so Stop, StopRequested and TimedWait may be
// called from any thread. Start and Join are for the owner. The pool's map
// is guarded by the pool mutex; TerminateAll is meant for a moment when no
// other thread uses the pool.
#ifndef VARNEK_ISTD_WORKER_THREAD_H
#define VARNEK_ISTD_WORKER_THREAD_H

#include <condition_variable>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace istd {

class WorkerPool;

class WorkerThread {
 public:
  // Traces "Worker thread: " + name + ": CREATED" at Low.
  explicit WorkerThread(const std::string& name);
  // Traces DESTROYED and, for a pool's worker, clears the pool's entry. The
  // thread must have been joined, or never started.
  virtual ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // Launches the thread, which runs operator()(). Must not be called while
  // the worker holds a thread that has not been joined.
  void Start();
  // Requests the stop and wakes a worker sleeping in TimedWait; does not
  // wait for the thread. The request is never withdrawn.
  void Stop();
  bool StopRequested() const;
  // Sleeps until the given time has passed (true) or until woken earlier by
  // Stop or spuriously (false). The stop flag is not consulted: loops check
  // StopRequested() after each wait.
  bool TimedWait(unsigned long seconds, unsigned long nanoseconds) const;

  // True while the worker holds a thread that has not been joined.
  bool Joinable() const;
  // Waits for the thread to end (owner only).
  void Join();

  const std::string& Name() const { return m_name; }

  // The work, run on the worker's thread; the base's does nothing.
  virtual void Main();

  // The thread body: runs Main(), traces an exception escaping it as a
  // warning and swallows it, then traces STOPPED.
  void operator()();

 private:
  friend class WorkerPool;

  std::string m_name;
  bool m_stopRequested;
  mutable std::condition_variable m_condition;
  mutable std::mutex m_mutex;
  std::thread m_thread;
  WorkerPool* m_pool;
};

class WorkerPool {
 public:
  WorkerPool();
  // Discards the map only; workers still listed are not deleted but forget
  // the pool, so deleting them later does not reach a destroyed pool.
  virtual ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Builds the worker for `name`, or returns null when there is none for
  // that name. Runs with the pool mutex held: it must not call back into the
  // pool. The pool takes ownership of the worker.
  virtual WorkerThread* CreateWorker(const std::string& name) = 0;

  // The worker registered under `name`, created through CreateWorker when
  // there is none yet (not started); null when CreateWorker gives none.
  WorkerThread* GetWorker(const std::string& name);
  // Clears the entry that holds `worker` (called by the worker's destructor).
  void Remove(WorkerThread* worker);
  // Stops, joins and deletes the worker registered under `name`; nothing
  // when there is none.
  void Terminate(const std::string& name);
  // Stops, joins and deletes every worker in name order. Entries remain,
  // holding null.
  void TerminateAll();

 private:
  // Takes the worker of the entry out of the map (the entry becomes null).
  WorkerThread* Detach(std::map<std::string, WorkerThread*>::iterator entry);
  static void StopJoinDelete(WorkerThread* worker);

  std::map<std::string, WorkerThread*> m_workers;
  std::mutex m_mutex;
};

// Holds a set of locked mutexes and unlocks them, in list order, when
// destroyed. The constructor locks the given mutexes in list order, so they
// must be listed in the lock order of the code that uses them.
class Lock {
 public:
  explicit Lock(std::initializer_list<std::mutex*> mutexes);
  virtual ~Lock();
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

  // Locks one more mutex and adds it to the end of the list.
  void Add(std::mutex& mutex);

 private:
  std::vector<std::mutex*> m_locked;
};

}  // namespace istd

#endif  // VARNEK_ISTD_WORKER_THREAD_H
