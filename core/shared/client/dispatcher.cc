// roz::Dispatcher: the client map, the routing of records to client queues
// and the disconnection of clients.
#include "client/dispatcher.h"

#include <unistd.h>

#include <atomic>
#include <sstream>
#include <utility>

#include "istd/log.h"
#include "istd/process.h"

namespace roz {

namespace {

// Set when the singleton is destroyed at process exit.
std::atomic<bool> s_destroyed{false};

}  // namespace

Dispatcher& Dispatcher::GetInstance() {
  static Dispatcher instance;
  return instance;
}

bool Dispatcher::Exists() { return !s_destroyed.load(); }

Dispatcher::Dispatcher() : m_anyBroken(false), m_running(true) {}

Dispatcher::~Dispatcher() {
  std::unique_ptr<std::thread> reaper;
  {
    std::lock_guard<std::mutex> lock(m_reapMutex);
    m_reaperStop = true;
    reaper = std::move(m_reaper);
    // A reaper started before a fork runs in the parent only; the child
    // cannot join it (and must not destroy a joinable thread object).
    if (reaper && m_reaperPid != ::getpid()) static_cast<void>(reaper.release());
  }
  m_reapCondition.notify_all();
  // It destroys what it still holds before it ends.
  if (reaper) reaper->join();
  s_destroyed = true;
}

ClientId Dispatcher::Connect(const Callback& callback) {
  ISTD_TRACE_FNC();
  const ClientId id = ClientId::Generate();
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_running) {
    m_threads.emplace(id, std::make_shared<DispatcherThread>(id, callback));
  } else {
    ISTD_TRACE(istd::eMedium, "Dispatcher is not running. Cannot make a connection");
  }
  return id;
}

bool Dispatcher::Register(const ClientId& client, const Node& node) {
  ISTD_TRACE_FNC();
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_running) return false;
  const auto it = m_threads.find(client);
  return it != m_threads.end() && it->second->Register(node);
}

bool Dispatcher::Unregister(const ClientId& client, const Node& node) {
  ISTD_TRACE_FNC();
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_running) return false;
  const auto it = m_threads.find(client);
  return it != m_threads.end() && it->second->Unregister(node);
}

void Dispatcher::Unregister(const TreeNodeId& treeNode, const Path& path,
                            const std::set<ClientId>& clients) {
  ISTD_TRACE_FNC();
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_running) return;
  for (const ClientId& client : clients) {
    const auto it = m_threads.find(client);
    if (it != m_threads.end()) it->second->Unregister(treeNode, path);
  }
}

bool Dispatcher::Emit(const std::set<ClientId>& clients,
                      const std::shared_ptr<NotificationData>& record) {
  CleanBrokenClients();
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_running) return false;
  bool queued = false;
  for (const ClientId& client : clients) {
    const auto it = m_threads.find(client);
    if (it == m_threads.end()) continue;
    it->second->AddToQueue(record);
    queued = true;
  }
  return queued;
}

bool Dispatcher::Emit(const std::set<ClientId>& clients, const NotificationData& record) {
  return Emit(clients, std::make_shared<NotificationData>(record));
}

void Dispatcher::MarkBroken(const ClientId& client) {
  std::lock_guard<std::mutex> lock(m_brokenMutex);
  m_broken.insert(client);
  m_anyBroken.store(true, std::memory_order_release);
}

void Dispatcher::CleanBrokenClients() {
  // The common case of every Emit: nobody marked, no lock taken. A client
  // marked on another thread at this very moment is cleaned by the next
  // Emit, as if it had been marked just after this one.
  if (!m_anyBroken.load(std::memory_order_acquire)) return;
  std::set<ClientId> broken;
  {
    std::lock_guard<std::mutex> lock(m_brokenMutex);
    broken.swap(m_broken);
    m_anyBroken.store(false, std::memory_order_relaxed);
  }
  while (!broken.empty()) {
    ISTD_TRACE(istd::eLow, "Disconnecting broken notification clients: " << broken.size());
    for (const ClientId& client : broken) {
      std::shared_ptr<DispatcherThread> thread = TakeOut(client, false);
      if (thread) Reap(std::move(thread));
    }
    broken.clear();
    std::lock_guard<std::mutex> lock(m_brokenMutex);
    broken.swap(m_broken);
    m_anyBroken.store(false, std::memory_order_relaxed);
  }
}

