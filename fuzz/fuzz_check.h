// Shared helper of the fuzz targets: a broken property aborts with a message,
// which libFuzzer reports as a crash and keeps the input of.
//
// Thread-safety: used by libFuzzer's single fuzzing thread.
#ifndef VARNEK_FUZZ_FUZZ_CHECK_H
#define VARNEK_FUZZ_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(condition, what)                                                     \
  do {                                                                                  \
    if (!(condition)) {                                                                 \
      std::fprintf(stderr, "fuzz check failed: %s (%s) at %s:%d\n", #condition,       \
                   std::string(what).c_str(), __FILE__, __LINE__);                      \
      std::abort();                                                                     \
    }                                                                                   \
  } while (false)

// True when `text` starts with `prefix`.
inline bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

#endif  // VARNEK_FUZZ_FUZZ_CHECK_H
