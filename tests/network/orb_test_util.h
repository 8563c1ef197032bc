// Helpers of the network tests that run an ORB. Every ORB lives in a forked
// child (RunOrbChild), so each test starts with a fresh ORB manager whatever
// ran before it in the same test process; the child reports what it saw as
// "key=value" lines, which the parent asserts on. Peer processes are the
// helper program network_test_peer, started with fork/exec (PeerProcess).
// All of it must run inside the loopback-only network namespace of
// ./dev.sh test.
#ifndef VARNEK_TESTS_NETWORK_ORB_TEST_UTIL_H
#define VARNEK_TESTS_NETWORK_ORB_TEST_UTIL_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <omniORB4/CORBA.h>
#include <omniORB4/IIOP.h>
#include <omniORB4/omniIOR.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "istd/exception.h"
#include "network/conversion.h"

namespace orbtest {

// What a child reported: key -> value (the last value of a repeated key).
using Report = std::map<std::string, std::string>;

inline void Put(const std::string& key, const std::string& value) {
  std::cout << key << "=" << value << std::endl;
}
inline void Put(const std::string& key, long long value) { Put(key, std::to_string(value)); }

// Runs `body` in a forked child and collects its Put lines. An exception
// escaping `body` is reported under "error"; the child's exit code under
// "exit".
inline Report RunOrbChild(const std::function<void()>& body) {
  testutil::ChildResult result = testutil::RunInChild([&] {
    try {
      body();
    } catch (const CORBA::SystemException& e) {
      Put("error", inet::CORBASysExceptionToString(e));
    } catch (const CORBA::Exception& e) {
      Put("error", inet::CORBAExceptionToString(e));
    } catch (const std::exception& e) {
      Put("error", e.what());
    }
  });
  Report report;
  for (const std::string& line : testutil::SplitLines(result.output)) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) report[line.substr(0, eq)] = line.substr(eq + 1);
  }
  report["exit"] = std::to_string(result.exitCode);
  return report;
}

// The port of the first IIOP profile of `obj`'s reference; 0 when it has
// none.
inline unsigned int PublishedPort(CORBA::Object_ptr obj) {
  omniIOR* ior = obj->_PR_getobj()->_getIOR();
  unsigned int port = 0;
  const IOP::TaggedProfileList& profiles = ior->iopProfiles();
  for (CORBA::ULong i = 0; i < profiles.length() && port == 0; ++i) {
    if (profiles[i].tag != IOP::TAG_INTERNET_IOP) continue;
    IIOP::ProfileBody body;
    IIOP::unmarshalProfile(profiles[i], body);
    port = body.address.port;
  }
  ior->release();
  return port;
}

// True when something accepts TCP connections on 127.0.0.1:port.
inline bool CanConnect(unsigned int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

using testutil::FreePort;

#ifdef VARNEK_NETWORK_PEER
// The helper program network_test_peer run as a child process with its
// standard input and output on pipes. The peer runs until its standard
// input closes (Stop, or the death of this process).
class PeerProcess {
 public:
  explicit PeerProcess(const std::vector<std::string>& args) : m_args(args) {
    // Everything the child needs is allocated before fork: the parent may
    // run ORB threads, and the child calls only async-signal-safe functions.
    m_args.insert(m_args.begin(), VARNEK_NETWORK_PEER);
    std::vector<char*> argv;
    for (std::string& a : m_args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int in[2];
    int out[2];
    // Close-on-exec: a later peer must not inherit this one's pipe ends.
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe failed");
    std::fflush(stdout);
    m_pid = ::fork();
    if (m_pid < 0) throw std::runtime_error("fork failed");
    if (m_pid == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      ::close(in[0]);
      ::close(in[1]);
      ::close(out[0]);
      ::close(out[1]);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    m_stdin = in[1];
    m_stdout = out[0];
  }
  ~PeerProcess() {
    try {
      Stop();
    } catch (...) {
    }
  }
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  // The next line the peer wrote ("" at end of output).
  std::string ReadLine() {
    std::string line;
    char c;
    ssize_t n;
    while ((n = ::read(m_stdout, &c, 1)) > 0 || (n < 0 && errno == EINTR)) {
      if (n <= 0) continue;
      if (c == '\n') break;
      line += c;
    }
    return line;
  }

  // The value of the next line "key=value" whose key is `key`.
  std::string ReadValue(const std::string& key) {
    for (std::string line = ReadLine(); !line.empty(); line = ReadLine()) {
      if (line.compare(0, key.size() + 1, key + "=") == 0) return line.substr(key.size() + 1);
    }
    return "";
  }

  // Closes the peer's standard input and waits until it has exited;
  // returns its exit code (-1 when it was killed).
  int Stop() {
    if (m_pid <= 0) return m_exitCode;
    if (m_stdin >= 0) ::close(m_stdin);
    m_stdin = -1;
    int status = 0;
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    ::close(m_stdout);
    m_pid = -1;
    m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return m_exitCode;
  }

 private:
  std::vector<std::string> m_args;
  pid_t m_pid = -1;
  int m_stdin = -1;
  int m_stdout = -1;
  int m_exitCode = -1;
};
#endif  // VARNEK_NETWORK_PEER

}  // namespace orbtest

#endif  // VARNEK_TESTS_NETWORK_ORB_TEST_UTIL_H
