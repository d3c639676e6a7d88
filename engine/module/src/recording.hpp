#pragma once

#include "py.hpp"

namespace quorl_engine_module {

// Adds the recording reader's functions, the frame table (FRAME_TYPES) and
// the protocol version (PROTOCOL_VERSION) to the module; false with an
// exception set.
bool add_recording_functions(PyObject* module);

}  // namespace quorl_engine_module
