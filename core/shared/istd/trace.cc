// istd::TraceFile, the trace statement's back end, and istd::TraceFnc.
#include "istd/trace.h"

#include <cstdio>
#include <sstream>
#include <vector>

#include "istd/process.h"
#include "istd/ver_info.h"

namespace istd {

namespace {
const std::pair<TraceLevel_e, const char*> c_traceLevelTable[] = {
    {eOff, "Off"}, {eLow, "Low"}, {eMedium, "Medium"}, {eHigh, "High"}, {eDetail, "Detail"}};

const std::string c_rule(79, '-');
}  // namespace

template <>
const BiMap<TraceLevel_e> EnumMap<TraceLevel_e>::items(c_traceLevelTable);

std::atomic<bool> TraceFile::s_active{false};
std::atomic<int> TraceFile::s_level{eOff};

TraceFile::TraceFile() : m_time(Time::c_timeOfDayNs) {}

TraceFile::~TraceFile() {
  s_active.store(false, std::memory_order_relaxed);
  s_level.store(eOff, std::memory_order_relaxed);
  std::lock_guard<std::mutex> lock(m_mutex);
  Close();  // the base destructor would no longer see our trailer
}

TraceFile& TraceFile::GetInstance() {
  static TraceFile instance;
  return instance;
}

void TraceFile::Init(const std::string& fileName, const std::string& directory) {
  TraceFile& t = GetInstance();
  t.m_traceFileName = fileName;
  t.m_directory = directory;
}

std::string TraceFile::GeneratedTraceFileName() const {
  std::ostringstream os;
  os << (m_directory.empty() ? std::string(".") : m_directory) << "/" << GetProgName() << "_"
     << GetPid() << ".log";
  return os.str();
}

std::string TraceFile::TargetName() const {
  if (m_traceFileName.empty() || m_traceFileName == "-") return c_emptyStr;
  if (m_traceFileName == "+") return GeneratedTraceFileName();
  if (!m_directory.empty()) return m_directory + "/" + m_traceFileName;
  return m_traceFileName;
}

void TraceFile::Start(TraceLevel_e level) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (IsOpen() || level == eOff) return;
  s_level.store(level, std::memory_order_relaxed);
  if (Open(TargetName(), false)) s_active.store(true, std::memory_order_relaxed);
}

bool TraceFile::SetLevel(const TraceLevel_e& level) {
  if (level == CurrentLevel()) return true;
  if (!IsActive()) Start(level);
  s_level.store(level, std::memory_order_relaxed);
  WriteControlLine("*** Trace level changed to " + std::to_string(static_cast<int>(level)));
  if (level == eOff) {
    Stop();
  } else {
    m_dumpStack.store(level == eDetail, std::memory_order_relaxed);
  }
  return true;
}

bool TraceFile::GetLevel(TraceLevel_e& level) const {
  level = CurrentLevel();
  return true;
}

void TraceFile::WriteControlLine(const std::string& text) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!IsOpen()) return;
  Write(text.c_str(), static_cast<unsigned int>(text.size()));
}

void TraceFile::Pause() {
  WriteControlLine("*** Tracing paused. ***");
  s_active.store(false, std::memory_order_relaxed);
}

void TraceFile::Continue() {
  WriteControlLine("*** Tracing continued. ***");
  s_active.store(true, std::memory_order_relaxed);
}

void TraceFile::Stop() {
  s_active.store(false, std::memory_order_relaxed);
  std::lock_guard<std::mutex> lock(m_mutex);
  Close();
}

bool TraceFile::SetPrintFile(const bool& value) {
  m_printFile = value;
  return true;
}
bool TraceFile::GetPrintFile(bool& value) const {
  value = m_printFile;
  return true;
}
bool TraceFile::SetPrintLine(const bool& value) {
  m_printLine = value;
  return true;
}
bool TraceFile::GetPrintLine(bool& value) const {
  value = m_printLine;
  return true;
}
bool TraceFile::SetDumpStack(const bool& value) {
  m_dumpStack.store(value, std::memory_order_relaxed);
  return true;
}
bool TraceFile::GetDumpStack(bool& value) const {
  value = m_dumpStack.load(std::memory_order_relaxed);
  return true;
}

bool TraceFile::Trace(TraceLevel_e level, const char* /*function*/, const char* file, int line,
                      const std::string& message) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (level > CurrentLevel() || !IsOpen()) return false;
  std::string text;
  text.reserve(message.size() + 32);
  if (m_printFile && file != nullptr) text += file;
  if (m_printLine) {
    char number[16];
    std::snprintf(number, sizeof number, "%4d", line);
    text += number;
  }
  if ((m_printFile && file != nullptr) || m_printLine) text += ": ";
  text += message;
  Write(text.c_str(), static_cast<unsigned int>(text.size()));
  // A failed write closes the file (LogFile::HandleError).
  return IsOpen();
}

void TraceFile::DumpStack() {
  if (!IsActive() || !m_dumpStack.load(std::memory_order_relaxed)) return;
  const std::vector<std::string> frames = GetExecutionStack(64);
  std::ostringstream os;
  for (size_t i = 0; i < frames.size(); ++i) {
    if (i != 0) os << "\n";
    os << i << ". " << frames[i];
  }
  const std::string text = os.str();
  std::lock_guard<std::mutex> lock(m_mutex);
  Write(text.c_str(), static_cast<unsigned int>(text.size()));
}

std::string TraceFile::LineHeader() const {
  m_time.UpdateToCurrent();
  char tid[16];
  std::snprintf(tid, sizeof tid, "%05d", GetTid());
  std::string header = "[";
  header += tid;
  header += ": ";
  header += m_time.Text();
  header += "] ";
  return header;
}

std::string TraceFile::Banner(const char* title) const {
  const Time now(Time::c_dateTimeNs);
  std::ostringstream os;
  os << c_rule << "\n"
     << title << "\n"
     << "\n"
     << "* Version       : " << VerInfo::VersionString() << "\n"
     << "* Start time    : " << now << "\n"
     << "* Process name  : " << GetProgName() << "\n"
     << "* Process id    : " << GetPid() << "\n"
     << c_rule << "\n"
     << "\n";
  return os.str();
}

std::string TraceFile::FileHeader() const { return Banner("* ***** Trace started *****"); }

std::string TraceFile::AppendBanner() const { return Banner("* ***** Trace appended *****"); }

std::string TraceFile::FileTrailer() const {
  const Time now(Time::c_dateTimeNs);
  std::ostringstream os;
  os << "\n"
     << c_rule << "\n"
     << "* ***** Trace stopped *****\n"
     << "\n"
     << "* End time      : " << now << "\n"
     << c_rule << "\n"
     << "\n";
  return os.str();
}

void TraceFnc::Enter() const {
  TraceWrite(eHigh, m_function, m_file, m_line, std::string("==> ") + m_function);
}

void TraceFnc::Leave() const {
  TraceWrite(eHigh, m_function, m_file, m_line, std::string("<== ") + m_function);
}

}  // namespace istd
