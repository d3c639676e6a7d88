#include "args.hpp"

#include <stdexcept>
#include <string>
#include <vector>

namespace quorl_module {
namespace {

// Returns "'a'", "'a' and 'b'" or "'a', 'b', and 'c'".
std::string quoted_list(std::span<const char* const> names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) {
      if (names.size() > 2) text += ',';
      text += i + 1 == names.size() ? " and " : " ";
    }
    text += '\'';
    text += names[i];
    text += '\'';
  }
  return text;
}

void raise_too_many_positional(const Signature& signature, Py_ssize_t given) noexcept {
  const std::size_t most = signature.parameters.size();
  const char* verb = given == 1 ? "was" : "were";
  if (signature.required == most) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                 signature.full_name, most, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                 signature.full_name, signature.required, most, given, verb);
  }
}

// Returns the index of the parameter named `keyword`, or -1.
Py_ssize_t parameter_index(const Signature& signature, PyObject* keyword) noexcept {
  for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(keyword, signature.parameters[i]) == 0) {
      return static_cast<Py_ssize_t>(i);
    }
  }
  return -1;
}

// Binds the keyword arguments, which follow the positional ones in `args`.
bool bind_keywords(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, std::span<PyObject*> bound) noexcept {
  const Py_ssize_t count = PyTuple_Size(kwnames);
  if (count < 0) return false;
  for (Py_ssize_t k = 0; k < count; ++k) {
    PyObject* keyword = PyTuple_GetItem(kwnames, k);
    if (keyword == nullptr) return false;
    const Py_ssize_t index = parameter_index(signature, keyword);
    if (index < 0) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                   signature.full_name, keyword);
      return false;
    }
    if (bound[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", signature.full_name,
                   signature.parameters[index]);
      return false;
    }
    bound[index] = args[nargs + k];
  }
  return true;
}

// Raises the TypeError naming every required parameter left unbound.
bool check_required(const Signature& signature, std::span<PyObject*> bound) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (bound[i] == nullptr) missing.push_back(signature.parameters[i]);
  }
  if (missing.empty()) return true;
  const std::string names = quoted_list(missing);
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", signature.full_name,
               missing.size(), missing.size() == 1 ? "argument" : "arguments", names.c_str());
  return false;
}

// Returns str(exception), or a stand-in when str() itself fails.
owned_ref exception_text(PyObject* exception) noexcept {
  owned_ref text(PyObject_Str(exception));
  if (!text) {
    PyErr_Clear();
    text.reset(PyUnicode_FromString("<exception str() failed>"));
  }
  return text;
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> bound) {
  if (bound.size() != signature.parameters.size()) {
    throw std::logic_error("argument slots do not match the function's parameters");
  }
  if (static_cast<std::size_t>(nargs) > signature.parameters.size()) {
    raise_too_many_positional(signature, nargs);
    return false;
  }
  for (std::size_t i = 0; i < bound.size(); ++i) {
    bound[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;
  }
  if (kwnames != nullptr && !bind_keywords(signature, args, nargs, kwnames, bound)) return false;
  return check_required(signature, bound);
}

void rewrap_argument_error(const char* name) noexcept {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value == nullptr || Py_TYPE(value) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  if (traceback != nullptr) PyException_SetTraceback(value, traceback);
  owned_ref cause(value);
  Py_DecRef(type);
  Py_DecRef(traceback);

  const owned_ref text = exception_text(cause.get());
  if (!text) return;
  owned_ref message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return;
  owned_ref wrapped(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!wrapped) return;
  PyException_SetCause(wrapped.get(), cause.release());
  PyErr_SetObject(PyExc_TypeError, wrapped.get());
}

}  // namespace quorl_module
