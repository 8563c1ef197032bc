// regd's client table and notification sink workers.
#include "clients.h"

#include <omniORB4/CORBA.h>

#include <utility>

#include "istd/log.h"
#include "network/conversion.h"
#include "network/orb_manager.h"
#include "servants.h"

namespace regd {

SinkWorker::SinkWorker(unsigned long long clientId, i_NET::Notification_ptr sink,
                       ClientTable& table, Counters& counters, unsigned int callTimeoutMs,
                       size_t capacity)
    : Worker("regd-sink-" + std::to_string(clientId)),
      m_clientId(clientId),
      m_sink(i_NET::Notification::_duplicate(sink)),
      m_table(table),
      m_counters(counters),
      m_capacity(capacity) {
  // A client that does not answer holds up this worker only, and not for
  // longer than this.
  omniORB::setClientCallTimeout(m_sink.in(), callTimeoutMs);
}

SinkWorker::~SinkWorker() = default;

bool SinkWorker::Push(const ChangePtr& change, const std::atomic<bool>* abort) {
  std::unique_lock<std::mutex> lock(m_mutex);
  if (abort != nullptr) {
    // The emitter may wait; *abort is polled, since setting it wakes nobody.
    while (!m_stopping && m_queue.size() >= m_capacity && !abort->load()) {
      m_wake.wait_for(lock, std::chrono::milliseconds(50));
    }
  }
  if (m_stopping || m_queue.size() >= m_capacity) return false;
  m_queue.push_back(change);
  m_wake.notify_all();
  return true;
}

void SinkWorker::Close() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.clear();
  }
  Shutdown();
}

void SinkWorker::Run() {
  for (;;) {
    ChangePtr change;
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      m_wake.wait(lock, [&] { return m_stopping || !m_queue.empty(); });
      if (m_stopping) return;
      change = m_queue.front();
      m_queue.pop_front();
      m_wake.notify_all();  // room for a waiting emitter
    }
    i_NET::NotificationData data;
    data.path = ToNodeNames(change->m_path);
    data.type = change->m_type;
    if (!change->m_data.Empty()) data.data = inet::AnyToCorbaAny(change->m_data);
    data.pos = change->m_pos;
    try {
      m_sink->Emit(data);
      ++m_counters.m_notificationsSent;
      ISTD_TRACE(istd::eDetail,
                 "Emit to client " << m_clientId << ": " << PathText(change->m_path));
    } catch (const CORBA::SystemException& e) {
      m_table.SinkFailed(m_clientId, inet::CORBASysExceptionToString(e));
      return;
    } catch (const CORBA::Exception& e) {
      m_table.SinkFailed(m_clientId, inet::CORBAExceptionToString(e));
      return;
    }
  }
}

ClientTable::ClientTable(Registry& registry, Counters& counters, unsigned int callTimeoutMs,
                         size_t queueCapacity, WriteGate writers)
    : m_registry(registry),
      m_counters(counters),
      m_callTimeoutMs(callTimeoutMs),
      m_queueCapacity(queueCapacity),
      m_writers(std::move(writers)) {}

ClientTable::~ClientTable() { Shutdown(); }

i_NET::RemoteNode_ptr ClientTable::Connect(i_NET::Notification_ptr sink) {
  ISTD_TRACE_FNC();
  if (CORBA::is_nil(sink)) {
    ISTD_TRACE(istd::eMedium, "GetRemoteNode without a notification sink: refused");
    return i_NET::RemoteNode::_nil();
  }
  i_NET::RemoteNode_ptr result = i_NET::RemoteNode::_nil();
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_shutdown) return result;
    for (auto& entry : m_clients) {
      if (entry.second.m_sink->_is_equivalent(sink)) {
        ISTD_TRACE(istd::eMedium, "Known sink: client " << entry.first);
        return entry.second.m_servant->_this();
      }
    }
    const unsigned long long id = ++m_lastId;
    Client client;
    client.m_sink = i_NET::Notification::_duplicate(sink);
    client.m_servant = new i_RemoteNode_impl(m_registry, *this, id);
    inet::OM()->Activate(client.m_servant);
    result = client.m_servant->_this();
    client.m_worker =
        std::make_shared<SinkWorker>(id, sink, *this, m_counters, m_callTimeoutMs, m_queueCapacity);
    client.m_worker->Start();
    m_clients.emplace(id, std::move(client));
    ++m_counters.m_clients;
    ISTD_TRACE(istd::eMedium, "New client " << id);
  }
  Reap();
  return result;
}

