// regd, the reference registry server: publishes the registry tree of a JSON
// file through the i_NET interfaces (Application under the fixed object key,
// RemoteNode per client, RemoteSignal per signal node), for tests, demos and
// benchmarks of registry clients.
//
// Start-up, on the main thread: options, tree (a bad tree ends the program
// with status 2 before anything runs), daemonising (before any other thread
// exists), log and trace, the signal thread, the ORB, the servants; then
// the port is reported ("regd listening on port N" on standard output and
// the --port-file) and the main thread waits. SIGINT, SIGTERM and SIGQUIT,
// taken on the signal thread, wake it for a clean shutdown (receivers
// cancelled, clients dropped, ORB shut down and destroyed, port and PID
// files removed); SIGHUP reopens the trace file (the log is reopened for
// every message anyway).
//
// With --tls-ca and --tls-key regd serves TLS only: clients need a
// certificate signed by that CA, and --writers limits writes and commands
// to the identities (certificate common names) it names. Refused
// connections and writes are logged with the peer's address and identity.
//
// Exit status: 0 after a clean shutdown, 1 when the server cannot start
// (the port is taken, daemonising fails), 2 for bad options or a bad tree.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <omniORB4/CORBA.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "istd/daemon.h"
#include "istd/exception.h"
#include "istd/log.h"
#include "istd/signal_handler.h"
#include "istd/trace.h"
#include "network/conversion.h"
#include "network/orb_manager.h"
#include "server.h"
#include "tree.h"
#include "writers.h"

namespace {

struct Options {
  std::string m_tree;
  unsigned int m_port = inet::c_defaultAppPort;
  std::string m_portFile;
  std::string m_traceLevel = "Off";
  std::string m_traceFile = "-";
  std::string m_log;
  bool m_daemon = false;
  std::string m_pidFile;
  regd::ServerOptions m_server;
  std::vector<std::string> m_orbArgs;  // -ORB<name> <value> pairs, for the ORB
  inet::TlsSettings m_tls;             // --tls-ca, --tls-key, --tls-password
  std::string m_writers;               // --writers, comma-separated patterns
};

// Parses the command line; returns -1 to go on, or the exit status.
int ParseOptions(int argc, char** argv, Options& o) {
  // omniORB's own options pass through to the ORB.
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("-ORB", 0) == 0) {
      o.m_orbArgs.push_back(arg);
      if (i + 1 < argc) o.m_orbArgs.push_back(argv[++i]);
    } else {
      args.push_back(arg);
    }
  }
  std::reverse(args.begin(), args.end());  // CLI11 takes them back to front

  CLI::App app("regd: the reference registry server", "regd");
  app.add_option("--tree", o.m_tree, "registry tree (JSON)")->required();
  app.add_option("--port", o.m_port,
                 "TCP port; 0 lets the system choose (default " +
                     std::to_string(inet::c_defaultAppPort) + ")");
  app.add_option("--port-file", o.m_portFile, "file that receives the port once regd answers");
  app.add_option("--interface-version", o.m_server.m_interfaceVersion,
                 "what GetInterfaceVersion answers (default 2.6)");
  app.add_option(
      "--key", o.m_server.m_objectKey,
      std::string("object key of the Application (default ") + inet::c_defaultNetId + ")");
  app.add_option("--trace", o.m_traceLevel, "trace level: Off, Low, Medium, High, Detail or 0-4");
  app.add_option("--trace-file", o.m_traceFile, "trace file (default -, standard output)");
  app.add_option("--log", o.m_log, "log file");
  app.add_flag("--daemon", o.m_daemon, "run in the background (needs --pid-file)");
  app.add_option("--pid-file", o.m_pidFile, "PID file of the daemon");
  app.add_option("--call-timeout-ms", o.m_server.m_callTimeoutMs,
                 "bound of each call to a client's sink or receiver (default 5000)");
  app.add_option("--queue-size", o.m_server.m_queueCapacity,
                 "notifications queued per client (default 10000)");
  app.add_option("--heartbeat-ms", o.m_server.m_heartbeatMs,
                 "period of regd.heartbeat; 0 pauses it (default 1000)");
  app.add_option("--tls-ca", o.m_tls.m_caFile,
                 "CA certificates (PEM): serve TLS only, to clients with a certificate they signed");
  app.add_option("--tls-key", o.m_tls.m_keyFile,
                 "regd's certificate and private key (PEM, one file; with --tls-ca)");
  app.add_option("--tls-password", o.m_tls.m_keyPassword, "password of the --tls-key key");
  app.add_option("--writers", o.m_writers,
                 "PATTERN[,PATTERN...]: certificate common names ('*' wildcards) that may "
                 "write and run commands; everyone else only reads (needs --tls-ca)");
  try {
    app.parse(args);
    if (o.m_daemon && o.m_pidFile.empty()) throw CLI::ValidationError("--daemon needs --pid-file");
    if (o.m_server.m_queueCapacity == 0) throw CLI::ValidationError("--queue-size must be > 0");
    if (o.m_tls.m_caFile.empty() != o.m_tls.m_keyFile.empty()) {
      throw CLI::ValidationError("--tls-ca and --tls-key go together");
    }
    o.m_server.m_writers = regd::SplitPatterns(o.m_writers);
    if (!o.m_writers.empty() && o.m_server.m_writers.empty()) {
      throw CLI::ValidationError("--writers needs at least one pattern");
    }
    if (!o.m_server.m_writers.empty() && !o.m_tls.IsOn()) {
      throw CLI::ValidationError("--writers needs --tls-ca and --tls-key");
    }
  } catch (const CLI::CallForHelp&) {
    std::cout << app.help();
    return 0;
  } catch (const CLI::ParseError& e) {
    std::cerr << "regd: " << e.what() << "\n" << app.help();
    return 2;
  }
  return -1;
}

