// Fuzz target of istd::HexTo<T>. The first byte picks the type, the rest is
// the text. Checks: only istd::Exception "Bad hex cast from <text> to <type>"
// escapes; a text that converts is an optional sign, an optional "0x" and
// hex digits, and its value is the one strtoll / strtoull give in base 16.
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <type_traits>

#include "fuzz_check.h"
#include "istd/string_util.h"

namespace {

bool IsHexNumber(const std::string& text) {
  // The stream skips leading white space.
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  if (text.compare(i, 2, "0x") == 0 || text.compare(i, 2, "0X") == 0) i += 2;
  if (i == text.size()) return false;
  for (; i < text.size(); ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

template <typename T>
void Run(const std::string& text) {
  T value{};
  try {
    value = istd::HexTo<T>(text);
  } catch (const istd::Exception& e) {
    const std::string expected = "Bad hex cast from " + text + " to " + istd::CppName(typeid(T));
    // what() is a C string: a text with a NUL shows up to it.
    FUZZ_CHECK(std::string(e.what()) == expected.c_str(), e.what());
    return;
  }
  FUZZ_CHECK(IsHexNumber(text), text);
  errno = 0;
  if constexpr (std::is_same_v<T, bool>) {
    const unsigned long long n = std::strtoull(text.c_str(), nullptr, 16);
    FUZZ_CHECK(n == (value ? 1u : 0u), text);
  } else if constexpr (std::is_signed_v<T>) {
    const long long n = std::strtoll(text.c_str(), nullptr, 16);
    FUZZ_CHECK(errno == 0 && n == static_cast<long long>(value), text);
  } else {
    // Unsigned types read a leading "-" the way strtoull does: the value
    // negated modulo 2^N (N the width of T).
    const unsigned long long n = std::strtoull(text.c_str(), nullptr, 16);
    FUZZ_CHECK(static_cast<T>(n) == value, text);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 6) {
    case 0: Run<bool>(text); break;
    case 1: Run<int>(text); break;
    case 2: Run<unsigned int>(text); break;
    case 3: Run<long long>(text); break;
    case 4: Run<unsigned long long>(text); break;
    default: Run<unsigned short>(text); break;
  }
  return 0;
}
