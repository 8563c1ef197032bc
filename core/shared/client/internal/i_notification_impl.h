// roz::i_Notification_impl, the servant of i_NET::Notification through which
// a remote registry delivers change notifications to this process. Every
// remote node proxy (client/remote_node.h) creates one, activates it in the
// ORB manager's bidirectional adapter and hands its reference to the server
// with Application::GetRemoteNode; the server then calls Emit for every
// change of a path that a local client subscribed. The servant keeps, per
// subscribed path, the set of local clients that subscribed it, so that the
// server is asked once per path however many local clients want it.
//
// Ownership: the proxy creates the servant with new, keeps a plain pointer
// and deactivates it when it is destroyed (the ORB manager then drops the
// creation reference; the adapter holds the other one). The servant refers
// to its proxy weakly: a notification that arrives while the proxy goes away
// finds it gone and is dropped.
//
// Threads: Emit runs on ORB threads, possibly several at once; Subscribe,
// Unsubscribe and GetSubscribedNodes on the thread that holds the proxy's
// node lock. m_mutex guards the subscription map and is taken after the
// node lock, never before it.
#ifndef VARNEK_CLIENT_INTERNAL_I_NOTIFICATION_IMPL_H
#define VARNEK_CLIENT_INTERNAL_I_NOTIFICATION_IMPL_H

#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "client/roz_util.h"
#include "network/i_notification.h"

namespace roz {

class Node;
class TreeNode;

class i_Notification_impl : public POA_i_NET::Notification {
 public:
  // Per subscribed path (relative to the proxy), the subscribing clients. A
  // path is present only while its set is not empty.
  using Subscriptions = std::map<Path, std::set<ClientId>>;

  i_Notification_impl();
  ~i_Notification_impl() override;
  i_Notification_impl(const i_Notification_impl&) = delete;
  i_Notification_impl& operator=(const i_Notification_impl&) = delete;

  // The proxy served; called by the proxy once it is connected.
  void SetNode(const std::shared_ptr<TreeNode>& node);

  // Records `client` for the path of `node`. `first` tells whether the path
  // was new (no local client had it). Returns false when the client had
  // subscribed that path already.
  bool Subscribe(const ClientId& client, const Node& node, bool& first);
  // Forgets `client` for the path of `node`; `last` tells whether the path
  // has no client left (and was removed). Returns false when the client had
  // not subscribed that path.
  bool Unsubscribe(const ClientId& client, const Node& node, bool& last);
  // A copy of the subscription map.
  Subscriptions GetSubscribedNodes();

  // The remote call, on an ORB thread: converts the wire record into one
  // NotificationData (handle = proxy + path) and hands it to the dispatcher
  // for the path's clients, which only queues it (no client code runs
  // here). An empty any becomes an empty payload. Never raises to the
  // server: a notification for a gone proxy or an unsubscribed path is
  // dropped with a trace line; one whose payload is no value of the eight
  // value types, or any other failure, is dropped and logged
  // ("Notification error: ").
  void Emit(const i_NET::NotificationData& data) override;

 private:
  Subscriptions m_subscriptions;
  std::weak_ptr<TreeNode> m_node;
  std::mutex m_mutex;
};

}  // namespace roz

#endif  // VARNEK_CLIENT_INTERNAL_I_NOTIFICATION_IMPL_H
