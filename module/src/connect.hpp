#pragma once

#include "py.hpp"

namespace quorl_module {

// The method definitions of connect_raw(port=None, ...) and
// connect_url_raw(url, ...), registered by the module.
extern PyMethodDef connect_raw_def;
extern PyMethodDef connect_url_raw_def;

}  // namespace quorl_module
