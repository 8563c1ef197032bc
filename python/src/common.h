// Shared declarations of the extension module varnek._varnek: the library
// failure that becomes a varnek.Error, the one classification of the client
// library's failure texts into the package's error classes, the value
// conversions between istd::Any and Python objects, the start and end of
// the client library, and the per-thread call time-out.
//
// Threads: the classification and the C++ side of the conversions are pure
// functions; everything that makes or reads a Python object needs the GIL,
// which the declarations below say. The library state (Started, Shutdown)
// is guarded by its own mutex.
#ifndef VARNEK_PYTHON_COMMON_H
#define VARNEK_PYTHON_COMMON_H

#include <pybind11/pybind11.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "client/roz.h"
#include "istd/any.h"

namespace varnekpy {

namespace py = pybind11;

// The error classes of the package (varnek/_errors.py), in the order of
// their names there.
enum ErrorKind_e : int {
  eError = 0,       // varnek.Error: any other failure
  eNotFound = 1,    // varnek.NotFound: no such node
  eAccess = 2,      // varnek.AccessError: refused read, write, value or command
  eConnection = 3,  // varnek.ConnectionError: the registry cannot be reached
  eTimeout = 4,     // varnek.TimeoutError: a call or a wait ran out of time
};

// A failure that leaves the extension as the varnek error of `kind`, with
// `what()` as its text (the translator is installed by the module).
class LibraryError : public std::runtime_error {
 public:
  LibraryError(const std::string& text, ErrorKind_e kind)
      : std::runtime_error(text), m_kind(kind) {}
  ErrorKind_e Kind() const { return m_kind; }

 private:
  ErrorKind_e m_kind;
};

// The one mapping from the client library's failure texts to the error
// classes: "node not found" and "child node not found" texts are eNotFound;
// "node not accessible", "node disconnected" and dead handles eConnection,
// or eTimeout when the failing call took `elapsed` >= `timeout` (> 0); the
// server's refusals (not readable, not writable, constant, domain, range,
// invalid type, no value, not executable) eAccess; everything else eError,
// except for the failure of a value access (`valueCall`: a read, write or
// command), where the rest is the server's own reason for refusing the
// value (a ValueException text), so eAccess as well.
ErrorKind_e Classify(const std::string& text, std::chrono::milliseconds elapsed = {},
                     std::chrono::milliseconds timeout = {}, bool valueCall = false);
// Classify of a value access.
inline ErrorKind_e ClassifyValue(const std::string& text, std::chrono::milliseconds elapsed,
                                 std::chrono::milliseconds timeout) {
  return Classify(text, elapsed, timeout, true);
}

// A new instance of the varnek error class of `kind` with `text`. GIL held.
py::object MakeError(const std::string& text, ErrorKind_e kind);

// ---- values ----

// The Python form of a value: bool/int/float/str for a scalar, a 1-D numpy
// array of the matching dtype for a numeric vector, a list of str for a
// string vector. Throws LibraryError for an empty or foreign value. GIL held.
py::object ToPython(const istd::Any& value);

// `object` as a value of `type` for a node that is an array (`array`) or a
// scalar: a scalar node takes one Python scalar; an array node a numpy
// array (converted in one pass), any other sequence, or one scalar (one
// element). Throws py::type_error / py::value_error for values that do not
// fit the type, LibraryError for a node without a value type. GIL held.
istd::Any FromPython(py::handle object, roz::enums::NodeValType_e type, bool array,
                     const std::string& path);

// The name of a value type ("Double", ...) and the flag names of `flags`.
std::string TypeName(roz::enums::NodeValType_e type);
std::vector<std::string> FlagNames(roz::Flags flags);

// ---- library state ----

// Starts the client library with `orbArgs` (first call only); later calls
// with arguments throw LibraryError. GIL released by the caller.
void Start(const std::vector<std::string>& orbArgs, bool explicitInit);
// Ends every open subscription and stream, stops the dispatcher and shuts
// the library down (interpreter exit). Idempotent. Called without the GIL.
void Shutdown();
// True once Shutdown has begun.
bool ShuttingDown();

// Things to end before the library goes (subscriptions, streams): each
// registers a closer and removes it again when it ends by itself.
using CloserId = unsigned long long;
CloserId AddCloser(std::function<void()> closer);
void RemoveCloser(CloserId id);

// Sets the calling thread's bound of remote calls for its lifetime
// (0: the library's default) and restores the default after. A thread the
// ORB does not know (a Python thread) is made known to it meanwhile.
class CallTimeout {
 public:
  explicit CallTimeout(std::chrono::milliseconds timeout);
  ~CallTimeout();
  CallTimeout(const CallTimeout&) = delete;
  CallTimeout& operator=(const CallTimeout&) = delete;

 private:
  struct Self;
  Self* m_self = nullptr;  // owned; null when no time-out is set
};

// Runs `call` (a library call) with the GIL released and the time-out of
// `timeout` in force; a std::exception it throws becomes a LibraryError
// of Classify(text, elapsed, timeout). `elapsed`, when given, receives the
// time the call took (for the classification of batch results);
// `valueCall` classifies as a value access does. Called with the GIL held.
template <typename Call>
auto Blocking(std::chrono::milliseconds timeout, Call&& call,
              std::chrono::milliseconds* elapsed = nullptr, bool valueCall = false)
    -> decltype(call()) {
  const auto start = std::chrono::steady_clock::now();
  const auto took = [&] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
  };
  std::string failure;
  {
    py::gil_scoped_release release;
    CallTimeout bound(timeout);
    try {
      if constexpr (std::is_void_v<decltype(call())>) {
        call();
        if (elapsed != nullptr) *elapsed = took();
        return;
      } else {
        auto result = call();
        if (elapsed != nullptr) *elapsed = took();
        return result;
      }
    } catch (const LibraryError&) {
      throw;
    } catch (const std::exception& e) {
      failure = e.what();
    } catch (...) {
      failure = "varnek: unexpected failure in the client library";
    }
  }
  throw LibraryError(failure, Classify(failure, took(), timeout, valueCall));
}

// Arrival time now, as seconds since the epoch.
double Now();

}  // namespace varnekpy

#endif  // VARNEK_PYTHON_COMMON_H
