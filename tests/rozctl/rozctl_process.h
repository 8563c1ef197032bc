// Runs the rozctl binary of the build as a child process against a regd of
// the test: to completion (Rozctl::Run) or in the background
// (RozctlProcess, for monitor), with standard output and error captured in
// files of a private directory.
//
// The child gets SIGKILL should the test process die, and the destructor of
// a background run kills what still runs. Like every test that starts a
// server, these run inside the loopback-only network namespace.
//
// Thread-safety: one object per thread (the test's); the forks are made
// from the thread that owns the object.
#ifndef VARNEK_TESTS_ROZCTL_ROZCTL_PROCESS_H
#define VARNEK_TESTS_ROZCTL_ROZCTL_PROCESS_H

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "common/test_util.h"
#include "support/child_process.h"

namespace rozctltest {

// What a run of rozctl gave.
struct Result {
  int exitCode = -1;  // exit status; -1 when killed by a signal or still running
  std::string out;    // standard output
  std::string err;    // standard error
};

class RozctlProcess {
 public:
  // Starts rozctl with `args` (the binary's name is added).
  explicit RozctlProcess(const std::vector<std::string>& args) {
    std::vector<std::string> copy = {ROZCTL_BINARY};
    copy.insert(copy.end(), args.begin(), args.end());
    m_pid = testsupport::SpawnChild(copy, OutFile(), ErrFile());
  }
  ~RozctlProcess() {
    if (m_pid != 0) {
      ::kill(m_pid, SIGKILL);
      int status;
      ::waitpid(m_pid, &status, 0);
    }
  }
  RozctlProcess(const RozctlProcess&) = delete;
  RozctlProcess& operator=(const RozctlProcess&) = delete;

  void Signal(int signal) {
    if (m_pid != 0) ::kill(m_pid, signal);
  }
  // Waits up to `timeoutS` for the end; the result so far (exit code -1)
  // when rozctl still runs then.
  Result Wait(double timeoutS = 30.0) {
    testutil::WaitUntil([&] { return Reaped(); }, timeoutS);
    return Current();
  }
  // The output so far.
  std::string Out() const { return testutil::ReadFile(OutFile()); }
  std::string Err() const { return testutil::ReadFile(ErrFile()); }

 private:
  bool Reaped() {
    if (m_pid == 0) return true;
    int status;
    if (::waitpid(m_pid, &status, WNOHANG) != m_pid) return false;
    m_pid = 0;
    m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return true;
  }
  Result Current() const { return Result{m_pid == 0 ? m_exitCode : -1, Out(), Err()}; }
  std::string OutFile() const { return m_dir.File("out"); }
  std::string ErrFile() const { return m_dir.File("err"); }

  testutil::TempDir m_dir;
  pid_t m_pid = 0;
  int m_exitCode = -1;
};

// Runs rozctl with `args` to completion (killed after `timeoutS`).
inline Result Run(const std::vector<std::string>& args, double timeoutS = 60.0) {
  RozctlProcess process(args);
  return process.Wait(timeoutS);
}

}  // namespace rozctltest

#endif  // VARNEK_TESTS_ROZCTL_ROZCTL_PROCESS_H
