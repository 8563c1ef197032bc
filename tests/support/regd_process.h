// testsupport::RegdProcess: one regd server process for one test.
//
//   testsupport::RegdProcess regd;                  // demo tree, port chosen by regd
//   regd.Options().args = {"--interface-version", "2.7"};
//   regd.Start();                                   // returns once regd reported its port
//   ... connect to regd.Address() (corbaloc:iiop:127.0.0.1:<port>/varnek-app) ...
//   regd.Restart();                                 // same port, fresh server
//   EXPECT_EQ(regd.Stop(), 0);                      // SIGTERM, clean exit
//
// Every RegdProcess has a private temporary directory holding the files of
// its server: the port file, the log (regd.log), the trace (regd.trace, when
// Options().traceLevel is set), standard output and error (regd.out,
// regd.err, appended over restarts), the PID file of daemon mode, and tree
// files written with WriteTree. The directory and everything in it go with
// the object.
//
// No process is left behind: the destructor kills a server that still runs
// (SIGKILL), and a server started in the foreground gets SIGKILL from the
// kernel should the test process die (PR_SET_PDEATHSIG). In daemon mode the
// test process makes itself a child subreaper, so the daemon stays its
// child and is reaped like one.
//
// The helper needs no ORB: readiness is the port file, which regd writes
// once its Application object is active. The ORB-side check (an answered
// GetInterfaceVersion) is in regd_fixture.h.
//
// Like every test that starts a server, it must run inside the loopback-only
// network namespace (./dev.sh test, ./dev.sh shell), or inside a test host's
// namespace of its own (Options().netns, tests/hosts).
//
// Thread-safety: one object belongs to one thread (the test's). Start, Stop
// and Kill fork and wait; call them from the thread that created the object
// (the parent-death signal follows the creating thread).
#ifndef VARNEK_TESTS_SUPPORT_REGD_PROCESS_H
#define VARNEK_TESTS_SUPPORT_REGD_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "common/test_util.h"

namespace testsupport {

struct RegdOptions {
  std::string tree;               // tree file; empty: the demo tree
  std::vector<std::string> args;  // further regd arguments
  unsigned int port = 0;          // 0: regd chooses a free port
  std::string traceLevel;         // "" no trace; "Low" ... "Detail": into TraceFile()
  bool log = true;                // log into LogFile()
  bool daemon = false;            // --daemon --pid-file PidFile()
  double startTimeoutS = 20.0;    // how long Start waits for the port
  std::string netns;              // named network namespace (/run/netns/<name>) to run
                                  // regd in; empty: the test's own
};

// What a run to completion of regd gave (RegdProcess::Run).
struct RegdRun {
  int exitCode = -1;  // exit status; -1 when killed or timed out
  std::string out;    // standard output
  std::string err;    // standard error
};

class RegdProcess {
 public:
  explicit RegdProcess(RegdOptions options = RegdOptions());
  // Kills a server that still runs.
  ~RegdProcess();
  RegdProcess(const RegdProcess&) = delete;
  RegdProcess& operator=(const RegdProcess&) = delete;

  // The options of the next Start (and Restart).
  RegdOptions& Options() { return m_options; }

  // Starts regd and returns once it has written its port. Throws
  // std::runtime_error (with regd's exit status and standard error) when it
  // ends first or does not report within Options().startTimeoutS.
  void Start();
  // SIGTERM, then waits up to `timeoutS` for the end (SIGKILL after that).
  // Returns the exit status, or -1 when the process had to be killed or
  // died of a signal; -1 as well when nothing runs; c_endedElsewhere when a
  // daemon ended that this process could not adopt (see Adopted).
  int Stop(double timeoutS = 20.0);
  static constexpr int c_endedElsewhere = -2;
  // False when a daemon runs that is not this process's child: where the
  // child subreaper is refused (user-mode emulators), its exit status is
  // not ours to see.
  bool Adopted() const { return m_adopted; }
  // SIGKILL and reap. Nothing when nothing runs.
  void Kill();
  // Stop, then Start on the same port (retrying for a few seconds while the
  // port is still taken). Throws as Start.
  void Restart();
  // Sends `signal` to the server.
  void Signal(int signal);
  // True while the server process exists.
  bool Running();

  // The port of the last Start; the server's process id (0 when none).
  unsigned int Port() const { return m_port; }
  pid_t Pid() const { return m_pid; }
  // "corbaloc:iiop:127.0.0.1:" + port + "/" + key (default varnek-app).
  std::string Address(const std::string& key = "varnek-app") const;

  // The private directory and the files in it.
  const std::string& Dir() const { return m_dir.Path(); }
  std::string File(const std::string& name) const { return m_dir.File(name); }
  std::string PortFile() const { return File("regd.port"); }
  std::string LogFile() const { return File("regd.log"); }
  std::string TraceFile() const { return File("regd.trace"); }
  std::string PidFile() const { return File("regd.pid"); }
  std::string ReadLog() const { return testutil::ReadFile(LogFile()); }
  std::string ReadTrace() const { return testutil::ReadFile(TraceFile()); }
  std::string ReadStdout() const { return testutil::ReadFile(File("regd.out")); }
  std::string ReadStderr() const { return testutil::ReadFile(File("regd.err")); }

  // Writes `json` into the file `name` of the directory; returns its path
  // (for Options().tree).
  std::string WriteTree(const std::string& name, const std::string& json) const;

  // The regd binary (the build's own, or the one the environment variable
  // VARNEK_TEST_REGD names: the 32-bit build runs its suite a second time
  // against the 64-bit server that way) and the demo tree of the build.
  static std::string Binary();
  static std::string DemoTree();
  // Runs regd with `args` (in the foreground) until it ends or `timeoutS`
  // passes (then it is killed): for start-up failures.
  static RegdRun Run(const std::vector<std::string>& args, double timeoutS = 20.0);

 private:
  // waitpid without blocking: true (and `status`) when `pid` has ended.
  static bool Reaped(pid_t pid, int& status);
  // Waits up to `timeoutS` for `pid` to end; true with `status` if it did.
  static bool WaitEnd(pid_t pid, double timeoutS, int& status);
  std::vector<std::string> Arguments() const;
  [[noreturn]] void StartFailed(const std::string& what);

  RegdOptions m_options;
  testutil::TempDir m_dir;
  pid_t m_pid = 0;
  bool m_adopted = true;
  unsigned int m_port = 0;
};

}  // namespace testsupport

#endif  // VARNEK_TESTS_SUPPORT_REGD_PROCESS_H
