// Free string and number helpers: tolerant floating comparison, joining,
// trimming and tokenizing, hex dumps, and the whole-text conversions of text
// to numbers (istd::FromString, istd::HexTo).
//
// Thread-safety: all functions are reentrant.
#ifndef VARNEK_ISTD_STRING_UTIL_H
#define VARNEK_ISTD_STRING_UTIL_H

#include <boost/lexical_cast.hpp>
#include <sstream>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include "istd/exception.h"
#include "istd/process.h"

namespace istd {

// A vector of strings.
using StrTokens = std::vector<std::string>;

// True when |max(a, b) * 1e-15| >= |a - b|: relative comparison, so a value
// near zero equals only itself.
bool Equal(double a, double b);

// Items joined with `separator` between neighbours; "" for no items.
std::string StringVecIntoString(std::vector<std::string> items, const char* separator);

// "1" and "true" give true, "0" and "false" false (exact, case-sensitive).
// Throws istd::Exception "Invalid cast from string to boolean." otherwise.
bool ToBool(const std::string& text);

// `text` without leading and trailing white space; "" for null or empty.
std::string TrimString(const char* text);

// Splits `text` at every character of `delimiters` (strtok semantics: no
// empty tokens, leading and trailing delimiters ignored).
StrTokens TokenizeString(const char* text, const char* delimiters);

// Offset, hex bytes and optionally the printable characters of `data`,
// `bytesPerLine` per line (1..24, else 24; at most 18 with characters).
// "" for a size of 0.
std::string HexDump(const void* data, unsigned int size, unsigned int bytesPerLine,
                    bool showChars);

// Reads the whole of `text` as a hexadecimal number (an optional "0x" prefix
// is accepted). Throws istd::Exception "Bad hex cast from " + text + " to " +
// type name when the text is not entirely a number of type T.
template <typename T>
T HexTo(const std::string& text) {
  std::istringstream is(text);
  T value{};
  is >> std::hex >> value;
  if (is.fail() || is.peek() != std::char_traits<char>::eof()) {
    throw Exception("Bad hex cast from " + text + " to " + CppName(typeid(T)), true);
  }
  return value;
}

namespace detail {
inline bool HasHexPrefix(const std::string& text) {
  return text.size() > 2 && text[0] == '0' && text[1] == 'x';
}
[[noreturn]] void ThrowBadCast(const std::string& text, const std::type_info& type);
}  // namespace detail

// Whole-text conversion of `text` to T:
// - integral T: a text longer than 2 characters that starts with "0x" is read
//   as hexadecimal (signed types through the unsigned type of the same width,
//   the bits taken as the signed value); unsigned T refuses a leading "-";
//   otherwise decimal, the whole text and nothing else;
// - bool: "0x" prefix as hexadecimal 0 or 1, otherwise istd::ToBool;
// - floating T: decimal;
// - std::string: the text itself.
// Throws istd::Exception "Bad cast from " + text + " to " + type name (or the
// HexTo / ToBool texts) on failure.
template <typename T>
T FromString(const std::string& text) {
  if constexpr (std::is_same_v<T, std::string>) {
    return text;
  } else if constexpr (std::is_same_v<T, bool>) {
    if (detail::HasHexPrefix(text)) return HexTo<bool>(text);
    return ToBool(text);
  } else if constexpr (std::is_integral_v<T>) {
    if (detail::HasHexPrefix(text)) {
      return static_cast<T>(HexTo<std::make_unsigned_t<T>>(text));
    }
    if (std::is_unsigned_v<T> && !text.empty() && text[0] == '-') {
      detail::ThrowBadCast(text, typeid(T));
    }
    try {
      return boost::lexical_cast<T>(text);
    } catch (const boost::bad_lexical_cast&) {
      detail::ThrowBadCast(text, typeid(T));
    }
  } else {
    static_assert(std::is_floating_point_v<T>, "FromString: unsupported type");
    try {
      return boost::lexical_cast<T>(text);
    } catch (const boost::bad_lexical_cast&) {
      detail::ThrowBadCast(text, typeid(T));
    }
  }
}

}  // namespace istd

#endif  // VARNEK_ISTD_STRING_UTIL_H
