// Fatal assertions. istd::LoggedAssert writes an assertion report with the
// call stack to "/var/opt/varnek/log/assert_<pid>_<tid>.log" (or to the error
// stream when that file cannot be opened), to the trace and to the log, and
// then aborts the process.
//
// Thread-safety: any thread may assert; the report file name carries the
// thread id. The redirection of std::cerr while the report is written is
// process-wide and unguarded.
#ifndef VARNEK_ISTD_ASSERT_H
#define VARNEK_ISTD_ASSERT_H

namespace istd {

// Directory of the assertion reports.
extern const char* const c_assertReportDir;

// Writes the report for a failed condition and aborts; never returns.
// `condition` is a complete sentence such as "Assertion condition: x".
[[noreturn]] void LoggedAssert(const char* file, int line, const char* function,
                               const char* condition);

}  // namespace istd

// Asserts `cond` in every build: when it is false, LoggedAssert is called
// with the source file, the line, the full function signature and the text
// "Assertion condition: " followed by the condition as written.
#define ISTD_ASSERT(cond)                                                         \
  do {                                                                            \
    if (!(cond)) {                                                                \
      ::istd::LoggedAssert(__FILE__, __LINE__, __PRETTY_FUNCTION__,               \
                           "Assertion condition: " #cond);                        \
    }                                                                             \
  } while (false)

#endif  // VARNEK_ISTD_ASSERT_H
