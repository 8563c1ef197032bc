#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <regex>

#include "common/test_util.h"
#include "istd/daemon.h"
#include "istd/process.h"

using ::testing::HasSubstr;

namespace {

struct DaemonRun {
  std::string output;  // standard output and error of the child and the daemon
  int childExit = -1;  // the child that daemon() ends
  int daemonPid = 0;   // from the daemon's "daemon pid=" line
  int daemonExit = -1;
  // False where this process cannot become a child subreaper (user-mode
  // emulators refuse the prctl): the daemon's exit status is then not ours
  // to see.
  bool adopted = false;
};

// Runs `body` in a forked child with its standard error joined to the
// captured output. When `body` daemonises, daemon() ends the child and the
// daemon carries on; this process is made a child subreaper for the
// duration, so the orphaned daemon becomes its child and is reaped here
// after it has ended (the captured output reaches its end when the daemon's
// copy of the pipe closes at its exit). The daemon reports its pid as a line
// "daemon pid=<n>".
DaemonRun RunDaemonising(const std::function<void()>& body) {
  DaemonRun run;
  run.adopted = ::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
  const testutil::ChildResult child = testutil::RunInChild(
      [&] {
        ::dup2(1, 2);
        body();
      },
      /*normalExit=*/true);
  run.output = child.output;
  run.childExit = child.exitCode;
  std::smatch m;
  if (std::regex_search(run.output, m, std::regex("daemon pid=(\\d+)"))) {
    run.daemonPid = std::stoi(m[1]);
    int status = 0;
    if (::waitpid(run.daemonPid, &status, 0) == run.daemonPid && WIFEXITED(status)) {
      run.daemonExit = WEXITSTATUS(status);
    }
  }
  ::prctl(PR_SET_CHILD_SUBREAPER, 0);
  return run;
}

// In the daemon: a guard against hanging, then the pid line.
void ReportDaemon() {
  ::alarm(10);
  std::cout << "daemon pid=" << ::getpid() << " sid=" << ::getsid(0) << std::endl;
}

TEST(DaemonTest, StartReplacesAStalePidFileAndTheFileGoesAtExit) {
  testutil::TempDir dir;
  const std::string pidFile = dir.File("app.pid");
  std::ofstream(pidFile) << "999999\n";

  const DaemonRun run = RunDaemonising([&] {
    istd::Daemon& daemon = istd::Daemon::Instance();
    const int rc = daemon.Start(pidFile);
    ReportDaemon();
    std::cout << "rc=" << rc << " file=" << testutil::ReadFile(pidFile) << std::flush;
    const int again = daemon.Start(pidFile);
    std::cout << "again=" << again << std::endl;
  });

  ASSERT_NE(run.daemonPid, 0) << run.output;
  EXPECT_EQ(run.childExit, 0) << "daemon() ends the starting process with 0";
  if (run.adopted) EXPECT_EQ(run.daemonExit, 0);
  EXPECT_NE(run.daemonPid, ::getpid());
  EXPECT_THAT(run.output, HasSubstr("Found PID file for another instance of " +
                                    std::string(istd::GetProgName()) +
                                    "(999999). Delete file: " + pidFile + "\n"));
  const std::string pid = std::to_string(run.daemonPid);
  EXPECT_THAT(run.output, HasSubstr("daemon pid=" + pid + " sid=" + pid))
      << "the daemon leads a session of its own";
  EXPECT_THAT(run.output, HasSubstr("rc=0 file=" + pid + "\n"));
  EXPECT_THAT(run.output, HasSubstr("Process already daemonised. Ignoring.\nagain=0"));
  EXPECT_FALSE(testutil::FileExists(pidFile)) << "the PID file outlived the daemon";
  EXPECT_TRUE(dir.List().empty());
}

TEST(DaemonTest, PidFileOfARunningInstanceStaysAndPreventsDaemonising) {
  testutil::TempDir dir;
  const std::string pidFile = dir.File("app.pid");
  // This test process runs, and it is not the child that calls Start.
  const std::string running = std::to_string(::getpid());
  std::ofstream(pidFile) << running << "\n";

  const DaemonRun run = RunDaemonising([&] {
    const int rc = istd::Daemon::Instance().Start(pidFile);
    std::cout << "rc=" << rc << " pid=" << ::getpid() << std::endl;
  });

  EXPECT_EQ(run.daemonPid, 0) << "daemonised beside a running instance: " << run.output;
  EXPECT_EQ(run.childExit, 0);
  EXPECT_THAT(run.output, HasSubstr("Found PID file for another instance of " +
                                    std::string(istd::GetProgName()) + "(" + running +
                                    "). It is still running (PID " + running +
                                    "); not starting. PID file: " + pidFile + "\n"));
  EXPECT_THAT(run.output, HasSubstr("rc=-1 pid="));
  EXPECT_EQ(testutil::ReadFile(pidFile), running + "\n") << "the running instance's file stays";
}

TEST(DaemonTest, PidFileThatCannotBeDeletedPreventsDaemonising) {
  testutil::TempDir dir;
  // A directory with an entry in it opens for reading but cannot be removed.
  const std::string pidFile = dir.File("busy.pid");
  ::mkdir(pidFile.c_str(), 0700);
  std::ofstream(pidFile + "/entry") << "x";

  const DaemonRun run = RunDaemonising([&] {
    const int rc = istd::Daemon::Instance().Start(pidFile);
    const int stop = istd::Daemon::Instance().Stop();
    std::cout << "rc=" << rc << " pid=" << ::getpid() << " stop=" << stop << std::endl;
  });

  EXPECT_EQ(run.daemonPid, 0) << "daemonised although the old file stayed";
  EXPECT_EQ(run.childExit, 0);
  EXPECT_THAT(run.output, HasSubstr("Found PID file for another instance of " +
                                    std::string(istd::GetProgName()) +
                                    "(). Can't delete file: " + pidFile + "\n"));
  EXPECT_THAT(run.output, HasSubstr("rc=-1 pid="));
  EXPECT_THAT(run.output, HasSubstr(" stop=0"));
  EXPECT_TRUE(testutil::FileExists(pidFile + "/entry"));
}

}  // namespace
