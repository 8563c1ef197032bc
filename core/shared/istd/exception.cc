// istd::Exception and the tracing of throws.
#include "istd/exception.h"

#include <string>
#include <vector>

#include "istd/log.h"
#include "istd/process.h"

namespace istd {

namespace {

// True for a frame of one of istd::Exception's own constructors, by its
// demangled or its mangled name.
bool IsExceptionConstructor(const std::string& frame) {
  return frame.find("istd::Exception::Exception(") != std::string::npos ||
         frame.find("_ZN4istd9ExceptionC") != std::string::npos;
}

// The frame that constructs the exception in `stack` as read in
// LogException: entry 0 is LogException, then come the constructor's frames
// (one, or two where the complete-object constructor calls the base-object
// one, as in sanitizer builds), then the constructing frame.
std::string ConstructingFrame(const std::vector<std::string>& stack) {
  size_t i = 1;
  while (i < stack.size() && IsExceptionConstructor(stack[i])) ++i;
  if (i == 1) i = 2;  // constructor frame not recognised: assume one
  return i < stack.size() ? stack[i] : std::string();
}

// Records a throw in the trace. Kept out of line so that the execution stack
// read here starts with this function and the exception constructor.
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
    const std::string caller = ConstructingFrame(GetExecutionStack(5));
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
