#pragma once

#include "py.hpp"

namespace quorl_engine_module {

// Adds the rules the package reads instead of restating them: the frame table
// (FRAME_TYPES), PROTOCOL_VERSION and the discovery ports (DISCOVERY_PORTS);
// false with an exception set.
bool add_constants(PyObject* module);

}  // namespace quorl_engine_module
