// The trace: the developer-facing diagnostic stream of the process, one text
// file (or standard output) to which any thread writes timestamped lines at
// one of four levels. istd::TraceFile is the process-wide singleton; library
// code writes through the guarded statement ISTD_TRACE of "istd/log.h",
// which formats nothing unless the trace is active and its level is reached.
//
// Thread-safety: Trace() serialises writers with the trace mutex, so each
// entry is one write of whole lines. The configuration operations (Init,
// Start, SetLevel, Pause, Continue, Stop, the flag setters) are meant for one
// controlling thread. The active flag and the level are read without a lock
// by tracing threads. Lock order: the log mutex may be held while the trace
// mutex is taken, never the reverse.
#ifndef VARNEK_ISTD_TRACE_H
#define VARNEK_ISTD_TRACE_H

#include <atomic>
#include <mutex>
#include <string>

#include "istd/literals.h"
#include "istd/log_file.h"
#include "istd/time.h"

namespace istd {

// A line at level L is written when L <= the current level.
enum TraceLevel_e : int {
  eOff = 0,     // nothing is traced
  eLow = 1,     // errors, thrown exceptions, assertion notes
  eMedium = 2,  // warnings
  eHigh = 3,    // informational messages, function entry and exit
  eDetail = 4,  // everything; also switches stack dumps on
};

// Text names "Off", "Low", "Medium", "High", "Detail".
template <>
const BiMap<TraceLevel_e> EnumMap<TraceLevel_e>::items;

class TraceFile : public LogFile {
 public:
  // The singleton, built on first use; its destruction at process exit
  // closes the file with the trailer.
  static TraceFile& GetInstance();

  // Stores the target file name and directory; nothing is opened. An empty
  // name or "-" means standard output, "+" a generated name.
  static void Init(const std::string& fileName, const std::string& directory);

  // Opens the target and activates the trace at `level`; does nothing when
  // the file is already open or `level` is Off. An unopenable target leaves
  // the trace inactive.
  void Start(TraceLevel_e level);
  // Changes the level (starting the trace when inactive; Off stops it).
  // Always returns true.
  bool SetLevel(const TraceLevel_e& level);
  // The current level, also while inactive. Always returns true.
  bool GetLevel(TraceLevel_e& level) const;
  void Pause();
  void Continue();
  // Deactivates and closes the file (writing the trailer).
  void Stop();

  bool SetPrintFile(const bool& value);
  bool GetPrintFile(bool& value) const;
  bool SetPrintLine(const bool& value);
  bool GetPrintLine(bool& value) const;
  bool SetDumpStack(const bool& value);
  bool GetDumpStack(bool& value) const;

  // Writes `message` when `level` <= the current level, prefixed by the
  // source file (print-file flag) and the line (print-line flag). The
  // function signature is not printed. Returns whether the line was written:
  // false as well while no file is open (after a write error, or Continue
  // after Stop) and when the write fails.
  bool Trace(TraceLevel_e level, const char* function, const char* file, int line,
             const std::string& message);
  // Writes the call stack as one entry when active with stack dumps on.
  void DumpStack();
  // (directory or ".") + "/" + program name + "_" + pid + ".log".
  std::string GeneratedTraceFileName() const;

  // Unlocked reads for the guard of the trace statement.
  static bool IsActive() noexcept { return s_active.load(std::memory_order_relaxed); }
  static TraceLevel_e CurrentLevel() noexcept {
    return static_cast<TraceLevel_e>(s_level.load(std::memory_order_relaxed));
  }

  std::string FileHeader() const override;
  std::string AppendBanner() const override;
  std::string FileTrailer() const override;
  std::string LineHeader() const override;

 private:
  TraceFile();
  ~TraceFile() override;

  std::string Banner(const char* title) const;
  std::string TargetName() const;
  // Writes a control line ("*** ...") when the file is open.
  void WriteControlLine(const std::string& text);

  // The active flag and the level live in static atomics so that the guard
  // of a trace statement is one relaxed load and one compare and never builds
  // the singleton.
  static std::atomic<bool> s_active;
  static std::atomic<int> s_level;

  mutable Time m_time;
  std::string m_traceFileName;
  std::string m_directory;
  bool m_printFile = false;
  bool m_printLine = true;
  std::atomic<bool> m_dumpStack{false};
  std::mutex m_mutex;
};

// The singleton's current level (as GetLevel answers it).
inline TraceLevel_e TraceActiveLevel() { return TraceFile::CurrentLevel(); }

// Forwards to the singleton's Trace(). The level is Off before the trace
// starts and after the singleton is destroyed, so this never touches a
// singleton that does not exist.
inline void TraceWrite(TraceLevel_e level, const char* function, const char* file, int line,
                       const std::string& message) {
  if (level <= TraceFile::CurrentLevel()) {
    TraceFile::GetInstance().Trace(level, function, file, line, message);
  }
}

// Scope object: traces "==> " + function on entry and "<== " + function on
// exit, each at level High when the trace is active at High or above at that
// moment.
class TraceFnc {
 public:
  TraceFnc(const char* function, const char* file, int line)
      : m_function(function), m_file(file), m_line(line) {
    if (TraceFile::IsActive() && TraceActiveLevel() >= eHigh) Enter();
  }
  virtual ~TraceFnc() {
    if (TraceFile::IsActive() && TraceActiveLevel() >= eHigh) Leave();
  }
  TraceFnc(const TraceFnc&) = delete;
  TraceFnc& operator=(const TraceFnc&) = delete;

 private:
  void Enter() const;
  void Leave() const;

  const char* m_function;
  const char* m_file;
  int m_line;
};

}  // namespace istd

#endif  // VARNEK_ISTD_TRACE_H
