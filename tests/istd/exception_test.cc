#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>

#include <regex>

#include "common/test_util.h"
#include "istd/assert.h"
#include "istd/exception.h"
#include "istd/literals.h"
#include "trace_fixture.h"

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

// Outside the anonymous namespace so that the frame has an exported name.
namespace stacktest {
__attribute__((noinline)) void ThrowingFunction() { throw istd::Exception("boom", true); }
}  // namespace stacktest

namespace {

using ExceptionTest = TraceFixture;
using stacktest::ThrowingFunction;

TEST_F(ExceptionTest, CarriesMessageFromEveryConstructorForm) {
  std::ostringstream os;
  os << "from " << 3 << " parts";
  const istd::Exception fromStream(os, false);
  const istd::Exception fromString(std::string("from string"), false);
  const istd::Exception fromChars("from chars", false);
  EXPECT_STREQ(fromStream.what(), "from 3 parts");
  EXPECT_STREQ(fromString.what(), "from string");
  EXPECT_STREQ(fromChars.what(), "from chars");
  std::ostringstream printed;
  printed << fromChars;
  EXPECT_EQ(printed.str(), "from chars");
  const std::exception& base = fromChars;
  EXPECT_STREQ(base.what(), "from chars");
}

TEST_F(ExceptionTest, TracedThrowNamesMessageAndThrowingFrame) {
  StartTrace(istd::eLow);
  EXPECT_THROW(ThrowingFunction(), istd::Exception);
  const std::vector<std::string> messages = TraceMessages();
  const auto thrown = std::find(messages.begin(), messages.end(), "** Thrown istd::Exception: boom");
  ASSERT_NE(thrown, messages.end());
  ASSERT_NE(thrown + 1, messages.end());
  EXPECT_EQ((thrown + 1)->rfind("** in: ", 0), 0u);
  EXPECT_THAT(*(thrown + 1), HasSubstr("ThrowingFunction"));
}

TEST_F(ExceptionTest, UntracedOrInactiveThrowWritesNothing) {
  StartTrace(istd::eDetail);
  const std::string before = TraceText();
  istd::Exception quiet("quiet", false);
  EXPECT_EQ(TraceText(), before);

  istd::TraceFile::GetInstance().Pause();
  const std::string paused = TraceText();
  istd::Exception whilePaused("paused", true);
  EXPECT_EQ(TraceText(), paused);

  istd::TraceFile::GetInstance().Stop();
  istd::Exception whileStopped("stopped", true);
  EXPECT_THAT(TraceText(), Not(HasSubstr("stopped\n")));
}

TEST_F(ExceptionTest, DumpStackModeWritesNumberedStackInsteadOfCallerLine) {
  StartTrace(istd::eLow);
  istd::TraceFile::GetInstance().SetDumpStack(true);
  EXPECT_THROW(ThrowingFunction(), istd::Exception);
  const std::string text = TraceText();
  const size_t thrown = text.find("** Thrown istd::Exception: boom\n");
  ASSERT_NE(thrown, std::string::npos);
  const std::string after = text.substr(thrown);
  EXPECT_THAT(after, Not(HasSubstr("** in: ")));
  // The stack is one entry whose first line carries the line header.
  EXPECT_TRUE(std::regex_search(after, std::regex(R"(\n\[\d{5,}: [^\]]+\] 0\. .*\n1\. )")))
      << after.substr(0, 400);
}

// Runs `body` in a private mount namespace in which /var/opt is an empty
// tmpfs and, when `reportDir` is not empty, /var/opt/varnek/log is `reportDir`.
// The real /var/opt is never touched. Returns false when namespaces are not
// available (not root).
bool IsolateReportDir(const std::string& reportDir) {
  if (::unshare(CLONE_NEWNS) != 0) return false;
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  if (::mount("tmpfs", "/var/opt", "tmpfs", 0, "size=1m") != 0) return false;
  if (!reportDir.empty()) {
    if (::mkdir("/var/opt/varnek", 0755) != 0 || ::mkdir("/var/opt/varnek/log", 0755) != 0) {
      return false;
    }
    if (::mount(reportDir.c_str(), "/var/opt/varnek/log", nullptr, MS_BIND, nullptr) != 0) {
      return false;
    }
  }
  return true;
}

bool CanIsolate() {
  testutil::ChildResult probe = testutil::RunInChild([] {
    if (!testutil::FileExists("/var/opt") || !IsolateReportDir("")) throw 1;
  });
  return probe.exitCode == 0;
}

__attribute__((noinline)) void FailingCheck(int value) { ISTD_ASSERT(value == 7); }

TEST(LoggedAssertDeathTest, WritesReportFileAndNamesItOnConsole) {
  if (!CanIsolate()) GTEST_SKIP() << "needs root for a private mount namespace";
  testutil::TempDir reports;
  EXPECT_DEATH(
      {
        if (!IsolateReportDir(reports.Path())) std::_Exit(3);
        FailingCheck(1);
      },
      // A user-mode emulator (running the 32-bit build on a 64-bit-only
      // kernel) adds its own line about the abort.
      "^\\*\\* Logged assert to file: /var/opt/varnek/log/assert_[0-9]+_[0-9]+\\.log\n"
      "(qemu: uncaught target signal [^\n]*\n)?$");

  const std::vector<std::string> files = reports.List();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(std::regex_match(files[0], std::regex(R"(assert_(\d+)_(\d+)\.log)"))) << files[0];
  const std::string report = testutil::ReadFile(reports.File(files[0]));
  EXPECT_THAT(report, HasSubstr("\n*** Please use this output when reporting a bug.\n\n"));
  EXPECT_THAT(report, HasSubstr("*** ASSERTION FAILURE: "));
  EXPECT_THAT(report, HasSubstr("exception_test.cc:"));
  EXPECT_THAT(report, HasSubstr(" in function: void {anonymous}::FailingCheck(int)\n"));
  EXPECT_THAT(report, HasSubstr("*** REASON: Assertion condition: value == 7\n"));
  EXPECT_THAT(report, HasSubstr("\n0. "));
}

TEST(LoggedAssertDeathTest, WritesFullReportToConsoleWhenDirectoryIsMissing) {
  if (!CanIsolate()) GTEST_SKIP() << "needs root for a private mount namespace";
  EXPECT_DEATH(
      {
        if (!IsolateReportDir("")) std::_Exit(3);
        FailingCheck(2);
      },
      "\\*\\*\\* ASSERTION FAILURE: .*exception_test.cc:[0-9]+ in function: void "
      "\\{anonymous\\}::FailingCheck\\(int\\)\n\\*\\*\\* REASON: Assertion condition: value == 7");
}

TEST(LoggedAssertDeathTest, LiteralLookupMissesAreFatal) {
  if (!CanIsolate()) GTEST_SKIP() << "needs root for a private mount namespace";
  static const istd::Literal_t table[] = {{1, "one"}, {0, nullptr}};
  EXPECT_EQ(istd::TextualToNumericAssert(table, "one"), 1);
  EXPECT_STREQ(istd::NumericToTextualAssert(table, 1), "one");
  EXPECT_DEATH(
      {
        if (!IsolateReportDir("")) std::_Exit(3);
        istd::TextualToNumericAssert(table, "two");
      },
      "REASON: Assertion condition: textualToNumericUndefined");
  EXPECT_DEATH(
      {
        if (!IsolateReportDir("")) std::_Exit(3);
        istd::NumericToTextualAssert(table, 2);
      },
      "REASON: Assertion condition: numericToTextUndefined");
}

}  // namespace
