// Target, path and number checks of rozweb's requests.
#include "request.h"

#include "api_error.h"

namespace rozweb {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Decode(const std::string& text, bool plusIsSpace) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      const int high = i + 2 < text.size() ? HexDigit(text[i + 1]) : -1;
      const int low = i + 2 < text.size() ? HexDigit(text[i + 2]) : -1;
      if (high < 0 || low < 0) throw ApiError(400, "bad %-escape in the request target");
      out += static_cast<char>(high * 16 + low);
      i += 2;
    } else if (c == '+' && plusIsSpace) {
      out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

Target ParseTarget(const std::string& target) {
  if (target.size() > c_maxTargetLength) throw ApiError(400, "request target too long");
  Target result;
  const size_t question = target.find('?');
  result.path = Decode(target.substr(0, question), false);
  if (question == std::string::npos) return result;
  const std::string query = target.substr(question + 1);
  size_t start = 0;
  while (start <= query.size()) {
    size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    const std::string pair = query.substr(start, end - start);
    if (!pair.empty()) {
      const size_t equals = pair.find('=');
      const std::string key = Decode(pair.substr(0, equals), true);
      const std::string value =
          equals == std::string::npos ? std::string() : Decode(pair.substr(equals + 1), true);
      if (!result.params.emplace(key, value).second) {
        throw ApiError(400, "parameter \"" + key + "\" given twice");
      }
    }
    start = end + 1;
  }
  return result;
}

roz::Path CheckNodePath(const std::string& path) {
  if (path.size() > c_maxPathLength) {
    throw ApiError(400, "path longer than " + std::to_string(c_maxPathLength) + " characters");
  }
  roz::Path elements;
  if (path.empty()) return elements;
  size_t start = 0;
  for (;;) {
    const size_t dot = path.find('.', start);
    const std::string element = path.substr(start, dot == std::string::npos ? dot : dot - start);
    if (element.empty()) throw ApiError(400, "empty element in the path \"" + path + "\"");
    for (unsigned char c : element) {
      if (c < 0x20 || c == 0x7f) throw ApiError(400, "control character in the path");
    }
    elements.push_back(element);
    if (elements.size() > c_maxPathElements) {
      throw ApiError(400, "path deeper than " + std::to_string(c_maxPathElements) + " elements");
    }
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  return elements;
}

unsigned long long ParseCount(const std::string& text, unsigned long long max,
                              const std::string& what) {
  if (text.empty() || text.size() > 19) throw ApiError(400, "bad " + what + " \"" + text + "\"");
  unsigned long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') throw ApiError(400, "bad " + what + " \"" + text + "\"");
    value = value * 10 + static_cast<unsigned long long>(c - '0');
  }
  if (value > max) {
    throw ApiError(400, what + " " + text + " is larger than " + std::to_string(max));
  }
  return value;
}

}  // namespace rozweb
