#pragma once

#include "py.hpp"
#include "quorl_engine/engine.hpp"

// Recording from Python: Stream.record() and the Recording type it returns,
// how the stream's connection ended, and the failure of a recording that
// stopped by itself.
namespace quorl_engine_module {

// Creates the Recording type and returns it (borrowed; the module keeps it
// for the life of the process), or null with an exception set.
PyObject* init_recording_type();

// Stream.record(path: bytes) -> Recording.
PyObject* start_recording(const std::shared_ptr<quorl_engine::Engine>& engine, PyObject* path);

// Stream.close_code and Stream.close_reason: None while the stream runs.
PyObject* close_code(quorl_engine::Engine& engine);
PyObject* close_reason(quorl_engine::Engine& engine);

// Sets OSError for a recording that stopped by itself since the last look;
// returns true when it did.
bool raise_recording_failure(quorl_engine::Engine& engine);

}  // namespace quorl_engine_module
