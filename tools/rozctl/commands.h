// The subcommands of rozctl. Each takes the session and its own options,
// writes its results to standard output (and notes on standard error), and
// returns the exit status; failures are thrown as rozctl::Failure and
// reported by main.
//
// Threads: every subcommand runs on the main thread; monitor's callbacks run
// on its notification client's dispatcher thread and stream reads on the
// main thread.
#ifndef VARNEK_TOOLS_ROZCTL_COMMANDS_H
#define VARNEK_TOOLS_ROZCTL_COMMANDS_H

#include <string>
#include <vector>

#include "session.h"

namespace rozctl {

struct TreeOptions {
  std::string path;
  int depth = -1;  // < 0: unlimited
  bool flags = false;
  bool values = false;
  bool hidden = false;
  bool dotted = false;
  unsigned int maxLen = 60;  // value texts longer than this are cut; 0: no limit
};
int RunTree(Session& session, const TreeOptions& options);

struct GetOptions {
  std::vector<std::string> paths;
  bool terse = false;
  unsigned int count = 0;  // array elements; 0: all from pos
  unsigned int pos = 0;
  bool json = false;
};
int RunGet(Session& session, const GetOptions& options);

struct PutOptions {
  std::string path;
  std::vector<std::string> values;
  unsigned int pos = 0;
};
int RunPut(Session& session, const PutOptions& options);

int RunExec(Session& session, const std::string& path);
int RunInfo(Session& session, const std::string& path);
int RunPing(Session& session);

struct MonitorOptions {
  std::vector<std::string> paths;
  unsigned int count = 0;  // 0: until interrupted
  double timeoutS = 0;     // 0: none
};
int RunMonitor(Session& session, const MonitorOptions& options);

struct StreamOptions {
  std::string signal;
  unsigned int blocks = 5;
  std::string csv;
  unsigned long long pos = 0;  // data on demand: first atom
  unsigned int atoms = 100;    // data on demand: atoms per block
  double timeoutS = 10;        // push: longest wait for one block
};
int RunStream(Session& session, const StreamOptions& options);

// The value of `node` (scalar, or `count` array elements from `pos`) as an
// istd::Any of the node's type. Throws Failure with the library's message.
istd::Any ReadValue(const roz::Node& node, const std::string& path, size_t pos, size_t count);

}  // namespace rozctl

#endif  // VARNEK_TOOLS_ROZCTL_COMMANDS_H