bool TraceLevelFromText(const std::string& text, istd::TraceLevel_e& level) {
  if (text.size() == 1 && text[0] >= '0' && text[0] <= '4') {
    level = static_cast<istd::TraceLevel_e>(text[0] - '0');
    return true;
  }
  return istd::EnumMap<istd::TraceLevel_e>::items.FindValue(text, level);
}

// A port that is free now (the kernel's choice for port 0). regd asks the
// ORB for a definite port, since omniORB sets SO_REUSEADDR only on an end
// point with a port of its own: a server on a kernel-chosen port could not
// be restarted on it while its closed connections linger in TIME_WAIT.
unsigned int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t length = sizeof addr;
  unsigned int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0) {
    port = ntohs(addr.sin_port);
  }
  ::close(fd);
  return port;
}

// Initialises the ORB on `port`; for port 0 on a free port, trying again
// with another one should it be taken in the meantime. Returns the port.
unsigned int InitOrb(std::vector<char*>& argv, unsigned int port) {
  const int argc = static_cast<int>(argv.size() - 1);
  for (int attempt = 1;; ++attempt) {
    const unsigned int chosen = port != 0 ? port : FreePort();
    try {
      inet::OrbManager::Init(argc, argv.data(), chosen, inet::OrbManager::c_defaultMaxMsgSize);
      return chosen;
    } catch (const CORBA::INITIALIZE&) {
      if (port != 0 || attempt == 5) throw;
    }
  }
}

// Writes `text` to `fileName` through a temporary file and a rename, so a
// reader never sees a half-written file.
bool WriteFileAtomically(const std::string& fileName, const std::string& text) {
  const std::string temp = fileName + ".tmp";
  {
    std::ofstream out(temp, std::ios::trunc);
    out << text;
    if (!out.flush()) return false;
  }
  return std::rename(temp.c_str(), fileName.c_str()) == 0;
}

// The application's signal handler, on the signal thread: a stop request
// for INT, TERM and QUIT, a reopen of the trace for HUP.
class RegdSignals : public istd::SignalHandler {
 public:
  RegdSignals(const std::string& traceFile, istd::TraceLevel_e level)
      : m_traceFile(traceFile), m_level(level) {}

  void HandleSignal(int signalNumber) override {
    if (signalNumber == SIGHUP) {
      Reopen();
      return;
    }
    istd::LogInfo("regd: signal " + std::to_string(signalNumber) + ": shutting down");
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stop = true;
    m_changed.notify_all();
  }

