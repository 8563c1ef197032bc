// Fuzz target of istd::HexDump. Input: bytes per line, a show-characters
// byte, then the data. Checks: one line per bytesPerLine bytes (the
// documented clamping applied), each "ooooo: " with its offset, the bytes as
// two hex digits and a blank each (padded to a full line), and with
// characters shown a blank and the printable characters ('.' for others);
// reading the hex back gives the data.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz_check.h"
#include "istd/string_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const unsigned int bytesPerLine = data[0] % 32;
  const bool showChars = (data[1] & 1) != 0;
  const uint8_t* bytes = data + 2;
  const unsigned int n = static_cast<unsigned int>(size - 2);

  const std::string dump = istd::HexDump(bytes, n, bytesPerLine, showChars);
  if (n == 0) {
    FUZZ_CHECK(dump.empty(), dump);
    return 0;
  }
  unsigned int perLine = (bytesPerLine >= 1 && bytesPerLine <= 24) ? bytesPerLine : 24;
  if (showChars && perLine > 18) perLine = 18;

  size_t pos = 0;
  for (unsigned int offset = 0; offset < n; offset += perLine) {
    const size_t eol = dump.find('\n', pos);
    FUZZ_CHECK(eol != std::string::npos, dump);
    const std::string line = dump.substr(pos, eol - pos);
    pos = eol + 1;
    char head[16];
    std::snprintf(head, sizeof head, "%05u: ", offset);
    FUZZ_CHECK(StartsWith(line, head), line);
    const unsigned int count = n - offset < perLine ? n - offset : perLine;
    size_t at = std::char_traits<char>::length(head);
    FUZZ_CHECK(line.size() >= at + 3 * perLine, line);
    for (unsigned int i = 0; i < count; ++i, at += 3) {
      unsigned int value = 0;
      FUZZ_CHECK(std::isxdigit(static_cast<unsigned char>(line[at])) &&
                     std::isxdigit(static_cast<unsigned char>(line[at + 1])) && line[at + 2] == ' ',
                 line);
      std::sscanf(line.c_str() + at, "%2X", &value);
      FUZZ_CHECK(value == bytes[offset + i], line);
    }
    FUZZ_CHECK(line.compare(at, 3 * (perLine - count), std::string(3 * (perLine - count), ' ')) == 0,
               line);
    at += 3 * (perLine - count);
    if (showChars) {
      std::string chars = " ";
      for (unsigned int i = 0; i < count; ++i) {
        const unsigned char c = bytes[offset + i];
        chars += std::isgraph(c) ? static_cast<char>(c) : '.';
      }
      FUZZ_CHECK(line.substr(at) == chars, line);
    } else {
      FUZZ_CHECK(line.size() == at, line);
    }
  }
  FUZZ_CHECK(pos == dump.size(), dump);
  return 0;
}
