// Test doubles of the notification tests without a network.
//
// NotifyingNode: a local tree node that accepts subscriptions the way a
// remote node proxy does -- per relative path the set of subscribed clients,
// and the handle registered with the dispatcher -- and hands what is emitted
// on it (roz::Node::Emit) to the dispatcher for the path's subscribers. It
// records every unsubscription it sees, and the thread it came on.
//
// Recorder: what a dispatcher callback received (value, record address,
// thread), with a wait for a number of records.
#ifndef VARNEK_TESTS_CLIENT_NOTIFYING_NODE_H
#define VARNEK_TESTS_CLIENT_NOTIFYING_NODE_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/roz.h"

namespace testutil {

class NotifyingNode : public roz::TreeNode {
 public:
  struct Unsubscription {
    roz::ClientId client;
    roz::Path path;
    bool unregister;
    std::thread::id thread;  // that unsubscribed
  };

  explicit NotifyingNode(const std::string& name) : TreeNode(name) {}

  static std::shared_ptr<NotifyingNode> Make(const std::string& name) {
    return std::make_shared<NotifyingNode>(name);
  }

  bool OnSubscribe(const roz::ClientId& client, const roz::Path& path) override {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (!m_subscribers[path].insert(client).second) return false;
      ++m_subscribeCalls;
    }
    return roz::Dispatcher::GetInstance().Register(client, roz::Node(shared_from_this(), path));
  }

  bool OnUnsubscribe(const roz::ClientId& client, const roz::Path& path, bool unregister) override {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_unsubscriptions.push_back(
          Unsubscription{client, path, unregister, std::this_thread::get_id()});
      auto it = m_subscribers.find(path);
      if (it == m_subscribers.end() || it->second.erase(client) == 0) return false;
      if (it->second.empty()) m_subscribers.erase(it);
    }
    return !unregister ||
           roz::Dispatcher::GetInstance().Unregister(client, roz::Node(shared_from_this(), path));
  }

  bool OnEmit(const roz::NotificationData& data) override {
    std::set<roz::ClientId> clients;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      auto it = m_subscribers.find(data.node.GetRelPath());
      if (it != m_subscribers.end()) clients = it->second;
    }
    return roz::Dispatcher::GetInstance().Emit(clients, data);
  }

  int SubscribeCalls() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_subscribeCalls;
  }
  std::vector<Unsubscription> Unsubscriptions() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_unsubscriptions;
  }

 private:
  std::mutex m_mutex;
  std::map<roz::Path, std::set<roz::ClientId>> m_subscribers;
  int m_subscribeCalls = 0;
  std::vector<Unsubscription> m_unsubscriptions;
};

// Records deliveries; `Add` is what a callback calls.
class Recorder {
 public:
  struct Delivery {
    int value;
    const roz::NotificationData* record;
    std::thread::id thread;
  };

  void Add(const roz::NotificationData& record) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_deliveries.push_back(Delivery{record.data.Empty() ? -1 : record.data.Get<int>(), &record,
                                    std::this_thread::get_id()});
    m_condition.notify_all();
  }

  // True once `count` records arrived (within `timeoutS`).
  bool WaitFor(size_t count, double timeoutS = 10.0) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_condition.wait_for(lock, std::chrono::duration<double>(timeoutS),
                                [&] { return m_deliveries.size() >= count; });
  }

  std::vector<Delivery> Deliveries() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_deliveries;
  }
  std::vector<int> Values() {
    std::vector<int> values;
    for (const Delivery& d : Deliveries()) values.push_back(d.value);
    return values;
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_deliveries.size();
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_condition;
  std::vector<Delivery> m_deliveries;
};

// A record of `value` (an int) for `node`.
inline roz::NotificationData Record(const roz::Node& node, int value) {
  return roz::NotificationData(node, roz::enums::eValueChanged, istd::Any(value), 0);
}

}  // namespace testutil

#endif  // VARNEK_TESTS_CLIENT_NOTIFYING_NODE_H
