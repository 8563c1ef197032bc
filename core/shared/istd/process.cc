// Process introspection: program name, ids, demangling, call stacks.
#include "istd/process.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <errno.h>
#include <execinfo.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace istd {

namespace {
constexpr int c_maxStackDepth = 128;
constexpr size_t c_maxFrameText = 500;

// Demangles or returns nullptr; the caller frees the result.
char* Demangle(const char* mangled) {
  if (mangled == nullptr || *mangled == '\0') return nullptr;
  int status = 0;
  char* out = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
  if (status != 0) {
    std::free(out);
    return nullptr;
  }
  return out;
}
}  // namespace

const char* GetProgName() { return program_invocation_short_name; }

int GetPid() { return static_cast<int>(::getpid()); }

int GetTid() { return static_cast<int>(::syscall(SYS_gettid)); }

std::string CppName(const char* mangled) {
  if (mangled == nullptr) return std::string();
  std::unique_ptr<char, void (*)(void*)> out(Demangle(mangled), std::free);
  return out ? std::string(out.get()) : std::string(mangled);
}

std::string CppName(const std::type_info& type) { return CppName(type.name()); }

__attribute__((noinline)) std::vector<std::string> GetExecutionStack(int depth) {
  std::vector<std::string> frames;
  const int wanted = std::min(std::max(depth, 0), c_maxStackDepth) + 1;
  void* addresses[c_maxStackDepth + 1];
  const int captured = ::backtrace(addresses, wanted);
  if (captured <= 1) return frames;
  std::unique_ptr<char*, void (*)(void*)> symbols(::backtrace_symbols(addresses, captured),
                                                 std::free);
  if (!symbols) return frames;
  frames.reserve(static_cast<size_t>(captured - 1));
  // Frame 0 is this function itself.
  for (int i = 1; i < captured; ++i) {
    Dl_info info;
    if (::dladdr(addresses[i], &info) != 0 && info.dli_sname != nullptr) {
      std::unique_ptr<char, void (*)(void*)> name(Demangle(info.dli_sname), std::free);
      if (name) {
        char text[c_maxFrameText + 1];
        std::snprintf(text, sizeof text, "%s(%s) [%p]",
                      info.dli_fname != nullptr ? info.dli_fname : "", name.get(),
                      info.dli_saddr);
        frames.emplace_back(text);
        continue;
      }
    }
    frames.emplace_back(symbols.get()[i]);
  }
  return frames;
}

__attribute__((noinline)) std::string ThisFncName() {
  std::vector<std::string> stack = GetExecutionStack(2);
  return stack.empty() ? std::string() : stack.back();
}

}  // namespace istd
