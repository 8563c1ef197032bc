// roz::Dispatcher, the process-wide router of change notifications.
//
// Every notification client (client/notification_client.h) connects once
// and gets a ClientId; the dispatcher then owns one DispatcherThread for it
// (client/dispatcher_thread.h): the nodes registered for the client, a queue
// and a worker that runs the client's callback for each record. A producer
// (the notification servant of a remote node proxy) hands a record and the
// set of subscribed clients to Emit, which appends the one shared record to
// each of those queues and returns at once: a slow callback delays only its
// own client, and the thread that delivers a notification from the network
// never runs client code.
//
// Lifecycle: a singleton, created on first use and destroyed at process
// exit (which destroys the clients still connected). Running until Stop,
// stopped for good afterwards: Connect still hands out identifiers but
// creates nothing, Register/Unregister/NumOfRegisteredNodes answer false or
// 0, Emit queues nothing. Clients marked broken are disconnected by the next
// Emit, on the emitting thread.
//
// Threads and locks: any thread may call in, callbacks included. m_mutex
// guards the client map and the running flag and is taken before the locks
// of a DispatcherThread; m_brokenMutex is never held with another lock.
// Neither is held while a client is destroyed (which joins its worker and
// unsubscribes its nodes from their tree nodes) or while a callback runs.
// Nothing done under m_mutex waits for a callback, so a callback may use the
// dispatcher freely: register and unregister nodes (of its own client too),
// emit, mark clients broken, even disconnect its own client (its worker then
// ends, and destroys the client, once the callback has returned).
#ifndef VARNEK_CLIENT_DISPATCHER_H
#define VARNEK_CLIENT_DISPATCHER_H

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "client/dispatcher_thread.h"
#include "client/node.h"
#include "client/notification_data.h"
#include "client/roz_util.h"

namespace roz {

class Dispatcher {
 public:
  static Dispatcher& GetInstance();
  // False once the instance has been destroyed at process exit; objects
  // destroyed after it (a cache tree nobody shut down) leave it alone.
  static bool Exists();

  // A new client identifier; while running, also the client's
  // DispatcherThread with `callback` (no worker yet). When stopped, only
  // traces "Dispatcher is not running. Cannot make a connection" (Medium).
  ClientId Connect(const Callback& callback);

  // Registers `node` for the client and makes sure its worker runs. Returns
  // whether the node was new; false when stopped or the client is not
  // connected.
  bool Register(const ClientId& client, const Node& node);
  // Unregisters `node`; the client's worker stops after its last node.
  // False when the node was not registered, when stopped or the client is
  // not connected.
  bool Unregister(const ClientId& client, const Node& node);
  // Unregisters the node (tree node `treeNode`, `path`) from every
  // connected client of `clients`; used by a remote node proxy that is
  // destroyed, for each of its subscribed paths.
  void Unregister(const TreeNodeId& treeNode, const Path& path, const std::set<ClientId>& clients);

  // Disconnects the clients marked broken, then appends `record` to the
  // queue of every connected client of `clients` (ascending identifiers;
  // others are skipped). Returns whether at least one queue received it;
  // false when stopped.
  bool Emit(const std::set<ClientId>& clients, const std::shared_ptr<NotificationData>& record);
  // The same with a shared copy of `record`.
  bool Emit(const std::set<ClientId>& clients, const NotificationData& record);

  // Marks the client broken: the next Emit disconnects it.
  void MarkBroken(const ClientId& client);
  // Disconnects the clients marked broken (also those marked meanwhile).
  void CleanBrokenClients();

  // Removes the client and destroys its DispatcherThread: the worker is
  // joined (unless this runs on that worker itself) and the client's nodes
  // are unsubscribed from their tree nodes. Nothing when the client is not
  // connected; the one-argument form does nothing once stopped, `force`
  // disconnects also then. When another thread is disconnecting the same
  // client (an Emit cleaning up broken clients, Stop), this returns at once
  // while that thread may still be joining the worker: a callback must keep
  // alive what it uses (NotificationClient does).
  void Disconnect(const ClientId& client);
  void Disconnect(const ClientId& client, bool force);

  // Stops the dispatcher for good and disconnects every client (smallest
  // identifier first).
  void Stop();

  // The number of nodes registered for the client; 0 when stopped or the
  // client is not connected.
  uint32_t NumOfRegisteredNodes(const ClientId& client) const;

  // While one lives on a thread, the clients disconnected on that thread
  // are destroyed only when the outermost one ends. A producer that emits
  // while holding a lock that destroying a client needs (the notification
  // servant's lock: a broken client unsubscribes its nodes of that same
  // proxy) declares one before taking the lock.
  class DeferredRelease {
   public:
    DeferredRelease();
    ~DeferredRelease();
    DeferredRelease(const DeferredRelease&) = delete;
    DeferredRelease& operator=(const DeferredRelease&) = delete;
  };

 private:
  Dispatcher();
  ~Dispatcher();
  Dispatcher(const Dispatcher&) = delete;
  Dispatcher& operator=(const Dispatcher&) = delete;

  // Drops `thread` (already out of the map): on its own worker it is handed
  // to that worker; inside a DeferredRelease it is kept until that ends;
  // otherwise it is destroyed here.
  static void Release(std::shared_ptr<DispatcherThread> thread);

  mutable std::mutex m_mutex;
  std::map<ClientId, std::shared_ptr<DispatcherThread>> m_threads;
  std::set<ClientId> m_broken;
  std::mutex m_brokenMutex;
  // m_broken is not empty (written under m_brokenMutex): lets every Emit
  // skip that lock while no client is marked.
  std::atomic<bool> m_anyBroken;
  bool m_running;
};

}  // namespace roz

#endif  // VARNEK_CLIENT_DISPATCHER_H
