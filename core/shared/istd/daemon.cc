// istd::Daemon.
#include "istd/daemon.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits>

#include "istd/log.h"
#include "istd/process.h"

namespace istd {

Daemon::Daemon() : m_daemonised(false) {}

Daemon::~Daemon() { Stop(); }

Daemon& Daemon::Instance() {
  static Daemon instance;
  return instance;
}

namespace {

// The process id written in a PID file, or 0 when `text` is not one.
pid_t ParsePid(const std::string& text) {
  if (text.empty() || text.size() > 10 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return 0;
  }
  const long long value = std::stoll(text);
  return value > 0 && value <= std::numeric_limits<pid_t>::max() ? static_cast<pid_t>(value) : 0;
}

// True when a process `pid` exists (also one of another user, which this
// process may not signal).
bool ProcessExists(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

}  // namespace

int Daemon::Start(const std::string& pidFile) {
  ISTD_TRACE_FNC();
  if (m_daemonised.load()) {
    std::cerr << "Process already daemonised. Ignoring." << std::endl;
    return 0;
  }
  m_pidFile = pidFile;
  std::ifstream old(m_pidFile);
  if (old.is_open()) {
    std::string oldPid;
    old >> oldPid;
    old.close();
    // A file naming a live process (other than this one) guards a running
    // instance: it stays, and this one does not start. Only a stale file
    // (its process ended, or no process id in it) is removed.
    const pid_t running = ParsePid(oldPid);
    if (running != 0 && running != ::getpid() && ProcessExists(running)) {
      std::cerr << "Found PID file for another instance of " << GetProgName() << "(" << oldPid
                << "). " << "It is still running (PID " << running
                << "); not starting. PID file: " << m_pidFile << std::endl;
      return -1;
    }
    const bool removed = std::remove(m_pidFile.c_str()) == 0;
    std::cerr << "Found PID file for another instance of " << GetProgName() << "(" << oldPid
              << "). " << (removed ? "Delete file: " : "Can't delete file: ") << m_pidFile
              << std::endl;
    if (!removed) return -1;
  }
  m_daemonised.store(true);
  if (::daemon(1, 1) != 0) {
    const int error = errno;
    // Still the original process: nothing to remove at exit.
    m_daemonised.store(false);
    std::cerr << "Daemonizing error: " << std::strerror(error) << std::endl;
    return -1;
  }
  std::ofstream out(m_pidFile, std::ios::out | std::ios::trunc);
  out << GetPid() << "\n";
  out.flush();
  if (!out) std::cerr << "Error writing to PID file " << m_pidFile << std::endl;
  return 0;
}

int Daemon::Stop() {
  // exchange: of concurrent callers (a signal handler, the exit) only one
  // removes the file.
  if (!m_daemonised.exchange(false)) return 0;
  if (std::remove(m_pidFile.c_str()) != 0) {
    std::cerr << "PID file can't be deleted." << std::endl;
    return -1;
  }
  return 0;
}

}  // namespace istd
