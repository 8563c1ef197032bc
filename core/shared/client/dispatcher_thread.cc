// roz::DispatcherThread: the node set, the queue and the worker of one
// notification client.
#include "client/dispatcher_thread.h"

#include <pthread.h>
#include <sched.h>

#include <exception>
#include <string>
#include <utility>

#include "client/tree_node.h"
#include "istd/log.h"

namespace roz {

DispatcherThread::DispatcherThread(const ClientId& clientId, const Callback& callback)
    : m_queue(c_keptQueueCapacity),
      m_clientId(clientId),
      m_callback(callback),
      m_stop(false),
      m_threadRunning(false),
      m_looping(false),
      m_waiting(false) {
  ISTD_TRACE_FNC();
}

DispatcherThread::~DispatcherThread() {
  ISTD_TRACE_FNC();
  StopThread();
  std::set<Node> nodes;
  {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    nodes.swap(m_nodes);
  }
  for (const Node& node : nodes) {
    try {
      // The node's own path: below a remote proxy that is the path the
      // client subscribed, so the proxy's record (and, for its last client,
      // the server's subscription) goes with this client.
      node.GetTreeNode()->Unsubscribe(m_clientId, node.GetRelPath(), false);
    } catch (const std::exception&) {
      // The tree node is gone, or its server did not answer: nothing to undo.
    }
  }
  ISTD_TRACE(istd::eMedium, "Dispatcher thread for client " << m_clientId.Value() << " stopped.");
}

bool DispatcherThread::Register(const Node& node) {
  bool inserted = false;
  {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    inserted = m_nodes.insert(node).second;
  }
  AssureThread();
  return inserted;
}

bool DispatcherThread::Unregister(const Node& node) {
  {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    if (m_nodes.erase(node) == 0) return false;
    if (!m_nodes.empty()) return true;
  }
  RequestStop();
  return true;
}

bool DispatcherThread::Unregister(const TreeNodeId& treeNode, const Path& path) {
  return Unregister(Node(treeNode, path));
}

void DispatcherThread::AddToQueue(const std::shared_ptr<NotificationData>& record) {
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    if (m_queue.full()) m_queue.set_capacity(2 * m_queue.capacity());
    m_queue.push_back(record);
    wake = m_waiting;
  }
  // Signalled after the lock is released, so that the woken worker does not
  // at once block on m_queueMutex, and only when it sleeps (a busy worker
  // finds the record when it looks at the queue again). The object outlives
  // this: the dispatcher calls in under its m_mutex, which a disconnection
  // needs before it can drop the object.
  if (wake) m_condition.notify_one();
}

void DispatcherThread::AssureThread() {
  std::lock_guard<std::mutex> threadLock(m_threadMutex);
  if (m_threadRunning) {
    {
      std::lock_guard<std::mutex> lock(m_queueMutex);
      if (m_looping) {
        // Still in its loop, perhaps asked to stop: it simply goes on.
        m_stop = false;
        return;
      }
    }
    // It has left its loop (stopped, or ended by a failure); only its last
    // trace line remains, so this join does not wait for a callback.
    if (m_thread.joinable()) m_thread.join();
    m_threadRunning = false;
  }
  {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    m_looping = true;
    m_stop = false;
  }
  try {
    m_thread = std::thread([this] { (*this)(); });
  } catch (...) {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    m_looping = false;
    throw;
  }
  m_threadRunning = true;
}

void DispatcherThread::RequestStop() {
  std::lock_guard<std::mutex> threadLock(m_threadMutex);
  if (!m_threadRunning) return;
  std::lock_guard<std::mutex> lock(m_queueMutex);
  if (m_looping && !m_stop) {
    m_stop = true;
    m_condition.notify_one();
  }
}

void DispatcherThread::StopThread() {
  std::lock_guard<std::mutex> threadLock(m_threadMutex);
  if (!m_threadRunning) return;
  {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    if (!m_stop) {
      m_stop = true;
      m_condition.notify_one();
    }
    // The worker cannot join itself; it ends after its callback returns.
    if (m_looping && m_workerId == std::this_thread::get_id()) return;
  }
  if (m_thread.joinable()) m_thread.join();
  m_threadRunning = false;
}

