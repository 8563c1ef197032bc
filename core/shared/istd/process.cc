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
// Frames that may come before GetExecutionStack's own in a backtrace.
constexpr int c_maxLeadingFrames = 4;

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
  const int wanted = std::min(std::max(depth, 0), c_maxStackDepth);
  if (wanted == 0) return frames;
  // Room for this function's own frame and for the frames a sanitizer's
  // backtrace interceptor puts before it.
  void* addresses[c_maxStackDepth + c_maxLeadingFrames];
  const int captured = ::backtrace(addresses, wanted + c_maxLeadingFrames);
  // The first entry after this function's own frame; when that frame is
  // not found, frame 0 is taken to be this function.
  int first = 1;
  const void* self = reinterpret_cast<const void*>(&GetExecutionStack);
  for (int i = 0; i < std::min(captured, c_maxLeadingFrames); ++i) {
    Dl_info info;
    if (::dladdr(addresses[i], &info) != 0 && info.dli_saddr == self) {
      first = i + 1;
      break;
    }
  }
  const int last = std::min(captured, first + wanted);
  if (last <= first) return frames;
  std::unique_ptr<char*, void (*)(void*)> symbols(::backtrace_symbols(addresses, last),
                                                 std::free);
  if (!symbols) return frames;
  frames.reserve(static_cast<size_t>(last - first));
  for (int i = first; i < last; ++i) {
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
