// istd::Any, the system's dynamically typed value (a node value, a
// notification payload, a value crossing the network), and istd::AnyReference,
// a typed reference to a variable owned elsewhere through which a dynamically
// chosen value is written.
//
// Held types: the element types of istd/value_types.h -- bool, int32_t,
// uint32_t, int64_t, uint64_t, double, float, std::string -- and std::vector
// of each; or empty. A value made from another name of an integer type of
// the same width and signedness (long long, long, int, unsigned long, ...,
// or a vector of one) holds the fixed-width type, and Get accepts every such
// name of the held type, so that code written with long long works on
// x86-64, where int64_t is long, and code written with long on i386, where
// long is 32 bits wide. Other types (short, char, ...) are held as they are
// but are not values: they cannot be printed or sent.
//
// Thread-safety: none beyond that of the held value; copies are independent.
#ifndef VARNEK_ISTD_ANY_H
#define VARNEK_ISTD_ANY_H

#include <boost/any.hpp>
#include <memory>
#include <ostream>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include "istd/exception.h"
#include "istd/value_types.h"

namespace istd {

class Any {
 public:
  Any() = default;
  // Holds a copy of `value`, an integer (or a vector of integers) as its
  // fixed-width type.
  template <typename T, typename = std::enable_if_t<!std::is_same_v<std::decay_t<T>, Any>>>
  Any(const T& value) : m_value(ToFixedWidth(value)) {}  // NOLINT(google-explicit-constructor)
  // Holds a std::string (not a character pointer).
  Any(const char* value) : m_value(std::string(value != nullptr ? value : "")) {}  // NOLINT
  Any(const Any& other) = default;
  Any(Any&& other) noexcept = default;
  Any& operator=(const Any& other) = default;
  Any& operator=(Any&& other) noexcept = default;

  // A copy of the held value. Throws istd::Exception "Invalid value type"
  // unless the held type is exactly T or, for integers and vectors of them,
  // the fixed-width type of T (no other conversions: int32_t is not
  // uint32_t, int32_t is not int64_t).
  template <typename T>
  T Get() const {
    using Held = FixedWidth_t<T>;
    if (m_value.type() != typeid(Held)) ThrowInvalidType();
    const Held& held = *boost::unsafe_any_cast<Held>(&m_value);
    if constexpr (std::is_same_v<T, Held>) {
      return held;
    } else if constexpr (c_isValueInteger<T>) {
      return static_cast<T>(held);
    } else {
      return T(held.begin(), held.end());
    }
  }

  // True when Get<T>() would succeed.
  template <typename T>
  bool Holds() const {
    return m_value.type() == typeid(FixedWidth_t<T>);
  }

  // True when the held type is one of the eight vector types.
  bool IsArray() const;
  // Element count of a held vector; 1 for a scalar and for an empty value.
  size_t Size() const;
  bool Empty() const { return m_value.empty(); }
  const std::type_info& Type() const { return m_value.type(); }
  const boost::any& Value() const { return m_value; }

  // Scalars with the stream's own insertion (bool as 1/0), strings without
  // quotes, vectors as elements joined by ",". Throws istd::Exception
  // "Unsupported value type" for an empty value or a type outside the table.
  void Print(std::ostream& os) const;

 private:
  // Throws istd::Exception "Invalid value type".
  [[noreturn]] static void ThrowInvalidType();

  template <typename T>
  static FixedWidth_t<T> ToFixedWidth(const T& value) {
    if constexpr (!c_isIntegerAlias<T>) {
      return value;
    } else if constexpr (c_isValueInteger<T>) {
      return static_cast<FixedWidth_t<T>>(value);
    } else {
      return FixedWidth_t<T>(value.begin(), value.end());
    }
  }

