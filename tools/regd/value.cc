// Node values of regd: names, element conversions, JSON values.
#include "value.h"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "network/i_types.h"

namespace regd {

namespace {

using roz::enums::Flags_e;

struct TypeName {
  ValueType type;
  const char* name;
  CORBA::TCKind kind;
  const char* buffer;
};

const TypeName c_types[] = {
    {roz::enums::eUndefined, "Undefined", CORBA::tk_null, ""},
    {roz::enums::eBool, "Bool", CORBA::tk_boolean, "BooleanBuffer"},
    {roz::enums::eLong, "Long", CORBA::tk_long, "Int32Buffer"},
    {roz::enums::eULong, "ULong", CORBA::tk_ulong, "UInt32Buffer"},
    {roz::enums::eLongLong, "LongLong", CORBA::tk_longlong, "Int64Buffer"},
    {roz::enums::eULongLong, "ULongLong", CORBA::tk_ulonglong, "UInt64Buffer"},
    {roz::enums::eDouble, "Double", CORBA::tk_double, "DoubleBuffer"},
    {roz::enums::eFloat, "Float", CORBA::tk_float, "FloatBuffer"},
    {roz::enums::eString, "String", CORBA::tk_string, "StringBuffer"},
    {roz::enums::eEnumeration, "Enumeration", CORBA::tk_string, "StringBuffer"},
};

const TypeName& Find(ValueType type) {
  for (const TypeName& t : c_types) {
    if (t.type == type) return t;
  }
  return c_types[0];
}

struct FlagName {
  Flags_e flag;
  const char* name;
};

const FlagName c_flags[] = {
    {roz::enums::eRead, "read"},
    {roz::enums::eWrite, "write"},
    {roz::enums::ePersistent, "persistent"},
    {roz::enums::eUnlockedRead, "unlocked_read"},
    {roz::enums::eConstant, "constant"},
    {roz::enums::eHidden, "hidden"},
    {roz::enums::eExecutable, "executable"},
    {roz::enums::eAttribute, "attribute"},
    {roz::enums::eArray, "array"},
    {roz::enums::eSignal, "signal"},
};

template <typename T>
std::string ElementText(const T& value) {
  if constexpr (std::is_same_v<T, std::string>) {
    return value;
  } else if constexpr (std::is_same_v<T, bool>) {
    return value ? "1" : "0";
  } else {
    std::ostringstream os;
    os.precision(std::numeric_limits<T>::max_digits10);
    os << value;
    return os.str();
  }
}

template <typename T>
T JsonElement(const nlohmann::json& j, ValueType type) {
  if constexpr (std::is_same_v<T, bool>) {
    if (!j.is_boolean()) throw istd::Exception("expected true or false", true);
    return j.get<bool>();
  } else if constexpr (std::is_same_v<T, std::string>) {
    if (!j.is_string()) throw istd::Exception("expected a string", true);
    return j.get<std::string>();
  } else if constexpr (std::is_floating_point_v<T>) {
    if (!j.is_number()) throw istd::Exception("expected a number", true);
    const double value = j.get<double>();
    if (std::is_same_v<T, float> && std::isfinite(value) &&
        std::fabs(value) > std::numeric_limits<float>::max()) {
      throw istd::Exception("value " + j.dump() + " out of range for Float", true);
    }
    return static_cast<T>(value);
  } else {
    if (!j.is_number_integer()) throw istd::Exception("expected an integer", true);
    const std::string range = "value " + j.dump() + " out of range for " + ValueTypeName(type);
    if (j.is_number_unsigned()) {
      const unsigned long long value = j.get<unsigned long long>();
      if (value > static_cast<unsigned long long>(std::numeric_limits<T>::max())) {
        throw istd::Exception(range, true);
      }
      return static_cast<T>(value);
    }
    const long long value = j.get<long long>();
    if (std::is_unsigned_v<T> || value < static_cast<long long>(std::numeric_limits<T>::min())) {
      throw istd::Exception(range, true);
    }
    return static_cast<T>(value);
  }
}

}  // namespace

namespace detail {
double Clamp(double value, double low, double high) {
  if (std::isnan(value)) return 0.0;
  return std::min(std::max(value, low), high);
}
}  // namespace detail

bool ValueTypeFromName(const std::string& name, ValueType& type) {
  for (const TypeName& t : c_types) {
    if (name == t.name) {
      type = t.type;
      return true;
    }
  }
  return false;
}

const char* ValueTypeName(ValueType type) { return Find(type).name; }

bool FlagFromName(const std::string& name, roz::Flags& flag) {
  for (const FlagName& f : c_flags) {
    if (name == f.name) {
      flag = f.flag;
      return true;
    }
  }
  return false;
}

Elements EmptyElements(ValueType type) {
  if (type == roz::enums::eUndefined) return std::monostate{};
  return WithElementType(
      type, [](auto tag) -> Elements { return std::vector<typename decltype(tag)::Type>{}; });
}

size_t ElementCount(const Elements& elements) {
  return std::visit(
      [](const auto& values) -> size_t {
        if constexpr (std::is_same_v<std::decay_t<decltype(values)>, std::monostate>) {
          return 0;
        } else {
          return values.size();
        }
      },
      elements);
}

CORBA::TCKind ScalarKind(ValueType type) { return Find(type).kind; }

const char* BufferName(ValueType type) { return Find(type).buffer; }

istd::Any ElementAny(const Elements& elements, size_t pos) {
  return std::visit(
      [pos](const auto& values) -> istd::Any {
        if constexpr (std::is_same_v<std::decay_t<decltype(values)>, std::monostate>) {
          return istd::Any();
        } else {
          using T = typename std::decay_t<decltype(values)>::value_type;
          return istd::Any(static_cast<T>(values.at(pos)));
        }
      },
      elements);
}

istd::Any SliceAny(const Elements& elements, size_t pos, size_t count) {
  return std::visit(
      [pos, count](const auto& values) -> istd::Any {
        using V = std::decay_t<decltype(values)>;
        if constexpr (std::is_same_v<V, std::monostate>) {
          return istd::Any();
        } else {
          return istd::Any(V(values.begin() + static_cast<std::ptrdiff_t>(pos),
                             values.begin() + static_cast<std::ptrdiff_t>(pos + count)));
        }
      },
      elements);
}

std::vector<std::string> SliceTexts(const Elements& elements, size_t pos, size_t count) {
  std::vector<std::string> texts;
  std::visit(
      [&](const auto& values) {
        if constexpr (!std::is_same_v<std::decay_t<decltype(values)>, std::monostate>) {
          for (size_t i = pos; i < pos + count && i < values.size(); ++i) {
            using T = typename std::decay_t<decltype(values)>::value_type;
            texts.push_back(ElementText<T>(values[i]));
          }
        }
      },
      elements);
  return texts;
}

bool ElementsFromAny(const istd::Any& value, ValueType type, Elements& out) {
  if (type == roz::enums::eUndefined) return false;
  return WithElementType(type, [&](auto tag) {
    using V = std::vector<typename decltype(tag)::Type>;
    if (!value.Holds<V>()) return false;
    out = value.Get<V>();
    return true;
  });
}

void WriteElements(Elements& target, size_t pos, const Elements& values) {
  std::visit(
      [&](auto& into) {
        using V = std::decay_t<decltype(into)>;
        if constexpr (!std::is_same_v<V, std::monostate>) {
          const V& from = std::get<V>(values);
          if (pos + from.size() > into.size()) into.resize(pos + from.size());
          std::copy(from.begin(), from.end(), into.begin() + static_cast<std::ptrdiff_t>(pos));
        }
      },
      target);
}

Elements ElementsFromJson(ValueType type, const nlohmann::json& value, bool array) {
  return WithElementType(type, [&](auto tag) -> Elements {
    using T = typename decltype(tag)::Type;
    std::vector<T> values;
    if (!array) {
      values.push_back(JsonElement<T>(value, type));
      return values;
    }
    if (value.size() > c_maxArrayElements) throw istd::Exception("array too large", true);
    for (size_t i = 0; i < value.size(); ++i) {
      try {
        values.push_back(JsonElement<T>(value[i], type));
      } catch (const istd::Exception& e) {
        throw istd::Exception("element " + std::to_string(i) + ": " + e.what(), true);
      }
    }
    return values;
  });
}

}  // namespace regd
