// The one table of the registry's value types: the C++ element type that
// holds the values of each enums::NodeValType_e, and the reverse. Every
// switch from a type code to a C++ type (the node handle's raw buffers, text
// cells and text forms, regd's node values, rozctl's value texts) goes
// through VisitValueType.
//
// The element types are those of istd/value_types.h: integers are the
// fixed-width types (Long int32_t, ULong uint32_t, LongLong int64_t,
// ULongLong uint64_t); Enumeration values are strings.
//
// Header only, so that programs that speak the registry's vocabulary
// without linking the client library (regd) use the same table.
//
// Thread-safety: types and constant expressions only.
#ifndef VARNEK_CLIENT_VALUE_TYPE_H
#define VARNEK_CLIENT_VALUE_TYPE_H

#include <cstdint>
#include <string>
#include <type_traits>

#include "client/roz_util.h"
#include "istd/value_types.h"

namespace roz {

using istd::TypeTag;

// Calls f(TypeTag<T>{}) with the element type T of `type` and returns its
// result: Bool bool, Long int32_t, ULong uint32_t, LongLong int64_t,
// ULongLong uint64_t, Double double, Float float, String and Enumeration
// std::string. For Undefined and codes outside the table it returns
// otherwise() instead. Both must return the same type.
template <typename F, typename Otherwise>
constexpr decltype(auto) VisitValueType(enums::NodeValType_e type, F&& f, Otherwise&& otherwise) {
  switch (type) {
    case enums::eBool:
      return f(TypeTag<bool>{});
    case enums::eLong:
      return f(TypeTag<std::int32_t>{});
    case enums::eULong:
      return f(TypeTag<std::uint32_t>{});
    case enums::eLongLong:
      return f(TypeTag<std::int64_t>{});
    case enums::eULongLong:
      return f(TypeTag<std::uint64_t>{});
    case enums::eDouble:
      return f(TypeTag<double>{});
    case enums::eFloat:
      return f(TypeTag<float>{});
    case enums::eString:
    case enums::eEnumeration:
      return f(TypeTag<std::string>{});
    case enums::eUndefined:
      break;
  }
  return otherwise();
}

// The value type whose values T holds: T an element type or another name of
// an integer type (long long, long, int, ... by width and signedness);
// eString for std::string (Enumeration values are strings as well);
// eUndefined for every other type.
template <typename T>
inline constexpr enums::NodeValType_e c_valueTypeOf = [] {
  using E = istd::FixedWidth_t<T>;
  if constexpr (std::is_same_v<E, bool>) return enums::eBool;
  if constexpr (std::is_same_v<E, std::int32_t>) return enums::eLong;
  if constexpr (std::is_same_v<E, std::uint32_t>) return enums::eULong;
  if constexpr (std::is_same_v<E, std::int64_t>) return enums::eLongLong;
  if constexpr (std::is_same_v<E, std::uint64_t>) return enums::eULongLong;
  if constexpr (std::is_same_v<E, double>) return enums::eDouble;
  if constexpr (std::is_same_v<E, float>) return enums::eFloat;
  if constexpr (std::is_same_v<E, std::string>) return enums::eString;
  return enums::eUndefined;
}();

}  // namespace roz

#endif  // VARNEK_CLIENT_VALUE_TYPE_H
