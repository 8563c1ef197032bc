// istd::Any <-> CORBA::Any conversion, type-code kind names and the texts of
// CORBA exceptions.
#include "network/conversion.h"

#include <cstring>
#include <sstream>

#include "istd/log.h"
#include "istd/process.h"

namespace inet {

namespace {

const char* const c_notSimpleCorba = "CORBA::Any to istd::Any is available only for simple types.";
const char* const c_cantConvert = "Internal error: Can't convert CORBA::Any to istd::Any";
const char* const c_notSimpleLocal = "istd::Any to CORBA::Any is available only for simple types.";

[[noreturn]] void ThrowCantConvert() { throw istd::Exception(c_cantConvert, true); }

// A scalar extracted as its CORBA type and held as the local type.
template <typename Corba, typename Local>
istd::Any ScalarToAny(const CORBA::Any& value) {
  Corba held{};
  if (!detail::ExtractScalar(value, held)) ThrowCantConvert();
  if constexpr (std::is_same_v<Local, bool>) {
    return istd::Any(held != 0);
  } else {
    return istd::Any(Local(held));
  }
}

// The elements of the i_NET buffer `value` holds, as a vector. `type` is the
// buffer's alias type code; a sequence of another name is refused.
template <typename Buffer, typename Local>
istd::Any SequenceToAny(const CORBA::Any& value, CORBA::TypeCode_ptr type) {
  const Buffer* sequence = detail::ExtractBuffer<Buffer>(value, type);  // owned by `value`
  if (sequence == nullptr) ThrowCantConvert();
  std::vector<Local> values;
  detail::CopySequence(*sequence, values);
  return istd::Any(values);
}

// The held value when it is a T (an element type or a vector of one), else
// null.
template <typename T>
const T* Held(const istd::Any& value) {
  static_assert(std::is_same_v<T, istd::FixedWidth_t<T>>, "an element type");
  return value.Type() == typeid(T) ? boost::any_cast<T>(&value.Value()) : nullptr;
}

}  // namespace

bool HoldsAlias(const CORBA::Any& value, CORBA::TypeCode_ptr type) {
  CORBA::TypeCode_var held = value.type();
  if (held->kind() != CORBA::tk_alias || type->kind() != CORBA::tk_alias) return false;
  return std::strcmp(held->id(), type->id()) == 0;
}

istd::Any CorbaAnyToAny(const CORBA::Any& value) {
  CORBA::TypeCode_var type = value.type();
  CORBA::TCKind kind = type->kind();
  bool array = false;
  if (kind == CORBA::tk_alias) {
    CORBA::TypeCode_var content = type->content_type();
    kind = content->kind();
    if (kind == CORBA::tk_sequence) {
      CORBA::TypeCode_var element = content->content_type();
      kind = element->kind();
      array = true;
    }
  }
  ISTD_TRACE(istd::eDetail,
             "CORBA::Any of kind " << CorbaKindToString(kind) << (array ? " (buffer)" : ""));
  switch (kind) {
    case CORBA::tk_long:
      return array ? SequenceToAny<i_NET::Int32Buffer, int32_t>(value, i_NET::_tc_Int32Buffer)
                   : ScalarToAny<CORBA::Long, int32_t>(value);
    case CORBA::tk_ulong:
      return array ? SequenceToAny<i_NET::UInt32Buffer, uint32_t>(value, i_NET::_tc_UInt32Buffer)
                   : ScalarToAny<CORBA::ULong, uint32_t>(value);
    case CORBA::tk_float:
      return array ? SequenceToAny<i_NET::FloatBuffer, float>(value, i_NET::_tc_FloatBuffer)
                   : ScalarToAny<CORBA::Float, float>(value);
    case CORBA::tk_double:
      return array ? SequenceToAny<i_NET::DoubleBuffer, double>(value, i_NET::_tc_DoubleBuffer)
                   : ScalarToAny<CORBA::Double, double>(value);
    case CORBA::tk_boolean:
      return array ? SequenceToAny<i_NET::BooleanBuffer, bool>(value, i_NET::_tc_BooleanBuffer)
                   : ScalarToAny<CORBA::Boolean, bool>(value);
    case CORBA::tk_string:
      return array ? SequenceToAny<i_NET::StringBuffer, std::string>(value, i_NET::_tc_StringBuffer)
                   : ScalarToAny<const char*, std::string>(value);
    case CORBA::tk_longlong:
      return array ? SequenceToAny<i_NET::Int64Buffer, int64_t>(value, i_NET::_tc_Int64Buffer)
                   : ScalarToAny<CORBA::LongLong, int64_t>(value);
    case CORBA::tk_ulonglong:
      return array ? SequenceToAny<i_NET::UInt64Buffer, uint64_t>(value, i_NET::_tc_UInt64Buffer)
                   : ScalarToAny<CORBA::ULongLong, uint64_t>(value);
    default:
      throw istd::Exception(c_notSimpleCorba, true);
  }
}

CORBA::Any AnyToCorbaAny(const istd::Any& value) {
  ISTD_TRACE(istd::eDetail, "istd::Any of type " << istd::CppName(value.Type()));
  // Every insertion names its CORBA type, so that no long / long long
  // overload ambiguity can arise on either word size.
  CORBA::Any any;
  if (const auto* v = Held<std::string>(value)) {
    any <<= v->c_str();
  } else if (const auto* v = Held<bool>(value)) {
    any <<= CORBA::Any::from_boolean(*v);
  } else if (const auto* v = Held<int32_t>(value)) {
    any <<= static_cast<CORBA::Long>(*v);
  } else if (const auto* v = Held<uint32_t>(value)) {
    any <<= static_cast<CORBA::ULong>(*v);
  } else if (const auto* v = Held<int64_t>(value)) {
    any <<= static_cast<CORBA::LongLong>(*v);
  } else if (const auto* v = Held<uint64_t>(value)) {
    any <<= static_cast<CORBA::ULongLong>(*v);
  } else if (const auto* v = Held<double>(value)) {
    any <<= static_cast<CORBA::Double>(*v);
  } else if (const auto* v = Held<float>(value)) {
    any <<= static_cast<CORBA::Float>(*v);
  } else if (const auto* v = Held<std::vector<std::string>>(value)) {
    detail::InsertSequence<std::string, i_NET::StringBuffer>(any, *v);
  } else if (const auto* v = Held<std::vector<bool>>(value)) {
    detail::InsertSequence<bool, i_NET::BooleanBuffer>(any, *v);
  } else if (const auto* v = Held<std::vector<int32_t>>(value)) {
    detail::InsertSequence<int32_t, i_NET::Int32Buffer>(any, *v);
  } else if (const auto* v = Held<std::vector<uint32_t>>(value)) {
    detail::InsertSequence<uint32_t, i_NET::UInt32Buffer>(any, *v);
  } else if (const auto* v = Held<std::vector<int64_t>>(value)) {
    detail::InsertSequence<int64_t, i_NET::Int64Buffer>(any, *v);
  } else if (const auto* v = Held<std::vector<uint64_t>>(value)) {
    detail::InsertSequence<uint64_t, i_NET::UInt64Buffer>(any, *v);
  } else if (const auto* v = Held<std::vector<double>>(value)) {
    detail::InsertSequence<double, i_NET::DoubleBuffer>(any, *v);
  } else if (const auto* v = Held<std::vector<float>>(value)) {
    detail::InsertSequence<float, i_NET::FloatBuffer>(any, *v);
  } else {
    throw istd::Exception(c_notSimpleLocal, true);
  }
  return any;
}

std::string CorbaKindToString(CORBA::TCKind kind) {
  static const char* const c_names[] = {
      "tk_null",           "tk_void",       "tk_short",
      "tk_long",           "tk_ushort",     "tk_ulong",
      "tk_float",          "tk_double",     "tk_boolean",
      "tk_char",           "tk_octet",      "tk_any",
      "tk_TypeCode",       "tk_Principal",  "tk_objref",
      "tk_struct",         "tk_union",      "tk_enum",
      "tk_string",         "tk_sequence",   "tk_array",
      "tk_alias",          "tk_except",     "tk_longlong",
      "tk_ulonglong",      "tk_longdouble", "tk_wchar",
      "tk_wstring",        "tk_fixed",      "tk_value",
      "tk_value_box",      "tk_native",     "tk_abstract_interface",
      "tk_local_interface"};
  const auto index = static_cast<unsigned int>(kind);
  if (index >= sizeof c_names / sizeof c_names[0]) return "unknown kind";
  return c_names[index];
}

std::string CORBAExceptionToString(const CORBA::Exception& e) {
  try {
    return std::string("CORBA::") + e._name();
  } catch (...) {
    return "CORBA::Exception?";
  }
}

std::string CORBASysExceptionToString(const CORBA::SystemException& e) {
  try {
    std::ostringstream os;
    os << "CORBA::" << e._name() << "#";
    if (const char* minor = e.NP_minorString()) {
      os << minor;
    } else {
      os << "0x" << std::hex << e.minor();
    }
    return os.str();
  } catch (...) {
    return "CORBA::SystemException?";
  }
}

}  // namespace inet

