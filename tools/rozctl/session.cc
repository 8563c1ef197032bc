// Library start and end, connection and interrupts of one rozctl run.
#include "session.h"

#include <omniORB4/CORBA.h>
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iostream>

#include "istd/exception.h"
#include "istd/trace.h"
#include "values.h"

namespace rozctl {

namespace {

istd::TraceLevel_e TraceLevelFromText(const std::string& text) {
  if (text.size() == 1 && text[0] >= '0' && text[0] <= '4') {
    return static_cast<istd::TraceLevel_e>(text[0] - '0');
  }
  istd::TraceLevel_e level = istd::eOff;
  if (!istd::EnumMap<istd::TraceLevel_e>::items.FindValue(text, level)) {
    throw Failure("unknown trace level \"" + text + "\" (Off, Low, Medium, High, Detail or 0-4)",
                  2);
  }
  return level;
}

// omniORB's own log lines (warnings such as a server bound to the loopback
// interface only) go to the trace, not to the user's terminal. Called on any
// thread of the ORB.
void OrbLog(const char* text) {
  std::string line = text != nullptr ? text : "";
  while (!line.empty() && line.back() == '\n') line.pop_back();
  istd::TraceWrite(istd::eMedium, __func__, __FILE__, __LINE__, line);
}

}  // namespace

Session::Session(const GlobalOptions& options)
    : m_options(options), m_root(options.root == "platform" ? roz::ePlatform : roz::eApp) {
  m_port = options.port != 0 ? options.port : static_cast<int>(roz::DefaultPort(m_root));
  if (!options.traceLevel.empty()) {
    const istd::TraceLevel_e level = TraceLevelFromText(options.traceLevel);
    if (level != istd::eOff) {
      istd::TraceFile::Init(options.traceFile, "");
      istd::TraceFile::GetInstance().Start(level);
    }
  }
  // The signal thread comes first, so that no thread of the library takes
  // SIGINT with the default disposition.
  static const int c_signals[] = {SIGINT, SIGTERM, 0};
  m_signals = istd::SignalHandlerThread::InstallHandler(*this, c_signals);
  omniORB::setLogFunction(&OrbLog);
  roz::SetTls(options.tls);
  roz::Init();
  if (options.callTimeoutS > 0) {
    const auto ms = static_cast<CORBA::ULong>(std::ceil(options.callTimeoutS * 1000));
    omniORB::setClientCallTimeout(ms);
    omniORB::setClientConnectTimeout(std::min<CORBA::ULong>(ms, 5000));
  }
}

Session::~Session() {
  m_rootNode = roz::Node();
  roz::Shutdown();
  if (m_signals != nullptr) m_signals->Stop();
}

roz::Node& Session::Root() {
  if (!m_connected) {
    // The connect runs on this thread, its TLS handshake too.
    const unsigned long tlsMark = inet::TlsHandshakeMark();
    m_rootNode = roz::Connect(m_options.host, m_root, m_port, false);
    if (!m_rootNode.IsValid()) {
      // A failed TLS handshake says why.
      const std::string tls = inet::TlsConnectFailure(tlsMark);
      throw Failure("cannot connect to " + Where() + (tls.empty() ? "" : ": " + tls));
    }
    m_connected = true;
  }
  return m_rootNode;
}

roz::Node Session::Resolve(const std::string& path) {
  roz::Node& root = Root();
  const roz::Path elements = roz::Tokenize(path);
  if (elements.empty()) return root;
  try {
    return root.GetNode(elements);
  } catch (const istd::Exception& e) {
    throw Failure::Library(e.what());
  }
}

std::string Session::Where() const {
  return "the " + std::string(m_root == roz::ePlatform ? "platform" : "app") + " registry at " +
         (m_options.host.empty() ? std::string("127.0.0.1") : m_options.host) + ":" +
         std::to_string(m_port);
}

bool Session::Interrupted() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_interrupted;
}

bool Session::WaitForInterrupt(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_interruptArrived.wait_for(lock, timeout, [&] { return m_interrupted; });
}

void Session::OnInterrupt(std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_hook = std::move(hook);
  m_orderly = true;
}

void Session::HandleSignal(int) {
  // The hook runs under m_mutex, so that OnInterrupt cannot remove it (and
  // its owner go) while it runs.
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_orderly) std::_Exit(130);
  m_interrupted = true;
  m_interruptArrived.notify_all();
  if (m_hook) m_hook();
}

roz::ConnectionState ConnectionWatch::Check() {
  const roz::ConnectionState state = roz::Ping(m_session.Root());
  if (state == roz::eNotConnected && !m_lost) {
    std::cerr << "rozctl: lost " << m_session.Where() << "; waiting for it to answer again"
              << std::endl;
    m_lost = true;
  } else if (state == roz::eConnected || state == roz::eReconnected) {
    if (m_lost) {
      std::cerr << "rozctl: " << m_session.Where() << " answers again; " << m_restored << std::endl;
    } else if (state == roz::eReconnected) {
      std::cerr << "rozctl: " << m_session.Where() << " was restarted; " << m_restored << std::endl;
    }
    m_lost = false;
  }
  return state;
}

}  // namespace rozctl
