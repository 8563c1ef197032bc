// istd::Log, the process log.
#include "istd/log.h"

#include <unistd.h>

#include <cerrno>
#include <iomanip>
#include <sstream>

#include "istd/ver_info.h"

namespace istd {

std::atomic<bool> Log::m_enabled{false};

Log::Log() : m_time(Time::c_dateTime) { m_enabled.store(true, std::memory_order_release); }

Log::~Log() { m_enabled.store(false, std::memory_order_release); }

Log& Log::GetInstance() {
  static Log instance;
  return instance;
}

bool Log::Init(const std::string& fileName) {
  Log& log = GetInstance();
  if (!log.Open(fileName, false)) return false;
  log.Close();
  return true;
}

void Log::Info(const std::string& message) { WriteMessage(m_info, message); }
void Log::Warning(const std::string& message) { WriteMessage(m_warning, message); }
void Log::Error(const std::string& message) { WriteMessage(m_error, message); }
void Log::Critical(const std::string& message) { WriteMessage(m_critical, message); }

void Log::WriteMessage(const std::string& level, const std::string& message) {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::ostringstream os;
  os << std::left << std::setw(8) << level << ": " << message;
  const std::string entry = os.str();
  const std::string fileName = m_fileName;
  bool written = false;
  if (!fileName.empty() && Open(fileName, false)) {
    Write(entry.c_str(), static_cast<unsigned int>(entry.size()));
    // A failed write has closed the file already (HandleError).
    written = IsOpen();
    Close();
  }
  // The trace counts as the entry's destination only when the line really
  // went into it: an active trace may have no file open (after a write
  // error, or Continue after Stop).
  bool traced = false;
  if (TraceFile::IsActive() && TraceActiveLevel() > eOff) {
    traced = TraceFile::GetInstance().Trace(
        eLow, "void istd::Log::WriteMessage(const std::string&, const std::string&)", ISTD_SOURCE,
        __LINE__, entry);
  }
  if (!written && !traced) {
    // Nothing is lost silently: an entry that reached neither the log file
    // nor the trace goes to standard output.
    const char* p = entry.data();
    size_t left = entry.size();
    while (left > 0) {
      const ssize_t n = ::write(1, p, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      p += n;
      left -= static_cast<size_t>(n);
    }
  }
}

std::string Log::LineHeader() const {
  m_time.UpdateToCurrent();
  return std::string("[") + m_time.Text() + "] ";
}

std::string Log::FileHeader() const {
  const Time now(Time::c_dateTimeNs);
  const std::string rule(79, '-');
  std::ostringstream os;
  os << rule << "\n"
     << "* *****Logging started *****\n"
     << "\n"
     << "* Version       : " << VerInfo::VersionString() << "\n"
     << "* Start time    : " << now << "\n"
     << "* Process name  : " << GetProgName() << "\n"
     << rule << "\n"
     << "\n";
  return os.str();
}

}  // namespace istd
