#include "quorl_sdk/runtime.hpp"

#include <stdexcept>

namespace quorl_sdk {

// One thread drives the io_context, which lets Asio skip most of its locking.
Runtime::Runtime() : io_(1) {}

// The io_context's destructor shuts its services down, the lookup service
// among them, which joins every lookup thread still running.
Runtime::~Runtime() = default;

void Runtime::run(net::awaitable<void> operation) {
  Completion completion;
  net::co_spawn(io_, std::move(operation), completion.handler(io_));
  run_until(completion);
}

void Runtime::run_until(Completion& completion) {
  // One run() call per step: Asio recycles handler memory only within a call.
  io_.restart();
  io_.run();
  if (!completion.done) {
    throw std::logic_error("the runtime ran out of work before the operation completed");
  }
  if (completion.failure) std::rethrow_exception(completion.failure);
}

}  // namespace quorl_sdk
