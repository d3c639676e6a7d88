#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <thread>

#include "client_helpers.hpp"
#include "quorl_sdk/addressing.hpp"
#include "quorl_sdk/builder.hpp"
#include "quorl_sdk/runtime.hpp"
#include "test_server.hpp"

namespace {

using namespace quorl_test;
using namespace std::chrono_literals;
using quorl_sdk::QuorlError;
using quorl_sdk::Runtime;
using quorl_sdk::WEBSOCKET_PORT_END;
using quorl_sdk::WEBSOCKET_PORT_START;

// Discovery runs on the fixed ports 5432-5435; every test needs all four
// free and skips when one is taken.
class discovery : public testing::Test {
 protected:
  void SetUp() override {
    for (std::uint16_t port = WEBSOCKET_PORT_START; port <= WEBSOCKET_PORT_END; ++port) {
      if (!port_is_free(port)) GTEST_SKIP() << "port " << port << " is taken on this machine";
    }
  }

  // Starts a server on one of the fixed ports; fails the test when the port
  // was taken meanwhile.
  TestServer& serve(std::uint16_t port, Behaviour behaviour) {
    servers_.push_back(
        std::make_unique<TestServer>(std::vector<Behaviour>{std::move(behaviour)}, port));
    return *servers_.back();
  }

  // Runs discovery over the default range.
  std::expected<quorl_sdk::QuorlClient, QuorlError> discover(Runtime& runtime) {
    return runtime.run(no_reconnect().connect_in_range(WEBSOCKET_PORT_START, WEBSOCKET_PORT_END));
  }

  std::vector<std::unique_ptr<TestServer>> servers_;
};

// Refused ports are passed over at once; the first server found is used and
// later ports are never tried.
TEST_F(discovery, uses_the_first_port_that_answers) {
  serve(5434, WebSocketScript{});
  TestServer& later = serve(5435, WebSocketScript{});
  Runtime runtime;
  const auto start = Clock::now();
  auto client = discover(runtime);
  ASSERT_TRUE(client.has_value()) << client.error().message();
  EXPECT_LT(millis_between(start, Clock::now()), 2000);
  EXPECT_EQ(client->port(), 5434);
  EXPECT_EQ(client->url(), "ws://127.0.0.1:5434");
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(later.connections().empty());
}

// An HTTP 404 counts as a failed port.
TEST_F(discovery, passes_over_a_port_that_answers_404) {
  TestServer& refusing = serve(5432, HttpReply{http_not_found()});
  serve(5433, WebSocketScript{});
  Runtime runtime;
  auto client = discover(runtime);
  ASSERT_TRUE(client.has_value()) << client.error().message();
  EXPECT_EQ(client->port(), 5433);
  EXPECT_EQ(refusing.connections().size(), 1u);
}

// A listener that never answers costs one handshake limit, then the next port is used.
TEST_F(discovery, passes_over_a_silent_port_after_the_handshake_limit) {
  TestServer& silent = serve(5432, Silent{});
  serve(5433, WebSocketScript{});
  Runtime runtime;
  const auto start = Clock::now();
  auto client = discover(runtime);
  const double elapsed = millis_between(start, Clock::now());
  ASSERT_TRUE(client.has_value()) << client.error().message();
  EXPECT_EQ(client->port(), 5433);
  EXPECT_GE(elapsed, 4900);
  EXPECT_LT(elapsed, 8000);
  // The abandoned attempt closed its socket at once.
  EXPECT_TRUE(silent.wait_for_end(0, 1s));
}

// With nothing listening, discovery reports the range and no single failure.
TEST_F(discovery, reports_no_server_found) {
  Runtime runtime;
  auto client = discover(runtime);
  ASSERT_FALSE(client.has_value());
  EXPECT_EQ(client.error(), QuorlError(QuorlError::NoServerFound{5432, 5435}));
  EXPECT_EQ(client.error().message(),
            "no Quorl server found on ports 5432-5435; is Quorl running?");
}

// An empty range makes no attempt at all.
TEST_F(discovery, tries_nothing_for_an_empty_range) {
  std::vector<TestServer*> all;
  for (std::uint16_t port = 5432; port <= 5435; ++port)
    all.push_back(&serve(port, WebSocketScript{}));
  Runtime runtime;
  auto client = runtime.run(no_reconnect().connect_in_range(5435, 5432));
  ASSERT_FALSE(client.has_value());
  EXPECT_EQ(client.error(), QuorlError(QuorlError::NoServerFound{5435, 5432}));
  std::this_thread::sleep_for(50ms);
  for (const TestServer* server : all) EXPECT_TRUE(server->connections().empty());
}

// connect_at on a fixed port with nothing there names the loopback URL.
TEST_F(discovery, connect_at_names_the_port_it_tried) {
  Runtime runtime;
  auto client = runtime.run(no_reconnect().connect_at(5432));
  ASSERT_FALSE(client.has_value());
  EXPECT_TRUE(
      client.error().message().starts_with("failed to connect to Quorl at ws://127.0.0.1:5432: "))
      << client.error().message();
}

}  // namespace
