#include "quorl_protocol/decode.hpp"
