// HostileServer: the constants the hostile server and its tests share, and
// the object that starts the server program (hostile_server_main.cc) and
// kills it again.
#include "reliability/hostile_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <string>

namespace hostile {

const std::vector<std::string> c_answerKinds = {
    "bool",         "long",        "ulong",        "longlong",      "ulonglong",
    "float",        "double",      "string",       "BooleanBuffer", "Int32Buffer",
    "UInt32Buffer", "Int64Buffer", "UInt64Buffer", "FloatBuffer",   "DoubleBuffer",
    "StringBuffer", "empty",       "StringVec",    "Int16Buffer",   "short",
    "octet",        "char",        "struct",       "stats",         "objref"};

const char* const c_badUtf8 = "ok\x80\xc0\xaf\xe2\x82";

HostileServer::HostileServer() {
  // Only the write end crosses exec; everything the child needs is made
  // before fork.
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  const std::string program = VARNEK_HOSTILE_SERVER;
  const std::string fdText = std::to_string(fds[1]);
  const pid_t parent = ::getpid();
  std::fflush(stdout);
  m_pid = ::fork();
  if (m_pid < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    throw std::runtime_error("fork failed");
  }
  if (m_pid == 0) {
    // The server dies with the process that made it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(1);
    ::fcntl(fds[1], F_SETFD, 0);
    ::execl(program.c_str(), program.c_str(), fdText.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  unsigned int port = 0;
  ssize_t n;
  while ((n = ::read(fds[0], &port, sizeof port)) < 0 && errno == EINTR) {
  }
  ::close(fds[0]);
  if (n != sizeof port || port == 0) {
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
    throw std::runtime_error("the hostile server did not start");
  }
  m_port = port;
}

HostileServer::~HostileServer() {
  ::kill(m_pid, SIGKILL);
  ::waitpid(m_pid, nullptr, 0);
}

}  // namespace hostile
