// Checked pieces of a request of rozweb's interface: the target split into
// its path and query parameters (percent-decoded), registry node paths, and
// the limits every input is held to.
//
// Thread-safety: pure functions and constants; any thread.
#ifndef VARNEK_TOOLS_ROZWEB_REQUEST_H
#define VARNEK_TOOLS_ROZWEB_REQUEST_H

#include <cstddef>
#include <map>
#include <string>

#include "client/roz_util.h"

namespace rozweb {

// Limits of the input rozweb accepts.
constexpr size_t c_maxTargetLength = 4096;      // request target (path and query)
constexpr size_t c_maxHeaderBytes = 16 * 1024;  // all header fields of a request
constexpr size_t c_maxBodyBytes = 1024 * 1024;  // a PUT or POST body
constexpr size_t c_maxPathLength = 1024;        // a dotted node path
constexpr size_t c_maxPathElements = 64;        // its elements
constexpr int c_maxTreeDepth = 16;              // /api/tree depth
constexpr size_t c_maxTreeNodes = 20000;        // nodes one /api/tree answer lists
constexpr size_t c_maxArrayCount = 16 * 1024 * 1024;  // count of an array read, elements
constexpr unsigned int c_maxRangeAtoms = 1000000;     // atoms of one /api/signal read
constexpr size_t c_maxWsMessageBytes = 64 * 1024;     // one WebSocket message from a browser

struct Target {
  std::string path;                           // "/api/value"
  std::map<std::string, std::string> params;  // decoded query parameters
};

// Splits and decodes `target` ("/api/value?path=a.b&pos=0"): "+" and %XX
// in the query. Throws ApiError 400 for bad escapes, a repeated parameter
// or a target longer than c_maxTargetLength.
Target ParseTarget(const std::string& target);

// The elements of a dotted node path ("" is the registry's root). Throws
// ApiError 400 for a path longer than c_maxPathLength, with more than
// c_maxPathElements elements, with an empty element ("a..b", ".a") or with
// control characters.
roz::Path CheckNodePath(const std::string& path);

// The decimal text `text` as a number in [0, max]; `what` names it in the
// ApiError 400.
unsigned long long ParseCount(const std::string& text, unsigned long long max,
                              const std::string& what);

}  // namespace rozweb

#endif  // VARNEK_TOOLS_ROZWEB_REQUEST_H
