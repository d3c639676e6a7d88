#pragma once

#include <optional>

#include "py.hpp"

namespace quorl_module {

// Reads a span of seconds named `name`: None, or a real number of at least 0
// (an int, a float, or any object with __float__ or __index__, such as numpy's
// scalars). None gives nothing; an int too large for a float gives infinity,
// as does infinity itself. Returns false with an exception set:
//   a bool or anything that is not a number: TypeError "{name} must be a
//     number of seconds or None, got {type}";
//   NaN or a negative number: ValueError "{name} must be at least 0 seconds,
//     got {repr}".
bool read_seconds(PyObject* value, const char* name, std::optional<double>& out) noexcept;

}  // namespace quorl_module
