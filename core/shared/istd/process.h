// Process introspection used in messages, file names and headers: program
// name, process and kernel thread ids, demangled type names and the call
// stack of the calling thread.
//
// Thread-safety: every function may be called from any thread; none keeps
// state between calls.
#ifndef VARNEK_ISTD_PROCESS_H
#define VARNEK_ISTD_PROCESS_H

#include <string>
#include <typeinfo>
#include <vector>

namespace istd {

// Short name under which the process was started (no directories).
// Returns a pointer into process-lifetime storage; never null.
const char* GetProgName();

// Process id of the caller.
int GetPid();

// Kernel thread id (gettid) of the calling thread, not the pthread handle.
int GetTid();

// Demangled form of a mangled C++ name; a name that does not demangle is
// returned unchanged. Never throws except on allocation failure.
std::string CppName(const char* mangled);
std::string CppName(const std::type_info& type);

// The call stack of the calling thread, at most min(depth, 128) frames,
// innermost first: entry 0 is the caller of GetExecutionStack. A frame whose
// symbol resolves and demangles reads "module(symbol) [address]"; other
// frames keep the text of backtrace_symbols. Empty when symbols cannot be
// produced or depth is 0.
std::vector<std::string> GetExecutionStack(int depth);

// Frame text of the function that called ThisFncName(), or "" when the stack
// cannot be read.
std::string ThisFncName();

// Base name of a source path (the part after the last '/'); used by the
// trace statements to name the source of a line.
constexpr const char* SourceBaseName(const char* path) {
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/') base = p + 1;
  }
  return base;
}

}  // namespace istd

// Source name of the current file, as it appears in trace lines.
#define ISTD_SOURCE (::istd::SourceBaseName(__FILE__))

#endif  // VARNEK_ISTD_PROCESS_H
