#include "convert.hpp"

namespace quorl_module {

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

}  // namespace quorl_module
