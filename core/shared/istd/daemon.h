// istd::Daemon turns the process into a daemon (detached from its parent,
// working directory and standard streams kept) and guards it with a PID
// file: the decimal process id and a newline, written after daemonising and
// removed by Stop or at process exit.
//
// Problems are reported as text on the standard error stream and a -1
// result; nothing here throws.
//
// Thread-safety: Start is meant for the main thread at start-up, before
// other threads exist (daemon() forks, and only the calling thread survives
// in the daemon). Stop may be called from any thread, also concurrently
// with the destructor at exit: only one caller removes the file.
#ifndef VARNEK_ISTD_DAEMON_H
#define VARNEK_ISTD_DAEMON_H

#include <atomic>
#include <string>

namespace istd {

class Daemon {
 public:
  // The process-wide instance, built on first use; its destruction at
  // process exit removes the PID file.
  static Daemon& Instance();

  // Daemonises the process and writes its PID file `pidFile`. When the file
  // names a process that still runs, nothing is done: the message names that
  // process ("It is still running (PID n); not starting.") and the result is
  // -1. A stale file (its process has ended, or it holds no process id) is
  // deleted first ("Delete file: "); when that fails, the process is not
  // daemonised. Returns 0 in the daemon (also when already daemonised, or
  // when only writing the PID file failed), -1 on failure. The calling
  // process does not return: daemon() ends it.
  int Start(const std::string& pidFile);
  // Removes the PID file when the process was daemonised. Returns 0, or -1
  // when the file cannot be removed.
  int Stop();

  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

 private:
  Daemon();
  ~Daemon();

  std::string m_pidFile;
  std::atomic<bool> m_daemonised;
};

}  // namespace istd

#endif  // VARNEK_ISTD_DAEMON_H
