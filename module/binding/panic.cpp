#include "panic.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <utility>

namespace quorl_module {
namespace {

constexpr const char* kPanicDoc =
    "An internal fault of the native core that reached the Python boundary.\n\n"
    "Derives from BaseException, not Exception, so that `except Exception` does\n"
    "not swallow a broken invariant.";

constexpr const char* kFaultWithoutMessage = "internal fault without a message";

// The PanicException type; a strong reference kept for the life of the process.
PyObject* panic_type = nullptr;

// Sets PanicException with `message` (UTF-8, invalid bytes replaced).
void raise_panic(const char* message) noexcept {
  PyObject* type = panic_exception_type();
  if (type == nullptr) abort_uncaught_panic();
  owned_ref text(
      PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace"));
  if (!text) abort_uncaught_panic();
  PyErr_SetObject(type, text.get());
}

// Tells whether `type` is named `qualname` and defined in `module_name`.
bool is_named(PyObject* type, const char* module_name, const char* qualname) noexcept {
  const owned_ref module(PyObject_GetAttrString(type, "__module__"));
  const owned_ref name(PyObject_GetAttrString(type, "__qualname__"));
  if (!module || !name || !PyUnicode_Check(module.get()) || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(module.get(), module_name) == 0 &&
         PyUnicode_CompareWithASCIIString(name.get(), qualname) == 0;
}

// Returns a new reference to the PanicException that `module_name` created;
// null, with an exception set, when there is none.
PyObject* find_panic_exception_type(const char* module_name) noexcept {
  const owned_ref subclasses(PyObject_CallMethod(PyExc_BaseException, "__subclasses__", nullptr));
  if (!subclasses) return nullptr;
  const Py_ssize_t count = PyList_Size(subclasses.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* type = PyList_GetItem(subclasses.get(), i);
    if (is_named(type, module_name, "PanicException")) return new_ref(type).release();
  }
  PyErr_Format(PyExc_ImportError, "%s made no PanicException", module_name);
  return nullptr;
}

}  // namespace

bool share_panic_exception_type(const char* module_name) noexcept {
  const owned_ref module(PyImport_ImportModule(module_name));
  if (!module) return false;
  PyObject* type = find_panic_exception_type(module_name);
  if (type == nullptr) return false;
  Py_DecRef(std::exchange(panic_type, type));
  return true;
}

PyObject* panic_exception_type() noexcept {
  if (panic_type == nullptr) {
    panic_type = PyErr_NewExceptionWithDoc("_quorl_sdk.PanicException", kPanicDoc,
                                           PyExc_BaseException, nullptr);
  }
  return panic_type;
}

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& fault) {
    raise_panic(fault.what());
  } catch (...) {
    raise_panic(kFaultWithoutMessage);
  }
}

void write_current_exception_unraisable(PyObject* context) noexcept {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  raise_current_exception();
  PyErr_WriteUnraisable(context);
  PyErr_Restore(type, value, traceback);
}

void abort_uncaught_panic() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::abort();
}

}  // namespace quorl_module
