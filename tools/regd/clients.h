// The clients of regd and the delivery of their notifications.
//
// A client is whoever called Application::GetRemoteNode with a notification
// sink: it gets its own RemoteNode servant, a set of subscribed paths and a
// SinkWorker, the thread that calls Emit on its sink. Changes are queued to
// the workers of the subscribers and delivered there, so no remote call to a
// client is ever made while a lock is held that an incoming call needs: a
// slow or dead client stalls only its own worker. A sink whose Emit fails
// (the client died, the call timed out) is dropped with its client, its
// subscriptions and its RemoteNode servant; the other clients are not
// disturbed.
//
// Threads: Connect, Release, Subscribe, Unsubscribe and StopNotifications
// run on ORB threads; Notify runs on whichever thread changed a value, with
// the registry mutex held; each worker runs on its own thread; Shutdown on
// the main thread.
//
// Locks: the table mutex guards the clients and their subscriptions; a
// worker's queue mutex guards its queue. Order: registry mutex, table
// mutex, queue mutex. No remote call and no join happens under any of them.
//
// Ownership: the table owns the client records and the workers (shared with
// the stress emitter while it delivers); a worker that ended is kept until
// another thread has joined it. The RemoteNode servants are created and
// activated by the table and deactivated when their client goes.
#ifndef VARNEK_TOOLS_REGD_CLIENTS_H
#define VARNEK_TOOLS_REGD_CLIENTS_H

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "counters.h"
#include "network/i_application.h"
#include "registry.h"
#include "worker.h"
#include "writers.h"

namespace regd {

class ClientTable;
class i_RemoteNode_impl;

// The thread that delivers one client's notifications, in queue order.
class SinkWorker : public Worker {
 public:
  // `sink` is duplicated. Calls to it time out after `callTimeoutMs`.
  SinkWorker(unsigned long long clientId, i_NET::Notification_ptr sink, ClientTable& table,
             Counters& counters, unsigned int callTimeoutMs, size_t capacity);
  ~SinkWorker() override;

  // Queues `change`. Without `abort`, answers false at once when the queue
  // is full. With `abort`, waits for room until *abort is set. False as
  // well once the worker is closed.
  bool Push(const ChangePtr& change, const std::atomic<bool>* abort);
  // Discards the queue and ends the thread once the call in progress (if
  // any) has returned. Does not wait.
  void Close();

 protected:
  void Run() override;

 private:
  unsigned long long m_clientId;
  i_NET::Notification_var m_sink;
  ClientTable& m_table;
  Counters& m_counters;
  size_t m_capacity;
  std::deque<ChangePtr> m_queue;  // guarded by m_mutex
};

class ClientTable {
 public:
  // `writers` decides who may write through the clients' RemoteNodes.
  ClientTable(Registry& registry, Counters& counters, unsigned int callTimeoutMs,
              size_t queueCapacity, WriteGate writers = WriteGate());
  ~ClientTable();
  ClientTable(const ClientTable&) = delete;
  ClientTable& operator=(const ClientTable&) = delete;

  // A new reference to the RemoteNode of the client of `sink`: the one it
  // already has when the sink is known, otherwise a new client's. Nil for a
  // nil sink and after Shutdown.
  i_NET::RemoteNode_ptr Connect(i_NET::Notification_ptr sink);
  // Who may write (immutable).
  const WriteGate& Writers() const { return m_writers; }
  // Forgets the client of `sink` with its subscriptions; nothing when the
  // sink is unknown.
  void Release(i_NET::Notification_ptr sink);

  // Subscription of one path for the client `clientId` (true also when it
  // was subscribed already); false for a client that is gone.
  bool Subscribe(unsigned long long clientId, const roz::Path& path);
  // True when the path was subscribed.
  bool Unsubscribe(unsigned long long clientId, const roz::Path& path);
  void StopNotifications(unsigned long long clientId);

  // Queues `change` for every client subscribed to its path (called under
  // the registry mutex; never blocks: a full queue loses the change, which
  // is counted).
  void Notify(const ChangePtr& change);
  // The workers of the clients subscribed to `path` now.
  std::vector<std::shared_ptr<SinkWorker>> Subscribers(const roz::Path& path);

  // Called by a worker whose Emit failed: drops that client.
  void SinkFailed(unsigned long long clientId, const std::string& reason);

  // Refuses new clients, ends every worker (joining them) and deactivates
  // every RemoteNode servant. Call before the ORB shuts down.
  void Shutdown();

 private:
  struct Client {
    i_NET::Notification_var m_sink;
    i_RemoteNode_impl* m_servant = nullptr;
    std::shared_ptr<SinkWorker> m_worker;
    std::set<roz::Path> m_subscriptions;
  };

  // Under m_mutex: takes the client out, closes its worker and keeps it for
  // joining; the servant is returned for deactivation outside the lock.
  i_RemoteNode_impl* RemoveLocked(std::map<unsigned long long, Client>::iterator client);
  // Joins and forgets the retired workers that have finished.
  void Reap();

  Registry& m_registry;
  Counters& m_counters;
  unsigned int m_callTimeoutMs;
  size_t m_queueCapacity;
  const WriteGate m_writers;
  std::mutex m_mutex;
  std::map<unsigned long long, Client> m_clients;
  std::vector<std::shared_ptr<SinkWorker>> m_retired;
  unsigned long long m_lastId = 0;
  bool m_shutdown = false;
};

}  // namespace regd

#endif  // VARNEK_TOOLS_REGD_CLIENTS_H
