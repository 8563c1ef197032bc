// Node values of regd: the element type behind each registry value type, the
// text names of value types and flags, and the conversions of a node's
// elements to and from istd::Any, text and JSON.
//
// A value is a vector of elements of one type (a scalar holds exactly one);
// Enumeration values are strings. The numeric codes of value types and flags
// are the wire protocol's, and the element type of each value type is the
// client library's table: both are taken from its headers
// client/roz_util.h and client/value_type.h (header only: regd does not link
// the client library).
//
// Thread-safety: plain data and reentrant functions; the registry's mutex
// guards the values of the tree (registry.h).
#ifndef VARNEK_TOOLS_REGD_VALUE_H
#define VARNEK_TOOLS_REGD_VALUE_H

#include <omniORB4/CORBA.h>

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "client/roz_util.h"
#include "client/value_type.h"
#include "istd/any.h"
#include "istd/exception.h"

namespace regd {

using ValueType = roz::enums::NodeValType_e;

// The largest array a client may grow a node to.
inline constexpr size_t c_maxArrayElements = 1u << 20;

// The elements of a node's value, one vector type per element type.
using Elements = std::variant<std::monostate, std::vector<bool>, std::vector<int32_t>,
                              std::vector<uint32_t>, std::vector<int64_t>, std::vector<uint64_t>,
                              std::vector<double>, std::vector<float>, std::vector<std::string>>;

// Calls f(roz::TypeTag<T>{}) with the element type T of `type`
// (roz::VisitValueType) and returns its result. Throws istd::Exception for
// Undefined, which has no elements.
template <typename F>
decltype(auto) WithElementType(ValueType type, F&& f) {
  using Result = decltype(f(roz::TypeTag<bool>{}));
  return roz::VisitValueType(type, f, []() -> Result {
    throw istd::Exception("regd: a node without value type has no elements", true);
  });
}

// Text names of value types ("Undefined" ... "Enumeration") and flags
// ("read", "write", ... "signal"). The From functions answer false for an
// unknown name.
bool ValueTypeFromName(const std::string& name, ValueType& type);
const char* ValueTypeName(ValueType type);
bool FlagFromName(const std::string& name, roz::Flags& flag);

// An empty vector of the element type of `type` (monostate for Undefined).
Elements EmptyElements(ValueType type);
// Number of elements (0 for monostate).
size_t ElementCount(const Elements& elements);

// The CORBA type-code kind of one element of `type` (tk_string for String
// and Enumeration); tk_null for Undefined.
CORBA::TCKind ScalarKind(ValueType type);
// The name of the i_NET buffer that carries values of `type` in writes
// ("Int32Buffer", "StringBuffer", ...).
const char* BufferName(ValueType type);

// The element at `pos` as a scalar istd::Any. `pos` must be in range.
istd::Any ElementAny(const Elements& elements, size_t pos);
// `count` elements from `pos` as an istd::Any holding a vector. The range
// must lie within the elements.
istd::Any SliceAny(const Elements& elements, size_t pos, size_t count);
// The texts of `count` elements from `pos` (bools as 1/0).
std::vector<std::string> SliceTexts(const Elements& elements, size_t pos, size_t count);
// The elements of a vector held by `value` when its element type is that of
// `type`; false otherwise.
bool ElementsFromAny(const istd::Any& value, ValueType type, Elements& out);

// Writes `values` over `target` from `pos` on, growing `target` where they
// reach past its end. Both must hold the same element type; pos <= size.
void WriteElements(Elements& target, size_t pos, const Elements& values);

// The elements of `type` made from generator samples: element i is
// sample(i), converted to the element type (rounded and clamped for
// integers, > 0 for bools, decimal text for strings).
template <typename Sample>
Elements ElementsFromSamples(ValueType type, size_t count, Sample sample);

// The JSON value (a scalar, or an array when `array`) as elements of
// `type`. Throws istd::Exception with the problem ("element 2: expected an
// integer", "value 300 out of range for ULong", ...).
Elements ElementsFromJson(ValueType type, const nlohmann::json& value, bool array);

// ---- template definitions ----

namespace detail {
double Clamp(double value, double low, double high);
template <typename T>
T FromSample(double value) {
  if constexpr (std::is_same_v<T, bool>) {
    return value > 0.0;
  } else if constexpr (std::is_same_v<T, std::string>) {
    return std::to_string(value);
  } else if constexpr (std::is_floating_point_v<T>) {
    return static_cast<T>(value);
  } else {
    // Integers: rounded, then clamped into the type's range.
    const double low = static_cast<double>(std::numeric_limits<T>::min());
    const double high = static_cast<double>(std::numeric_limits<T>::max());
    const double rounded = Clamp(value < 0 ? value - 0.5 : value + 0.5, low, high);
    if (rounded >= high) return std::numeric_limits<T>::max();
    return static_cast<T>(rounded);
  }
}
}  // namespace detail

template <typename Sample>
Elements ElementsFromSamples(ValueType type, size_t count, Sample sample) {
  return WithElementType(type, [&](auto tag) -> Elements {
    using T = typename decltype(tag)::Type;
    std::vector<T> values;
    values.reserve(count);
    for (size_t i = 0; i < count; ++i) values.push_back(detail::FromSample<T>(sample(i)));
    return values;
  });
}

}  // namespace regd

#endif  // VARNEK_TOOLS_REGD_VALUE_H
