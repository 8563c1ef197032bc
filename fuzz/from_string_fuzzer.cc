// Fuzz target of istd::FromString<T> for the eight value types of the
// registry. The first byte picks the type, the rest is the text. Checks:
// only istd::Exception with one of the documented texts escapes; a decimal
// integer that converts is exactly an optional sign and digits and has the
// value strtoll / strtoull give; a hexadecimal one ("0x...") has the value of
// its hex digits; a floating value agrees with strtod over the whole text.
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <type_traits>

#include "fuzz_check.h"
#include "istd/string_util.h"

namespace {

bool IsDecimal(const std::string& text) {
  size_t i = (!text.empty() && (text[0] == '+' || text[0] == '-')) ? 1 : 0;
  if (i == text.size()) return false;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

template <typename T>
void CheckIntegral(const std::string& text, T value) {
  errno = 0;
  char* end = nullptr;
  if (istd::detail::HasHexPrefix(text)) {
    // The bits of the hex number, taken as T.
    const unsigned long long bits = std::strtoull(text.c_str() + 2, &end, 16);
    FUZZ_CHECK(errno == 0 && end == text.c_str() + text.size(), text);
    FUZZ_CHECK(bits <= std::numeric_limits<std::make_unsigned_t<T>>::max(), text);
    FUZZ_CHECK(static_cast<T>(bits) == value, text);
    return;
  }
  FUZZ_CHECK(IsDecimal(text), text);
  if constexpr (std::is_signed_v<T>) {
    const long long expected = std::strtoll(text.c_str(), &end, 10);
    FUZZ_CHECK(errno == 0 && expected == static_cast<long long>(value), text);
  } else {
    FUZZ_CHECK(text[0] != '-', text);
    const unsigned long long expected = std::strtoull(text.c_str(), &end, 10);
    FUZZ_CHECK(errno == 0 && expected == static_cast<unsigned long long>(value), text);
  }
}

template <typename T>
void CheckFloating(const std::string& text, T value) {
  // NaN and infinity texts ("nan(...)", "infinity") are spelt more freely
  // by the conversion than by strtod.
  if (!std::isfinite(value)) return;
  char* end = nullptr;
  const T expected = std::is_same_v<T, float> ? std::strtof(text.c_str(), &end)
                                              : static_cast<T>(std::strtod(text.c_str(), &end));
  FUZZ_CHECK(end == text.c_str() + text.size(), text);
  if (std::isnan(expected)) {
    FUZZ_CHECK(std::isnan(value), text);
  } else {
    FUZZ_CHECK(value == expected || std::fabs(value - expected) <=
                                        std::fabs(expected) * 4 * std::numeric_limits<T>::epsilon(),
               text);
  }
}

template <typename T>
void Run(const std::string& text) {
  T value{};
  try {
    value = istd::FromString<T>(text);
  } catch (const istd::Exception& e) {
    const std::string message = e.what();
    FUZZ_CHECK(StartsWith(message, "Bad cast from ") || StartsWith(message, "Bad hex cast from ") ||
                   message == "Invalid cast from string to boolean.",
               message);
    return;
  }
  if constexpr (std::is_same_v<T, std::string>) {
    FUZZ_CHECK(value == text, text);
  } else if constexpr (std::is_same_v<T, bool>) {
    if (istd::detail::HasHexPrefix(text)) {
      FUZZ_CHECK(std::strtoull(text.c_str() + 2, nullptr, 16) == (value ? 1u : 0u), text);
    } else {
      FUZZ_CHECK(value ? (text == "1" || text == "true") : (text == "0" || text == "false"), text);
    }
  } else if constexpr (std::is_integral_v<T>) {
    CheckIntegral<T>(text, value);
  } else {
    CheckFloating<T>(text, value);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 8) {
    case 0: Run<bool>(text); break;
    case 1: Run<int>(text); break;
    case 2: Run<unsigned int>(text); break;
    case 3: Run<long long>(text); break;
    case 4: Run<unsigned long long>(text); break;
    case 5: Run<double>(text); break;
    case 6: Run<float>(text); break;
    default: Run<std::string>(text); break;
  }
  return 0;
}
