#include "convert.hpp"

namespace quorl_module {
namespace {

// Tells whether `type` is numpy's boolean scalar type: named "bool_" (numpy
// 1) or "bool" (numpy 2), defined in module "numpy".
bool is_numpy_bool_type(PyObject* type) noexcept {
  const owned_ref module(PyObject_GetAttrString(type, "__module__"));
  const owned_ref name(PyObject_GetAttrString(type, "__name__"));
  if (!module || !name || !PyUnicode_Check(module.get()) || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
         (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
          PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

// Calls type(object).__bool__(object) and checks that it gave a bool.
std::optional<bool> numpy_bool(PyObject* object, PyObject* type) noexcept {
  owned_ref method(PyObject_GetAttrString(type, "__bool__"));
  if (!method) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return std::nullopt;
    PyErr_Clear();
    owned_ref name(PyObject_GetAttrString(type, "__qualname__"));
    if (!name) return std::nullopt;
    PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                 name.get());
    return std::nullopt;
  }
  const owned_ref result(PyObject_CallFunctionObjArgs(method.get(), object, nullptr));
  if (!result) return std::nullopt;
  if (!PyBool_Check(result.get())) {
    raise_cannot_convert(result.get(), "PyBool");
    return std::nullopt;
  }
  return result.get() == Py_True;
}

}  // namespace

void raise_cannot_convert(PyObject* object, const char* target) noexcept {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  owned_ref name(PyObject_GetAttrString(type, "__qualname__"));
  if (!name) {
    PyErr_Clear();
    name.reset(PyUnicode_FromString("<unknown>"));
    if (!name) return;
  }
  PyErr_Format(PyExc_TypeError, "'%S' object cannot be converted to '%s'", name.get(), target);
}

std::optional<long> to_long_in_range(PyObject* object, long min, long max) noexcept {
  const long value = PyLong_AsLong(object);
  if (value == -1 && PyErr_Occurred() != nullptr) return std::nullopt;
  if (value < min || value > max) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return std::nullopt;
  }
  return value;
}

std::optional<bool> to_bool(PyObject* object) noexcept {
  if (PyBool_Check(object)) return object == Py_True;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  if (is_numpy_bool_type(type)) return numpy_bool(object, type);
  raise_cannot_convert(object, "PyBool");
  return std::nullopt;
}

std::optional<std::uint64_t> to_u64(PyObject* object) noexcept {
  owned_ref index;
  if (!PyLong_Check(object)) {
    index.reset(PyNumber_Index(object));
    if (!index) return std::nullopt;
    object = index.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(object);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::string> to_utf8(PyObject* object) {
  if (!PyUnicode_Check(object)) {
    raise_cannot_convert(object, "PyString");
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) return std::nullopt;
  return std::string(text, static_cast<std::size_t>(size));
}

}  // namespace quorl_module
