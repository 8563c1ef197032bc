// istd::Exception and the tracing of throws.
#include "istd/exception.h"

#include <vector>

#include "istd/log.h"
#include "istd/process.h"

namespace istd {

namespace {

// Records a throw in the trace. Kept out of line so that the execution stack
// read here has a fixed shape: this function, the exception constructor, and
// the frame that constructs the exception.
__attribute__((noinline)) void LogException(const char* message, bool trace) {
  static const char* const c_function = "void LogException(const char*, bool)";
  try {
    if (!trace || !TraceFile::IsActive()) return;
    bool dumpStack = false;
    TraceFile::GetInstance().GetDumpStack(dumpStack);
    if (dumpStack) {
      if (TraceActiveLevel() > eOff) {
        TraceWrite(eLow, c_function, ISTD_SOURCE, __LINE__,
                   std::string("** Thrown istd::Exception: ") + message);
      }
      TraceFile::GetInstance().DumpStack();
      return;
    }
    std::vector<std::string> stack = GetExecutionStack(3);
    const std::string caller = stack.size() > 1 ? stack.back() : std::string();
    if (TraceFile::IsActive() && TraceActiveLevel() > eOff) {
      TraceWrite(eLow, c_function, ISTD_SOURCE, __LINE__,
                 std::string("** Thrown istd::Exception: ") + message);
      TraceWrite(eLow, c_function, ISTD_SOURCE, __LINE__, "** in: " + caller);
    }
  } catch (...) {
    // Tracing a throw must never replace the exception being built.
  }
}

}  // namespace

__attribute__((noinline)) Exception::Exception(const std::string& message, bool trace)
    : m_message(message) {
  LogException(m_message.c_str(), trace);
}

__attribute__((noinline)) Exception::Exception(const char* message, bool trace)
    : m_message(message != nullptr ? message : "") {
  LogException(m_message.c_str(), trace);
}

__attribute__((noinline)) Exception::Exception(std::ostringstream& message, bool trace)
    : m_message(message.str()) {
  LogException(m_message.c_str(), trace);
}

Exception::~Exception() = default;

const char* Exception::what() const noexcept { return m_message.c_str(); }

std::ostream& operator<<(std::ostream& os, const Exception& e) { return os << e.what(); }

}  // namespace istd
