// The C++ types of the system's values, in one place: the eight element
// types that a value (istd::Any, a node value, a notification payload, a
// value on the wire) holds as a scalar or as a std::vector, and the mapping
// of every standard integer type onto the fixed-width element type of the
// same width and signedness.
//
// The integer element types are int32_t, uint32_t, int64_t and uint64_t.
// Which standard type each of them is differs between word sizes (int64_t
// is long on x86-64 and long long on i386; long is 64 bits on x86-64 and 32
// on i386), so code that names int, long, long long or their unsigned forms
// reaches the element type of its width through FixedWidth_t. char, short
// and their forms are no value types and map onto themselves.
//
// Thread-safety: types and constant expressions only.
#ifndef VARNEK_ISTD_VALUE_TYPES_H
#define VARNEK_ISTD_VALUE_TYPES_H

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

namespace istd {

// Marker that carries a type to a generic visitor: f(TypeTag<T>{}).
template <typename T>
struct TypeTag {
  using Type = T;
};

// True for the six standard integer types that values accept: int, long,
// long long and their unsigned forms.
template <typename T>
inline constexpr bool c_isValueInteger =
    std::is_same_v<T, int> || std::is_same_v<T, unsigned int> || std::is_same_v<T, long> ||
    std::is_same_v<T, unsigned long> || std::is_same_v<T, long long> ||
    std::is_same_v<T, unsigned long long>;

namespace detail {
template <typename T, bool = c_isValueInteger<T>>
struct FixedWidth {
  using Type = T;
};
template <typename T>
struct FixedWidth<T, true> {
  static_assert(sizeof(T) == 4 || sizeof(T) == 8, "value integers are 32 or 64 bits wide");
  using Type =
      std::conditional_t<sizeof(T) == 4,
                         std::conditional_t<std::is_signed_v<T>, std::int32_t, std::uint32_t>,
                         std::conditional_t<std::is_signed_v<T>, std::int64_t, std::uint64_t>>;
};
template <typename T>
struct FixedWidth<std::vector<T>, false> {
  using Type = std::vector<typename FixedWidth<T>::Type>;
};
}  // namespace detail

// The element type for T: the fixed-width type of the same width and
// signedness for a value integer, std::vector of that for a vector of one,
// T itself for every other type.
template <typename T>
using FixedWidth_t = typename detail::FixedWidth<T>::Type;

// True when T is another name of a value integer type than the fixed-width
// one (long long on x86-64, long on i386, ...), or a vector of such.
template <typename T>
inline constexpr bool c_isIntegerAlias = !std::is_same_v<T, FixedWidth_t<T>>;

// Calls f(TypeTag<T>{}) for each element type in this order: bool, int32_t,
// uint32_t, int64_t, uint64_t, double, float, std::string; stops at and
// returns true for the first call that returns true; false when none did.
template <typename F>
bool AnyValueElement(F&& f) {
  return f(TypeTag<bool>{}) || f(TypeTag<std::int32_t>{}) || f(TypeTag<std::uint32_t>{}) ||
         f(TypeTag<std::int64_t>{}) || f(TypeTag<std::uint64_t>{}) || f(TypeTag<double>{}) ||
         f(TypeTag<float>{}) || f(TypeTag<std::string>{});
}

}  // namespace istd

#endif  // VARNEK_ISTD_VALUE_TYPES_H
