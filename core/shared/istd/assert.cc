// istd::LoggedAssert: the assertion report and the abort.
#include "istd/assert.h"

#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "istd/log.h"
#include "istd/process.h"

namespace istd {

const char* const c_assertReportDir = "/var/opt/varnek/log";

void LoggedAssert(const char* file, int line, const char* function, const char* condition) {
  std::ostringstream name;
  name << c_assertReportDir << "/assert_" << GetPid() << "_" << GetTid() << ".log";
  const std::string reportName = name.str();

  std::streambuf* const consoleBuf = std::cerr.rdbuf();
  std::filebuf report;
  const bool reportOpen =
      report.open(reportName, std::ios::out | std::ios::trunc) != nullptr;
  if (reportOpen) std::cerr.rdbuf(&report);

  std::ostringstream head;
  head << "\n"
       << "*** Please use this output when reporting a bug.\n"
       << "\n"
       << "*** ASSERTION FAILURE: " << (file != nullptr ? file : "") << ":" << line
       << " in function: " << (function != nullptr ? function : "") << "\n"
       << "*** REASON: " << (condition != nullptr ? condition : "") << "\n";

  std::ostringstream stack;
  const std::vector<std::string> frames = GetExecutionStack(64);
  for (size_t i = 0; i < frames.size(); ++i) stack << i << ". " << frames[i] << "\n";

  std::cerr << head.str() << "\n" << stack.str() << "\n";
  std::cerr.flush();

  if (reportOpen) {
    ISTD_TRACE(eLow, "Assert message logged to: " << reportName);
  }

  LogCritical(head.str() + "\n" + stack.str());

  if (reportOpen) {
    std::cerr.rdbuf(consoleBuf);
    std::cerr << "** Logged assert to file: " << reportName << "\n";
    std::cerr.flush();
    report.close();
  }

  ::sync();
  struct timespec pause = {0, 200000000};
  ::nanosleep(&pause, nullptr);
  std::abort();
}

}  // namespace istd
