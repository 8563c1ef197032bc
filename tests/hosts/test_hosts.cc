// hosttest::TestHosts: creating, firewalling, entering and deleting the
// namespaces of two test hosts.
#include "hosts/test_hosts.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <regex>
#include <stdexcept>

extern char** environ;

namespace hosttest {

namespace {

const char* const c_netnsDir = "/run/netns";
const char* const c_prefix = "varnek-";
// The host's end of the link, in each namespace.
const char* const c_link = "vhost0";
// The firewall table made by RefuseInbound.
const char* const c_table = "varnek_hosts";

std::string Joined(const std::vector<std::string>& argv) {
  std::string text;
  for (const std::string& a : argv) text += (text.empty() ? "" : " ") + a;
  return text;
}

std::vector<std::string> InHost(const Host& host, const std::vector<std::string>& argv) {
  std::vector<std::string> all{"ip", "netns", "exec", host.ns};
  all.insert(all.end(), argv.begin(), argv.end());
  return all;
}

}  // namespace

CommandResult TestHosts::Run(const std::vector<std::string>& argv) {
  CommandResult result;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  std::vector<std::string> copy = argv;
  std::vector<char*> args;
  for (std::string& a : copy) args.push_back(a.data());
  args.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (spawned != 0) {
    ::close(fds[0]);
    result.output = "cannot run " + argv[0] + ": " + std::strerror(spawned);
    return result;
  }
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
    if (n > 0) result.output.append(buf, static_cast<size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

void TestHosts::MustRun(const std::vector<std::string>& argv) {
  const CommandResult r = Run(argv);
  if (r.exitCode != 0) {
    throw std::runtime_error("`" + Joined(argv) + "` failed (" + std::to_string(r.exitCode) +
                             "): " + r.output);
  }
}

std::string TestHosts::Unavailable() {
  if (::geteuid() != 0) return "test hosts need root (network namespaces)";
  if (Run({"ip", "-V"}).exitCode != 0) return "the ip program (iproute2) is missing";
  return "";
}

void TestHosts::Delete(const std::string& ns) {
  const CommandResult r = Run({"ip", "netns", "delete", ns});
  if (r.exitCode != 0) std::cerr << "cannot delete test host " << ns << ": " << r.output;
}

void TestHosts::DeleteOrphans() {
  static const std::regex c_name("varnek-([0-9]+)-[0-9]+-(client|server)");
  DIR* dir = ::opendir(c_netnsDir);
  if (dir == nullptr) return;
  std::vector<std::string> orphans;
  while (struct dirent* e = ::readdir(dir)) {
    std::smatch m;
    const std::string name = e->d_name;
    if (!std::regex_match(name, m, c_name)) continue;
    const pid_t owner = static_cast<pid_t>(std::stol(m[1].str()));
    if (::kill(owner, 0) != 0 && errno == ESRCH) orphans.push_back(name);
  }
  ::closedir(dir);
  for (const std::string& ns : orphans) Delete(ns);
}

TestHosts::TestHosts(const std::string& clientAddress, const std::string& serverAddress) {
  DeleteOrphans();
  static std::atomic<unsigned int> s_count{0};
  const std::string base =
      c_prefix + std::to_string(::getpid()) + "-" + std::to_string(++s_count) + "-";
  m_client = Host{base + "client", clientAddress};
  m_server = Host{base + "server", serverAddress};
  std::vector<std::string> made;
  try {
    for (const Host* host : {&m_client, &m_server}) {
      MustRun({"ip", "netns", "add", host->ns});
      made.push_back(host->ns);
    }
    // Both ends are created straight inside the two namespaces.
    MustRun({"ip", "-n", m_client.ns, "link", "add", c_link, "type", "veth", "peer", "name", c_link,
             "netns", m_server.ns});
    for (const Host* host : {&m_client, &m_server}) {
      MustRun({"ip", "-n", host->ns, "link", "set", "lo", "up"});
      MustRun({"ip", "-n", host->ns, "addr", "add", host->address + "/24", "dev", c_link});
      MustRun({"ip", "-n", host->ns, "link", "set", c_link, "up"});
    }
  } catch (...) {
    for (const std::string& ns : made) Delete(ns);
    throw;
  }
}

TestHosts::~TestHosts() {
  Delete(m_client.ns);
  Delete(m_server.ns);
}

std::string TestHosts::Exec(const Host& host, const std::vector<std::string>& argv) const {
  const std::vector<std::string> all = InHost(host, argv);
  const CommandResult r = Run(all);
  if (r.exitCode != 0) {
    throw std::runtime_error("`" + Joined(all) + "` failed (" + std::to_string(r.exitCode) +
                             "): " + r.output);
  }
  return r.output;
}

void TestHosts::AddAddress(const Host& host, const std::string& address) const {
  MustRun({"ip", "-n", host.ns, "addr", "add", address + "/24", "dev", c_link});
}

void TestHosts::RefuseInbound(const Host& host) const {
  // Connection attempts are TCP segments with SYN and without ACK; answers
  // to the host's own connections (SYN and ACK) and everything after the
  // handshake pass.
  Exec(host, {"nft", "add", "table", "inet", c_table});
  Exec(host, {"nft", "add chain inet " + std::string(c_table) +
                         " input { type filter hook input priority 0; policy accept; }"});
  Exec(host, {"nft", "add rule inet " + std::string(c_table) + " input iifname " + c_link +
                         " tcp flags & (syn | ack) == syn counter reject with tcp reset"});
}

unsigned long long TestHosts::RefusedConnections(const Host& host) const {
  const std::string listing = Exec(host, {"nft", "list", "chain", "inet", c_table, "input"});
  static const std::regex c_counter("counter packets ([0-9]+)");
  std::smatch m;
  if (!std::regex_search(listing, m, c_counter)) {
    throw std::runtime_error("no refusal counter in: " + listing);
  }
  return std::stoull(m[1].str());
}

void TestHosts::Enter(const Host& host) {
  const std::string path = std::string(c_netnsDir) + "/" + host.ns;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
  const int rc = ::setns(fd, CLONE_NEWNET);
  const int error = errno;
  ::close(fd);
  if (rc != 0) throw std::runtime_error("cannot enter " + host.ns + ": " + std::strerror(error));
}

}  // namespace hosttest
