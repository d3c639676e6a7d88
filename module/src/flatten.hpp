#pragma once

#include "py.hpp"
#include "quorl_protocol/decode.hpp"

namespace quorl_module {

// Returns the tuple (kind, side, values) of a decoded frame: kind is the type
// byte, side the hand side or None for body frames, and values a new list of
// every value as a float, flat, group by group, in wire order. The values go
// straight from the message into the list. Returns a new reference, or null
// with the interpreter's exception set.
PyObject* flatten(const quorl_protocol::Message& message) noexcept;

}  // namespace quorl_module
