#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <exception>
#include <optional>
#include <utility>

namespace quorl_sdk {

namespace net = boost::asio;

// A private single-threaded runtime: one io_context, driven only by the
// thread that calls run(). Blocking name lookups run on threads that belong
// to the io_context; destroying the runtime waits for every one of them.
// Objects with sockets or timers on it (a QuorlClient) must be destroyed
// before the runtime.
class Runtime {
 public:
  Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;
  ~Runtime();

  // Returns the io_context, for objects that must be constructed on it.
  net::io_context& context() noexcept { return io_; }

  // Runs a coroutine to completion on the calling thread and returns its
  // result. Exceptions thrown by the coroutine propagate. Not reentrant.
  template <class T>
  T run(net::awaitable<T> operation) {
    std::optional<T> result;
    Completion completion;
    net::co_spawn(io_, store(std::move(operation), result), completion.handler(io_));
    run_until(completion);
    return std::move(*result);
  }

  // Runs a coroutine to completion on the calling thread.
  void run(net::awaitable<void> operation);

 private:
  // How an operation ended.
  struct Completion {
    bool done = false;
    std::exception_ptr failure;

    // Returns a co_spawn handler that records the end and makes the
    // io_context return to the caller.
    auto handler(net::io_context& io) {
      return [this, &io](std::exception_ptr e) {
        failure = std::move(e);
        done = true;
        io.stop();
      };
    }
  };

  template <class T>
  static net::awaitable<void> store(net::awaitable<T> operation, std::optional<T>& result) {
    result.emplace(co_await std::move(operation));
  }

  // Drives the io_context until the operation has completed; rethrows what
  // it threw.
  void run_until(Completion& completion);

  net::io_context io_;
};

}  // namespace quorl_sdk
