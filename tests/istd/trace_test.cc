#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "istd/log.h"
#include "istd/process.h"
#include "trace_fixture.h"

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// Counts how often it is formatted into a stream.
struct Counted {
  mutable int* count;
};
std::ostream& operator<<(std::ostream& os, const Counted& c) {
  ++*c.count;
  return os << "counted";
}

using TraceTest = TraceFixture;

TEST_F(TraceTest, GuardedStatementFormatsNothingUnlessActiveAndLevelReached) {
  int formatted = 0;
  ISTD_TRACE(istd::eLow, Counted{&formatted});
  EXPECT_EQ(formatted, 0) << "formatted with the trace stopped";

  StartTrace(istd::eMedium);
  ISTD_TRACE(istd::eHigh, Counted{&formatted});
  ISTD_TRACE(istd::eDetail, Counted{&formatted});
  EXPECT_EQ(formatted, 0) << "formatted above the active level";

  ISTD_TRACE(istd::eMedium, Counted{&formatted});
  ISTD_TRACE(istd::eLow, Counted{&formatted});
  EXPECT_EQ(formatted, 2);

  istd::TraceFile::GetInstance().Pause();
  ISTD_TRACE(istd::eLow, Counted{&formatted});
  EXPECT_EQ(formatted, 2) << "formatted while paused";
  EXPECT_EQ(istd::TraceActiveLevel(), istd::eMedium) << "a pause keeps the level";

  istd::TraceFile::GetInstance().Continue();
  ISTD_TRACE(istd::eLow, Counted{&formatted});
  EXPECT_EQ(formatted, 3);

  const std::vector<std::string> messages = TraceMessages();
  EXPECT_EQ(std::count(messages.begin(), messages.end(), "counted"), 3);
  EXPECT_THAT(messages, Contains("*** Tracing paused. ***"));
  EXPECT_THAT(messages, Contains("*** Tracing continued. ***"));
}

TEST_F(TraceTest, FileHasHeaderLinesWithThreadTimeAndLineAndTrailer) {
  StartTrace(istd::eHigh);
  const int line = __LINE__ + 1;
  ISTD_TRACE(istd::eLow, "hello " << 42);
  istd::TraceFile::GetInstance().Stop();

  const std::vector<std::string> lines = TraceLines();
  ASSERT_GE(lines.size(), 10u);
  EXPECT_EQ(lines[0], std::string(79, '-'));
  EXPECT_EQ(lines[1], "* ***** Trace started *****");
  EXPECT_EQ(lines[2], "");
  EXPECT_EQ(lines[3].rfind("* Version       : ", 0), 0u);
  EXPECT_TRUE(std::regex_match(lines[4], std::regex(R"(\* Start time    : \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{9})")))
      << lines[4];
  EXPECT_EQ(lines[5], std::string("* Process name  : ") + istd::GetProgName());
  EXPECT_EQ(lines[6], "* Process id    : " + std::to_string(istd::GetPid()));
  EXPECT_EQ(lines[7], std::string(79, '-'));
  EXPECT_EQ(lines[8], "");

  char tid[16];
  std::snprintf(tid, sizeof tid, "%05d", istd::GetTid());
  char lineField[16];
  std::snprintf(lineField, sizeof lineField, "%4d", line);
  const std::regex traced(std::string(R"(\[)") + tid + R"(: \d\d:\d\d:\d\d\.\d{9}\] )" +
                          lineField + ": hello 42");
  EXPECT_TRUE(std::regex_match(lines[9], traced)) << lines[9];

  const std::vector<std::string> tail(lines.end() - 7, lines.end());
  EXPECT_EQ(tail[0], "");
  EXPECT_EQ(tail[1], std::string(79, '-'));
  EXPECT_EQ(tail[2], "* ***** Trace stopped *****");
  EXPECT_EQ(tail[3], "");
  EXPECT_EQ(tail[4].rfind("* End time      : ", 0), 0u);
  EXPECT_EQ(tail[5], std::string(79, '-'));
  EXPECT_EQ(tail[6], "");
}

