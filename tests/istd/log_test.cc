#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "common/test_util.h"
#include "istd/log.h"
#include "istd/process.h"
#include "istd/ver_info.h"
#include "trace_fixture.h"

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

using LogTest = TraceFixture;

const std::regex c_logLine(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] (.{8}): (.*))");

// The (level, message) pairs of the log lines of a log file.
std::vector<std::pair<std::string, std::string>> Entries(const std::string& text) {
  std::vector<std::pair<std::string, std::string>> entries;
  for (const std::string& line : testutil::SplitLines(text)) {
    std::smatch m;
    if (std::regex_match(line, m, c_logLine)) entries.emplace_back(m[1], m[2]);
  }
  return entries;
}

TEST_F(LogTest, FirstMessageToNewFileFollowsHeaderAndLaterOnesAppend) {
  testutil::ChildResult child = testutil::RunInChild([this] {
    const std::string path = m_dir.File("app.log");
    if (!istd::Log::Init(path)) throw 1;
    istd::Log& log = istd::Log::GetInstance();
    log.Info("one");
    log.Warning("two");
    log.Error("three");
    log.Critical("four");
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || (st.st_mode & 0777) != 0666) throw 2;
  });
  ASSERT_EQ(child.exitCode, 0);
  EXPECT_EQ(child.output, "") << "a working log writes nothing to stdout";

  const std::string text = testutil::ReadFile(m_dir.File("app.log"));
  const std::vector<std::string> lines = testutil::SplitLines(text);
  ASSERT_GE(lines.size(), 12u);
  EXPECT_EQ(lines[0], std::string(79, '-'));
  EXPECT_EQ(lines[1], "* *****Logging started *****");
  EXPECT_EQ(lines[2], "");
  EXPECT_EQ(lines[3].rfind("* Version       : ", 0), 0u);
  EXPECT_EQ(lines[4].rfind("* Start time    : ", 0), 0u);
  EXPECT_EQ(lines[5], std::string("* Process name  : ") + istd::GetProgName());
  EXPECT_EQ(lines[6], std::string(79, '-'));
  EXPECT_EQ(lines[7], "");
  EXPECT_EQ(text.find("Logging started"), text.rfind("Logging started"));
  EXPECT_THAT(Entries(text), ElementsAre(std::make_pair("Info    ", "one"),
                                         std::make_pair("Warning ", "two"),
                                         std::make_pair("Error   ", "three"),
                                         std::make_pair("Critical", "four")));
}

TEST_F(LogTest, DeletedFileIsRecreatedWithHeaderByNextMessage) {
  testutil::ChildResult child = testutil::RunInChild([this] {
    const std::string path = m_dir.File("app.log");
    istd::Log::Init(path);
    istd::Log::GetInstance().Info("before");
    ::unlink(path.c_str());
    istd::Log::GetInstance().Info("after");
  });
  ASSERT_EQ(child.exitCode, 0);
  const std::string text = testutil::ReadFile(m_dir.File("app.log"));
  EXPECT_THAT(text, HasSubstr("Logging started"));
  EXPECT_THAT(Entries(text), ElementsAre(std::make_pair("Info    ", "after")));
}

TEST_F(LogTest, WithoutFileAndTraceMessagesGoBareToStdout) {
  testutil::ChildResult child = testutil::RunInChild([] {
    istd::Log::GetInstance().Warning("first");
    istd::Log::GetInstance().Error("second");
  });
  ASSERT_EQ(child.exitCode, 0);
  EXPECT_EQ(child.output, "Warning : firstError   : second");
}

TEST_F(LogTest, UnwritableFileThrowsNothingAndFallsBackToStdout) {
  testutil::ChildResult child = testutil::RunInChild([this] {
    if (istd::Log::Init(m_dir.File("no/such/dir/app.log"))) throw 1;
    istd::LogError("lost?");  // no exception escapes
  });
  ASSERT_EQ(child.exitCode, 0);
  EXPECT_EQ(child.output, "Error   : lost?");
}

TEST_F(LogTest, EntriesReachStdoutWhenTheActiveTraceHasNoFileOpen) {
  // Without a log file an entry goes to the trace when that has its file
  // open, and to standard output when the trace is marked active but has no
  // file: after Continue following Stop, and after a write error.
  StartTrace(istd::eLow);
  testutil::ChildResult continued = testutil::RunInChild([] {
    istd::Log::GetInstance();  // the log exists, without a file
    istd::LogError("traced");
    istd::TraceFile::GetInstance().Stop();
    istd::TraceFile::GetInstance().Continue();
    if (!istd::TraceFile::IsActive()) throw 1;
    istd::LogError("after stop");
  });
  EXPECT_EQ(continued.exitCode, 0);
  EXPECT_EQ(continued.output, "Error   : after stop");
  EXPECT_THAT(TraceMessages(), Contains("Error   : traced"));

  istd::TraceFile::GetInstance().Stop();
  StartTrace(istd::eLow, "full.log");
  testutil::ChildResult failed = testutil::RunInChild([this] {
    // The trace file may not grow any more: its next line fails to write.
    struct stat st;
    if (::stat(TracePath("full.log").c_str(), &st) != 0) throw 1;
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{static_cast<rlim_t>(st.st_size), static_cast<rlim_t>(st.st_size)};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) throw 2;
    istd::Log::GetInstance();
    istd::LogWarning("after error");
    if (!istd::TraceFile::IsActive()) throw 3;
    istd::LogInfo("later");
  });
  EXPECT_EQ(failed.exitCode, 0);
  EXPECT_EQ(failed.output, "Warning : after errorInfo    : later");
  EXPECT_THAT(TraceMessages("full.log"), Not(Contains("after error")));
}

