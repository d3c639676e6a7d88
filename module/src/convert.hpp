#pragma once

#include <optional>

#include "py.hpp"

namespace quorl_module {

// Sets TypeError "'{type}' object cannot be converted to '{target}'", with the
// qualified name of `object`'s type.
void raise_cannot_convert(PyObject* object, const char* target) noexcept;

// Converts an int (or an object with __index__) through PyLong_AsLong and
// checks that it lies in [min, max]. Outside that range: OverflowError "out of
// range integral type conversion attempted". Returns nothing with the
// exception set on failure (the interpreter's own TypeError or OverflowError
// when PyLong_AsLong refuses).
std::optional<long> to_long_in_range(PyObject* object, long min, long max) noexcept;

}  // namespace quorl_module
