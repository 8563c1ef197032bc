// regd's server: the registry with its hidden diagnostic subtree, the
// client table, the signal servants, the Application object, the
// simulator (periodic updates of simulated nodes) and the stress emitter.
//
// The diagnostic subtree "regd" below the root (flagged hidden, so listings
// leave it out; clients reach it by path):
//   regd.clients, get_remote_node_calls, release_calls, subscriptions,
//   receivers, notifications_sent, notifications_dropped, sinks_dropped,
//   blocks_pushed              ULongLong, read only, counted live
//   regd.heartbeat             ULongLong, read only, +1 every heartbeat_ms
//   regd.heartbeat_ms          ULong, read/write; 0 pauses the heartbeat
//   regd.stress.target         String, read/write: path of the node to emit
//                              (default regd.stress.counter)
//   regd.stress.counter        ULongLong, read only: counted up per emission
//                              while it is the target
//   regd.stress.emit           ULongLong, read/write: writing N emits the
//                              target's value N times to its subscribers as
//                              fast as they take it; reads what is pending
//                              (at most c_maxStressPending: what a write
//                              asks beyond that is not done)
//   regd.stress.emitted        ULongLong, read only: emissions done
//
// Threads: Start, Stop and the destructor on the main thread; the servants
// on ORB threads; the simulator and the stress emitter on their own.
//
// Lifecycle: construct (tree loaded, nothing runs) -> Start (ORB initialised
// before; servants active, threads running) -> Stop (threads ended,
// receivers cancelled, clients dropped) -> the ORB is shut down and
// destroyed -> destruction (drops the servants' creation references).
#ifndef VARNEK_TOOLS_REGD_SERVER_H
#define VARNEK_TOOLS_REGD_SERVER_H

#include <memory>
#include <string>
#include <vector>

#include "clients.h"
#include "counters.h"
#include "network/i_application.h"
#include "network/orb_manager.h"
#include "registry.h"
#include "signals.h"
#include "worker.h"

namespace regd {

class i_Application_impl;

struct ServerOptions {
  std::string m_interfaceVersion = "2.6";
  std::string m_objectKey = inet::c_defaultNetId;
  unsigned int m_callTimeoutMs = 5000;  // bound of every call regd makes to a client
  size_t m_queueCapacity = 10000;       // notifications queued per client
  unsigned int m_heartbeatMs = 1000;
  // Identity patterns of the clients that may write and run commands
  // (writers.h); empty: everyone.
  std::vector<std::string> m_writers;
};

// Updates the simulated nodes, each at its own period.
class Simulator : public Worker {
 public:
  Simulator(Registry& registry, std::vector<RegNode*> nodes);

 protected:
  void Run() override;

 private:
  Registry& m_registry;
  std::vector<RegNode*> m_nodes;
};

// The most emissions the stress emitter keeps pending: one write of a
// client makes at most this much work.
inline constexpr unsigned long long c_maxStressPending = 1ull << 24;

// Emits the stress target's value to its subscribers, as often as asked.
class StressEmitter : public Worker {
 public:
  StressEmitter(Registry& registry, ClientTable& clients, Counters& counters, RegNode& target,
                RegNode& counter);
  // Asks for `count` more emissions, up to c_maxStressPending pending.
  void Add(unsigned long long count);
  unsigned long long Pending();

 protected:
  void Run() override;

 private:
  Registry& m_registry;
  ClientTable& m_clients;
  Counters& m_counters;
  RegNode& m_target;
  RegNode& m_counter;
  unsigned long long m_pending = 0;  // guarded by m_mutex
};

class Server {
 public:
  Server(std::unique_ptr<RegNode> root, const ServerOptions& options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Activates the servants and starts the threads. Throws the ORB's
  // exceptions when an activation fails.
  void Start();
  // A new reference to the Application object (nil before Start).
  i_NET::Application_ptr Application();
  // Ends the threads, cancels the signal receivers and drops the clients.
  // Call before the ORB shuts down; a second call does nothing.
  void Stop();

  Registry& GetRegistry() { return m_registry; }

 private:
  // `root` with the diagnostic subtree added.
  std::unique_ptr<RegNode> WithDiagnostics(std::unique_ptr<RegNode> root);

  ServerOptions m_options;
  Counters m_counters;
  RegNode* m_heartbeat = nullptr;
  RegNode* m_stressTarget = nullptr;
  RegNode* m_stressCounter = nullptr;
  Registry m_registry;
  ClientTable m_clients;
  std::unique_ptr<Simulator> m_simulator;
  std::unique_ptr<StressEmitter> m_stress;
  std::vector<i_RemoteSignal_impl*> m_signals;
  i_Application_impl* m_application = nullptr;       // published, persistent adapter
  i_Application_impl* m_bidirApplication = nullptr;  // its twin (servants.h)
  bool m_started = false;
  bool m_stopped = false;
};

}  // namespace regd

#endif  // VARNEK_TOOLS_REGD_SERVER_H
