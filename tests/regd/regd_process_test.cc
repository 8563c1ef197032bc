// regd as a process: start-up checks of the tree file, the interface
// version, clean shutdown on signals, the daemon mode with its PID file,
// SIGHUP, restarts on the same port.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>

#include "regd/regd_client.h"

namespace {

using testsupport::RegdProcess;
using testutil::FileExists;

class RegdProcessTest : public testsupport::RegdTest {
 protected:
  // SIGTERM ends the daemon with status 0; where it could not be adopted
  // (see RegdProcess::Adopted), only its end can be seen.
  void ExpectCleanDaemonStop() {
    const int status = Regd().Stop();
    if (Regd().Adopted()) {
      EXPECT_EQ(status, 0) << "SIGTERM";
    } else {
      EXPECT_EQ(status, RegdProcess::c_endedElsewhere) << "SIGTERM";
    }
  }
};

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST_F(RegdProcessTest, MalformedTreeStopsItWithStatusTwoNamingFileNodeAndProblem) {
  testutil::TempDir dir;
  struct Case {
    const char* json;
    const char* message;  // after "regd: <file>: "
  };
  const Case cases[] = {
      {R"({"name": "r", "children": [{"name": "a", "type": "Dbl"}]})",
       "node r.a: unknown value type \"Dbl\""},
      {R"({"name": "r", "children": [{"name": "a", "flags": ["read", "red"]}]})",
       "node r.a: unknown flag \"red\""},
      {R"({"name": "r", "children": [{"name": "s", "children": [{"type": "Long"}]}]})",
       "node r.s.children[0]: a node needs a \"name\" string"},
      {R"({"name": "r", "children": [{"name": "a", "type": "Long", "value": [1], "flags": ["read"]}]})",
       "node r.a: an array value needs the array flag"},
      {R"({"name": "r", "children": [{"name": "a", "type": "ULong", "value": -1}]})",
       "node r.a: value: value -1 out of range for ULong"},
      {R"({"name": "r", "children": [{"name": "m", "type": "Enumeration", "value": "x", "domain": ["a"]}]})",
       "node r.m: value \"x\" is not in the domain"},
      {R"({"name": "r", "children": [{"name": "a", "type": "Long", "hooks": {"delay": 5}}]})",
       "node r.a: hooks: unknown attribute \"delay\""},
      {R"({"name": "r", "children": [{"name": "a", "flags": ["signal"]}]})",
       "node r.a: the signal flag and a \"signal\" description go together"},
      {R"({"name": "r", "children": [{"name": "regd"}]})",
       "node r.regd: the name regd is reserved for regd's diagnostic nodes"},
      {R"({"name": "r", "children": [{"name": "a"}, {"name": "a"}]})",
       "node r.a: a second child of that name"},
      {"{\"name\": \"r\",\n \"children\": [}", "parse error at line 2, column 15"},
  };
  int index = 0;
  for (const Case& c : cases) {
    const std::string file = dir.File("tree" + std::to_string(index++) + ".json");
    std::FILE* f = std::fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs(c.json, f);
    std::fclose(f);
    const testsupport::RegdRun run = RegdProcess::Run({"--tree", file, "--port", "0"});
    EXPECT_EQ(run.exitCode, 2) << c.json;
    EXPECT_TRUE(Contains(run.err, "regd: " + file + ": ")) << run.err;
    EXPECT_TRUE(Contains(run.err, c.message)) << run.err;
  }
  const testsupport::RegdRun missing = RegdProcess::Run({"--tree", dir.File("none.json")});
  EXPECT_EQ(missing.exitCode, 2);
  EXPECT_TRUE(Contains(missing.err, dir.File("none.json") + ": cannot open the tree file"));
  EXPECT_EQ(RegdProcess::Run({"--port", "0"}).exitCode, 2) << "--tree is required";
  EXPECT_EQ(RegdProcess::Run({"--tree", RegdProcess::DemoTree(), "--daemon"}).exitCode, 2)
      << "--daemon needs --pid-file";
}

TEST_F(RegdProcessTest, AnswersTheInterfaceVersionItIsGiven) {
  Regd().Options().args = {"--interface-version", "2.7"};
  StartRegd();
  i_NET::Application_var app = Application();
  CORBA::String_var version = app->GetInterfaceVersion();
  EXPECT_STREQ(version.in(), "2.7");
  EXPECT_TRUE(
      Contains(Regd().ReadStdout(), "regd listening on port " + std::to_string(Regd().Port())));
}

TEST_F(RegdProcessTest, SigintAndSigtermEndItCleanly) {
  StartRegd();
  Regd().Signal(SIGINT);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return !Regd().Running(); }));
  EXPECT_FALSE(FileExists(Regd().PortFile())) << "the port file goes at exit";
  EXPECT_TRUE(Contains(Regd().ReadLog(), "regd: stopped"));

  RestartRegd();
  EXPECT_EQ(Regd().Stop(), 0) << "SIGTERM";
}

