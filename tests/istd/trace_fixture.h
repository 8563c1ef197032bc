// Test fixture that points the process trace at a scratch file and puts the
// singleton back into its initial state afterwards.
#ifndef VARNEK_TESTS_ISTD_TRACE_FIXTURE_H
#define VARNEK_TESTS_ISTD_TRACE_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/test_util.h"
#include "istd/log.h"

class TraceFixture : public ::testing::Test {
 protected:
  void TearDown() override { ResetTrace(); }

  static void ResetTrace() {
    istd::TraceFile& t = istd::TraceFile::GetInstance();
    t.SetLevel(istd::eOff);
    t.Stop();
    t.SetPrintFile(false);
    t.SetPrintLine(true);
    t.SetDumpStack(false);
    istd::TraceFile::Init("", "");
  }

  // Starts the trace into <tmp>/trace.log at `level`.
  void StartTrace(istd::TraceLevel_e level, const std::string& name = "trace.log") {
    istd::TraceFile::Init(name, m_dir.Path());
    istd::TraceFile::GetInstance().Start(level);
    ASSERT_TRUE(istd::TraceFile::IsActive());
  }

  std::string TracePath(const std::string& name = "trace.log") const { return m_dir.File(name); }
  std::string TraceText(const std::string& name = "trace.log") const {
    return testutil::ReadFile(TracePath(name));
  }
  std::vector<std::string> TraceLines(const std::string& name = "trace.log") const {
    return testutil::SplitLines(TraceText(name));
  }
  // Messages of the trace lines (the text after "] " and the line field).
  std::vector<std::string> TraceMessages(const std::string& name = "trace.log") const {
    std::vector<std::string> messages;
    for (const std::string& line : TraceLines(name)) {
      if (line.empty() || line[0] != '[') continue;
      const size_t close = line.find("] ");
      if (close == std::string::npos) continue;
      std::string rest = line.substr(close + 2);
      const size_t colon = rest.find(": ");
      if (colon != std::string::npos && colon <= 4 &&
          rest.find_first_not_of(" 0123456789") >= colon) {
        rest = rest.substr(colon + 2);
      }
      messages.push_back(rest);
    }
    return messages;
  }

  testutil::TempDir m_dir;
};

#endif  // VARNEK_TESTS_ISTD_TRACE_FIXTURE_H