  boost::any m_value;
};

std::ostream& operator<<(std::ostream& os, const Any& value);

namespace detail {
template <typename T>
constexpr bool c_anyReferenceType =
    std::is_same_v<T, signed char> || std::is_same_v<T, unsigned char> ||
    std::is_same_v<T, short> || std::is_same_v<T, unsigned short> || std::is_same_v<T, int> ||
    std::is_same_v<T, unsigned int> || std::is_same_v<T, long> ||
    std::is_same_v<T, unsigned long> || std::is_same_v<T, long long> ||
    std::is_same_v<T, unsigned long long> || std::is_same_v<T, char> || std::is_same_v<T, float> ||
    std::is_same_v<T, double> || std::is_same_v<T, long double> || std::is_same_v<T, bool> ||
    std::is_same_v<T, std::string>;
}  // namespace detail

// A reference to one external variable (not owned) of one of the types
// signed char, unsigned char, short, unsigned short, int, unsigned int,
// long, unsigned long, long long, unsigned long long, char, float, double,
// long double, bool and std::string. Writing a value of another type
// throws; an integer of int, long, long long or their unsigned forms may be
// written to a variable of another of these names of the same width and
// signedness (an int64_t into a long long).
class AnyReference {
 public:
  class PtrHolder {
   public:
    virtual ~PtrHolder() = default;
    virtual const std::type_info& Type() const = 0;
    virtual PtrHolder* Clone() const = 0;
  };

  template <typename T>
  class SpecificPtrHolder : public PtrHolder {
   public:
    explicit SpecificPtrHolder(T* variable) : m_variable(variable) {}
    const std::type_info& Type() const override { return typeid(T); }
    PtrHolder* Clone() const override { return new SpecificPtrHolder<T>(m_variable); }
    SpecificPtrHolder& operator=(const T& value) {
      *m_variable = value;
      return *this;
    }

   private:
    T* m_variable;
  };

  // Refers to `variable`, which must outlive the reference and its copies.
  template <typename T, typename = std::enable_if_t<detail::c_anyReferenceType<T>>>
  explicit AnyReference(T& variable) : m_holder(new SpecificPtrHolder<T>(&variable)) {}
  AnyReference(const AnyReference& other) : m_holder(other.m_holder->Clone()) {}
  AnyReference& operator=(const AnyReference& other) {
    if (this != &other) m_holder.reset(other.m_holder->Clone());
    return *this;
  }

  // Type of the referenced variable.
  const std::type_info& Type() const { return m_holder->Type(); }

  // Writes `value` into the referenced variable. Throws istd::Exception
  // (ThrowTypeException) unless T is the variable's type or, for the
  // integers above, another name of the same width and signedness.
  template <typename T>
  void Assign(const T& value) {
    if (auto* holder = dynamic_cast<SpecificPtrHolder<T>*>(m_holder.get())) {
      *holder = value;
      return;
    }
    if constexpr (c_isValueInteger<T>) {
      if (AssignAs<int>(value) || AssignAs<unsigned int>(value) || AssignAs<long>(value) ||
          AssignAs<unsigned long>(value) || AssignAs<long long>(value) ||
          AssignAs<unsigned long long>(value)) {
        return;
      }
    }
    ThrowTypeException("AnyReference::Assign", Type(), typeid(T));
  }

  // Writes the value held by `value` (one of the scalar types of istd::Any).
  // Throws istd::Exception when its type is not the variable's type.
  void Assign(const Any& value);

  // Throws istd::Exception "AnyReference: types differ in " + place + " ( " +
  // detail + ")." where detail names both types, or says that they differ
  // only in constness when their type records have the same name.
  [[noreturn]] static void ThrowTypeException(const std::string& place, const std::type_info& first,
                                              const std::type_info& second);

 private:
  // Writes `value` when the variable is a U of the integer width and
  // signedness of T; false otherwise.
  template <typename U, typename T>
  bool AssignAs(const T& value) {
    if constexpr (std::is_same_v<FixedWidth_t<U>, FixedWidth_t<T>>) {
      if (auto* holder = dynamic_cast<SpecificPtrHolder<U>*>(m_holder.get())) {
        *holder = static_cast<U>(value);
        return true;
      }
    }
    return false;
  }

  std::unique_ptr<PtrHolder> m_holder;
};

// Calls f(TypeTag<T>{}, isVector) for the element type T that `value`
// holds as a T (isVector false) or a std::vector<T> (true); false, without
// a call, when it holds none of the value types.
template <typename F>
bool VisitHeld(const Any& value, F&& f) {
  return AnyValueElement([&](auto tag) {
    using T = typename decltype(tag)::Type;
    if (value.Holds<T>()) {
      f(tag, false);
    } else if (value.Holds<std::vector<T>>()) {
      f(tag, true);
    } else {
      return false;
    }
    return true;
  });
}

}  // namespace istd

#endif  // VARNEK_ISTD_ANY_H
