// hosttest::TestHosts: two test hosts for one test, a client host and a
// server host, each a network namespace of its own joined to the other by a
// veth pair:
//
//   hosttest::TestHosts hosts("10.200.0.1", "10.200.0.2");   // /24 each
//   regd.Options().netns = hosts.Server().ns;               // regd on the server host
//   testutil::RunInChild([&] {
//     hosttest::TestHosts::Enter(hosts.Client());            // this process: the client host
//     roz::Init();
//     roz::Connect(hosts.Server().address, roz::eApp, 0, false);
//   });
//
// The namespaces are made with `ip netns add`; /run/netns is shared by every
// namespace of the machine, so their names carry this process's id and a
// counter ("varnek-<pid>-<n>-client", "...-server"). Each host has its
// loopback interface and its end of the veth pair ("vhost0") up, with the
// one address given; nothing outside the two namespaces is touched, and the
// machine's own interfaces are never seen. The destructor deletes both
// namespaces (the veth pair goes with them), also when the test failed; the
// constructor first deletes namespaces that earlier test processes, now
// gone, could not delete (killed by a time-out).
//
// Needs root and the `ip` and `nft` programs (./dev.sh setup installs them).
// Runs from inside the loopback-only namespace of ./dev.sh test: `ip netns
// add` makes fresh namespaces from there.
//
// Thread-safety: one object belongs to the test's thread. Enter acts on the
// calling thread only; call it in a forked child before anything starts
// threads there (the request broker's threads inherit the namespace).
#ifndef VARNEK_TESTS_HOSTS_TEST_HOSTS_H
#define VARNEK_TESTS_HOSTS_TEST_HOSTS_H

#include <string>
#include <vector>

namespace hosttest {

// What a command run to completion gave.
struct CommandResult {
  int exitCode = -1;   // exit status; -1 when it died of a signal or could not start
  std::string output;  // standard output and standard error, interleaved
};

// One test host.
struct Host {
  std::string ns;       // name of its network namespace
  std::string address;  // its IPv4 address on the link (prefix /24)
};

class TestHosts {
 public:
  // Creates both hosts and the link. Throws std::runtime_error (with the
  // failing command's output) when a step fails; what was made is deleted.
  TestHosts(const std::string& clientAddress, const std::string& serverAddress);
  // Deletes both namespaces; failures are written to standard error.
  ~TestHosts();
  TestHosts(const TestHosts&) = delete;
  TestHosts& operator=(const TestHosts&) = delete;

  const Host& Client() const { return m_client; }
  const Host& Server() const { return m_server; }

  // Runs `argv` inside `host` (ip netns exec). Throws std::runtime_error
  // with the command's output when it does not exit with 0; returns the
  // output otherwise.
  std::string Exec(const Host& host, const std::vector<std::string>& argv) const;

  // Gives `host` a further address (prefix /24) on its end of the link.
  void AddAddress(const Host& host, const std::string& address) const;

  // Makes `host` refuse every new inbound TCP connection with a reset (an
  // nftables rule in its own namespace, counting what it refused). The
  // host's own outbound connections, and what comes back over them, pass.
  void RefuseInbound(const Host& host) const;
  // How many connection attempts to `host` that rule refused so far.
  unsigned long long RefusedConnections(const Host& host) const;

  // Moves the calling thread (in practice: a forked child, before it starts
  // threads) into `host`'s namespace. Throws std::runtime_error.
  static void Enter(const Host& host);

  // Why this environment cannot create test hosts (not root, no `ip`), or
  // "" when it can.
  static std::string Unavailable();

  // Runs `argv` (the program looked up in PATH) to completion.
  static CommandResult Run(const std::vector<std::string>& argv);

 private:
  static void MustRun(const std::vector<std::string>& argv);
  static void Delete(const std::string& ns);
  static void DeleteOrphans();

  Host m_client;
  Host m_server;
};

}  // namespace hosttest

#endif  // VARNEK_TESTS_HOSTS_TEST_HOSTS_H
