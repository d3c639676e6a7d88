#pragma once

#include <cstdint>

#include "py.hpp"
#include "quorl_sdk/error.hpp"

namespace quorl_module {

// The exception class raised for each kind of client error (borrowed
// references). Each module names its own classes; which kind goes to which
// class is decided once, in raise_client_error().
struct ErrorClasses {
  PyObject* no_server;     // NoServerFound and ConnectFailed
  PyObject* incompatible;  // IncompatibleProtocol
  PyObject* stream;        // Stream
  PyObject* decode;        // Decode
  PyObject* invalid_url;   // InvalidUrl
};

// The builtin classes: ConnectionError for the connection's errors,
// ValueError for a bad frame or URL.
ErrorClasses builtin_error_classes() noexcept;

// Sets the exception of `classes` for a client error, with the error's
// message as its only argument. An error that replaced others carries their
// count as the attribute `replaced`.
void raise_client_error(const quorl_sdk::QuorlError& error, const ErrorClasses& classes,
                        std::uint64_t replaced = 0);

}  // namespace quorl_module