TEST_F(TraceTest, PrintFileAndPrintLineFlagsShapeTheLinePrefix) {
  StartTrace(istd::eLow);
  istd::TraceFile& t = istd::TraceFile::GetInstance();
  t.SetPrintFile(true);
  t.SetPrintLine(false);
  ISTD_TRACE(istd::eLow, "with file");
  t.SetPrintFile(false);
  ISTD_TRACE(istd::eLow, "bare");
  bool printFile = true, printLine = true;
  t.GetPrintFile(printFile);
  t.GetPrintLine(printLine);
  EXPECT_FALSE(printFile);
  EXPECT_FALSE(printLine);

  const std::vector<std::string> lines = TraceLines();
  ASSERT_GE(lines.size(), 2u);
  const std::string& withFile = lines[lines.size() - 2];
  const std::string& bare = lines.back();
  EXPECT_EQ(withFile.substr(withFile.find("] ") + 2), "trace_test.cc: with file");
  EXPECT_EQ(bare.substr(bare.find("] ") + 2), "bare");
}

TEST_F(TraceTest, SetLevelStartsSwitchesStackDumpsAndStopsAtOff) {
  istd::TraceFile::Init("levels.log", m_dir.Path());
  istd::TraceFile& t = istd::TraceFile::GetInstance();

  t.Start(istd::eOff);
  EXPECT_FALSE(istd::TraceFile::IsActive());
  EXPECT_FALSE(testutil::FileExists(TracePath("levels.log"))) << "Start(Off) opened the file";

  EXPECT_TRUE(t.SetLevel(istd::eLow));
  EXPECT_TRUE(istd::TraceFile::IsActive());
  std::vector<std::string> lines = TraceLines("levels.log");
  ASSERT_GE(lines.size(), 10u);
  EXPECT_EQ(lines[1], "* ***** Trace started *****");
  EXPECT_THAT(lines[9], HasSubstr("] *** Trace level changed to 1"));

  t.Start(istd::eHigh);  // ignored while open
  EXPECT_EQ(istd::TraceActiveLevel(), istd::eLow);

  bool dump = false;
  t.SetLevel(istd::eDetail);
  t.GetDumpStack(dump);
  EXPECT_TRUE(dump);
  t.SetLevel(istd::eHigh);
  t.GetDumpStack(dump);
  EXPECT_FALSE(dump);

  t.SetLevel(istd::eOff);
  EXPECT_FALSE(istd::TraceFile::IsActive());
  EXPECT_FALSE(t.IsOpen());
  lines = TraceLines("levels.log");
  const auto changed0 =
      std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
        return l.find("*** Trace level changed to 0") != std::string::npos;
      });
  ASSERT_NE(changed0, lines.end());
  EXPECT_THAT(std::vector<std::string>(changed0 + 1, lines.end()),
              Contains("* ***** Trace stopped *****"));
  istd::TraceLevel_e level = istd::eDetail;
  t.GetLevel(level);
  EXPECT_EQ(level, istd::eOff);
}

TEST_F(TraceTest, ExistingFileIsContinuedWithAppendBanner) {
  StartTrace(istd::eLow);
  ISTD_TRACE(istd::eLow, "first run");
  istd::TraceFile::GetInstance().Stop();
  StartTrace(istd::eLow);
  ISTD_TRACE(istd::eLow, "second run");
  istd::TraceFile::GetInstance().Stop();

  const std::string text = TraceText();
  EXPECT_EQ(text.find("* ***** Trace started *****"), text.rfind("* ***** Trace started *****"));
  const size_t appended = text.find("* ***** Trace appended *****");
  ASSERT_NE(appended, std::string::npos);
  EXPECT_LT(text.find("first run"), appended);
  EXPECT_GT(text.find("second run"), appended);
}

