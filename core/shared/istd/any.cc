// istd::Any printing and size, istd::AnyReference type errors.
#include "istd/any.h"

#include <cstring>

#include "istd/process.h"

namespace istd {

namespace {

// Calls f with the vector that `value` holds and returns true; false when
// it holds no vector of an element type.
template <typename F>
bool VisitArray(const boost::any& value, F&& f) {
  return AnyValueElement([&](auto tag) {
    using T = typename decltype(tag)::Type;
    const std::vector<T>* held = boost::any_cast<std::vector<T>>(&value);
    if (held == nullptr) return false;
    f(*held);
    return true;
  });
}

}  // namespace

void Any::ThrowInvalidType() { throw Exception("Invalid value type", true); }

bool Any::IsArray() const {
  return VisitArray(m_value, [](const auto&) {});
}

size_t Any::Size() const {
  size_t size = 1;
  VisitArray(m_value, [&](const auto& values) { size = values.size(); });
  return size;
}

void Any::Print(std::ostream& os) const {
  const bool scalar = AnyValueElement([&](auto tag) {
    using T = typename decltype(tag)::Type;
    const T* held = boost::any_cast<T>(&m_value);
    if (held == nullptr) return false;
    os << *held;
    return true;
  });
  if (scalar) return;
  const bool array = VisitArray(m_value, [&](const auto& values) {
    using T = typename std::decay_t<decltype(values)>::value_type;
    for (size_t i = 0; i < values.size(); ++i) {
      if (i != 0) os << ",";
      os << static_cast<T>(values[i]);
    }
  });
  if (!array) throw Exception("Unsupported value type", true);
}

std::ostream& operator<<(std::ostream& os, const Any& value) {
  value.Print(os);
  return os;
}

void AnyReference::Assign(const Any& value) {
  const bool done = AnyValueElement([&](auto tag) {
    using T = typename decltype(tag)::Type;
    const T* held = boost::any_cast<T>(&value.Value());
    if (held == nullptr) return false;
    Assign(*held);
    return true;
  });
  if (!done) ThrowTypeException("AnyReference::Assign", Type(), value.Type());
}

void AnyReference::ThrowTypeException(const std::string& place, const std::type_info& first,
                                      const std::type_info& second) {
  std::string detail;
  if (std::strcmp(first.name(), second.name()) == 0) {
    detail = "difference in constness of type " + CppName(first);
  } else {
    detail = CppName(first) + " != " + CppName(second);
  }
  throw Exception("AnyReference: types differ in " + place + " ( " + detail + ").", true);
}

template class AnyReference::SpecificPtrHolder<signed char>;
template class AnyReference::SpecificPtrHolder<unsigned char>;
template class AnyReference::SpecificPtrHolder<short>;
template class AnyReference::SpecificPtrHolder<unsigned short>;
template class AnyReference::SpecificPtrHolder<int>;
template class AnyReference::SpecificPtrHolder<unsigned int>;
template class AnyReference::SpecificPtrHolder<long>;
template class AnyReference::SpecificPtrHolder<unsigned long>;
template class AnyReference::SpecificPtrHolder<long long>;
template class AnyReference::SpecificPtrHolder<unsigned long long>;
template class AnyReference::SpecificPtrHolder<char>;
template class AnyReference::SpecificPtrHolder<float>;
template class AnyReference::SpecificPtrHolder<double>;
template class AnyReference::SpecificPtrHolder<long double>;
template class AnyReference::SpecificPtrHolder<bool>;
template class AnyReference::SpecificPtrHolder<std::string>;

}  // namespace istd
