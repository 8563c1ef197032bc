// regd's server: diagnostics, simulation, stress emission, lifecycle.
#include "server.h"

#include <algorithm>

#include "istd/log.h"
#include "network/orb_manager.h"
#include "servants.h"

namespace regd {

namespace {

using roz::enums::eHidden;
using roz::enums::eRead;
using roz::enums::eWrite;

std::unique_ptr<RegNode> MakeNode(const std::string& name, ValueType type, roz::Flags flags,
                                  Elements value) {
  auto node = std::make_unique<RegNode>();
  node->m_name = name;
  node->m_type = type;
  node->m_flags = flags;
  node->m_value = value;
  node->m_initial = value;
  return node;
}

std::unique_ptr<RegNode> Counter(const std::string& name,
                                 std::function<unsigned long long()> count) {
  auto node = MakeNode(name, roz::enums::eULongLong, eRead, std::vector<uint64_t>{0});
  node->m_counter = std::move(count);
  return node;
}

}  // namespace

Simulator::Simulator(Registry& registry, std::vector<RegNode*> nodes)
    : Worker("regd-simulator"), m_registry(registry), m_nodes(std::move(nodes)) {}

void Simulator::Run() {
  const Clock::time_point never = Clock::time_point::max();
  std::vector<Clock::time_point> due(m_nodes.size(), never);
  while (!Stopping()) {
    const Clock::time_point now = Clock::now();
    Clock::time_point earliest = now + std::chrono::hours(1);
    for (size_t i = 0; i < m_nodes.size(); ++i) {
      const unsigned int periodMs = m_nodes[i]->m_simulation->m_periodMs.load();
      if (periodMs == 0) {
        due[i] = never;
        continue;
      }
      const auto period = std::chrono::milliseconds(periodMs);
      if (due[i] > now + period) due[i] = now + period;  // new or shortened period
      if (due[i] <= now) {
        m_registry.Simulate(*m_nodes[i]);
        due[i] += period;
        if (due[i] <= now) due[i] = now + period;
      }
      earliest = std::min(earliest, due[i]);
    }
    SleepUntil(earliest);
  }
}

StressEmitter::StressEmitter(Registry& registry, ClientTable& clients, Counters& counters,
                             RegNode& target, RegNode& counter)
    : Worker("regd-stress"),
      m_registry(registry),
      m_clients(clients),
      m_counters(counters),
      m_target(target),
      m_counter(counter) {}

void StressEmitter::Add(unsigned long long count) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_pending += std::min(count, c_maxStressPending - m_pending);
  m_wake.notify_all();
}

unsigned long long StressEmitter::Pending() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_pending;
}

void StressEmitter::Run() {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      m_wake.wait(lock, [&] { return m_stopping || m_pending > 0; });
      if (m_stopping) return;
    }
    const std::string targetText = m_registry.ReadString(m_target);
    RegNode* node = m_registry.Find(SplitPath(targetText));
    if (node == nullptr) {
      istd::LogWarning("regd: stress target not found: " + targetText);
      std::lock_guard<std::mutex> lock(m_mutex);
      m_pending = 0;
      continue;
    }
    const ChangePtr change = m_registry.Snapshot(*node, node == &m_counter);
    for (const std::shared_ptr<SinkWorker>& sink : m_clients.Subscribers(node->m_path)) {
      sink->Push(change, &StopFlag());
    }
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (m_pending > 0) --m_pending;
    }
    ++m_counters.m_stressEmitted;  // after the pending count: readers see both settled
  }
}

Server::Server(std::unique_ptr<RegNode> root, const ServerOptions& options)
    : m_options(options),
      m_registry(WithDiagnostics(std::move(root))),
      m_clients(m_registry, m_counters, options.m_callTimeoutMs, options.m_queueCapacity,
                WriteGate(options.m_writers)) {
  ISTD_TRACE_FNC();
  m_registry.SetListener([this](const ChangePtr& change) { m_clients.Notify(change); });
  std::vector<RegNode*> simulated;
  for (RegNode* node : m_registry.AllNodes()) {
    if (node->m_simulation) simulated.push_back(node);
  }
  m_simulator = std::make_unique<Simulator>(m_registry, simulated);
  m_stress = std::make_unique<StressEmitter>(m_registry, m_clients, m_counters, *m_stressTarget,
                                             *m_stressCounter);
}

Server::~Server() {
  try {
    Stop();
  } catch (...) {
    // Exit: nothing left to report to.
  }
  for (i_RemoteSignal_impl* servant : m_signals) servant->_remove_ref();
  if (m_application != nullptr) m_application->_remove_ref();
  if (m_bidirApplication != nullptr) m_bidirApplication->_remove_ref();
}

