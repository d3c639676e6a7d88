#include "seconds.hpp"

#include <cmath>
#include <limits>

namespace quorl_module {
namespace {

void raise_not_seconds(PyObject* value, const char* name) noexcept {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  const owned_ref type_name(PyObject_GetAttrString(type, "__name__"));
  if (!type_name) return;
  PyErr_Format(PyExc_TypeError, "%s must be a number of seconds or None, got %U", name,
               type_name.get());
}

void raise_below_zero(PyObject* value, const char* name) noexcept {
  PyErr_Format(PyExc_ValueError, "%s must be at least 0 seconds, got %R", name, value);
}

// An int is compared before it is converted: one too large for a float is
// still a span (a user's "forever"), and a negative one is still refused.
std::optional<double> int_seconds(PyObject* value, const char* name) noexcept {
  const owned_ref zero(PyLong_FromLong(0));
  if (!zero) return std::nullopt;
  const int negative = PyObject_RichCompareBool(value, zero.get(), Py_LT);
  if (negative < 0) return std::nullopt;
  if (negative == 1) {
    raise_below_zero(value, name);
    return std::nullopt;
  }
  const double seconds = PyLong_AsDouble(value);
  if (seconds == -1.0 && PyErr_Occurred() != nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return std::nullopt;
    PyErr_Clear();
    return std::numeric_limits<double>::infinity();
  }
  return seconds;
}

std::optional<double> real_seconds(PyObject* value, const char* name) noexcept {
  const double seconds = PyFloat_AsDouble(value);
  if (seconds == -1.0 && PyErr_Occurred() != nullptr) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      raise_not_seconds(value, name);
    }
    return std::nullopt;
  }
  if (std::isnan(seconds) || seconds < 0) {
    raise_below_zero(value, name);
    return std::nullopt;
  }
  return seconds;
}

}  // namespace

bool read_seconds(PyObject* value, const char* name, std::optional<double>& out) noexcept {
  if (value == Py_None) {
    out.reset();
    return true;
  }
  if (PyBool_Check(value)) {
    raise_not_seconds(value, name);
    return false;
  }
  const auto seconds = PyLong_Check(value) ? int_seconds(value, name) : real_seconds(value, name);
  if (!seconds) return false;
  out = *seconds;
  return true;
}

}  // namespace quorl_module
