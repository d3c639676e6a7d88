#include "quorl_sdk/builder.hpp"
