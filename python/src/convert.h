// Python objects of single values and of value vectors: the element
// conversions shared by the value reads of varnek._varnek (numeric vectors
// become numpy arrays with one memory copy; invalid UTF-8 of a server is
// replaced, never fatal).
//
// Threads: GIL held for every function here.
#ifndef VARNEK_PYTHON_CONVERT_H
#define VARNEK_PYTHON_CONVERT_H

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

namespace varnekpy {

namespace py = pybind11;

inline py::str Text(const std::string& text) {
  // Invalid UTF-8 from a server must not make a read fail.
  PyObject* object =
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (object == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(object);
}

template <typename T>
py::object Scalar(const T& value) {
  if constexpr (std::is_same_v<T, std::string>) {
    return Text(value);
  } else if constexpr (std::is_same_v<T, bool>) {
    return py::bool_(value);
  } else if constexpr (std::is_floating_point_v<T>) {
    return py::float_(static_cast<double>(value));
  } else {
    return py::int_(value);
  }
}

template <typename T>
py::object Vector(const std::vector<T>& values) {
  if constexpr (std::is_same_v<T, std::string>) {
    py::list list(values.size());
    for (size_t i = 0; i < values.size(); ++i) list[i] = Text(values[i]);
    return std::move(list);
  } else if constexpr (std::is_same_v<T, bool>) {
    py::array_t<bool> array(static_cast<py::ssize_t>(values.size()));
    bool* out = array.mutable_data();
    for (size_t i = 0; i < values.size(); ++i) out[i] = values[i];
    return std::move(array);
  } else {
    py::array_t<T> array(static_cast<py::ssize_t>(values.size()));
    if (!values.empty())
      std::memcpy(array.mutable_data(), values.data(), values.size() * sizeof(T));
    return std::move(array);
  }
}

}  // namespace varnekpy

#endif  // VARNEK_PYTHON_CONVERT_H
