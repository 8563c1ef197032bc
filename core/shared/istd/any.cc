// istd::Any printing and size, istd::AnyReference type errors.
#include "istd/any.h"

#include <cstring>

#include "istd/process.h"

namespace istd {

namespace {

template <typename T>
bool PrintScalar(const boost::any& value, std::ostream& os) {
  if (value.type() != typeid(T)) return false;
  const T* held = boost::any_cast<T>(&value);
  if (held == nullptr) throw Exception("Invalid value type", true);
  os << *held;
  return true;
}

template <typename T>
bool PrintArray(const boost::any& value, std::ostream& os) {
  if (value.type() != typeid(std::vector<T>)) return false;
  const std::vector<T>* held = boost::any_cast<std::vector<T>>(&value);
  if (held == nullptr) throw Exception("Invalid value type", true);
  for (size_t i = 0; i < held->size(); ++i) {
    if (i != 0) os << ",";
    os << static_cast<T>((*held)[i]);
  }
  return true;
}

template <typename T>
bool ArraySize(const boost::any& value, size_t& size) {
  const std::vector<T>* held = boost::any_cast<std::vector<T>>(&value);
  if (held == nullptr) return false;
  size = held->size();
  return true;
}

template <typename T>
bool AssignIfHeld(const Any& value, AnyReference& ref) {
  const T* held = boost::any_cast<T>(&value.Value());
  if (held == nullptr) return false;
  ref.Assign(*held);
  return true;
}

}  // namespace

void Any::ThrowInvalidType() { throw Exception("Invalid value type", true); }

bool Any::IsArray() const {
  const std::type_info& t = m_value.type();
  return t == typeid(std::vector<bool>) || t == typeid(std::vector<int>) ||
         t == typeid(std::vector<unsigned int>) || t == typeid(std::vector<long long>) ||
         t == typeid(std::vector<unsigned long long>) || t == typeid(std::vector<double>) ||
         t == typeid(std::vector<float>) || t == typeid(std::vector<std::string>);
}

size_t Any::Size() const {
  size_t size = 1;
  ArraySize<bool>(m_value, size) || ArraySize<int>(m_value, size) ||
      ArraySize<unsigned int>(m_value, size) || ArraySize<long long>(m_value, size) ||
      ArraySize<unsigned long long>(m_value, size) || ArraySize<double>(m_value, size) ||
      ArraySize<float>(m_value, size) || ArraySize<std::string>(m_value, size);
  return size;
}

void Any::Print(std::ostream& os) const {
  const bool printed =
      PrintScalar<bool>(m_value, os) || PrintScalar<int>(m_value, os) ||
      PrintScalar<unsigned int>(m_value, os) || PrintScalar<long long>(m_value, os) ||
      PrintScalar<unsigned long long>(m_value, os) || PrintScalar<double>(m_value, os) ||
      PrintScalar<float>(m_value, os) || PrintScalar<std::string>(m_value, os) ||
      PrintArray<bool>(m_value, os) || PrintArray<int>(m_value, os) ||
      PrintArray<unsigned int>(m_value, os) || PrintArray<long long>(m_value, os) ||
      PrintArray<unsigned long long>(m_value, os) || PrintArray<double>(m_value, os) ||
      PrintArray<float>(m_value, os) || PrintArray<std::string>(m_value, os);
  if (!printed) throw Exception("Unsupported value type", true);
}

std::ostream& operator<<(std::ostream& os, const Any& value) {
  value.Print(os);
  return os;
}

void AnyReference::Assign(const Any& value) {
  const bool done = AssignIfHeld<bool>(value, *this) || AssignIfHeld<int>(value, *this) ||
                    AssignIfHeld<unsigned int>(value, *this) ||
                    AssignIfHeld<long long>(value, *this) ||
                    AssignIfHeld<unsigned long long>(value, *this) ||
                    AssignIfHeld<double>(value, *this) || AssignIfHeld<float>(value, *this) ||
                    AssignIfHeld<std::string>(value, *this);
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
template class AnyReference::SpecificPtrHolder<long long>;
template class AnyReference::SpecificPtrHolder<unsigned long long>;
template class AnyReference::SpecificPtrHolder<char>;
template class AnyReference::SpecificPtrHolder<float>;
template class AnyReference::SpecificPtrHolder<double>;
template class AnyReference::SpecificPtrHolder<long double>;
template class AnyReference::SpecificPtrHolder<bool>;
template class AnyReference::SpecificPtrHolder<std::string>;

}  // namespace istd
