// The error classification and the value conversions of varnek._varnek:
// istd::Any values to Python objects (numeric vectors as numpy arrays, one
// memory copy) and Python objects, numpy arrays in one pass, to istd::Any
// values of a node's type.
//
// Threads: Classify is pure; the conversions run with the GIL held.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "client/value_type.h"
#include "common.h"
#include "convert.h"

namespace varnekpy {

namespace {

bool Contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

std::string TypeText(py::handle object) {
  return py::str(py::type::handle_of(object).attr("__name__"));
}

[[noreturn]] void Refuse(py::handle object, const char* wanted, const std::string& path) {
  throw py::type_error("cannot write " + TypeText(object) + " to " + path + " (" + wanted + ")");
}

// One Python scalar as a T (numpy scalars included; integers range-checked,
// floats not accepted for integers, only bools for Bool).
template <typename T>
T ScalarFrom(py::handle object, const std::string& path) {
  if constexpr (std::is_same_v<T, std::string>) {
    if (!py::isinstance<py::str>(object)) Refuse(object, "a str", path);
    return object.cast<std::string>();
  } else if constexpr (std::is_same_v<T, bool>) {
    if (py::isinstance<py::bool_>(object)) return object.ptr() == Py_True;
    if (py::isinstance(object, py::module_::import("numpy").attr("bool_"))) {
      return PyObject_IsTrue(object.ptr()) == 1;
    }
    Refuse(object, "a bool", path);
  } else if constexpr (std::is_floating_point_v<T>) {
    if (py::isinstance<py::str>(object) || py::isinstance<py::bytes>(object) ||
        !PyNumber_Check(object.ptr()) || PyComplex_Check(object.ptr())) {
      Refuse(object, "a number", path);
    }
    const double value = PyFloat_AsDouble(object.ptr());
    if (value == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return static_cast<T>(value);
  } else {
    if (PyFloat_Check(object.ptr()) || py::isinstance<py::str>(object) ||
        PyIndex_Check(object.ptr()) == 0) {
      Refuse(object, "an integer", path);
    }
    py::int_ number = py::reinterpret_steal<py::int_>(PyNumber_Index(object.ptr()));
    if (!number) throw py::error_already_set();
    int overflow = 0;
    if constexpr (std::is_signed_v<T>) {
      const long long value = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
      if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
      if (overflow == 0 && value >= std::numeric_limits<T>::min() &&
          value <= std::numeric_limits<T>::max()) {
        return static_cast<T>(value);
      }
    } else {
      const unsigned long long value = PyLong_AsUnsignedLongLong(number.ptr());
      if (!PyErr_Occurred() && value <= std::numeric_limits<T>::max()) return static_cast<T>(value);
      PyErr_Clear();
    }
    throw py::value_error(std::string(py::str(number)) + " is out of range for " + path);
  }
}

// A numpy array of integers (kind b, i or u) into T elements, range-checked
// in one C++ loop over a 64-bit copy made by numpy.
template <typename T, typename Wide>
std::vector<T> IntegersFrom(const py::array& source, const std::string& path) {
  auto wide = py::array_t<Wide, py::array::c_style | py::array::forcecast>::ensure(source);
  if (!wide) throw py::error_already_set();
  const Wide* data = wide.data();
  const size_t n = static_cast<size_t>(wide.size());
  std::vector<T> out(n);
  for (size_t i = 0; i < n; ++i) {
    const Wide v = data[i];
    bool fits;
    if constexpr (std::is_signed_v<Wide> == std::is_signed_v<T>) {
      fits = v >= static_cast<Wide>(std::numeric_limits<T>::min()) &&
             v <= static_cast<Wide>(std::numeric_limits<T>::max());
    } else if constexpr (std::is_signed_v<Wide>) {  // signed source, unsigned T
      fits = v >= 0 && static_cast<uint64_t>(v) <= std::numeric_limits<T>::max();
    } else {  // unsigned source, signed T
      fits = v <= static_cast<uint64_t>(std::numeric_limits<T>::max());
    }
    if (!fits) {
      throw py::value_error("element " + std::to_string(i) + " (" + std::to_string(v) +
                            ") is out of range for " + path);
    }
    out[i] = static_cast<T>(v);
  }
  return out;
}

// A numpy array as the element vector of T, in one pass.
template <typename T>
std::vector<T> ArrayFrom(const py::array& source, const std::string& path) {
  if (source.ndim() > 1) {
    throw py::value_error("a 1-D array is needed for " + path + ", not " +
                          std::to_string(source.ndim()) + "-D");
  }
  const char kind = source.dtype().kind();
  if constexpr (std::is_same_v<T, std::string>) {
    if (kind != 'U' && kind != 'O') Refuse(source, "str elements", path);
    std::vector<std::string> out;
    for (py::handle element : source) out.push_back(ScalarFrom<std::string>(element, path));
    return out;
  } else {
    if (kind == 'O') {  // Python objects: one conversion each
      std::vector<T> out;
      for (py::handle element : source) out.push_back(ScalarFrom<T>(element, path));
      return out;
    }
    if constexpr (std::is_same_v<T, bool>) {
      if (kind != 'b') Refuse(source, "bool elements", path);
      auto cast = py::array_t<bool, py::array::c_style | py::array::forcecast>::ensure(source);
      return std::vector<bool>(cast.data(), cast.data() + cast.size());
    } else if constexpr (std::is_floating_point_v<T>) {
      if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f') {
        Refuse(source, "numeric elements", path);
      }
      auto cast = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(source);
      if (!cast) throw py::error_already_set();
      return std::vector<T>(cast.data(), cast.data() + cast.size());
    } else {
      if (kind != 'b' && kind != 'i' && kind != 'u') Refuse(source, "integer elements", path);
      if (kind == 'u') return IntegersFrom<T, uint64_t>(source, path);
      return IntegersFrom<T, int64_t>(source, path);
    }
  }
}

}  // namespace

ErrorKind_e Classify(const std::string& text, std::chrono::milliseconds elapsed,
                     std::chrono::milliseconds timeout, bool valueCall) {
  if (Contains(text, "node not found") || Contains(text, "no child with index") ||
      Contains(text, "child node not found")) {
    return eNotFound;
  }
  if (Contains(text, "not accessible") || Contains(text, "node disconnected") ||
      Contains(text, "not valid anymore") || Contains(text, "cannot connect")) {
    if (timeout.count() > 0 && elapsed >= timeout) return eTimeout;
    return eConnection;
  }
  static const char* const c_refusals[] = {
      "is not readable",   "is not writable", "is constant",       "not in the domain",
      "is not a value of", "out of range",    "takes exactly",     "not a command code",
      "invalid type",      "has no value",    "is not executable", "value type is",
      "expected "};
  for (const char* refusal : c_refusals) {
    if (Contains(text, refusal)) return eAccess;
  }
  return valueCall ? eAccess : eError;
}

py::object MakeError(const std::string& text, ErrorKind_e kind) {
  static const char* const c_names[] = {"Error", "NotFound", "AccessError", "ConnectionError",
                                        "TimeoutError"};
  py::object errors = py::module_::import("varnek._errors");
  return errors.attr(c_names[kind])(Text(text));
}

py::object ToPython(const istd::Any& value) {
  py::object out;
  const boost::any& held = value.Value();
  const bool known = istd::VisitHeld(value, [&](auto tag, bool isVector) {
    using T = typename decltype(tag)::Type;
    if (isVector) {
      out = Vector(*boost::unsafe_any_cast<std::vector<T>>(&held));
    } else {
      out = Scalar(*boost::unsafe_any_cast<T>(&held));
    }
  });
  if (!known) throw LibraryError("varnek: the registry answered a value of no known type", eError);
  return out;
}

istd::Any FromPython(py::handle object, roz::enums::NodeValType_e type, bool array,
                     const std::string& path) {
  return roz::VisitValueType(
      type,
      [&](auto tag) -> istd::Any {
        using T = typename decltype(tag)::Type;
        if (!array) {
          if (py::isinstance<py::array>(object) &&
              py::array(py::reinterpret_borrow<py::array>(object)).ndim() == 0) {
            return istd::Any(ScalarFrom<T>(object.attr("item")(), path));
          }
          return istd::Any(ScalarFrom<T>(object, path));
        }
        if (py::isinstance<py::array>(object)) {
          return istd::Any(ArrayFrom<T>(py::reinterpret_borrow<py::array>(object), path));
        }
        const bool text = py::isinstance<py::str>(object) || py::isinstance<py::bytes>(object);
        if (!text && PySequence_Check(object.ptr())) {
          if constexpr (!std::is_same_v<T, std::string>) {
            // Plain sequences of numbers go through numpy's conversion.
            // numpy widens a mix of large and small integers to floats: for
            // integer nodes such a list is converted element by element.
            py::array converted = py::module_::import("numpy").attr("asarray")(object);
            if (converted.size() == 0) return istd::Any(std::vector<T>());
            const char kind = converted.dtype().kind();
            if (std::is_integral_v<T> && !std::is_same_v<T, bool> && kind != 'i' && kind != 'u' &&
                kind != 'b') {
              std::vector<T> out;
              for (py::handle element : object) out.push_back(ScalarFrom<T>(element, path));
              return istd::Any(out);
            }
            return istd::Any(ArrayFrom<T>(converted, path));
          } else {
            std::vector<std::string> out;
            for (py::handle element : object) out.push_back(ScalarFrom<T>(element, path));
            return istd::Any(out);
          }
        }
        return istd::Any(std::vector<T>{ScalarFrom<T>(object, path)});
      },
      [&]() -> istd::Any { throw LibraryError("ireg: node has no value: " + path, eAccess); });
}

std::string TypeName(roz::enums::NodeValType_e type) {
  const char* text = istd::EnumMap<roz::enums::NodeValType_e>::items.FindText(type);
  return text != nullptr ? text : std::to_string(static_cast<int>(type));
}

std::vector<std::string> FlagNames(roz::Flags flags) {
  std::vector<std::string> names;
  for (const auto& entry : istd::EnumMap<roz::enums::Flags_e>::items.ValueMap()) {
    if ((flags & entry.first) != 0) names.push_back(entry.second);
  }
  return names;
}

double Now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace varnekpy
