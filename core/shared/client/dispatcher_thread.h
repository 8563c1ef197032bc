// roz::DispatcherThread, the delivery side of one notification client: the
// nodes registered for it, a first-in-first-out queue of notification
// records and a worker thread that runs the client's callback for each
// record in turn.
//
// Ownership: the dispatcher's map (client/dispatcher.h) holds the only
// lasting shared pointer. The worker refers to its object by plain
// reference, so the destructor stops and joins it before anything else. A
// record is shared between the queues of all clients that receive it; the
// worker drops its reference once the callback has returned.
//
// Worker life: none until the first registration (AssureThread). When the
// last node is unregistered the worker is asked to stop; it finishes the
// record in hand and ends, leaving later records queued. It is not joined
// there -- the caller may hold locks that the running callback waits for --
// but by the next AssureThread (which first lets a worker that has not yet
// ended simply go on) or by the destructor. Records still queued are
// delivered by the next worker or discarded with the object.
//
// Threads and locks: Register, Unregister and AddToQueue come from program
// threads, from ORB threads (through the dispatcher) and from the worker
// itself (a callback that registers or unregisters). m_threadMutex comes
// before m_queueMutex; the callback runs with neither held. The worker
// never joins itself: a stop asked for on the worker only takes effect once
// its callback has returned. The worker runs under SCHED_BATCH, so that
// waking it never preempts the ORB thread that queued the record before
// that thread has answered the server (unless it inherited a policy other
// than the normal one, which it keeps).
#ifndef VARNEK_CLIENT_DISPATCHER_THREAD_H
#define VARNEK_CLIENT_DISPATCHER_THREAD_H

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include <boost/circular_buffer.hpp>

#include "client/node.h"
#include "client/notification_data.h"
#include "client/roz_util.h"

namespace roz {

class DispatcherThread {
 public:
  // No nodes, an empty queue, no worker.
  DispatcherThread(const ClientId& clientId, const Callback& callback);
  // Stops and joins the worker, then unsubscribes every registered node
  // from its tree node under the node's own relative path, without
  // unregistering it here (TreeNode::Unsubscribe(client, path, false));
  // nodes whose tree node is gone are skipped. Runs on the thread that drops
  // the last reference, or on the worker itself when the client was
  // disconnected from its own callback (EndOnWorker).
  ~DispatcherThread();
  DispatcherThread(const DispatcherThread&) = delete;
  DispatcherThread& operator=(const DispatcherThread&) = delete;

  // Adds `node` and makes sure a worker runs (also when the node was there
  // already). Returns whether the node was new.
  bool Register(const Node& node);
  // Removes `node`; when it was the last one, asks the worker to stop.
  // Returns false when the node was not registered.
  bool Unregister(const Node& node);
  // The same for the node named by a tree node identifier and a path (what
  // a remote node proxy knows of its subscriptions when it is destroyed).
  bool Unregister(const TreeNodeId& treeNode, const Path& path);

  // Appends `record` to the queue and wakes the worker. Never blocks on the
  // worker, never drops.
  void AddToQueue(const std::shared_ptr<NotificationData>& record);

  // Starts a worker unless one is running; a worker asked to stop that has
  // not ended yet goes on instead, and one that has ended is joined first.
  void AssureThread();
  // Stops the worker and joins it. On the worker itself it only asks for
  // the stop (the worker ends once the callback in progress returns).
  void StopThread();

  // The number of registered nodes.
  uint32_t NumOfRegisteredNodes();

  // True when called on this client's worker (from inside its callback).
  bool IsWorker();
  // Called on the worker when its client is disconnected from its own
  // callback: takes `self`, the last reference to this object, and asks the
  // worker to stop; the worker destroys the object once the callback has
  // returned. `self` must point to this object.
  void EndOnWorker(std::shared_ptr<DispatcherThread> self);

  // The worker: runs the callback for each queued record until asked to
  // stop. Started by AssureThread.
  void operator()();

 private:
  // Asks a running worker to stop, without waiting for it.
  void RequestStop();
  // Marks the worker as out of its loop; returns the reference handed over
  // by EndOnWorker (empty otherwise).
  std::shared_ptr<DispatcherThread> LeaveLoop();
  // Puts the calling worker under SCHED_BATCH (no preemption on wake-up)
  // when it runs under SCHED_OTHER.
  static void LeaveWakeUpPreemption();

  // Queue capacity kept when the queue runs empty; a larger one (grown by a
  // burst) is given back then.
  static constexpr size_t c_keptQueueCapacity = 64;

  std::set<Node> m_nodes;
  // A ring that doubles when full: queueing a record allocates nothing in
  // the steady state (a list would allocate one node per client and record).
  boost::circular_buffer<std::shared_ptr<NotificationData>> m_queue;
  const ClientId m_clientId;
  const Callback m_callback;
  bool m_stop;
  std::condition_variable m_condition;
  std::mutex m_queueMutex;  // m_nodes, m_queue, m_stop, m_looping, m_waiting, m_workerId, m_self
  std::thread m_thread;
  bool m_threadRunning;
  std::mutex m_threadMutex;  // m_thread, m_threadRunning; serialises start and stop

  // The worker is inside its loop (set before it starts, cleared as it
  // leaves); a stop asked for while it is set may still be taken back.
  bool m_looping;
  // The worker sleeps on m_condition for a record (AddToQueue signals only
  // then).
  bool m_waiting;
  // The running worker's thread, for IsWorker.
  std::thread::id m_workerId;
  // Set by EndOnWorker: the worker owns this object from then on.
  std::shared_ptr<DispatcherThread> m_self;
};

}  // namespace roz

#endif  // VARNEK_CLIENT_DISPATCHER_THREAD_H
