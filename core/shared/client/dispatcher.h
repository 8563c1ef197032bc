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
// 0, Emit queues nothing. Clients marked broken are taken out by the next
// Emit, on the emitting thread, and destroyed on the dispatcher's reaper
// thread: the emitting thread is often an ORB thread carrying a server's
// call, which must not wait for a broken client's callback to return (its
// worker is joined) nor for the unsubscription of its nodes (remote calls).
//
// Threads and locks: any thread may call in, callbacks included. m_mutex
// guards the client map and the running flag and is taken before the locks
// of a DispatcherThread; m_brokenMutex and m_reapMutex are never held with
// another lock. None is held while a client is destroyed (which joins its
// worker and unsubscribes its nodes from their tree nodes) or while a
// callback runs. The reaper thread starts with the first broken client and
// ends when the instance is destroyed at process exit, after it has
// destroyed what it was handed.
// Nothing done under m_mutex waits for a callback, so a callback may use the
// dispatcher freely: register and unregister nodes (of its own client too),
// emit, mark clients broken, even disconnect its own client (its worker then
// ends, and destroys the client, once the callback has returned).
#ifndef VARNEK_CLIENT_DISPATCHER_H
#define VARNEK_CLIENT_DISPATCHER_H

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

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
  // Disconnects the clients marked broken (also those marked meanwhile):
  // they are out of the dispatcher when this returns, and the reaper thread
  // destroys them (each once its callback in progress has returned). Never
  // waits for a callback or a remote call.
  void CleanBrokenClients();
  // Waits until the reaper has destroyed every broken client handed to it so
  // far. roz::Shutdown calls it before the ORB goes, since destroying a
  // client may call its nodes' servers. Must not be called from a callback
  // (the reaper may be waiting for that callback to return).
  void WaitForReleases();

  // Removes the client and destroys its DispatcherThread: the worker is
  // joined (unless this runs on that worker itself) and the client's nodes
  // are unsubscribed from their tree nodes. Nothing when the client is not
  // connected; the one-argument form does nothing once stopped, `force`
  // disconnects also then. When the client is being destroyed elsewhere
  // (by the reaper after it was marked broken, by Stop on another thread),
  // this returns at once while that thread may still be joining the worker:
  // a callback must keep alive what it uses (NotificationClient does).
  void Disconnect(const ClientId& client);
  void Disconnect(const ClientId& client, bool force);

  // Stops the dispatcher for good and disconnects every client (smallest
  // identifier first).
  void Stop();

  // The number of nodes registered for the client; 0 when stopped or the
  // client is not connected.
  uint32_t NumOfRegisteredNodes(const ClientId& client) const;

 private:
  Dispatcher();
  ~Dispatcher();
  Dispatcher(const Dispatcher&) = delete;
  Dispatcher& operator=(const Dispatcher&) = delete;

  // Takes the client out of the map; empty when it is not connected (or,
  // without `force`, when stopped). Logs a critical message when someone
  // else still holds its DispatcherThread.
  std::shared_ptr<DispatcherThread> TakeOut(const ClientId& client, bool force);
  // Drops `thread` (already out of the map): on its own worker it is handed
  // to that worker; otherwise it is destroyed here.
  static void Release(std::shared_ptr<DispatcherThread> thread);
  // Hands `thread` (already out of the map) to the reaper thread, starting
  // that when needed.
  void Reap(std::shared_ptr<DispatcherThread> thread);
  // The reaper thread: destroys what Reap hands it, oldest first, until the
  // instance is destroyed.
  void ReaperLoop();

  mutable std::mutex m_mutex;
  std::map<ClientId, std::shared_ptr<DispatcherThread>> m_threads;
  std::set<ClientId> m_broken;
  std::mutex m_brokenMutex;
  // m_broken is not empty (written under m_brokenMutex): lets every Emit
  // skip that lock while no client is marked.
  std::atomic<bool> m_anyBroken;
  bool m_running;

  std::mutex m_reapMutex;  // everything below
  std::condition_variable m_reapCondition;
  std::deque<std::shared_ptr<DispatcherThread>> m_doomed;
  bool m_reaping = false;  // the reaper is destroying one it took out
  bool m_reaperStop = false;
  // The reaper and the process it runs in: a forked child has no reaper
  // (the thread stayed in the parent) and starts its own.
  std::unique_ptr<std::thread> m_reaper;
  pid_t m_reaperPid = 0;
};

}  // namespace roz

#endif  // VARNEK_CLIENT_DISPATCHER_H
