#pragma once

#include <cstdint>
#include <optional>
#include <string>

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

// Converts a bool, or a numpy bool (a type named "bool_" or "bool" of module
// "numpy") through its __bool__, which must return a bool. Anything else,
// ints included: TypeError "'{type}' object cannot be converted to 'PyBool'".
std::optional<bool> to_bool(PyObject* object) noexcept;

// Converts an int, or any object with __index__, to an unsigned 64-bit value;
// the interpreter's OverflowError when negative or above 2**64 - 1, its
// TypeError when not an integer.
std::optional<std::uint64_t> to_u64(PyObject* object) noexcept;

// Copies the UTF-8 text of a str (or subclass). Not a str: TypeError "'{type}'
// object cannot be converted to 'PyString'"; lone surrogates: the
// interpreter's UnicodeEncodeError.
std::optional<std::string> to_utf8(PyObject* object);

}  // namespace quorl_module
