// The program-wide state of one rozctl run: the global options, the client
// library's start and end (roz::Init / roz::Shutdown), the trace, the call
// time-out, the connection to the chosen registry and the lookup of node
// paths in it, and the interruption by SIGINT or SIGTERM.
//
// Ownership and threads: main creates one Session on its own thread before
// any other thread exists (the signal thread and the request broker's
// threads start inside it) and destroys it last; the subcommands use it from
// the main thread. Interrupted() and WaitForInterrupt() may be called from
// any thread; the interrupt hook runs on the signal thread.
#ifndef VARNEK_TOOLS_ROZCTL_SESSION_H
#define VARNEK_TOOLS_ROZCTL_SESSION_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <utility>

#include "client/roz.h"
#include "istd/signal_handler.h"

namespace rozctl {

struct GlobalOptions {
  std::string host = "127.0.0.1";
  int port = 0;                 // 0: the default port of the root
  std::string root = "app";     // "app" or "platform"
  double callTimeoutS = 0;      // 0: the library's default bound
  std::string traceLevel;       // "": no trace
  std::string traceFile = "-";  // "-": standard output
  inet::TlsSettings tls;        // --tls-ca, --tls-key, --tls-password; off by default
};

class Session : private istd::SignalHandler {
 public:
  // Starts the trace (when asked for), the signal thread (SIGINT, SIGTERM)
  // and the client library (with TLS when options.tls is on), and sets the
  // call time-out. Throws Failure with exit code 2 for an unknown trace
  // level, istd::Exception for TLS files that cannot be read.
  explicit Session(const GlobalOptions& options);
  // Ends the library (roz::Shutdown) and the signal thread.
  ~Session() override;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // The handle of the registry root, connecting on first use. Throws
  // Failure "cannot connect to the <root> registry at <host>:<port>", with
  // " (TLS: <reason>)" after it when a TLS handshake was refused.
  roz::Node& Root();
  // The node at the dotted `path` below the root ("" is the root itself).
  // Throws Failure with the library's message ("ireg: node not found: a.b").
  roz::Node Resolve(const std::string& path);

  // "the app registry at 127.0.0.1:5679".
  std::string Where() const;
  const GlobalOptions& Options() const { return m_options; }

  // True once SIGINT or SIGTERM arrived.
  bool Interrupted() const;
  // Waits until an interrupt arrives or `timeout` passes; true when
  // interrupted.
  bool WaitForInterrupt(std::chrono::milliseconds timeout);
  // Makes interrupts end the subcommand in an orderly way: from now on an
  // interrupt sets Interrupted() and runs `hook` (on the signal thread, e.g.
  // to cancel a blocking read; may be empty; it must not call back into
  // the session). Before this call an interrupt
  // ends the process at once with status 130, as for any command-line tool
  // that has nothing to clean up.
  void OnInterrupt(std::function<void()> hook);

 private:
  void HandleSignal(int signalNumber) override;

  GlobalOptions m_options;
  roz::Root m_root;
  int m_port;  // the port in use (defaults applied)
  roz::Node m_rootNode;
  bool m_connected = false;
  istd::SignalHandlerThread* m_signals = nullptr;

  mutable std::mutex m_mutex;  // guards the two below
  std::condition_variable m_interruptArrived;
  bool m_interrupted = false;
  bool m_orderly = false;
  std::function<void()> m_hook;
};

// The connection check of a subcommand that runs on while its server may
// go away and come back (monitor, stream): each Check pings the registry
// root (roz::Ping, which reconnects the proxy in place; its subscriptions
// and open streams are restored with it) and says on standard error when
// the registry was lost and when it answers again. Main thread only.
class ConnectionWatch {
 public:
  // `restored` names what a reconnection gives back ("subscriptions
  // restored").
  ConnectionWatch(Session& session, std::string restored)
      : m_session(session), m_restored(std::move(restored)) {}

  // One ping. The first that finds the registry gone writes "rozctl: lost
  // <where>; waiting for it to answer again"; the first that finds it back
  // "rozctl: <where> answers again; <restored>", or "rozctl: <where> was
  // restarted; <restored>" when the reconnection came without a lost ping
  // before. Returns Ping's answer. Throws what Session::Root throws.
  roz::ConnectionState Check();

 private:
  Session& m_session;
  const std::string m_restored;
  bool m_lost = false;
};

}  // namespace rozctl

#endif  // VARNEK_TOOLS_ROZCTL_SESSION_H