namespace {

std::ostream& PrintAny(std::ostream& os, const CORBA::Any& value) {
  CORBA::TypeCode_var type = value.type();
  switch (type->kind()) {
    case CORBA::tk_long: {
      CORBA::Long v = 0;
      value >>= v;
      return os << "<Long> " << v;
    }
    case CORBA::tk_ulong: {
      CORBA::ULong v = 0;
      value >>= v;
      return os << "<ULong> " << v;
    }
    case CORBA::tk_float: {
      CORBA::Float v = 0;
      value >>= v;
      return os << "<Float> " << v;
    }
    case CORBA::tk_double: {
      CORBA::Double v = 0;
      value >>= v;
      return os << "<Double> " << v;
    }
    case CORBA::tk_boolean: {
      CORBA::Boolean v = false;
      value >>= CORBA::Any::to_boolean(v);
      return os << "<Boolean> " << (v ? 1 : 0);
    }
    case CORBA::tk_string: {
      const char* v = nullptr;
      value >>= v;
      return os << "<String> " << (v != nullptr ? v : "");
    }
    case CORBA::tk_longlong: {
      CORBA::LongLong v = 0;
      value >>= v;
      return os << "<LongLong> " << static_cast<long long>(v);
    }
    case CORBA::tk_ulonglong: {
      CORBA::ULongLong v = 0;
      value >>= v;
      return os << "<ULongLong> " << static_cast<unsigned long long>(v);
    }
    default:
      return os << "<other CORBA::Any type>";
  }
}

}  // namespace

