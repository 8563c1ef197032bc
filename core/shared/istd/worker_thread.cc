// istd::WorkerThread, istd::WorkerPool and istd::Lock.
#include "istd/worker_thread.h"

#include <chrono>
#include <exception>

#include "istd/assert.h"
#include "istd/log.h"

namespace istd {

WorkerThread::WorkerThread(const std::string& name)
    : m_name(name), m_stopRequested(false), m_pool(nullptr) {
  ISTD_TRACE(eLow, "Worker thread: " << m_name << ": CREATED");
}

WorkerThread::~WorkerThread() {
  ISTD_TRACE(eLow, "Worker thread: " << m_name << ": DESTROYED");
  ISTD_ASSERT(!m_thread.joinable());
  if (m_pool != nullptr) m_pool->Remove(this);
}

// The worker's own life is traced at Low only (no High scopes).
void WorkerThread::Start() {
  ISTD_ASSERT(!m_thread.joinable());
  m_thread = std::thread([this] { (*this)(); });
  ISTD_TRACE(eLow, "Worker thread: " << m_name << ": START");
}

void WorkerThread::Stop() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopRequested = true;
    m_condition.notify_all();
  }
  ISTD_TRACE(eLow, "Worker thread: " << m_name << ": REQUEST TO STOP");
}

bool WorkerThread::StopRequested() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_stopRequested;
}

bool WorkerThread::TimedWait(unsigned long seconds, unsigned long nanoseconds) const {
  const auto deadline = std::chrono::system_clock::now() + std::chrono::seconds(seconds) +
                        std::chrono::nanoseconds(nanoseconds);
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_condition.wait_until(lock, deadline) == std::cv_status::timeout;
}

bool WorkerThread::Joinable() const { return m_thread.joinable(); }

void WorkerThread::Join() {
  if (m_thread.joinable()) m_thread.join();
}

void WorkerThread::Main() {}

void WorkerThread::operator()() {
  try {
    Main();
  } catch (const std::exception& e) {
    ISTD_TRACE(eLow, "WARNING: WorkerThread " << m_name << ". Error: " << e.what());
  } catch (...) {
    ISTD_TRACE(eLow, "WARNING: WorkerThread " << m_name << ". Unknown exception.");
  }
  ISTD_TRACE(eLow, "Worker thread: " << m_name << ": STOPPED");
}

WorkerPool::WorkerPool() = default;

WorkerPool::~WorkerPool() {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (auto& entry : m_workers) {
    if (entry.second != nullptr) entry.second->m_pool = nullptr;
  }
}

WorkerThread* WorkerPool::GetWorker(const std::string& name) {
  ISTD_TRACE_FNC();
  std::lock_guard<std::mutex> lock(m_mutex);
  auto found = m_workers.find(name);
  if (found != m_workers.end() && found->second != nullptr) return found->second;
  WorkerThread* worker = CreateWorker(name);
  if (worker == nullptr) return nullptr;
  worker->m_pool = this;
  m_workers[name] = worker;
  return worker;
}

void WorkerPool::Remove(WorkerThread* worker) {
  std::lock_guard<std::mutex> lock(m_mutex);
  // By identity rather than by the worker's name: CreateWorker may have
  // built a worker whose name differs from the key it was asked for.
  for (auto& entry : m_workers) {
    if (entry.second == worker) entry.second = nullptr;
  }
}

WorkerThread* WorkerPool::Detach(std::map<std::string, WorkerThread*>::iterator entry) {
  std::lock_guard<std::mutex> lock(m_mutex);
  WorkerThread* worker = entry->second;
  entry->second = nullptr;
  return worker;
}

void WorkerPool::StopJoinDelete(WorkerThread* worker) {
  if (worker == nullptr) return;
  if (worker->Joinable()) {
    worker->Stop();
    worker->Join();
  }
  delete worker;
}

void WorkerPool::Terminate(const std::string& name) {
  ISTD_TRACE_FNC();
  std::map<std::string, WorkerThread*>::iterator found;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    found = m_workers.find(name);
    if (found == m_workers.end()) return;
  }
  // The entry is cleared before the worker is stopped, so that GetWorker
  // never hands out a worker that is about to be deleted and a concurrent
  // Terminate of the same name finds nothing to delete. The worker is
  // stopped and joined without the pool mutex (its destructor takes it).
  StopJoinDelete(Detach(found));
}

void WorkerPool::TerminateAll() {
  ISTD_TRACE_FNC();
  for (auto entry = m_workers.begin(); entry != m_workers.end(); ++entry) {
    StopJoinDelete(Detach(entry));
  }
  ISTD_TRACE(eDetail, "Size of worker map: " << m_workers.size());
  ISTD_TRACE(eLow, "Terminated worker threads.");
}

Lock::Lock(std::initializer_list<std::mutex*> mutexes) {
  m_locked.reserve(mutexes.size());
  try {
    for (std::mutex* mutex : mutexes) {
      if (mutex != nullptr) Add(*mutex);
    }
  } catch (...) {
    // No destructor runs for a half-built Lock: release what it holds.
    for (std::mutex* mutex : m_locked) mutex->unlock();
    throw;
  }
}

Lock::~Lock() {
  for (std::mutex* mutex : m_locked) mutex->unlock();
}

void Lock::Add(std::mutex& mutex) {
  mutex.lock();
  m_locked.push_back(&mutex);
}

}  // namespace istd
