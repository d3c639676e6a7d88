#pragma once

#include "py.hpp"

namespace quorl_engine_module {

// Adds scan_recording(), the bulk reader of recordings, to the module; false
// with an exception set.
bool add_scan_functions(PyObject* module);

}  // namespace quorl_engine_module
