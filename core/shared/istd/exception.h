// istd::Exception, the one exception class of the system. Every library
// throws it by value (and catches it by reference) with a human-readable
// message. Constructing one with `trace` set records the throw in the trace
// file, so that a failure shows in the trace even when the catcher swallows it.
//
// Thread-safety: an exception is immutable after construction; any thread may
// construct one.
#ifndef VARNEK_ISTD_EXCEPTION_H
#define VARNEK_ISTD_EXCEPTION_H

#include <exception>
#include <ostream>
#include <sstream>
#include <string>

namespace istd {

class Exception : public std::exception {
 public:
  // `message` is the text returned by what(); when `trace` is true and the
  // trace file is active, the throw is traced at level Low ("** Thrown
  // istd::Exception: " + message) together with the throwing frame, or the
  // whole stack when stack dumps are on. Tracing never throws.
  Exception(const std::string& message, bool trace);
  Exception(const char* message, bool trace);
  // Takes the stream's current text.
  Exception(std::ostringstream& message, bool trace);
  ~Exception() override;

  // The message; valid as long as the exception object lives.
  const char* what() const noexcept override;

 private:
  std::string m_message;
};

// Writes what().
std::ostream& operator<<(std::ostream& os, const Exception& e);

}  // namespace istd

#endif  // VARNEK_ISTD_EXCEPTION_H