TEST_F(LogTest, LoggingFunctionsTraceAtTheirLevelsAndErrorsTwice) {
  StartTrace(istd::eMedium);
  testutil::ChildResult child = testutil::RunInChild([this] {
    istd::Log::Init(m_dir.File("app.log"));
    istd::LogError("bad thing");
    istd::LogWarning("odd thing");
    istd::LogInfo("routine thing");  // High: not traced at Medium, still logged
  });
  ASSERT_EQ(child.exitCode, 0);
  const std::vector<std::string> messages = TraceMessages();
  EXPECT_EQ(std::count(messages.begin(), messages.end(), "bad thing"), 1);
  EXPECT_EQ(std::count(messages.begin(), messages.end(), "Error   : bad thing"), 1);
  EXPECT_THAT(messages, Contains("odd thing"));
  EXPECT_THAT(messages, Contains("Warning : odd thing"));
  EXPECT_THAT(messages, Not(Contains("routine thing")));
  EXPECT_THAT(messages, Contains("Info    : routine thing"));
  EXPECT_EQ(Entries(testutil::ReadFile(m_dir.File("app.log"))).size(), 3u);
}

TEST_F(LogTest, LoggingFunctionsWriteNothingBeforeTheLogExists) {
  testutil::ChildResult child = testutil::RunInChild([] {
    istd::LogCritical("nobody listens");
    if (istd::Log::m_enabled) throw 1;
    istd::Log::GetInstance();
    if (!istd::Log::m_enabled) throw 2;
  });
  EXPECT_EQ(child.exitCode, 0);
  EXPECT_EQ(child.output, "");
}

TEST(LogFileTest, DecorationsFramesAndStdoutTarget) {
  struct Decorated : istd::LogFile {
    std::string FileHeader() const override { return "HEAD\n"; }
    std::string AppendBanner() const override { return "AGAIN\n"; }
    std::string FileTrailer() const override { return "TAIL\n"; }
    std::string LineHeader() const override { return "<"; }
    std::string LineTrailer() const override { return ">"; }
  };
  testutil::TempDir dir;
  const std::string path = dir.File("d.log");
  {
    Decorated f;
    ASSERT_TRUE(f.Open(path, true));
    f.Write("one", 3);
    f.SetPrintLineHeader(false);
    f.Write("two\0hidden", 10);
    bool header = true;
    f.GetPrintLineHeader(header);
    EXPECT_FALSE(header);
    f.Close();
    EXPECT_FALSE(f.IsOpen());
    f.Write("dropped", 7);
    ASSERT_TRUE(f.Open(path, false));
    f.SetPrintLineTrailer(false);
    f.Write("three", 5);
  }  // the base destructor closes (its own, empty, trailer)
  EXPECT_EQ(testutil::ReadFile(path), "HEAD\n<one>\ntwo>\nTAIL\nAGAIN\nthree\n");

  testutil::ChildResult child = testutil::RunInChild([] {
    Decorated out;
    out.Open();
    out.Write("x", 1);
    out.Close();
    out.Write("after close", 11);
    if (::write(1, "still open\n", 11) != 11) throw 1;
  });
  EXPECT_EQ(child.output, "HEAD\n<x>\nTAIL\nstill open\n");
}

// A long-running process's log or trace outgrows 2 GiB; on the 32-bit target
// the file must still open and take appended lines. The file is sparse, so
// the test costs no disk space.
TEST(LogFileTest, AppendsToFilesBeyondTwoGiB) {
  struct Framed : istd::LogFile {
    std::string AppendBanner() const override { return "AGAIN\n"; }
  };
  testutil::TempDir dir;
  const std::string path = dir.File("big.log");
  const off64_t big = (off64_t{1} << 31) + 100;
  {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_LARGEFILE, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate64(fd, big), 0);
    ::close(fd);
  }
  {
    Framed f;
    ASSERT_TRUE(f.Open(path, false));
    f.Write("line", 4);
    EXPECT_TRUE(f.IsOpen()) << "no write error";
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_LARGEFILE);
  ASSERT_GE(fd, 0);
  struct stat64 st;
  ASSERT_EQ(::fstat64(fd, &st), 0);
  const std::string expected = "AGAIN\nline\n";
  EXPECT_EQ(st.st_size, big + static_cast<off64_t>(expected.size()));
  std::string tail(expected.size(), '\0');
  EXPECT_EQ(::pread64(fd, tail.data(), tail.size(), big), static_cast<ssize_t>(tail.size()));
  ::close(fd);
  EXPECT_EQ(tail, expected);
}

}  // namespace
