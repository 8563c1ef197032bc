// rozweb, the web console and gateway of the registries: serves the
// console's pages and an HTTP/JSON and WebSocket interface to any number of
// registries, each under its name.
//
//   rozweb --registry [NAME=]HOST:PORT[/ROOT] ... [--listen ADDR:PORT]
//          [--read-only] [-w SECONDS] [--trace LEVEL [--trace-file F]]
//          [--web-root DIR] [--threads N] [--port-file F] [--daemon --pid-file F]
//          [--tls-ca F --tls-key F [--tls-password P]]
//
// Start-up on the main thread: options, daemonising (before any other
// thread exists), trace, the signal thread, the client library, the
// server; then "rozweb listening on ADDR:PORT" on standard output (and the
// port into --port-file) and the main thread waits for SIGINT or SIGTERM,
// after which everything is stopped in reverse order.
//
// Exit status: 0 after a clean stop, 1 when it cannot start (address
// taken, daemonising failed), 2 for bad options.
#include <omniORB4/CORBA.h>
#include <signal.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>

#include "api.h"
#include "hub.h"
#include "istd/daemon.h"
#include "istd/exception.h"
#include "istd/signal_handler.h"
#include "istd/trace.h"
#include "options.h"
#include "registries.h"
#include "server.h"

#ifndef VARNEK_ROZWEB_WEB_ROOT
#define VARNEK_ROZWEB_WEB_ROOT "/usr/local/share/varnek/rozweb/web"
#endif

namespace {

using namespace rozweb;

// The stop request of SIGINT and SIGTERM, taken on the signal thread.
class StopSignals : public istd::SignalHandler {
 public:
  void HandleSignal(int) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stop = true;
    m_changed.notify_all();
  }
  void WaitForStop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [&] { return m_stop; });
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_stop = false;
};

bool TraceLevelFromText(const std::string& text, istd::TraceLevel_e& level) {
  level = istd::eOff;
  if (text.empty()) return true;
  if (text.size() == 1 && text[0] >= '0' && text[0] <= '4') {
    level = static_cast<istd::TraceLevel_e>(text[0] - '0');
    return true;
  }
  return istd::EnumMap<istd::TraceLevel_e>::items.FindValue(text, level);
}

// omniORB's own log lines go to the trace.
void OrbLog(const char* text) {
  std::string line = text != nullptr ? text : "";
  while (!line.empty() && line.back() == '\n') line.pop_back();
  istd::TraceWrite(istd::eMedium, __func__, __FILE__, __LINE__, line);
}

// Returns -1 to go on, or the exit status.
int ParseOptions(int argc, char** argv, Options& o) {
  CLI::App app("rozweb: web console and HTTP/WebSocket gateway of device control registries",
               "rozweb");
  std::vector<std::string> registries;
  std::string listen;
  o.webRoot = VARNEK_ROZWEB_WEB_ROOT;
  app.add_option("--registry", registries,
                 "a registry: [NAME=]HOST:PORT[/ROOT] (ROOT app or platform; repeatable)")
      ->required();
  app.add_option("--listen", listen, "address and port to serve on (default 127.0.0.1:8080)");
  app.add_flag("--read-only", o.readOnly, "refuse every write and command");
  app.add_option("-w,--wait", o.callTimeoutS, "time-out of each remote call, in seconds")
      ->check(CLI::PositiveNumber);
  app.add_option("--trace", o.traceLevel, "trace level: Off, Low, Medium, High, Detail or 0-4");
  app.add_option("--trace-file", o.traceFile, "trace file (default -, standard output)");
  app.add_option("--web-root", o.webRoot, "folder of the console's files (default " +
                                              std::string(VARNEK_ROZWEB_WEB_ROOT) + ")");
  app.add_option("--threads", o.threads, "I/O threads (default 2)")->check(CLI::Range(1, 64));
  app.add_option("--port-file", o.portFile, "file that receives the port once rozweb listens");
  app.add_flag("--daemon", o.daemon, "run in the background (needs --pid-file)");
  app.add_option("--pid-file", o.pidFile, "PID file of the daemon");
  app.add_option("--tls-ca", o.tlsCa,
                 "CA certificates (PEM): reach the registries over TLS, trusting what they signed");
  app.add_option("--tls-key", o.tlsKey,
                 "rozweb's certificate and private key (PEM, one file; with --tls-ca)");
  app.add_option("--tls-password", o.tlsPassword, "password of the --tls-key key");
  try {
    app.parse(argc, argv);
    if (o.daemon && o.pidFile.empty()) throw CLI::ValidationError("--daemon needs --pid-file");
    if (o.tlsCa.empty() != o.tlsKey.empty()) {
      throw CLI::ValidationError("--tls-ca and --tls-key go together");
    }
    for (const std::string& text : registries) o.registries.push_back(ParseRegistry(text));
    CheckUniqueNames(o.registries);
    if (!listen.empty()) ParseListen(listen, o);
    istd::TraceLevel_e level;
    if (!TraceLevelFromText(o.traceLevel, level)) {
      throw UsageError("unknown trace level \"" + o.traceLevel + "\"");
    }
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  } catch (const UsageError& e) {
    std::cerr << "rozweb: " << e.what() << std::endl;
    return 2;
  }
  return -1;
}

