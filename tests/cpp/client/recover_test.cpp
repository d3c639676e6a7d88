#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <limits>
#include <thread>

#include "client_helpers.hpp"
#include "quorl_sdk/client.hpp"
#include "quorl_sdk/runtime.hpp"
#include "test_server.hpp"

namespace {

using namespace quorl_test;
using namespace std::chrono_literals;
namespace net = boost::asio;
using quorl_sdk::NextResult;
using quorl_sdk::QuorlClient;
using quorl_sdk::QuorlError;
using quorl_sdk::Runtime;

enum class Mode { coroutine, blocking };

void PrintTo(Mode mode, std::ostream* out) {
  *out << (mode == Mode::coroutine ? "coroutine" : "blocking");
}

// Reconnection behaves the same for both ways of taking a step.
class recover : public testing::TestWithParam<Mode> {
 protected:
  // Connects to `server` with `settings`.
  void start(const TestServer& server, quorl_sdk::QuorlClientBuilder settings) {
    client_.emplace(connect(runtime_, server, settings));
  }

  // Runs one step of the stream the way the test's mode says.
  NextResult next() {
    return GetParam() == Mode::coroutine ? runtime_.run(client_->next())
                                         : client_->read_next(runtime_);
  }

  // Returns the type byte of the next frame; fails the test for anything else.
  std::uint8_t next_type() {
    const NextResult result = next();
    EXPECT_TRUE(result && *result) << (result ? result->error().message() : "end of stream");
    return result && *result ? quorl_protocol::message_type(**result) : 0;
  }

