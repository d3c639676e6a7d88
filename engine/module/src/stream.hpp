#pragma once

#include <memory>
#include <optional>

#include "py.hpp"
#include "quorl_engine/engine.hpp"

namespace quorl_engine_module {

// Creates the Stream type; false with an exception set on failure.
bool init_stream_type(PyObject* module);

// Returns a new Stream over a started engine; iterating it waits up to
// `timeout` seconds (none: without limit) for each frame.
PyObject* new_stream(std::shared_ptr<quorl_engine::Engine> engine, std::optional<double> timeout);

}  // namespace quorl_engine_module
