#pragma once

#include <memory>
#include <optional>

#include "py.hpp"
#include "quorl_sdk/client.hpp"
#include "quorl_sdk/runtime.hpp"

namespace quorl_module {

// A connected client together with the private runtime it runs on: what a
// RawClient owns. Destruction takes the client first, which closes its socket
// without a close frame and without entering the runtime, then the runtime,
// which joins its lookup threads. Asio needs that order: a socket must not
// outlive its io_context.
struct Connection {
  std::unique_ptr<quorl_sdk::Runtime> runtime;
  std::optional<quorl_sdk::QuorlClient> client;

  Connection(std::unique_ptr<quorl_sdk::Runtime> runtime, quorl_sdk::QuorlClient client) noexcept
      : runtime(std::move(runtime)), client(std::move(client)) {}
  Connection(Connection&&) noexcept = default;
  Connection& operator=(Connection&&) = delete;
  ~Connection() {
    client.reset();
    runtime.reset();
  }
};

// Returns the RawClient type (borrowed), creating it on first use; once
// created it lives for the rest of the process. Returns null with an
// exception set when it cannot be created.
PyObject* raw_client_type() noexcept;

// Returns a new RawClient that owns `connection`, with its borrow state free,
// or null with the interpreter's exception set (the connection is then
// destroyed).
PyObject* new_raw_client(Connection connection);

}  // namespace quorl_module