  // Blocks the main thread until a stop is requested.
  void WaitForStop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [&] { return m_stop; });
  }

 private:
  void Reopen() {
    // A trace on standard output stays as it is.
    if (m_level != istd::eOff && m_traceFile != "-" && !m_traceFile.empty()) {
      istd::TraceFile& trace = istd::TraceFile::GetInstance();
      trace.Stop();
      trace.Start(m_level);
    }
    istd::LogInfo("regd: SIGHUP: log and trace reopened");
  }

  std::string m_traceFile;
  istd::TraceLevel_e m_level;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_stop = false;
};

const int c_signals[] = {SIGHUP, SIGINT, SIGTERM, SIGQUIT, 0};

}  // namespace

int main(int argc, char** argv) {
  Options o;
  const int parsed = ParseOptions(argc, argv, o);
  if (parsed >= 0) return parsed;
  istd::TraceLevel_e level = istd::eOff;
  if (!TraceLevelFromText(o.m_traceLevel, level)) {
    std::cerr << "regd: unknown trace level \"" << o.m_traceLevel << "\"" << std::endl;
    return 2;
  }

  try {
    inet::OrbManager::SetTls(o.m_tls);
  } catch (const istd::Exception& e) {
    std::cerr << "regd: " << e.what() << std::endl;
    return 2;
  }

  std::unique_ptr<regd::RegNode> root;
  try {
    root = regd::LoadTree(o.m_tree);
  } catch (const istd::Exception& e) {
    std::cerr << "regd: " << e.what() << std::endl;
    return 2;
  }

  // Only the calling thread survives daemon(): nothing else may run yet.
  if (o.m_daemon && istd::Daemon::Instance().Start(o.m_pidFile) != 0) return 1;

  if (!o.m_log.empty() && !istd::Log::Init(o.m_log)) {
    std::cerr << "regd: cannot open the log file " << o.m_log << std::endl;
  }
  if (level != istd::eOff) {
    istd::TraceFile::Init(o.m_traceFile == "-" ? "" : o.m_traceFile, "");
    istd::TraceFile::GetInstance().Start(level);
  }
  RegdSignals handler(o.m_traceFile, level);
  istd::SignalHandlerThread* signals =
      istd::SignalHandlerThread::InstallHandler(handler, c_signals);

  std::vector<char*> orbArgv{argv[0]};
  for (std::string& arg : o.m_orbArgs) orbArgv.push_back(arg.data());
  orbArgv.push_back(nullptr);
  int status = 0;
  std::unique_ptr<regd::Server> server;
  try {
    const unsigned int port = InitOrb(orbArgv, o.m_port);
    server = std::make_unique<regd::Server>(std::move(root), o.m_server);
    server->Start();
    if (!o.m_portFile.empty() && !WriteFileAtomically(o.m_portFile, std::to_string(port) + "\n")) {
      std::cerr << "regd: cannot write the port file " << o.m_portFile << std::endl;
    }
    const char* const transport = o.m_tls.IsOn() ? " (TLS)" : "";
    std::cout << "regd listening on port " << port << transport << std::endl;
    istd::LogInfo("regd: serving " + o.m_tree + " on port " + std::to_string(port) + transport);
    if (!o.m_writers.empty()) istd::LogInfo("regd: writers " + o.m_writers);
    handler.WaitForStop();
  } catch (const CORBA::SystemException& e) {
    std::cerr << "regd: cannot serve on port " << o.m_port << ": "
              << inet::CORBASysExceptionToString(e) << std::endl;
    status = 1;
  } catch (const CORBA::Exception& e) {
    std::cerr << "regd: cannot serve: " << inet::CORBAExceptionToString(e) << std::endl;
    status = 1;
  }

  if (server) server->Stop();
  inet::OM()->ORBShutdown(true);
  inet::OM()->ORBDestroy();
  server.reset();
  signals->Stop();
  if (!o.m_portFile.empty()) std::remove(o.m_portFile.c_str());
  istd::Daemon::Instance().Stop();
  return status;
}