void Dispatcher::Reap(std::shared_ptr<DispatcherThread> thread) {
  {
    std::lock_guard<std::mutex> lock(m_reapMutex);
    const pid_t pid = ::getpid();
    if (m_reaper && m_reaperPid != pid) {
      // Forked since the reaper started: it stayed in the parent.
      static_cast<void>(m_reaper.release());
      m_reaping = false;
    }
    m_doomed.push_back(std::move(thread));
    if (!m_reaper) {
      m_reaperStop = false;
      m_reaper = std::make_unique<std::thread>([this] { ReaperLoop(); });
      m_reaperPid = pid;
    }
  }
  m_reapCondition.notify_all();
}

void Dispatcher::ReaperLoop() {
  std::unique_lock<std::mutex> lock(m_reapMutex);
  for (;;) {
    m_reapCondition.wait(lock, [this] { return !m_doomed.empty() || m_reaperStop; });
    if (m_doomed.empty()) return;
    std::shared_ptr<DispatcherThread> thread = std::move(m_doomed.front());
    m_doomed.pop_front();
    m_reaping = true;
    lock.unlock();
    // Joins the worker once its callback has returned, then unsubscribes
    // the client's nodes: no lock of the dispatcher is held meanwhile.
    thread.reset();
    lock.lock();
    m_reaping = false;
    m_reapCondition.notify_all();
  }
}

void Dispatcher::WaitForReleases() {
  std::unique_lock<std::mutex> lock(m_reapMutex);
  if (!m_reaper || m_reaperPid != ::getpid()) return;
  m_reapCondition.wait(lock, [this] { return m_doomed.empty() && !m_reaping; });
}

void Dispatcher::Disconnect(const ClientId& client) {
  ISTD_TRACE_FNC();
  Disconnect(client, false);
}

void Dispatcher::Disconnect(const ClientId& client, bool force) {
  ISTD_TRACE_FNC();
  std::shared_ptr<DispatcherThread> thread = TakeOut(client, force);
  if (thread) Release(std::move(thread));
}

std::shared_ptr<DispatcherThread> Dispatcher::TakeOut(const ClientId& client, bool force) {
  std::shared_ptr<DispatcherThread> thread;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!force && !m_running) return thread;
    const auto it = m_threads.find(client);
    if (it == m_threads.end()) return thread;
    thread = std::move(it->second);
    m_threads.erase(it);
  }
  if (thread.use_count() >= 2) {
    std::ostringstream os;
    os << "Problem in " << istd::ThisFncName() << ". Notification client (id = " << client.Value()
       << ") has use count > 1!";
    istd::LogCritical(os.str());
  }
  return thread;
}

void Dispatcher::Release(std::shared_ptr<DispatcherThread> thread) {
  DispatcherThread* const raw = thread.get();
  if (raw->IsWorker()) {
    raw->EndOnWorker(std::move(thread));
  } else {
    thread.reset();
  }
}

void Dispatcher::Stop() {
  ISTD_TRACE_FNC();
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_running = false;
  }
  for (;;) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_threads.empty()) break;
    const ClientId client = m_threads.begin()->first;
    lock.unlock();
    Disconnect(client, true);
  }
}

uint32_t Dispatcher::NumOfRegisteredNodes(const ClientId& client) const {
  ISTD_TRACE_FNC();
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_running) return 0;
  const auto it = m_threads.find(client);
  return it == m_threads.end() ? 0 : it->second->NumOfRegisteredNodes();
}

}  // namespace roz
