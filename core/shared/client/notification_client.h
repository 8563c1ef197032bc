// roz::NotificationClient, what a program instantiates to receive change
// notifications of registry nodes:
//
//   roz::NotificationClient client;
//   roz::Node gain = platform.GetNode(roz::Tokenize("settings.gain"));
//   client.Register(gain, roz::Callback([](const roz::NotificationData& n) {
//     std::cout << n.node.GetName() << " = " << n << std::endl;
//   }));
//   ...
//   client.Unregister(gain);
//
// The client connects itself to the dispatcher (client/dispatcher.h) once,
// subscribes nodes on the program's behalf (only nodes of remote registries
// accept subscriptions) and keeps, per registered node, the callbacks to run
// when a notification for it arrives.
//
// Threads: callbacks run on this client's dispatcher worker, one record at
// a time in arrival order, while the client's lock is held; never on the
// thread that received the notification, never under a dispatcher lock. The
// lock is recursive: a callback may register and unregister nodes of its own
// client (and of others). Register and Reinit hold the lock while they
// subscribe (lock order: this client, tree node, notification servant,
// dispatcher); Unregister unsubscribes before taking it. A callback must not
// destroy its own client. The worker runs under the SCHED_BATCH policy (same
// nice value; waking it never preempts the thread that received the
// notification, so the server is answered first), unless the thread that
// started it (the first Register) ran under another policy than the normal
// one, such as a real-time one, which the worker then keeps. Threads that a
// callback starts inherit the worker's policy; a callback may set another.
//
// Ownership: the dispatcher holds a callback that reaches this object
// through a small shared gate, so the object is neither copied nor moved;
// the destructor disconnects it and closes the gate before the members go.
// Handles passed in are copied.
#ifndef VARNEK_CLIENT_NOTIFICATION_CLIENT_H
#define VARNEK_CLIENT_NOTIFICATION_CLIENT_H

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "client/node.h"
#include "client/notification_data.h"
#include "client/roz_util.h"

namespace roz {

class NotificationClient {
 public:
  // Connects to the dispatcher; no default callback.
  NotificationClient();
  // Connects to the dispatcher; `defaultCallback` (the same callback) serves
  // Register(node).
  explicit NotificationClient(const Callback& defaultCallback);
  // Shutdown, then cuts this object off from its worker, once a delivery in
  // progress has ended (the worker may outlive the call: another thread may
  // be destroying it, e.g. the dispatcher's reaper after this client was
  // marked broken).
  ~NotificationClient();
  NotificationClient(const NotificationClient&) = delete;
  NotificationClient& operator=(const NotificationClient&) = delete;

  // Adds `callback` for `node`. A node already registered only gets the
  // callback appended (unless an equal one is there) and true. Otherwise the
  // node is subscribed; false (and nothing stored) when its tree node
  // refuses -- a local node, an unreachable server, a refused path, a dead
  // handle.
  bool Register(const Node& node, const Callback& callback);
  // The same with the default callback; throws istd::Exception "Default
  // callback method is not set." when there is none.
  bool Register(const Node& node);
  // Unsubscribes `node` and forgets its callbacks. Returns the answer of the
  // unsubscription: false when the node was not registered, and also when
  // the server could not be told (the node is forgotten here all the same).
  bool Unregister(const Node& node);
  // Subscribes again every registered node of the tree node of `node`,
  // ignoring the answers. Throws istd::Exception "Node is not valid
  // anymore." for a dead handle.
  void Reinit(const Node& node);

  // Called by this client's dispatcher worker: runs the callbacks of the
  // record's node, in registration order, with a copy of the record that
  // carries the handle as registered (its unmanaged data included).
  // Exceptions of callbacks are traced (High) and dropped.
  void Notification(const NotificationData& data);

  // From now on records are ignored, and the next Emit of the dispatcher
  // disconnects this client; the dispatcher's reaper thread then destroys
  // its worker, once a callback in progress has returned.
  void MarkBroken();
  // Disconnects from the dispatcher: joins the worker and unsubscribes the
  // registered nodes. The callbacks stay stored.
  void Shutdown();

  // The number of nodes the dispatcher holds for this client.
  uint32_t NumOfRegisteredNodes();

  const ClientId& GetClientId() const { return m_clientId; }

 private:
  // What the dispatcher's callback reaches this client through; the
  // destructor clears `client` under `mutex`.
  struct Gate {
    explicit Gate(NotificationClient* client) : client(client) {}
    std::mutex mutex;
    NotificationClient* client;
  };
  // The dispatcher's callback: Notification of the gate's client, if any.
  static Callback Through(const std::shared_ptr<Gate>& gate);

  const std::shared_ptr<Gate> m_gate;
  const ClientId m_clientId;
  const std::unique_ptr<Callback> m_defaultCallback;
  std::recursive_mutex m_mutex;  // m_callbacks
  std::map<Node, std::vector<Callback>> m_callbacks;
  std::atomic<bool> m_broken;
};

}  // namespace roz

#endif  // VARNEK_CLIENT_NOTIFICATION_CLIENT_H
