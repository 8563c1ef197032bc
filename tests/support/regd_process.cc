// testsupport::RegdProcess: starting, watching and ending regd for a test.
#include "support/regd_process.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "support/child_process.h"

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point After(double seconds) {
  return Clock::now() +
         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

void Nap() { std::this_thread::sleep_for(std::chrono::milliseconds(5)); }

// The first number in `fileName`, or 0 when there is none (yet).
unsigned long ReadNumber(const std::string& fileName) {
  std::ifstream in(fileName);
  unsigned long value = 0;
  if (!(in >> value)) return 0;
  return value;
}

// The status Reaped gives for a process that ended without being ours.
constexpr int c_statusUnknown = -1;

int ExitCode(int status) {
  if (status == c_statusUnknown) return RegdProcess::c_endedElsewhere;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

RegdProcess::RegdProcess(RegdOptions options) : m_options(std::move(options)) {}

RegdProcess::~RegdProcess() { Kill(); }

std::string RegdProcess::Binary() {
  const char* peer = ::getenv("VARNEK_TEST_REGD");
  return peer != nullptr && *peer != '\0' ? peer : VARNEK_REGD_BINARY;
}

std::string RegdProcess::DemoTree() { return VARNEK_REGD_DEMO_TREE; }

std::string RegdProcess::Address(const std::string& key) const {
  return "corbaloc:iiop:127.0.0.1:" + std::to_string(m_port) + "/" + key;
}

std::string RegdProcess::WriteTree(const std::string& name, const std::string& json) const {
  const std::string path = File(name);
  std::ofstream out(path, std::ios::trunc);
  out << json;
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path);
  return path;
}

bool RegdProcess::Reaped(pid_t pid, int& status) {
  const pid_t r = ::waitpid(pid, &status, WNOHANG);
  if (r == pid) return true;
  if (r < 0 && errno == ECHILD) {
    // Not (or no longer) our child: ended when it no longer exists.
    status = c_statusUnknown;
    return ::kill(pid, 0) != 0;
  }
  return false;
}

bool RegdProcess::WaitEnd(pid_t pid, double timeoutS, int& status) {
  const Clock::time_point deadline = After(timeoutS);
  while (!Reaped(pid, status)) {
    if (Clock::now() >= deadline) return false;
    Nap();
  }
  return true;
}

std::vector<std::string> RegdProcess::Arguments() const {
  std::vector<std::string> args = {Binary(),
                                   "--tree",
                                   m_options.tree.empty() ? DemoTree() : m_options.tree,
                                   "--port",
                                   std::to_string(m_options.port),
                                   "--port-file",
                                   PortFile()};
  if (m_options.log) args.insert(args.end(), {"--log", LogFile()});
  if (!m_options.traceLevel.empty()) {
    args.insert(args.end(), {"--trace", m_options.traceLevel, "--trace-file", TraceFile()});
  }
  if (m_options.daemon) args.insert(args.end(), {"--daemon", "--pid-file", PidFile()});
  args.insert(args.end(), m_options.args.begin(), m_options.args.end());
  return args;
}

void RegdProcess::StartFailed(const std::string& what) {
  throw std::runtime_error("regd: " + what + "; its standard error:\n" + ReadStderr());
}

void RegdProcess::Start() {
  if (Running()) throw std::runtime_error("regd runs already");
  std::remove(PortFile().c_str());
  if (m_options.daemon) {
    // The daemon's parent ends at once; as subreaper this process adopts it.
    m_adopted = ::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
  }
  pid_t launcher =
      SpawnChild(Arguments(), File("regd.out"), File("regd.err"), !m_options.daemon, m_options.netns);
  m_pid = m_options.daemon ? 0 : launcher;
  const Clock::time_point deadline = After(m_options.startTimeoutS);
  int status = 0;
  for (;;) {
    if (launcher != 0 && launcher != m_pid && Reaped(launcher, status)) {
      launcher = 0;
      if (ExitCode(status) != 0)
        StartFailed("exited with status " + std::to_string(ExitCode(status)));
    }
    if (m_options.daemon && m_pid == 0 && launcher == 0) {
      m_pid = static_cast<pid_t>(ReadNumber(PidFile()));
    }
    if (m_pid != 0 && Reaped(m_pid, status)) {
      m_pid = 0;
      StartFailed("exited with status " + std::to_string(ExitCode(status)) +
                  " before reporting its port");
    }
    if (m_pid != 0) {
      const unsigned long port = ReadNumber(PortFile());
      if (port != 0) {
        m_port = static_cast<unsigned int>(port);
        return;
      }
    }
    if (Clock::now() >= deadline) {
      Kill();
      if (launcher != 0) {
        ::kill(launcher, SIGKILL);
        ::waitpid(launcher, &status, 0);
      }
      StartFailed("no port reported within " + std::to_string(m_options.startTimeoutS) + " s");
    }
    Nap();
  }
}

int RegdProcess::Stop(double timeoutS) {
  if (m_pid == 0) return -1;
  ::kill(m_pid, SIGTERM);
  int status = 0;
  if (!WaitEnd(m_pid, timeoutS, status)) {
    Kill();
    return -1;
  }
  m_pid = 0;
  return ExitCode(status);
}

void RegdProcess::Kill() {
  if (m_pid == 0) return;
  ::kill(m_pid, SIGKILL);
  int status = 0;
  WaitEnd(m_pid, 20.0, status);
  m_pid = 0;
}

void RegdProcess::Restart() {
  const unsigned int port = m_port;
  Stop();
  m_options.port = port;
  const Clock::time_point deadline = After(10.0);
  for (;;) {
    try {
      Start();
      return;
    } catch (const std::runtime_error& e) {
      // The old server's port may not be free again yet; other failures
      // are final.
      const bool portTaken =
          std::string(e.what()).find("cannot serve on port") != std::string::npos;
      if (!portTaken || Clock::now() >= deadline) throw;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
}

void RegdProcess::Signal(int signal) {
  if (m_pid != 0) ::kill(m_pid, signal);
}

bool RegdProcess::Running() {
  if (m_pid == 0) return false;
  int status = 0;
  if (!Reaped(m_pid, status)) return true;
  m_pid = 0;
  return false;
}

RegdRun RegdProcess::Run(const std::vector<std::string>& args, double timeoutS) {
  testutil::TempDir dir;
  std::vector<std::string> all{Binary()};
  all.insert(all.end(), args.begin(), args.end());
  const pid_t pid = SpawnChild(all, dir.File("out"), dir.File("err"), true);
  RegdRun run;
  int status = 0;
  if (WaitEnd(pid, timeoutS, status)) {
    run.exitCode = ExitCode(status);
  } else {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
  run.out = testutil::ReadFile(dir.File("out"));
  run.err = testutil::ReadFile(dir.File("err"));
  return run;
}

}  // namespace testsupport