TEST_F(RegdProcessTest, RestartKeepsThePortAndTakenPortsAreReported) {
  StartRegd();
  const unsigned int port = Regd().Port();
  RestartRegd();
  EXPECT_EQ(Regd().Port(), port);
  i_NET::Application_var app = Application();
  CORBA::String_var version = app->GetInterfaceVersion();
  EXPECT_STREQ(version.in(), "2.6");

  // A second server on the same port cannot start.
  const testsupport::RegdRun second =
      RegdProcess::Run({"--tree", RegdProcess::DemoTree(), "--port", std::to_string(port)});
  EXPECT_EQ(second.exitCode, 1);
  EXPECT_TRUE(Contains(second.err, "regd: cannot serve on port " + std::to_string(port)))
      << second.err;
}

TEST_F(RegdProcessTest, DaemonWritesItsPidFileAndEndsOnSigterm) {
  Regd().Options().daemon = true;
  StartRegd();
  const pid_t pid = Regd().Pid();
  ASSERT_NE(pid, 0);
  std::FILE* f = std::fopen(Regd().PidFile().c_str(), "r");
  ASSERT_NE(f, nullptr);
  long written = 0;
  EXPECT_EQ(std::fscanf(f, "%ld", &written), 1);
  std::fclose(f);
  EXPECT_EQ(written, static_cast<long>(pid));
  EXPECT_NE(pid, ::getpid());

  ExpectCleanDaemonStop();
  EXPECT_NE(::kill(pid, 0), 0) << "the daemon has ended";
  EXPECT_FALSE(FileExists(Regd().PidFile())) << "and removed its PID file";
  EXPECT_FALSE(FileExists(Regd().PortFile()));
}

TEST_F(RegdProcessTest, SecondDaemonOnTheSamePidFileRefusesToStart) {
  Regd().Options().daemon = true;
  StartRegd();
  const pid_t pid = Regd().Pid();
  ASSERT_NE(pid, 0);
  const std::string pidText = testutil::ReadFile(Regd().PidFile());

  const testsupport::RegdRun second = RegdProcess::Run(
      {"--tree", RegdProcess::DemoTree(), "--port", "0", "--daemon", "--pid-file",
       Regd().PidFile()});
  if (second.exitCode == 0) {
    // It daemonised all the same: end that second daemon once it has
    // written its PID file.
    pid_t other = 0;
    testsupport::WaitUntil([&] {
      other = static_cast<pid_t>(std::atol(testutil::ReadFile(Regd().PidFile()).c_str()));
      return other > 0 && other != pid;
    });
    if (other > 0 && other != pid) ::kill(other, SIGKILL);
  }
  EXPECT_EQ(second.exitCode, 1);
  EXPECT_TRUE(Contains(second.err, "It is still running (PID " + std::to_string(pid) + ")"))
      << second.err;
  EXPECT_EQ(testutil::ReadFile(Regd().PidFile()), pidText) << "the running daemon's file stays";
  EXPECT_TRUE(Regd().Running());
  ExpectCleanDaemonStop();
  EXPECT_FALSE(FileExists(Regd().PidFile()));
}

TEST_F(RegdProcessTest, SighupReopensTheTraceFile) {
  Regd().Options().traceLevel = "Medium";
  StartRegd();
  const std::string moved = Regd().TraceFile() + ".1";
  ASSERT_EQ(std::rename(Regd().TraceFile().c_str(), moved.c_str()), 0);
  Regd().Signal(SIGHUP);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return FileExists(Regd().TraceFile()); }))
      << "a new trace file under the old name";
  EXPECT_TRUE(Contains(testutil::ReadFile(moved), "Trace stopped")) << "the old one was closed";
  ASSERT_TRUE(testsupport::WaitUntil(
      [&] { return Contains(Regd().ReadLog(), "regd: SIGHUP: log and trace reopened"); }));
  EXPECT_TRUE(Regd().Running()) << "SIGHUP does not stop regd";
  EXPECT_EQ(Regd().Stop(), 0);
}

}  // namespace