bool WriteFileAtomically(const std::string& fileName, const std::string& text) {
  const std::string temp = fileName + ".tmp";
  {
    std::ofstream out(temp, std::ios::trunc);
    out << text;
    if (!out.flush()) return false;
  }
  return std::rename(temp.c_str(), fileName.c_str()) == 0;
}

const int c_signals[] = {SIGINT, SIGTERM, 0};

}  // namespace

int main(int argc, char** argv) {
  Options o;
  const int parsed = ParseOptions(argc, argv, o);
  if (parsed >= 0) return parsed;

  // Only the calling thread survives daemon(): nothing else may run yet.
  if (o.daemon && istd::Daemon::Instance().Start(o.pidFile) != 0) return 1;
  // A peer that goes away while a response is written must not end us.
  ::signal(SIGPIPE, SIG_IGN);

  istd::TraceLevel_e level = istd::eOff;
  TraceLevelFromText(o.traceLevel, level);
  if (level != istd::eOff) {
    istd::TraceFile::Init(o.traceFile == "-" ? "" : o.traceFile, "");
    istd::TraceFile::GetInstance().Start(level);
  }
  StopSignals handler;
  istd::SignalHandlerThread* signals = istd::SignalHandlerThread::InstallHandler(handler, c_signals);
  omniORB::setLogFunction(&OrbLog);
  inet::TlsSettings tls;
  tls.m_caFile = o.tlsCa;
  tls.m_keyFile = o.tlsKey;
  tls.m_keyPassword = o.tlsPassword;
  try {
    roz::SetTls(tls);
    roz::Init();
  } catch (const istd::Exception& e) {
    std::cerr << "rozweb: " << e.what() << std::endl;
    signals->Stop();
    return 1;
  }
  if (o.callTimeoutS > 0) {
    const auto ms = static_cast<CORBA::ULong>(std::ceil(o.callTimeoutS * 1000));
    omniORB::setClientCallTimeout(ms);
    omniORB::setClientConnectTimeout(std::min<CORBA::ULong>(ms, 5000));
  }

  int status = 0;
  {
    RegistrySet registries(o.registries);
    Hub hub(registries);
    Api api(registries, o.readOnly);
    Server server(o, registries, hub, api);
    try {
      const unsigned short port = server.Start();
      if (!o.portFile.empty() && !WriteFileAtomically(o.portFile, std::to_string(port) + "\n")) {
        std::cerr << "rozweb: cannot write the port file " << o.portFile << std::endl;
      }
      std::cout << "rozweb listening on " << o.listenAddress << ":" << port << std::endl;
      handler.WaitForStop();
    } catch (const std::exception& e) {
      std::cerr << "rozweb: " << e.what() << std::endl;
      status = 1;
    }
    server.Stop();
    hub.Stop();
  }
  roz::Dispatcher::GetInstance().Stop();
  roz::Shutdown();
  signals->Stop();
  if (!o.portFile.empty()) std::remove(o.portFile.c_str());
  istd::Daemon::Instance().Stop();
  return status;
}
