#pragma once

#include <cstdint>

#include "py.hpp"
#include "quorl_engine/record.hpp"
#include "quorl_sdk/error.hpp"

// The Python values the module makes: frames, and the package's exceptions.
namespace quorl_engine_module {

using quorl_module::owned_ref;

// Creates the Frame type and returns it (borrowed; the module keeps it for
// the life of the process), or null with an exception set.
PyObject* init_frame_type();

// Returns the Frame type (borrowed); null before init_frame_type().
PyObject* frame_type() noexcept;

// Takes the package's FrameKind members (a tuple indexed by type byte, None
// where no kind is) and exception classes. False with an exception set when
// they have the wrong shape.
bool configure(PyObject* kinds, PyObject* errors);

// Returns the FrameKind of a type byte (borrowed), or null when it has none.
PyObject* kind_object(std::uint8_t type) noexcept;

// Returns the side as Python sees it: None for body frames.
PyObject* side_object(std::uint8_t side) noexcept;

// Returns a new Frame of a record; null with an exception set on failure.
PyObject* make_frame(const quorl_engine::FrameRecord& record);

// Sets the package's exception for a client error: ServerNotFound,
// IncompatibleProtocol, StreamError, FrameError, or ValueError for a URL.
// An error that replaced others carries their count as `replaced`.
void raise_error(const quorl_sdk::QuorlError& error, std::uint64_t replaced = 0);

// Sets FrameTimeout "no frame within the timeout".
void raise_timeout();

}  // namespace quorl_engine_module
