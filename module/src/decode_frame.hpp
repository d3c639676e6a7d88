#pragma once

#include "py.hpp"

namespace quorl_module {

// The method definition of decode_frame(data), registered by the module.
extern PyMethodDef decode_frame_def;

}  // namespace quorl_module
