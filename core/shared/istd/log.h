// The process log and the statements that library code compiles in:
//
// - istd::Log, the process-wide log: a plain text file that is opened,
//   appended to and closed for every message ("[date time] Level   : text");
// - istd::LogCritical / LogError / LogWarning / LogInfo, which send a message
//   to the trace (at Low, Low, Medium, High) and to the log when it exists;
// - ISTD_TRACE(level, a << b << ...), the guarded trace statement: nothing is
//   formatted unless the trace is active and its level reaches `level`;
// - ISTD_TRACE_FNC(), a scope that traces entry and exit of the enclosing
//   function at level High.
//
// Thread-safety: any thread may log or trace. Log::WriteMessage holds the log
// mutex for its whole open-write-close-trace sequence and takes the trace
// mutex inside it; the reverse order never happens. Log::Init is meant for
// start-up, before other threads log.
#ifndef VARNEK_ISTD_LOG_H
#define VARNEK_ISTD_LOG_H

#include <atomic>
#include <mutex>
#include <sstream>
#include <string>

#include "istd/log_file.h"
#include "istd/process.h"
#include "istd/time.h"
#include "istd/trace.h"

namespace istd {

class Log : private LogFile {
 public:
  // True while the singleton exists (set by its construction, cleared by its
  // destruction); the logging functions write nothing otherwise.
  static std::atomic<bool> m_enabled;

  // The singleton, built on first use and destroyed at process exit.
  static Log& GetInstance();

  // Records the log file name and writes the file header when the file is new
  // or empty. Returns false when the file cannot be opened; the name stays
  // recorded for later messages.
  static bool Init(const std::string& fileName);

  void Info(const std::string& message);
  void Warning(const std::string& message);
  void Error(const std::string& message);
  void Critical(const std::string& message);

  // Appends "[date time] " + level (8 columns) + ": " + message as one line.
  // Also traced at Low. An entry that reaches neither the log file (no file
  // name, it cannot be opened or written) nor the trace file (inactive, or
  // active without an open file) goes to standard output, bare.
  void WriteMessage(const std::string& level, const std::string& message);

  std::string FileHeader() const override;
  std::string LineHeader() const override;

 private:
  Log();
  ~Log() override;
  using LogFile::Error;

  const std::string m_info = "Info";
  const std::string m_warning = "Warning";
  const std::string m_error = "Error";
  const std::string m_critical = "Critical";
  mutable Time m_time;
  std::mutex m_mutex;
};

}  // namespace istd

// The guarded trace statement: `message` is a chain of stream insertions,
// evaluated only when the trace is active and at `level` or above.
#define ISTD_TRACE(level, message)                                                     \
  do {                                                                                 \
    if (::istd::TraceFile::IsActive() && ::istd::TraceActiveLevel() >= (level)) {     \
      std::ostringstream istdTraceStream_;                                             \
      istdTraceStream_ << message;                                                     \
      ::istd::TraceWrite((level), __PRETTY_FUNCTION__, ISTD_SOURCE, __LINE__,          \
                         istdTraceStream_.str());                                      \
    }                                                                                  \
  } while (false)

// Traces entry and exit of the enclosing function at level High.
#define ISTD_TRACE_FNC() \
  ::istd::TraceFnc istdTraceFnc_(__PRETTY_FUNCTION__, ISTD_SOURCE, __LINE__)

namespace istd {

// Traced at Low; logged as Critical.
inline void LogCritical(const std::string& message) {
  if (TraceFile::IsActive() && TraceActiveLevel() >= eLow) {
    TraceWrite(eLow, __PRETTY_FUNCTION__, ISTD_SOURCE, __LINE__, message);
  }
  if (Log::m_enabled.load(std::memory_order_acquire)) Log::GetInstance().Critical(message);
}

// Traced at Low; logged as Error.
inline void LogError(const std::string& message) {
  if (TraceFile::IsActive() && TraceActiveLevel() >= eLow) {
    TraceWrite(eLow, __PRETTY_FUNCTION__, ISTD_SOURCE, __LINE__, message);
  }
  if (Log::m_enabled.load(std::memory_order_acquire)) Log::GetInstance().Error(message);
}

// Traced at Medium; logged as Warning.
inline void LogWarning(const std::string& message) {
  if (TraceFile::IsActive() && TraceActiveLevel() >= eMedium) {
    TraceWrite(eMedium, __PRETTY_FUNCTION__, ISTD_SOURCE, __LINE__, message);
  }
  if (Log::m_enabled.load(std::memory_order_acquire)) Log::GetInstance().Warning(message);
}

// Traced at High; logged as Info.
inline void LogInfo(const std::string& message) {
  if (TraceFile::IsActive() && TraceActiveLevel() >= eHigh) {
    TraceWrite(eHigh, __PRETTY_FUNCTION__, ISTD_SOURCE, __LINE__, message);
  }
  if (Log::m_enabled.load(std::memory_order_acquire)) Log::GetInstance().Info(message);
}

}  // namespace istd

#endif  // VARNEK_ISTD_LOG_H