std::unique_ptr<RegNode> Server::WithDiagnostics(std::unique_ptr<RegNode> root) {
  Counters& c = m_counters;
  auto dir = MakeNode(c_diagnosticsName, roz::enums::eUndefined, eRead | eHidden, std::monostate{});
  dir->Add(Counter("clients", [&c] { return c.m_clients.load(); }));
  dir->Add(Counter("get_remote_node_calls", [&c] { return c.m_getRemoteNodeCalls.load(); }));
  dir->Add(Counter("release_calls", [&c] { return c.m_releaseCalls.load(); }));
  dir->Add(Counter("subscriptions", [&c] { return c.m_subscriptions.load(); }));
  dir->Add(Counter("receivers", [&c] { return c.m_receivers.load(); }));
  dir->Add(Counter("notifications_sent", [&c] { return c.m_notificationsSent.load(); }));
  dir->Add(Counter("notifications_dropped", [&c] { return c.m_notificationsDropped.load(); }));
  dir->Add(Counter("sinks_dropped", [&c] { return c.m_sinksDropped.load(); }));
  dir->Add(Counter("blocks_pushed", [&c] { return c.m_blocksPushed.load(); }));

  auto heartbeat = MakeNode("heartbeat", roz::enums::eULongLong, eRead, std::vector<uint64_t>{0});
  heartbeat->m_simulation = std::make_unique<Simulation>();
  heartbeat->m_simulation->m_periodMs = m_options.m_heartbeatMs;
  heartbeat->m_simulation->m_generator.m_kind = Generator::eRamp;
  heartbeat->m_simulation->m_generator.m_period = 0;
  m_heartbeat = &dir->Add(std::move(heartbeat));
  auto period = MakeNode("heartbeat_ms", roz::enums::eULong, eRead | eWrite,
                         std::vector<uint32_t>{m_options.m_heartbeatMs});
  period->m_onWrite = [this](const RegNode& node) {
    m_heartbeat->m_simulation->m_periodMs = std::get<std::vector<uint32_t>>(node.m_value).at(0);
    m_simulator->Wake();
  };
  dir->Add(std::move(period));

  auto stress = MakeNode("stress", roz::enums::eUndefined, eRead, std::monostate{});
  const std::string counterPath = std::string(c_diagnosticsName) + ".stress.counter";
  m_stressTarget = &stress->Add(MakeNode("target", roz::enums::eString, eRead | eWrite,
                                         std::vector<std::string>{counterPath}));
  m_stressCounter =
      &stress->Add(MakeNode("counter", roz::enums::eULongLong, eRead, std::vector<uint64_t>{0}));
  auto emit = Counter("emit", [this] { return m_stress->Pending(); });
  emit->m_flags |= eWrite;
  emit->m_onWrite = [this](const RegNode& node) {
    m_stress->Add(std::get<std::vector<uint64_t>>(node.m_value).at(0));
  };
  stress->Add(std::move(emit));
  stress->Add(Counter("emitted", [&c] { return c.m_stressEmitted.load(); }));
  dir->Add(std::move(stress));
  root->Add(std::move(dir));
  return root;
}

void Server::Start() {
  ISTD_TRACE_FNC();
  if (m_started) return;
  m_started = true;
  for (RegNode* node : m_registry.AllNodes()) {
    if (!node->m_signal) continue;
    auto* servant = new i_RemoteSignal_impl(*node, m_counters, m_options.m_callTimeoutMs);
    m_signals.push_back(servant);
    inet::OM()->Activate(servant);
    node->m_signalServant = servant;
  }
  // The twin that answers GetRemoteNode in the bidirectional adapter
  // (servants.h), then the published object that forwards to it.
  m_bidirApplication =
      new i_Application_impl(m_clients, m_counters, m_options.m_interfaceVersion);
  inet::OM()->Activate(m_bidirApplication);
  i_NET::Application_var twin = m_bidirApplication->_this();
  m_application =
      new i_Application_impl(m_clients, m_counters, m_options.m_interfaceVersion, twin.in());
  inet::OM()->ActivatePersistent(m_application, m_options.m_objectKey);
  m_simulator->Start();
  m_stress->Start();
}

i_NET::Application_ptr Server::Application() {
  if (m_application == nullptr) return i_NET::Application::_nil();
  return m_application->_this();
}

void Server::Stop() {
  ISTD_TRACE_FNC();
  if (!m_started || m_stopped) return;
  m_stopped = true;
  m_stress->ShutdownAndJoin();
  m_simulator->ShutdownAndJoin();
  for (i_RemoteSignal_impl* servant : m_signals) servant->Shutdown(c_cancelShutdown);
  m_clients.Shutdown();
  istd::LogInfo("regd: stopped");
}

}  // namespace regd
