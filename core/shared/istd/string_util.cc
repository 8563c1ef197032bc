// Free string and number helpers.
#include "istd/string_util.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace istd {

bool Equal(double a, double b) {
  const double larger = a > b ? a : b;
  return std::fabs(larger * 1e-15) >= std::fabs(a - b);
}

std::string StringVecIntoString(std::vector<std::string> items, const char* separator) {
  std::string out;
  const char* sep = separator != nullptr ? separator : "";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i != 0) out += sep;
    out += items[i];
  }
  return out;
}

bool ToBool(const std::string& text) {
  if (text == "1" || text == "true") return true;
  if (text == "0" || text == "false") return false;
  throw Exception("Invalid cast from string to boolean.", true);
}

std::string TrimString(const char* text) {
  if (text == nullptr || *text == '\0') return std::string();
  const char* begin = text;
  while (*begin != '\0' && std::isspace(static_cast<unsigned char>(*begin))) ++begin;
  const char* end = begin + std::strlen(begin);
  while (end > begin && std::isspace(static_cast<unsigned char>(end[-1]))) --end;
  return std::string(begin, end);
}

StrTokens TokenizeString(const char* text, const char* delimiters) {
  StrTokens tokens;
  if (text == nullptr) return tokens;
  const char* delims = delimiters != nullptr ? delimiters : "";
  std::string copy(text);
  char* save = nullptr;
  for (char* t = ::strtok_r(&copy[0], delims, &save); t != nullptr;
       t = ::strtok_r(nullptr, delims, &save)) {
    tokens.emplace_back(t);
  }
  return tokens;
}

std::string HexDump(const void* data, unsigned int size, unsigned int bytesPerLine,
                    bool showChars) {
  std::string out;
  if (size == 0 || data == nullptr) return out;
  unsigned int perLine = (bytesPerLine >= 1 && bytesPerLine <= 24) ? bytesPerLine : 24;
  if (showChars && perLine > 18) perLine = 18;
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  char cell[16];
  for (unsigned int offset = 0; offset < size; offset += perLine) {
    const unsigned int n = (size - offset < perLine) ? size - offset : perLine;
    std::snprintf(cell, sizeof cell, "%05d: ", static_cast<int>(offset));
    out += cell;
    for (unsigned int i = 0; i < n; ++i) {
      std::snprintf(cell, sizeof cell, "%02X ", bytes[offset + i]);
      out += cell;
    }
    for (unsigned int i = n; i < perLine; ++i) out += "   ";
    if (showChars) {
      out += ' ';
      for (unsigned int i = 0; i < n; ++i) {
        const unsigned char c = bytes[offset + i];
        out += std::isgraph(c) ? static_cast<char>(c) : '.';
      }
    }
    out += '\n';
  }
  return out;
}

namespace detail {
void ThrowBadCast(const std::string& text, const std::type_info& type) {
  throw Exception("Bad cast from " + text + " to " + CppName(type), true);
}
}  // namespace detail

}  // namespace istd
