#include "panic.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

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

}  // namespace

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