void ClientTable::Release(i_NET::Notification_ptr sink) {
  ISTD_TRACE_FNC();
  if (CORBA::is_nil(sink)) return;
  i_RemoteNode_impl* servant = nullptr;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_clients.begin(); it != m_clients.end(); ++it) {
      if (it->second.m_sink->_is_equivalent(sink)) {
        ISTD_TRACE(istd::eMedium, "Client " << it->first << " released");
        servant = RemoveLocked(it);
        break;
      }
    }
  }
  if (servant != nullptr) inet::OM()->Deactivate(servant);
  Reap();
}

void ClientTable::SinkFailed(unsigned long long clientId, const std::string& reason) {
  i_RemoteNode_impl* servant = nullptr;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_clients.find(clientId);
    if (it == m_clients.end()) return;  // released meanwhile
    servant = RemoveLocked(it);
  }
  istd::LogWarning("regd: notification sink of client " + std::to_string(clientId) + " failed (" +
                   reason + "): client dropped");
  try {
    inet::OM()->Deactivate(servant);
  } catch (const CORBA::Exception& e) {
    ISTD_TRACE(istd::eLow, "Deactivating the node of client " << clientId << ": " << e);
  }
  // Counted once the client's node is gone, so whoever sees the count also
  // sees the node deactivated.
  ++m_counters.m_sinksDropped;
}

i_RemoteNode_impl* ClientTable::RemoveLocked(
    std::map<unsigned long long, Client>::iterator client) {
  m_counters.m_subscriptions -= client->second.m_subscriptions.size();
  --m_counters.m_clients;
  client->second.m_worker->Close();
  m_retired.push_back(client->second.m_worker);
  i_RemoteNode_impl* servant = client->second.m_servant;
  m_clients.erase(client);
  return servant;
}

void ClientTable::Reap() {
  std::vector<std::shared_ptr<SinkWorker>> finished;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_retired.begin(); it != m_retired.end();) {
      if ((*it)->Finished()) {
        finished.push_back(*it);
        it = m_retired.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const std::shared_ptr<SinkWorker>& worker : finished) worker->Join();
}

bool ClientTable::Subscribe(unsigned long long clientId, const roz::Path& path) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_clients.find(clientId);
  if (it == m_clients.end()) return false;
  if (it->second.m_subscriptions.insert(path).second) ++m_counters.m_subscriptions;
  ISTD_TRACE(istd::eHigh, "Client " << clientId << " subscribed " << PathText(path));
  return true;
}

bool ClientTable::Unsubscribe(unsigned long long clientId, const roz::Path& path) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_clients.find(clientId);
  if (it == m_clients.end() || it->second.m_subscriptions.erase(path) == 0) return false;
  --m_counters.m_subscriptions;
  ISTD_TRACE(istd::eHigh, "Client " << clientId << " unsubscribed " << PathText(path));
  return true;
}

void ClientTable::StopNotifications(unsigned long long clientId) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_clients.find(clientId);
  if (it == m_clients.end()) return;
  m_counters.m_subscriptions -= it->second.m_subscriptions.size();
  it->second.m_subscriptions.clear();
}

void ClientTable::Notify(const ChangePtr& change) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (auto& entry : m_clients) {
    if (entry.second.m_subscriptions.count(change->m_path) == 0) continue;
    if (!entry.second.m_worker->Push(change, nullptr)) ++m_counters.m_notificationsDropped;
  }
}

std::vector<std::shared_ptr<SinkWorker>> ClientTable::Subscribers(const roz::Path& path) {
  std::vector<std::shared_ptr<SinkWorker>> workers;
  std::lock_guard<std::mutex> lock(m_mutex);
  for (auto& entry : m_clients) {
    if (entry.second.m_subscriptions.count(path) != 0) workers.push_back(entry.second.m_worker);
  }
  return workers;
}

void ClientTable::Shutdown() {
  std::vector<i_RemoteNode_impl*> servants;
  std::vector<std::shared_ptr<SinkWorker>> workers;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_shutdown && m_clients.empty() && m_retired.empty()) return;
    m_shutdown = true;
    while (!m_clients.empty()) servants.push_back(RemoveLocked(m_clients.begin()));
    workers.swap(m_retired);
  }
  for (const std::shared_ptr<SinkWorker>& worker : workers) worker->Join();
  for (i_RemoteNode_impl* servant : servants) {
    try {
      inet::OM()->Deactivate(servant);
    } catch (const CORBA::Exception&) {
      // The ORB is going away; the servant goes with it.
    }
  }
}

}  // namespace regd
