#include "quorl_protocol/error.hpp"