uint32_t DispatcherThread::NumOfRegisteredNodes() {
  std::lock_guard<std::mutex> lock(m_queueMutex);
  return static_cast<uint32_t>(m_nodes.size());
}

bool DispatcherThread::IsWorker() {
  std::lock_guard<std::mutex> lock(m_queueMutex);
  return m_looping && m_workerId == std::this_thread::get_id();
}

void DispatcherThread::EndOnWorker(std::shared_ptr<DispatcherThread> self) {
  std::lock_guard<std::mutex> lock(m_queueMutex);
  m_self = std::move(self);
  m_stop = true;
}

void DispatcherThread::LeaveWakeUpPreemption() {
  // The records come from ORB threads that still have to send the reply to
  // the server's Emit after queueing. Under the normal policy the woken
  // worker may preempt such a thread on its own core and run the callback
  // first, so every notification's round trip would wait for a callback.
  // A SCHED_BATCH thread never preempts on wake-up: it takes an idle core
  // at once, or runs when the broker's thread yields or its slice ends. The
  // nice value and the share of the processor stay as they were. A policy
  // that the program chose for the thread that started the worker (real
  // time, idle) is inherited and kept. Any thread may choose SCHED_BATCH, so
  // a failure (a sandbox that forbids it) is only traced.
  int policy = SCHED_OTHER;
  sched_param param{};
  if (pthread_getschedparam(pthread_self(), &policy, &param) != 0 || policy != SCHED_OTHER) {
    return;
  }
  param.sched_priority = 0;
  const int error = pthread_setschedparam(pthread_self(), SCHED_BATCH, &param);
  if (error != 0) {
    ISTD_TRACE(istd::eLow, "Dispatcher thread keeps its scheduling policy: error " << error);
  }
}

std::shared_ptr<DispatcherThread> DispatcherThread::LeaveLoop() {
  std::lock_guard<std::mutex> lock(m_queueMutex);
  m_stop = false;
  m_looping = false;
  m_workerId = std::thread::id();
  return std::move(m_self);
}

void DispatcherThread::operator()() {
  ISTD_TRACE(istd::eHigh, "Dispatcher thread started for client " << m_clientId.Value());
  LeaveWakeUpPreemption();
  try {
    std::unique_lock<std::mutex> lock(m_queueMutex);
    m_workerId = std::this_thread::get_id();
    for (;;) {
      while (m_queue.empty() && !m_stop) {
        m_waiting = true;
        m_condition.wait(lock);
        m_waiting = false;
      }
      // A stop request wins over queued records; they stay queued.
      if (m_stop) break;
      std::shared_ptr<NotificationData> record = std::move(m_queue.front());
      m_queue.pop_front();
      if (m_queue.empty() && m_queue.capacity() > c_keptQueueCapacity) {
        m_queue.set_capacity(c_keptQueueCapacity);
      }
      lock.unlock();
      m_callback(*record);
      record.reset();
      lock.lock();
    }
  } catch (const std::exception& e) {
    ISTD_TRACE(istd::eLow, "Error: " << e.what());
    istd::LogError(std::string("Problem dispatcher thread - ") + e.what());
  } catch (...) {
    ISTD_TRACE(istd::eLow, "Unknown Exception");
    istd::LogError("Problem in dispatcher thread - Unknown Exception");
  }
  std::shared_ptr<DispatcherThread> self = LeaveLoop();
  ISTD_TRACE(istd::eHigh, "Dispatcher thread stopped");
  if (self) {
    // Disconnected from its own callback: nobody else refers to this object
    // any more, so the worker lets go of its thread and destroys the object
    // itself. Nothing below touches a member.
    {
      std::lock_guard<std::mutex> threadLock(m_threadMutex);
      m_thread.detach();
      m_threadRunning = false;
    }
    self.reset();
  }
}

}  // namespace roz
