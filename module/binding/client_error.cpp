#include "client_error.hpp"

#include <string>
#include <variant>

namespace quorl_module {
namespace {

using quorl_sdk::QuorlError;

struct ClassOf {
  const ErrorClasses& classes;
  PyObject* operator()(const QuorlError::NoServerFound&) const { return classes.no_server; }
  PyObject* operator()(const QuorlError::ConnectFailed&) const { return classes.no_server; }
  PyObject* operator()(const QuorlError::IncompatibleProtocol&) const {
    return classes.incompatible;
  }
  PyObject* operator()(const QuorlError::Stream&) const { return classes.stream; }
  PyObject* operator()(const QuorlError::Decode&) const { return classes.decode; }
  PyObject* operator()(const QuorlError::InvalidUrl&) const { return classes.invalid_url; }
};

}  // namespace

ErrorClasses builtin_error_classes() noexcept {
  return {.no_server = PyExc_ConnectionError,
          .incompatible = PyExc_ConnectionError,
          .stream = PyExc_ConnectionError,
          .decode = PyExc_ValueError,
          .invalid_url = PyExc_ValueError};
}

void raise_client_error(const QuorlError& error, const ErrorClasses& classes,
                        std::uint64_t replaced) {
  PyObject* type = std::visit(ClassOf{classes}, error.value());
  const std::string message = error.message();
  // The texts come from Python str (URLs) and the transport (ASCII); anything
  // else is replaced rather than lost.
  const owned_ref text(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;
  const owned_ref instance(PyObject_CallFunctionObjArgs(type, text.get(), nullptr));
  if (!instance) return;
  if (replaced > 0) {
    const owned_ref count(PyLong_FromUnsignedLongLong(replaced));
    if (!count || PyObject_SetAttrString(instance.get(), "replaced", count.get()) < 0) return;
  }
  PyErr_SetObject(type, instance.get());
}

}  // namespace quorl_module