  Runtime runtime_;
  std::optional<QuorlClient> client_;
};

// A closing handshake, then the first frame.
WebSocketScript frame_then_close(std::uint8_t type) {
  return {{SendBinary{hello(4)}, SendBinary{data_frame(type)}, CloseHandshake{}}};
}

const Behaviour refused = HttpReply{http_not_found()};

// Checks the waits between attempts, measured at the server: the first from
// the loss (the end of connection `lost`), the others between accepts. The
// server records the end of its closing handshake only after the client has
// seen the loss and started to wait, by up to a few tens of milliseconds on a
// loaded machine, so the first wait gets more slack below.
void expect_waits(const std::vector<ConnectionRecord>& records, std::size_t lost,
                  const std::vector<double>& waits_ms) {
  ASSERT_GE(records.size(), lost + 1 + waits_ms.size());
  ASSERT_TRUE(records[lost].script_done.has_value());
  Clock::time_point previous = *records[lost].script_done;
  for (std::size_t i = 0; i < waits_ms.size(); ++i) {
    const double waited = millis_between(previous, records[lost + 1 + i].accepted);
    const double slack_below = i == 0 ? 20 : 3;
    EXPECT_GE(waited, waits_ms[i] - slack_below) << "wait " << i;
    EXPECT_LT(waited, waits_ms[i] + 150) << "wait " << i;
    previous = records[lost + 1 + i].accepted;
  }
}

// Frames go on across a server restart on the same address.
TEST_P(recover, goes_on_after_the_server_comes_back) {
  TestServer server(
      {frame_then_close(2), WebSocketScript{{SendBinary{hello(4)}, SendBinary{data_frame(3)}}}});
  start(server, backoff(10, 100, 3));
  EXPECT_EQ(next_type(), 2);
  EXPECT_EQ(next_type(), 3);
  EXPECT_EQ(server.connections().size(), 2u);
}

// Each failed attempt doubles the wait up to the cap; after the last attempt the stream ends.
TEST_P(recover, doubles_the_wait_up_to_the_cap) {
  TestServer server({frame_then_close(2), refused});
  start(server, backoff(40, 160, 5));
  EXPECT_EQ(next_type(), 2);
  EXPECT_FALSE(next().has_value());
  const auto records = server.connections();
  EXPECT_EQ(records.size(), 6u);
  expect_waits(records, 0, {40, 80, 160, 160, 160});
}

// A first wait above the cap is kept; every later one is the cap.
TEST_P(recover, keeps_a_base_above_the_cap_for_the_first_wait) {
  TestServer server({frame_then_close(2), refused});
  start(server, backoff(120, 40, 3));
  EXPECT_EQ(next_type(), 2);
  EXPECT_FALSE(next().has_value());
  const auto records = server.connections();
  EXPECT_EQ(records.size(), 4u);
  expect_waits(records, 0, {120, 40, 40});
}

// A base of zero makes every attempt follow the last without a pause.
TEST_P(recover, does_not_wait_with_a_zero_base) {
  TestServer server({frame_then_close(2), refused});
  start(server, backoff(0, 10'000, 4));
  EXPECT_EQ(next_type(), 2);
  const auto start = Clock::now();
  EXPECT_FALSE(next().has_value());
  EXPECT_LT(millis_between(start, Clock::now()), 500);
  const auto records = server.connections();
  EXPECT_EQ(records.size(), 5u);
  expect_waits(records, 0, {0, 0, 0, 0});
}

// No attempts at all with max_retries 0, also with reconnection on.
TEST_P(recover, makes_no_attempt_with_zero_retries) {
  TestServer server({frame_then_close(2), WebSocketScript{}});
  start(server, backoff(0, 0, 0));
  EXPECT_EQ(next_type(), 2);
  const auto start = Clock::now();
  EXPECT_FALSE(next().has_value());
  EXPECT_FALSE(next().has_value());
  EXPECT_LT(millis_between(start, Clock::now()), 100);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(server.connections().size(), 1u);
}

// Every loss starts a fresh cycle: attempts and waits count from the start again; the client
// counts the connections it got back.
TEST_P(recover, starts_a_fresh_cycle_on_every_loss) {
  TestServer server({frame_then_close(2), refused, frame_then_close(3), refused,
                     WebSocketScript{{SendBinary{data_frame(4)}}}});
  start(server, backoff(40, 1'000, 2));
  EXPECT_EQ(next_type(), 2);
  EXPECT_EQ(client_->reconnections(), 0u);
  EXPECT_EQ(next_type(), 3);  // after waits of 40 and 80 ms
  EXPECT_EQ(client_->reconnections(), 1u);
  EXPECT_EQ(next_type(), 4);  // after waits of 40 and 80 ms again, with two attempts again
  EXPECT_EQ(client_->reconnections(), 2u);  // successes only, not attempts
  const auto records = server.connections();
  ASSERT_EQ(records.size(), 5u);
  expect_waits(records, 0, {40, 80});
  expect_waits(records, 2, {40, 80});
}

// A cycle that fails reports a stream error for a fault; the next step starts another cycle.
TEST_P(recover, reports_the_fault_after_a_failed_cycle_and_tries_again_later) {
  TestServer server({WebSocketScript{{SendRaw{masked_binary_frame({2})}}}, refused});
  start(server, backoff(0, 0, 2));
  const NextResult fault = next();
  ASSERT_TRUE(fault && !*fault);
  EXPECT_TRUE(fault->error().is<QuorlError::Stream>()) << fault->error().message();
  EXPECT_EQ(server.connections().size(), 3u);
  EXPECT_FALSE(next().has_value());
  EXPECT_EQ(server.connections().size(), 5u);
}

// A step after an ended cycle reconnects when the server is back.
TEST_P(recover, reconnects_on_a_later_step) {
  TestServer server({frame_then_close(2), refused, WebSocketScript{{SendBinary{data_frame(6)}}}});
  start(server, backoff(0, 0, 1));
  EXPECT_EQ(next_type(), 2);
  EXPECT_FALSE(next().has_value());
  EXPECT_EQ(next_type(), 6);
}

// A server that comes back speaking another version is caught by the hello check, for good.
TEST_P(recover, catches_a_server_back_with_another_version) {
  TestServer server(
      {frame_then_close(2), WebSocketScript{{SendBinary{hello(5)}, SendBinary{data_frame(3)}}}});
  start(server, backoff(10, 10, 3));
  EXPECT_EQ(next_type(), 2);
  const NextResult incompatible = next();
  ASSERT_TRUE(incompatible && !*incompatible);
  EXPECT_EQ(incompatible->error(), QuorlError(QuorlError::IncompatibleProtocol{5, 4}));
  EXPECT_FALSE(next().has_value());
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(server.connections().size(), 2u);
}

// recover() replaces a live connection; the old one is closed without a close frame.
TEST_P(recover, replaces_the_connection_and_closes_the_old_one) {
  TestServer server({WebSocketScript{}, WebSocketScript{{SendBinary{data_frame(7, 0, 1)}}}});
  start(server, backoff(0, 0, 1));
  EXPECT_TRUE(runtime_.run(client_->recover()));
  ASSERT_TRUE(server.wait_for_end(0, 5s));
  EXPECT_NE(*server.connections()[0].ended, boost::beast::websocket::error::closed);
  EXPECT_EQ(next_type(), 7);
  EXPECT_EQ(client_->port(), server.port());
}

// The hooks of a reader on a thread of its own: they see every connection,
// the first and the one a reconnection swaps in, before it is read; refused
// type bytes go unread, malformed or not; reads that wait are announced.
TEST(read_hooks, see_each_connection_refuse_types_unread_and_announce_waits) {
  TestServer server(
      {WebSocketScript{{SendBinary{hello(4)}, SendBinary{Bytes{2, 0}}, SendBinary{data_frame(2)},
                        SendBinary{data_frame(3)}, CloseHandshake{}}},
       WebSocketScript{{SendBinary{hello(4)}, Pause{50ms}, SendBinary{data_frame(3)}}}});
  Runtime runtime;
  QuorlClient client = connect(runtime, server, backoff(0, 0, 1));
  std::vector<int> connections;
  int waits = 0;
  client.set_read_hooks({
      .on_idle = [&] { ++waits; },
      .on_connection = [&](int socket) { connections.push_back(socket); },
      .accepts_type = [](std::uint8_t type) { return type != 2; },
      .take_frame = {},
  });
  ASSERT_EQ(connections.size(), 1u);
  for (int frame = 0; frame < 2; ++frame) {
    const NextResult result = client.read_next(runtime);
    ASSERT_TRUE(result && *result) << (result ? result->error().message() : "end of stream");
    EXPECT_EQ(quorl_protocol::message_type(**result), 3);
  }
  EXPECT_EQ(connections.size(), 2u);
  EXPECT_EQ(client.reconnections(), 1u);
  EXPECT_GE(waits, 1);  // at least for the paused frame
}

// A reader that takes frames itself gets them with their receive time; the
// step returns only what it declined.
TEST(read_hooks, take_the_frames_they_accept_and_leave_the_rest_to_the_step) {
  TestServer server(
      {WebSocketScript{{SendBinary{hello(4)}, SendBinary{data_frame(4)}, SendBinary{data_frame(3)},
                        SendBinary{data_frame(4)}, CloseHandshake{}}}});
  Runtime runtime;
  QuorlClient client = connect(runtime, server, backoff(0, 0, 0));
  std::vector<std::chrono::steady_clock::time_point> taken;
  client.set_read_hooks({
      .on_idle = {},
      .on_connection = {},
      .accepts_type = {},
      .take_frame =
          [&](std::span<const std::uint8_t> frame, std::chrono::steady_clock::time_point at) {
            if (frame.front() != 4) return false;
            taken.push_back(at);
            return true;
          },
  });
  const NextResult declined = client.read_next(runtime);
  ASSERT_TRUE(declined && *declined);
  EXPECT_EQ(quorl_protocol::message_type(**declined), 3);
  EXPECT_FALSE(client.read_next(runtime).has_value());  // the end; the last frame was taken
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_GT(taken[0].time_since_epoch().count(), 0);
  EXPECT_LE(taken[0], taken[1]);
}

INSTANTIATE_TEST_SUITE_P(modes, recover, testing::Values(Mode::coroutine, Mode::blocking),
                         [](const auto& info) {
                           return info.param == Mode::coroutine ? "coroutine" : "blocking";
                         });

// The longest delays there are wait as long as the clock allows instead of wrapping round.
TEST(recover_limits, waits_for_ever_with_the_longest_delays) {
  TestServer server({frame_then_close(2), WebSocketScript{}});
  constexpr std::uint64_t longest = std::numeric_limits<std::uint64_t>::max();
  net::io_context io;
  std::optional<QuorlClient> client;
  net::co_spawn(
      io,
      [&]() -> net::awaitable<void> {
        auto connected = co_await backoff(longest, longest, 10).connect_url(server.url());
        if (connected) client.emplace(std::move(*connected));
      },
      net::detached);
  io.run_for(5s);
  ASSERT_TRUE(client.has_value());
  bool finished = false;
  int frames = 0;
  io.restart();
  net::co_spawn(
      io,
      [&]() -> net::awaitable<void> {
        while (true) {
          const NextResult result = co_await client->next();
          if (!result) break;
          ++frames;
        }
        finished = true;
      },
      net::detached);
  io.run_for(400ms);
  EXPECT_EQ(frames, 1);
  EXPECT_FALSE(finished);
  EXPECT_EQ(server.connections().size(), 1u);
  client.reset();
}

}  // namespace