namespace CORBA {

std::ostream& operator<<(std::ostream& os, const CORBA::Exception& e) {
  return os << inet::CORBAExceptionToString(e);
}

std::ostream& operator<<(std::ostream& os, const CORBA::SystemException& e) {
  return os << inet::CORBASysExceptionToString(e);
}

std::ostream& operator<<(std::ostream& os, CORBA::Object* const& obj) {
  std::string text;
  try {
    CORBA::Any any;
    any <<= obj;  // inserts a duplicate; the caller keeps its reference
    CORBA::TypeCode_var type = any.type();
    text = std::string("CORBA::") + type->name() + "#" + type->id();
  } catch (...) {
    text = "CORBA::Object?";
  }
  return os << text;
}

std::ostream& operator<<(std::ostream& os, const CORBA::Any& value) {
  try {
    return PrintAny(os, value);
  } catch (const CORBA::SystemException&) {
    // A malformed value that came over the network.
    return os << "<malformed CORBA::Any>";
  }
}

}  // namespace CORBA

namespace omniORB {

std::ostream& operator<<(std::ostream& os, const omniORB::fatalException& e) {
  return os << "** MAJOR PROBLEM: Caught omniORB::fatalException:" << std::endl
            << "  file: " << (e.file() != nullptr ? e.file() : "") << std::endl
            << "  line: " << e.line() << std::endl
            << "  mesg: " << (e.errmsg() != nullptr ? e.errmsg() : "");
}

}  // namespace omniORB