TEST_F(TraceTest, TargetNamesForStdoutGeneratedAndDirectoryForms) {
  istd::TraceFile& t = istd::TraceFile::GetInstance();
  istd::TraceFile::Init("+", m_dir.Path());
  EXPECT_EQ(t.GeneratedTraceFileName(), m_dir.Path() + "/" + istd::GetProgName() + "_" +
                                            std::to_string(istd::GetPid()) + ".log");
  t.Start(istd::eLow);
  ISTD_TRACE(istd::eLow, "generated");
  t.Stop();
  EXPECT_THAT(testutil::ReadFile(t.GeneratedTraceFileName()), HasSubstr("generated"));

  istd::TraceFile::Init("+", "");
  EXPECT_EQ(t.GeneratedTraceFileName().rfind("./", 0), 0u);

  // "-" writes to standard output.
  testutil::ChildResult child = testutil::RunInChild([] {
    istd::TraceFile::Init("-", "/nonexistent");
    istd::TraceFile::GetInstance().Start(istd::eLow);
    ISTD_TRACE(istd::eLow, "to stdout");
  }, /*normalExit=*/true);
  EXPECT_EQ(child.exitCode, 0);
  EXPECT_THAT(child.output, HasSubstr("* ***** Trace started *****"));
  EXPECT_THAT(child.output, HasSubstr(": to stdout\n"));
  EXPECT_THAT(child.output, HasSubstr("* ***** Trace stopped *****")) << "exit writes the trailer";
}

TEST_F(TraceTest, UnopenableTargetLeavesTraceInactive) {
  istd::TraceFile::Init("trace.log", m_dir.File("missing/dir"));
  istd::TraceFile::GetInstance().Start(istd::eLow);
  EXPECT_FALSE(istd::TraceFile::IsActive());
  EXPECT_FALSE(istd::TraceFile::GetInstance().IsOpen());
}

void ScopedFunction() { ISTD_TRACE_FNC(); }

TEST_F(TraceTest, FunctionScopeTracesEntryAndExitOnlyAtHigh) {
  StartTrace(istd::eMedium);
  ScopedFunction();
  EXPECT_THAT(TraceText(), Not(HasSubstr("ScopedFunction")));

  istd::TraceFile::GetInstance().SetLevel(istd::eHigh);
  ScopedFunction();
  const std::vector<std::string> messages = TraceMessages();
  EXPECT_THAT(messages, Contains("==> void {anonymous}::ScopedFunction()"));
  EXPECT_THAT(messages, Contains("<== void {anonymous}::ScopedFunction()"));
}

TEST_F(TraceTest, ConcurrentWritersNeverInterleaveLines) {
  StartTrace(istd::eLow);
  constexpr int c_threads = 4;
  constexpr int c_lines = 400;
  std::vector<std::thread> threads;
  for (int t = 0; t < c_threads; ++t) {
    threads.emplace_back([t] {
      const std::string payload(200, static_cast<char>('a' + t));
      for (int i = 0; i < c_lines; ++i) ISTD_TRACE(istd::eLow, "w" << t << " " << i << " " << payload);
    });
  }
  for (std::thread& th : threads) th.join();
  istd::TraceFile::GetInstance().Stop();

  const std::regex whole(R"(\[\d{5,}: \d\d:\d\d:\d\d\.\d{9}\] +\d+: w(\d) (\d+) ([a-d])\3{199})");
  int counts[c_threads] = {0};
  for (const std::string& line : TraceLines()) {
    if (line.empty() || line[0] != '[') continue;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, whole)) << "broken line: " << line.substr(0, 80);
    ++counts[std::stoi(m[1])];
  }
  for (int t = 0; t < c_threads; ++t) EXPECT_EQ(counts[t], c_lines) << "thread " << t;
}

TEST_F(TraceTest, LevelTableNamesTheFiveLevels) {
  const auto& items = istd::EnumMap<istd::TraceLevel_e>::items;
  EXPECT_STREQ(items.FindText(istd::eOff), "Off");
  EXPECT_STREQ(items.FindText(istd::eDetail), "Detail");
  istd::TraceLevel_e level = istd::eOff;
  EXPECT_TRUE(items.FindValue("Medium", level));
  EXPECT_EQ(level, istd::eMedium);
  EXPECT_FALSE(items.FindValue("medium", level));
  EXPECT_EQ(items.ValueMap().size(), 5u);
}

}  // namespace
