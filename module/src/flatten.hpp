#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "py.hpp"
#include "quorl_protocol/decode.hpp"

namespace quorl_module {

// A decoded frame as Python sees it: type byte, hand side (absent for body
// frames) and every value, flat, in wire order.
struct Flattened {
  std::uint8_t kind;
  std::optional<std::uint8_t> side;
  std::vector<double> values;
};

// Returns the 4 * count values of `quaternions`, group by group.
std::vector<double> flatten_quaternions(std::span<const quorl_protocol::Quaternion> quaternions);

// Returns the 4 * count values of `landmarks`, group by group.
std::vector<double> flatten_landmarks(std::span<const quorl_protocol::Landmark> landmarks);

// Returns the triple of `message`; allocates the value array once, exactly
// sized.
Flattened flatten(const quorl_protocol::Message& message);

// Builds the tuple (kind, side or None, list of floats), consuming `frame`.
// Returns a new reference, or null with the interpreter's exception set.
PyObject* to_python(Flattened&& frame) noexcept;

}  // namespace quorl_module
