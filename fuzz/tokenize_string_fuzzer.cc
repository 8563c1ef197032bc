// Fuzz target of istd::TokenizeString. Input: one byte n, then n % 4
// delimiter characters, then the text (both C strings: they end at the first
// NUL). Checks: the tokens are the maximal runs of non-delimiter characters
// of the text, in order, none empty.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "istd/string_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t delimCount = data[0] % 4;
  if (size < 1 + delimCount) return 0;
  std::string delims(reinterpret_cast<const char*>(data) + 1, delimCount);
  delims = delims.c_str();  // a C string ends at its first NUL
  std::string text(reinterpret_cast<const char*>(data) + 1 + delimCount, size - 1 - delimCount);
  text = text.c_str();

  const istd::StrTokens tokens = istd::TokenizeString(text.c_str(), delims.c_str());

  istd::StrTokens expected;
  std::string run;
  for (char c : text) {
    if (delims.find(c) != std::string::npos) {
      if (!run.empty()) expected.push_back(run);
      run.clear();
    } else {
      run += c;
    }
  }
  if (!run.empty()) expected.push_back(run);
  FUZZ_CHECK(tokens == expected, text);
  return 0;
}
