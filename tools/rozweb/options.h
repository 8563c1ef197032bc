// The command line of rozweb: the registries it serves (NAME=HOST:PORT/ROOT),
// where it listens, read-only mode, the call time-out, the trace, daemon
// mode, the folder of the console's static files and the TLS files of its
// connections to the registries.
//
// ParseRegistry and ParseListen are pure functions of their text, shared by
// main and the tests. Thread-safety: no state; any thread.
#ifndef VARNEK_TOOLS_ROZWEB_OPTIONS_H
#define VARNEK_TOOLS_ROZWEB_OPTIONS_H

#include <stdexcept>
#include <string>
#include <vector>

namespace rozweb {

// One registry as the command line names it.
struct RegistrySpec {
  std::string name;  // the name the interface uses for it
  std::string host;
  int port = 0;             // 0: the default port of `root`
  std::string root = "app";  // "app" or "platform"
};

struct Options {
  std::vector<RegistrySpec> registries;
  std::string listenAddress = "127.0.0.1";
  unsigned short listenPort = 8080;  // 0: the kernel's choice (see portFile)
  bool readOnly = false;
  double callTimeoutS = 0;  // 0: the library's default bound
  std::string traceLevel;   // "": no trace
  std::string traceFile = "-";
  bool daemon = false;
  std::string pidFile;
  std::string portFile;  // receives the port once rozweb listens; empty: none
  std::string webRoot;   // the console's static files
  unsigned int threads = 2;  // I/O threads
  std::string tlsCa;        // with tlsKey: reach the registries over TLS
  std::string tlsKey;       // this gateway's certificate and key (PEM)
  std::string tlsPassword;  // password of the tlsKey key
};

// A command-line text that rozweb refuses; main prints it and exits with 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "[NAME=]HOST:PORT[/ROOT]": NAME defaults to HOST:PORT, ROOT to app. Names
// are 1..64 characters of letters, digits, "_", "-", "." and ":"; PORT is
// 1..65535; ROOT app or platform. Throws UsageError naming what is wrong.
RegistrySpec ParseRegistry(const std::string& text);

// "ADDR:PORT" (PORT 0..65535; "[v6]:PORT" for an IPv6 address) into
// `options`. Throws UsageError.
void ParseListen(const std::string& text, Options& options);

// Throws UsageError when two registries share a name.
void CheckUniqueNames(const std::vector<RegistrySpec>& registries);

}  // namespace rozweb

#endif  // VARNEK_TOOLS_ROZWEB_OPTIONS_H
