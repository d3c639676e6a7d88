#pragma once

#include <optional>
#include <utility>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

namespace quorl_sdk {

namespace net = boost::asio;

// A private single-threaded runtime: one io_context, driven only by the
// thread that calls run(). Blocking work (name lookups) runs on threads the
// runtime owns and joins when it is destroyed.
class Runtime {
 public:
  Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;
  ~Runtime();

  // Returns the executor that asynchronous operations of this runtime use.
  net::io_context::executor_type executor() noexcept { return io_.get_executor(); }

  // Returns the io_context, for objects that must be constructed on it.
  net::io_context& context() noexcept { return io_; }

  // Runs `operation` to completion on the calling thread and returns its
  // result. Exceptions thrown by the operation propagate.
  template <class T>
  T run(net::awaitable<T> operation);

 private:
  net::io_context io_;
};

}  // namespace quorl_sdk
