// testsupport::SpawnChild: fork and exec of a program under test.
#include "support/child_process.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

namespace testsupport {

namespace {

void CloseAll(std::initializer_list<int> fds) {
  for (int fd : fds) {
    if (fd >= 0) ::close(fd);
  }
}

}  // namespace

pid_t SpawnChild(const std::vector<std::string>& args, const std::string& out,
                 const std::string& err, bool dieWithParent, const std::string& netns) {
  // Everything the child needs exists before fork: the test process may
  // run ORB threads, and the child calls only async-signal-safe functions.
  std::vector<std::string> copy = args;
  std::vector<char*> argv;
  for (std::string& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string netPath = "/run/netns/" + netns;
  const int netFd = netns.empty() ? -1 : ::open(netPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (!netns.empty() && netFd < 0) throw std::runtime_error("no network namespace " + netPath);
  const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  const int errFd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  const int nullFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (outFd < 0 || errFd < 0 || nullFd < 0) {
    CloseAll({netFd, outFd, errFd, nullFd});
    throw std::runtime_error("cannot open the output files of " + args.at(0));
  }
  const pid_t parent = ::getpid();
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (dieWithParent) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(126);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (netFd >= 0 && ::setns(netFd, CLONE_NEWNET) != 0) ::_exit(125);
    ::dup2(nullFd, 0);
    ::dup2(outFd, 1);
    ::dup2(errFd, 2);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  CloseAll({netFd, outFd, errFd, nullFd});
  if (pid < 0) throw std::runtime_error("fork failed");
  return pid;
}

}  // namespace testsupport
