// roz::i_Notification_impl: the subscription map and the incoming Emit.
#include "client/internal/i_notification_impl.h"

#include <exception>
#include <iostream>
#include <utility>

#include "client/dispatcher.h"
#include "client/node.h"
#include "client/notification_data.h"
#include "client/remote_node_structure.h"
#include "istd/log.h"
#include "network/conversion.h"

namespace roz {

i_Notification_impl::i_Notification_impl() { ISTD_TRACE_FNC(); }

i_Notification_impl::~i_Notification_impl() { ISTD_TRACE_FNC(); }

void i_Notification_impl::SetNode(const std::shared_ptr<TreeNode>& node) { m_node = node; }

bool i_Notification_impl::Subscribe(const ClientId& client, const Node& node, bool& first) {
  ISTD_TRACE_FNC();
  std::lock_guard<std::mutex> lock(m_mutex);
  auto inserted = m_subscriptions.emplace(node.GetRelPath(), std::set<ClientId>{client});
  first = inserted.second;
  if (first) return true;
  return inserted.first->second.insert(client).second;
}

bool i_Notification_impl::Unsubscribe(const ClientId& client, const Node& node, bool& last) {
  ISTD_TRACE_FNC();
  last = false;
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_subscriptions.find(node.GetRelPath());
  if (it == m_subscriptions.end()) return false;
  const bool removed = it->second.erase(client) == 1;
  if (it->second.empty()) {
    m_subscriptions.erase(it);
    last = true;
  }
  return removed;
}

i_Notification_impl::Subscriptions i_Notification_impl::GetSubscribedNodes() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_subscriptions;
}

void i_Notification_impl::Emit(const i_NET::NotificationData& data) {
  ISTD_TRACE_FNC();
  const std::shared_ptr<TreeNode> proxy = m_node.lock();
  if (!proxy) {
    ISTD_TRACE(istd::eMedium, "Remote node is already destroyed. Skip emit.");
    return;
  }
  try {
    // The path is converted once: it serves the lookup and then becomes the
    // record's handle.
    Path path = RemoteNodeNamesToPath(data.path);
    // The dispatcher's Emit below takes out the clients marked broken but
    // destroys them on its reaper thread: destroying one joins its worker
    // and unsubscribes its nodes, which for nodes of this proxy takes the
    // node lock and m_mutex.
    // Held until the records are queued, so that the notifications of this
    // proxy reach every queue in the order in which they took the lock.
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_subscriptions.find(path);
    if (it == m_subscriptions.end()) {
      ISTD_TRACE(istd::eMedium, "Cannot find client for this node.");
      return;
    }
    // One record for all clients, filled in place: the handle takes over the
    // path and the payload is moved in; nothing is copied or cloned.
    auto record = std::make_shared<NotificationData>(
        Node(), static_cast<enums::NotificationType_e>(data.type), istd::Any(), data.pos);
    record->node = Node(proxy, std::move(path));
    // An empty any is a notification without a value (a node that has
    // none); every other payload must be a value of the eight types.
    CORBA::TypeCode_var payload = data.data.type();
    if (payload->kind() != CORBA::tk_null) record->data = inet::CorbaAnyToAny(data.data);
    ISTD_TRACE(istd::eDetail, "Notification for " << record->node.GetRelPath() << " at "
                                                  << record->pos << " to " << it->second.size()
                                                  << " client(s)");
    Dispatcher::GetInstance().Emit(it->second, record);
  } catch (const std::exception& e) {
    istd::LogError(std::string("Notification error: ") + e.what());
    std::cout << std::endl << e.what() << std::endl;
  }
}

}  // namespace roz
