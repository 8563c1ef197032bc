// roz::NotificationClient: registration of nodes and delivery of records to
// their callbacks.
#include "client/notification_client.h"

#include <algorithm>
#include <exception>
#include <optional>

#include "client/dispatcher.h"
#include "istd/exception.h"
#include "istd/log.h"

namespace roz {

Callback NotificationClient::Through(const std::shared_ptr<Gate>& gate) {
  return Callback([gate](const NotificationData& data) {
    std::lock_guard<std::mutex> lock(gate->mutex);
    if (gate->client != nullptr) gate->client->Notification(data);
  });
}

NotificationClient::NotificationClient()
    : m_gate(std::make_shared<Gate>(this)),
      m_clientId(Dispatcher::GetInstance().Connect(Through(m_gate))),
      m_broken(false) {}

NotificationClient::NotificationClient(const Callback& defaultCallback)
    : m_gate(std::make_shared<Gate>(this)),
      m_clientId(Dispatcher::GetInstance().Connect(Through(m_gate))),
      m_defaultCallback(new Callback(defaultCallback)),
      m_broken(false) {}

NotificationClient::~NotificationClient() {
  Shutdown();
  // Shutdown joins the worker only when it destroys the client's dispatcher
  // thread itself; when another thread does (a broken client disconnected
  // by an Emit, Stop, a Shutdown from the client's own callback), the worker
  // may still be about to call in.
  std::lock_guard<std::mutex> lock(m_gate->mutex);
  m_gate->client = nullptr;
}

bool NotificationClient::Register(const Node& node, const Callback& callback) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  const auto it = m_callbacks.find(node);
  if (it != m_callbacks.end()) {
    std::vector<Callback>& callbacks = it->second;
    if (std::find(callbacks.begin(), callbacks.end(), callback) == callbacks.end()) {
      callbacks.push_back(callback);
    }
    return true;
  }
  if (!node.Subscribe(m_clientId)) return false;
  m_callbacks.emplace(node, std::vector<Callback>{callback});
  return true;
}

bool NotificationClient::Register(const Node& node) {
  if (!m_defaultCallback) throw istd::Exception("Default callback method is not set.", true);
  return Register(node, *m_defaultCallback);
}

bool NotificationClient::Unregister(const Node& node) {
  Node handle(node);
  const bool unsubscribed = handle.Unsubscribe(m_clientId);
  // Forgotten also when the unsubscription failed half-way (the server
  // could not be told, or the tree node is gone): the local records are
  // gone by then, and a stale entry would make a later Register answer true
  // without subscribing anything.
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  m_callbacks.erase(node);
  return unsubscribed;
}

void NotificationClient::Reinit(const Node& node) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  const TreeNodeId treeNode = node.GetTreeNode()->GetId();
  for (const auto& entry : m_callbacks) {
    if (entry.first.GetId() == treeNode) entry.first.Subscribe(m_clientId);
  }
}

void NotificationClient::Notification(const NotificationData& data) {
  if (m_broken) return;
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  const auto found = m_callbacks.find(data.node);
  if (found == m_callbacks.end()) {
    ISTD_TRACE(istd::eHigh, "Cannot send notification for node "
                                << detail::TraceName(data.node) << ". Callback is not registered?");
    return;
  }
  // The callbacks see the handle as the program registered it. The
  // dispatcher's record is that already when its handle is the registered
  // one in all but storage (as for a remote node registered through a plain
  // handle); otherwise they get one copy with the registered handle.
  std::optional<NotificationData> copy;
  if (!found->first.IsSameHandle(data.node)) {
    copy.emplace(found->first, data.type, data.data, data.pos);
  }
  const NotificationData& record = copy ? *copy : data;
  auto it = found;
  for (size_t i = 0;; ++i) {
    // A callback may register or unregister nodes of this client: after
    // each callback the list is looked up again, and a copy runs.
    if (i > 0) it = m_callbacks.find(record.node);
    if (it == m_callbacks.end() || i >= it->second.size()) break;
    const Callback callback = it->second[i];
    try {
      callback(record);
    } catch (const std::exception& e) {
      ISTD_TRACE(istd::eHigh, "Exception in notification callback " << e.what());
    } catch (...) {
      ISTD_TRACE(istd::eHigh, "Unknown  exception in notification callback.");
    }
  }
}

void NotificationClient::MarkBroken() {
  Dispatcher::GetInstance().MarkBroken(m_clientId);
  m_broken = true;
}

void NotificationClient::Shutdown() { Dispatcher::GetInstance().Disconnect(m_clientId); }

uint32_t NotificationClient::NumOfRegisteredNodes() {
  return Dispatcher::GetInstance().NumOfRegisteredNodes(m_clientId);
}

}  // namespace roz
