#include "quorl_sdk/runtime.hpp"

#include <gtest/gtest.h>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

#include "client_helpers.hpp"
#include "test_server.hpp"

namespace {

using namespace quorl_test;
using namespace std::chrono_literals;
namespace net = boost::asio;
using quorl_sdk::Runtime;

net::awaitable<int> after(std::chrono::milliseconds delay, int value) {
  net::steady_timer timer(co_await net::this_coro::executor, delay);
  co_await timer.async_wait(net::use_awaitable);
  co_return value;
}

net::awaitable<int> failing() {
  co_await after(1ms, 0);
  throw std::runtime_error("boom");
}

// run() drives the operation on the calling thread and hands back its value, call after call.
TEST(runtime, runs_operations_to_completion) {
  Runtime runtime;
  EXPECT_EQ(runtime.run(after(1ms, 7)), 7);
  EXPECT_EQ(runtime.run(after(0ms, 8)), 8);
  const auto start = Clock::now();
  EXPECT_EQ(runtime.run(after(30ms, 9)), 9);
  EXPECT_GE(millis_between(start, Clock::now()), 29);
}

// An exception of the operation reaches the caller, and the runtime stays usable.
TEST(runtime, rethrows_what_the_operation_throws) {
  Runtime runtime;
  EXPECT_THROW(runtime.run(failing()), std::runtime_error);
  EXPECT_EQ(runtime.run(after(0ms, 3)), 3);
}

// Destroying a client closes its connection at once, without a close frame and
// without running the runtime; the runtime goes afterwards.
TEST(runtime, client_goes_before_its_runtime_without_a_close_frame) {
  TestServer server({WebSocketScript{{SendBinary{hello(4)}}}});
  auto runtime = std::make_unique<Runtime>();
  auto client = std::make_unique<quorl_sdk::QuorlClient>(connect(*runtime, server));
  ASSERT_TRUE(
      server.wait_until([](const auto& r) { return r.size() == 1 && r[0].script_done; }, 5s));
  client.reset();
  ASSERT_TRUE(server.wait_for_end(0, 5s));
  const auto ended = *server.connections()[0].ended;
  EXPECT_NE(ended, boost::beast::websocket::error::closed) << ended.message();
  runtime.reset();
}

}  // namespace
