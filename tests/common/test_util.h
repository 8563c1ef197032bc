// Small helpers shared by the test suites: scratch directories that clean up
// after themselves, whole-file reads, the text of a thrown istd::Exception,
// a free TCP port, and running a piece of code in a forked child to observe
// process-wide singletons from a fresh state.
#ifndef VARNEK_TESTS_COMMON_TEST_UTIL_H
#define VARNEK_TESTS_COMMON_TEST_UTIL_H

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "istd/exception.h"

namespace testutil {

// A TCP port that was free on every address a moment ago (the kernel's
// choice for port 0). Throws std::runtime_error when no socket can be bound.
inline unsigned int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    throw std::runtime_error("bind failed");
  }
  ::close(fd);
  return ntohs(address.sin_port);
}

// The message of the istd::Exception that `f` throws, or "(nothing thrown)".
template <typename F>
std::string ThrownText(F f) {
  try {
    f();
  } catch (const istd::Exception& e) {
    return e.what();
  }
  return "(nothing thrown)";
}

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
 public:
  TempDir() {
    const char* base = ::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/varnek-test-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_path = buf.data();
  }
  ~TempDir() { RemoveTree(m_path); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return m_path; }
  std::string File(const std::string& name) const { return m_path + "/" + name; }

  // Names of the entries directly inside the directory.
  std::vector<std::string> List() const {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(m_path.c_str())) {
      while (struct dirent* e = ::readdir(d)) {
        const std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
      }
      ::closedir(d);
    }
    return names;
  }

  static void RemoveTree(const std::string& path) {
    if (DIR* d = ::opendir(path.c_str())) {
      while (struct dirent* e = ::readdir(d)) {
        const std::string n = e->d_name;
        if (n == "." || n == "..") continue;
        const std::string child = path + "/" + n;
        struct stat st;
        if (::lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
          RemoveTree(child);
        } else {
          ::unlink(child.c_str());
        }
      }
      ::closedir(d);
    }
    ::rmdir(path.c_str());
  }

 private:
  std::string m_path;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream os;
  os << in.rdbuf();
  return os.str();
}

inline bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

inline std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream is(text);
  std::string line;
  while (std::getline(is, line)) lines.push_back(line);
  return lines;
}

// Polls `condition` every 5 ms until it holds (true) or `timeoutS` passed.
inline bool WaitUntil(const std::function<bool()>& condition, double timeoutS = 10.0) {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(timeoutS));
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

struct ChildResult {
  int exitCode = -1;   // exit status, or -1 when killed by a signal
  std::string output;  // everything the child wrote to standard output
};

// Runs `body` in a forked child whose standard output is captured; the child
// exits with 0 after `body` returns (1 when it throws). Singletons touched by
// `body` start from their initial state in the child. With `normalExit` the
// child leaves through exit(), so static destructors run (for tests of what
// happens at process exit); otherwise through _exit().
inline ChildResult RunInChild(const std::function<void()>& body, bool normalExit = false) {
  int fds[2];
  if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
  std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::close(fds[0]);
    ::dup2(fds[1], 1);
    ::close(fds[1]);
    int code = 0;
    try {
      body();
    } catch (...) {
      code = 1;
    }
    std::fflush(stdout);
    if (normalExit) std::exit(code);
    ::_exit(code);
  }
  ::close(fds[1]);
  ChildResult result;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
    if (n > 0) result.output.append(buf, static_cast<size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace testutil

#endif  // VARNEK_TESTS_COMMON_TEST_UTIL_H
