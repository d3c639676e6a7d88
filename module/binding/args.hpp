#pragma once

#include <cstddef>
#include <span>

#include "py.hpp"

namespace quorl_module {

// The parameters of a module function called with METH_FASTCALL |
// METH_KEYWORDS. Every parameter may be given by position or by keyword; the
// first `required` ones must be given.
struct Signature {
  const char* full_name;                    // as errors name it, e.g. "connect_raw()"
  std::span<const char* const> parameters;  // in positional order
  std::size_t required;
};

// Binds one call to `signature`. On success `bound[i]` holds the (borrowed)
// argument of parameter i, or null when it was not given, and true is
// returned. Otherwise a TypeError is set and false returned; the checks run in
// this order: too many positional arguments, then each keyword in turn
// (unknown name, or a parameter already given by position), then the missing
// required parameters. `bound` must have one slot per parameter (otherwise
// std::logic_error, which the entry point's guard raises as PanicException).
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> bound);

// Names the parameter whose conversion just failed: a pending exception of
// exactly the type TypeError becomes TypeError "argument '{name}': {message}"
// with the original as its __cause__. Any other pending exception is left as
// it is.
void rewrap_argument_error(const char* name) noexcept;

}  // namespace quorl_module
