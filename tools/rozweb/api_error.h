// rozweb::ApiError, a failure of one request of the interface: the HTTP
// status it answers with and the text of {"error": text}; and StatusOf, the
// status a text of the client library stands for.
//
// Thread-safety: value types and pure functions; any thread.
#ifndef VARNEK_TOOLS_ROZWEB_API_ERROR_H
#define VARNEK_TOOLS_ROZWEB_API_ERROR_H

#include <stdexcept>
#include <string>

namespace rozweb {

class ApiError : public std::runtime_error {
 public:
  ApiError(int status, const std::string& text) : std::runtime_error(text), m_status(status) {}
  int Status() const { return m_status; }

 private:
  int m_status;
};

// 404 for a node that does not exist ("ireg: node not found: a.b"), 502 for
// a registry that does not answer ("ireg: node not accessible: a.b", "ireg:
// node disconnected: a.b", a handle whose proxy is gone), 409 for every
// other refusal (the server's value refusals, wrong type, not executable).
int StatusOf(const std::string& libraryText);

}  // namespace rozweb

#endif  // VARNEK_TOOLS_ROZWEB_API_ERROR_H
