#pragma once

#include <memory>
#include <optional>

#include "py.hpp"
#include "quorl_engine/engine.hpp"

namespace quorl_engine_module {

// Creates the Stream type and returns it (borrowed; the module keeps it for
// the life of the process), or null with an exception set.
PyObject* init_stream_type();

// Adds MAX_QUEUE (the largest max_queue) and STREAMS (the (type byte, side
// or None) of each stream, by the index pull_into()'s sink uses) to
// `module`; false with an exception set.
bool add_stream_constants(PyObject* module);

// Returns a new Stream over a started engine; iterating it waits up to
// `timeout` seconds (none: without limit) for each frame.
PyObject* new_stream(std::shared_ptr<quorl_engine::Engine> engine, std::optional<double> timeout);

}  // namespace quorl_engine_module
