#pragma once

#include "py.hpp"
#include "quorl_sdk/error.hpp"

namespace quorl_module {

// Sets the Python exception for a client error, with the error's message as
// its only argument: ValueError for Decode and InvalidUrl, ConnectionError for
// NoServerFound, ConnectFailed, Stream and IncompatibleProtocol.
void map_error(const quorl_sdk::QuorlError& error);

}  // namespace quorl_module
