// rozctl, the command-line client of the registry: browses the tree, reads
// and writes values, runs commands, shows node details, monitors changes,
// reads signal blocks and pings a registry, through the client library's
// public interface only (client/roz.h, isig/isig.h).
//
//   rozctl [--host H] [--port N] [--root app|platform] [-w S] [--trace L [--trace-file F]]
//          tree|get|put|exec|info|monitor|stream|ping ...
//
// Exit status: 0 success, 1 a remote or value failure (the message on
// standard error), 2 a usage error; 130 when interrupted outside monitor
// and stream, which end cleanly on SIGINT and SIGTERM.
//
// Threads: everything runs on the main thread except what the library
// starts (request broker, dispatcher, signal thread; see session.h).
#include <omniORB4/CORBA.h>

#include <CLI/CLI.hpp>

#include <iostream>
#include <string>

#include "commands.h"
#include "istd/exception.h"
#include "session.h"
#include "values.h"

namespace {

using namespace rozctl;

struct Command {
  CLI::App* app;
  std::function<int(Session&)> run;
};

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("rozctl: command-line client of device control registries", "rozctl");
  app.require_subcommand(1);
  app.fallthrough();

  GlobalOptions globals;
  app.add_option("--host", globals.host, "registry host (default 127.0.0.1)");
  app.add_option("--port", globals.port,
                 "registry port (default " + std::to_string(roz::DefaultPort(roz::eApp)) +
                     " for app, " + std::to_string(roz::DefaultPort(roz::ePlatform)) +
                     " for platform)")
      ->check(CLI::Range(0, 65535));
  app.add_option("--root", globals.root, "which registry: app (default) or platform")
      ->check(CLI::IsMember({"app", "platform"}));
  app.add_option("-w,--wait", globals.callTimeoutS, "time-out of each remote call, in seconds")
      ->check(CLI::PositiveNumber);
  app.add_option("--trace", globals.traceLevel,
                 "trace level: Off, Low, Medium, High, Detail or 0-4");
  app.add_option("--trace-file", globals.traceFile, "trace file (default -, standard output)");
  app.add_option("--tls-ca", globals.tls.m_caFile,
                 "CA certificates (PEM): connect over TLS, trusting servers they signed");
  app.add_option("--tls-key", globals.tls.m_keyFile,
                 "this client's certificate and private key (PEM, one file; with --tls-ca)");
  app.add_option("--tls-password", globals.tls.m_keyPassword, "password of the --tls-key key");

  std::vector<Command> commands;

  TreeOptions tree;
  CLI::App* treeCmd = app.add_subcommand("tree", "list the tree below PATH (default: the root)");
  treeCmd->add_option("path", tree.path, "dotted node path");
  treeCmd->add_option("--depth", tree.depth, "levels to list (default: all)");
  treeCmd->add_flag("--flags", tree.flags, "flag characters first (r w P c H x a A S)");
  treeCmd->add_flag("--values", tree.values, "values after the names (name=value)");
  treeCmd->add_flag("--hidden", tree.hidden, "allow PATH inside a hidden subtree");
  treeCmd->add_flag("--dotted", tree.dotted, "dotted paths instead of indented names");
  treeCmd->add_option("--max-len", tree.maxLen, "longest value text (default 60, 0: no limit)");
  commands.push_back({treeCmd, [&](Session& s) { return RunTree(s, tree); }});

  GetOptions get;
  CLI::App* getCmd = app.add_subcommand("get", "read values: one line 'path value' per node");
  getCmd->add_option("paths", get.paths, "dotted node paths")->required();
  getCmd->add_flag("-t,--terse", get.terse, "the value only");
  getCmd->add_option("-#,--count", get.count, "array elements to read (default: all)");
  getCmd->add_option("--pos", get.pos, "first array element to read (default 0)");
  getCmd->add_flag("--json", get.json, "machine-readable output");
  commands.push_back({getCmd, [&](Session& s) { return RunGet(s, get); }});

  PutOptions put;
  CLI::App* putCmd = app.add_subcommand(
      "put", "write a value (arrays: several values or one comma-separated list)");
  putCmd->add_option("path", put.path, "dotted node path")->required();
  putCmd->add_option("values", put.values, "the value(s)")->required();
  putCmd->add_option("--pos", put.pos, "first array element to write (default 0)");
  commands.push_back({putCmd, [&](Session& s) { return RunPut(s, put); }});

  std::string execPath;
  CLI::App* execCmd = app.add_subcommand("exec", "run a command node");
  execCmd->add_option("path", execPath, "dotted node path")->required();
  commands.push_back({execCmd, [&](Session& s) { return RunExec(s, execPath); }});

  std::string infoPath;
  CLI::App* infoCmd = app.add_subcommand("info", "type, flags, size, domain, validator, children");
  infoCmd->add_option("path", infoPath, "dotted node path (default: the root)");
  commands.push_back({infoCmd, [&](Session& s) { return RunInfo(s, infoPath); }});

  MonitorOptions monitor;
  CLI::App* monitorCmd =
      app.add_subcommand("monitor", "print 'path timestamp value' for every change (Ctrl-C ends)");
  monitorCmd->add_option("paths", monitor.paths, "dotted node paths")->required();
  monitorCmd->add_option("-n,--count", monitor.count, "end after COUNT notifications");
  monitorCmd->add_option("--timeout", monitor.timeoutS, "end after S seconds")
      ->check(CLI::NonNegativeNumber);
  commands.push_back({monitorCmd, [&](Session& s) { return RunMonitor(s, monitor); }});

  StreamOptions stream;
  CLI::App* streamCmd =
      app.add_subcommand("stream", "read blocks of a signal: one summary line per block");
  streamCmd->add_option("signal", stream.signal, "dotted path of the signal node")->required();
  streamCmd->add_option("-n,--blocks", stream.blocks, "blocks to read (default 5)");
  streamCmd->add_option("--csv", stream.csv, "also write the samples to FILE as CSV");
  streamCmd->add_option("--pos", stream.pos, "data on demand: first atom (default 0)");
  streamCmd->add_option("--atoms", stream.atoms, "data on demand: atoms per block (default 100)")
      ->check(CLI::Range(1u, 1u << 20));
  streamCmd->add_option("--timeout", stream.timeoutS, "push: longest wait for a block (default 10)")
      ->check(CLI::PositiveNumber);
  commands.push_back({streamCmd, [&](Session& s) { return RunStream(s, stream); }});

  CLI::App* pingCmd = app.add_subcommand("ping", "check the registry and print the round trip");
  commands.push_back({pingCmd, [&](Session& s) { return RunPing(s); }});

  try {
    app.parse(argc, argv);
    if (globals.tls.m_caFile.empty() != globals.tls.m_keyFile.empty()) {
      throw CLI::ValidationError("--tls-ca and --tls-key go together");
    }
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    app.exit(e, std::cout, std::cerr);
    return 2;
  }

  try {
    Session session(globals);
    for (const Command& command : commands) {
      if (command.app->parsed()) return command.run(session);
    }
    return 2;
  } catch (const Failure& f) {
    std::cerr << f.Text() << std::endl;
    return f.ExitCode();
  } catch (const istd::Exception& e) {
    std::cerr << e.what() << std::endl;
    return 1;
  } catch (const CORBA::Exception&) {
    std::cerr << "rozctl: the registry could not be reached" << std::endl;
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "rozctl: " << e.what() << std::endl;
    return 1;
  } catch (...) {
    std::cerr << "rozctl: unexpected failure" << std::endl;
    return 1;
  }
}
