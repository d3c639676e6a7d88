#include "map_error.hpp"

#include <string>
#include <variant>

namespace quorl_module {
namespace {

using quorl_sdk::QuorlError;

// The exception class of each kind of client error.
struct ExceptionType {
  PyObject* operator()(const QuorlError::Decode&) const { return PyExc_ValueError; }
  PyObject* operator()(const QuorlError::InvalidUrl&) const { return PyExc_ValueError; }
  PyObject* operator()(const auto&) const { return PyExc_ConnectionError; }
};

}  // namespace

void map_error(const QuorlError& error) {
  const std::string message = error.message();
  // The texts come from Python str (URLs) and the transport (ASCII); anything
  // else is replaced rather than lost.
  const owned_ref text(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;
  PyErr_SetObject(std::visit(ExceptionType{}, error.value()), text.get());
}

}  // namespace quorl_module
