// Value handling of rozctl: the dispatch from a node's value type to the
// C++ type of its values, the text and JSON forms in which rozctl prints
// values, and the conversion of command-line texts into values of a node's
// type.
//
// Everything here is a pure function of its arguments (no remote calls), so
// it is shared by every subcommand and tested on its own. Values travel as
// istd::Any holding either the scalar type or a std::vector of it.
//
// Thread-safety: no state; any thread.
#ifndef VARNEK_TOOLS_ROZCTL_VALUES_H
#define VARNEK_TOOLS_ROZCTL_VALUES_H

#include <nlohmann/json.hpp>

#include <stdexcept>
#include <string>
#include <vector>

#include "client/roz_util.h"
#include "client/value_type.h"
#include "istd/any.h"

namespace rozctl {

// A failure that ends the subcommand with `ExitCode()` after `Text()` has
// been written to standard error: 1 for remote and value failures (the
// default), 2 for usage errors.
class Failure : public std::runtime_error {
 public:
  // rozctl's own message; Text() prefixes it with "rozctl: ".
  explicit Failure(const std::string& message, int exitCode = 1)
      : std::runtime_error(message), m_exitCode(exitCode) {}
  // A message of the client library ("ireg: node not found: a.b"), passed
  // on unchanged.
  static Failure Library(const std::string& message) {
    Failure failure(message);
    failure.m_library = true;
    return failure;
  }
  int ExitCode() const { return m_exitCode; }
  // The line for standard error.
  std::string Text() const { return m_library ? what() : std::string("rozctl: ") + what(); }

 private:
  int m_exitCode;
  bool m_library = false;
};

using roz::TypeTag;

// Calls `visit(TypeTag<T>{})` with the element type of `type`'s values
// (roz::VisitValueType: Long int32_t, ..., String and Enumeration
// std::string) and returns its result. Throws Failure("<what> has no value")
// for Undefined and unknown types; `what` names the node in that message.
template <typename Visitor>
auto WithValueType(roz::enums::NodeValType_e type, const std::string& what, Visitor&& visit) {
  using Result = decltype(visit(TypeTag<bool>{}));
  return roz::VisitValueType(type, visit,
                             [&]() -> Result { throw Failure(what + " has no value"); });
}

// The name of a value type ("Double", "Enumeration", ...; the number for an
// unnamed one).
std::string TypeName(roz::enums::NodeValType_e type);

// The flag names of `flags`, separated by one space, in bit order ("read
// write persistent"); "none" when no named flag is set.
std::string FlagNames(roz::Flags flags);

// Text of one value: bool as true/false, floating point in the shortest
// form that reads back as the same value, strings unchanged. A vector is
// written as "[a,b,c]" (also with one element or none). Throws
// istd::Exception for an empty value or a type outside the sixteen.
std::string ValueText(const istd::Any& value);

// The same value as JSON: booleans, numbers, strings, arrays of them.
nlohmann::json ValueJson(const istd::Any& value);

// The arguments of `put` for a node: several arguments are one element
// each; a single argument is split at "," when `array` is true. Empty
// elements are kept (an empty string is a valid String element).
std::vector<std::string> SplitValues(const std::vector<std::string>& args, bool array);

// Converts `text` into a value of `type` (whole-text conversion; integers
// also in 0x hexadecimal; bool from 1/0/true/false). Throws Failure
// "cannot convert \"" + text + "\" to a <type> value for " + what.
template <typename T>
T ParseValue(const std::string& text, roz::enums::NodeValType_e type, const std::string& what);

}  // namespace rozctl

#endif  // VARNEK_TOOLS_ROZCTL_VALUES_H
