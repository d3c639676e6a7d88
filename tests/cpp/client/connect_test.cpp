#include <gtest/gtest.h>

#include <boost/asio/execution_context.hpp>
#include <chrono>
#include <regex>
#include <string>
#include <thread>

#include "client_helpers.hpp"
#include "quorl_sdk/builder.hpp"
#include "quorl_sdk/detail/lookup.hpp"
#include "quorl_sdk/runtime.hpp"
#include "test_server.hpp"

namespace {

using namespace quorl_test;
using namespace std::chrono_literals;
using quorl_sdk::QuorlError;
using quorl_sdk::Runtime;

// Makes the runtime create its reactor, so that later descriptor counts
// compare like with like.
void warm_up(Runtime& runtime) {
  (void)runtime.run(no_reconnect().connect_at(unused_port()));
}

// Returns the descriptor count once the servers had time to close their ends.
int settled_descriptor_count() {
  std::this_thread::sleep_for(50ms);
  return open_descriptor_count();
}

// Returns the request the server received on its first connection.
std::string first_request(const TestServer& server) {
  EXPECT_TRUE(server.wait_until(
      [](const auto& records) { return !records.empty() && !records[0].request.empty(); }, 5s));
  return server.connections().at(0).request;
}

// Matches an opening request with exactly the five headers in their order.
std::regex request_pattern(const std::string& target, const std::string& host) {
  const auto escape = [](const std::string& text) {
    return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
  };
  return std::regex(
      "GET " + escape(target) + " HTTP/1\\.1\r\nHost: " + escape(host) +
      "\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
      "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: [A-Za-z0-9+/]{21}[AQgw]==\r\n\r\n");
}

// A conforming server accepts the connection; the client keeps URL and port.
TEST(connect, connects_to_a_websocket_server) {
  TestServer server({WebSocketScript{}});
  Runtime runtime;
  auto client = runtime.run(no_reconnect().connect_url(server.url()));
  ASSERT_TRUE(client.has_value()) << client.error().message();
  EXPECT_EQ(client->port(), server.port());
  EXPECT_EQ(client->url(), server.url());
  EXPECT_FALSE(client->incompatible());
}

// The request carries path and query, the Host of the URL, and nothing else.
TEST(connect, sends_exactly_the_opening_request) {
  TestServer server({RawUpgrade{}});
  const std::string url = "ws://localhost:" + std::to_string(server.port()) + "/live?x=1";
  Runtime runtime;
  auto client = runtime.run(no_reconnect().connect_url(url));
  ASSERT_TRUE(client.has_value()) << client.error().message();
  EXPECT_EQ(client->url(), url);
  EXPECT_EQ(client->port(), server.port());
  const std::string request = first_request(server);
  EXPECT_TRUE(std::regex_match(
      request, request_pattern("/live?x=1", "localhost:" + std::to_string(server.port()))))
      << request;
}

struct RequestCase {
  std::string url_tail;  // what follows "ws://{authority}"
  std::string target;
  friend void PrintTo(const RequestCase& c, std::ostream* out) { *out << c.url_tail; }
};

class RequestTargets : public testing::TestWithParam<RequestCase> {};

// The request line carries the path and query, "/" when there is neither.
TEST_P(RequestTargets, go_into_the_request_line) {
  TestServer server({RawUpgrade{}});
  const std::string host = "127.0.0.1:" + std::to_string(server.port());
  Runtime runtime;
  auto client = runtime.run(no_reconnect().connect_url("ws://" + host + GetParam().url_tail));
  ASSERT_TRUE(client.has_value()) << client.error().message();
  const std::string request = first_request(server);
  EXPECT_TRUE(std::regex_match(request, request_pattern(GetParam().target, host))) << request;
}

INSTANTIATE_TEST_SUITE_P(connect, RequestTargets,
                         testing::Values(RequestCase{"", "/"}, RequestCase{"/", "/"},
                                         RequestCase{"/a/b", "/a/b"}, RequestCase{"?x=1", "/?x=1"},
                                         RequestCase{"/s?x=%20&y#frag", "/s?x=%20&y"}));

// User information never reaches the Host header.
TEST(connect, drops_user_information_from_the_host_header) {
  TestServer server({RawUpgrade{}});
  const std::string port = std::to_string(server.port());
  Runtime runtime;
  auto client = runtime.run(no_reconnect().connect_url("ws://user:pw@127.0.0.1:" + port));
  ASSERT_TRUE(client.has_value()) << client.error().message();
  EXPECT_TRUE(std::regex_match(first_request(server), request_pattern("/", "127.0.0.1:" + port)));
}

// An IPv6 literal is connected to directly and keeps its brackets in Host.
TEST(connect, reaches_an_ipv6_literal) {
  std::unique_ptr<TestServer> server;
  try {
    server = std::make_unique<TestServer>(std::vector<Behaviour>{RawUpgrade{}}, 0, "::1");
  } catch (const boost::system::system_error& error) {
    GTEST_SKIP() << "no IPv6 loopback here: " << error.what();
  }
  const std::string port = std::to_string(server->port());
  Runtime runtime;
  auto client = runtime.run(no_reconnect().connect_url("ws://user@[::1]:" + port));
  ASSERT_TRUE(client.has_value()) << client.error().message();
  EXPECT_TRUE(std::regex_match(first_request(*server), request_pattern("/", "[::1]:" + port)));
}

// Each attempt sends a fresh key.
TEST(connect, sends_a_fresh_key_each_time) {
  TestServer server({RawUpgrade{}});
  Runtime runtime;
  auto first = runtime.run(no_reconnect().connect_url(server.url()));
  auto second = runtime.run(no_reconnect().connect_url(server.url()));
  ASSERT_TRUE(first && second);
  ASSERT_TRUE(server.wait_until(
      [](const auto& r) { return r.size() == 2 && !r[0].request.empty() && !r[1].request.empty(); },
      5s));
  const auto records = server.connections();
  const std::regex key("Sec-WebSocket-Key: ([^\r]*)");
  std::smatch a, b;
  ASSERT_TRUE(std::regex_search(records[0].request, a, key));
  ASSERT_TRUE(std::regex_search(records[1].request, b, key));
  EXPECT_NE(a[1].str(), b[1].str());
}

struct RefusedAnswer {
  const char* name;
  Behaviour behaviour;
  friend void PrintTo(const RefusedAnswer& c, std::ostream* out) { *out << c.name; }
};

class RefusedAnswers : public testing::TestWithParam<RefusedAnswer> {};

// A server answer that is no valid upgrade fails the attempt and closes its socket.
TEST_P(RefusedAnswers, fail_with_connect_failed) {
  TestServer server({GetParam().behaviour});
  Runtime runtime;
  warm_up(runtime);
  const int descriptors = settled_descriptor_count();
  auto client = runtime.run(no_reconnect().connect_url(server.url()));
  ASSERT_FALSE(client.has_value());
  ASSERT_TRUE(client.error().is<QuorlError::ConnectFailed>()) << client.error().message();
  EXPECT_EQ(client.error().as<QuorlError::ConnectFailed>().url, server.url());
  EXPECT_TRUE(
      client.error().message().starts_with("failed to connect to Quorl at " + server.url() + ": "));
  EXPECT_TRUE(server.wait_for_end(0, 5s)) << "the server still sees the connection open";
  EXPECT_EQ(settled_descriptor_count(), descriptors);
}

INSTANTIATE_TEST_SUITE_P(
    connect, RefusedAnswers,
    testing::Values(
        RefusedAnswer{"not_found", HttpReply{http_not_found()}},
        RefusedAnswer{"subprotocol",
                      RawUpgrade{.extra_headers = "Sec-WebSocket-Protocol: chat\r\n"}},
        RefusedAnswer{"extension", RawUpgrade{.extra_headers = "Sec-WebSocket-Extensions: "
                                                               "permessage-deflate\r\n"}},
        RefusedAnswer{"bad_accept",
                      HttpReply{"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                                "Connection: Upgrade\r\nSec-WebSocket-Accept: nope\r\n\r\n"}},
        RefusedAnswer{"garbage", HttpReply{"\x01\x02garbage\r\n\r\n"}}),
    [](const auto& info) { return info.param.name; });

// A 404 is reported with the WebSocket layer's description.
TEST(connect, reports_a_declined_upgrade) {
  TestServer server({HttpReply{http_not_found()}});
  Runtime runtime;
  auto client = runtime.run(no_reconnect().connect_url(server.url()));
  ASSERT_FALSE(client.has_value());
  EXPECT_EQ(client.error().as<QuorlError::ConnectFailed>().reason,
            "The WebSocket handshake was declined by the remote peer");
}

// connect_at names the loopback URL in its failure.
TEST(connect, connect_at_fails_with_the_loopback_url) {
  const std::uint16_t port = unused_port();
  Runtime runtime;
  auto client = runtime.run(no_reconnect().connect_at(port));
  ASSERT_FALSE(client.has_value());
  const std::string url = "ws://127.0.0.1:" + std::to_string(port);
  EXPECT_EQ(client.error().as<QuorlError::ConnectFailed>().url, url);
  EXPECT_EQ(client.error().message(),
            "failed to connect to Quorl at " + url + ": Connection refused");
}

// Port 0 cannot be connected to; the URL still names it.
TEST(connect, connect_at_port_zero_fails) {
  Runtime runtime;
  auto client = runtime.run(no_reconnect().connect_at(0));
  ASSERT_FALSE(client.has_value());
  EXPECT_EQ(client.error().as<QuorlError::ConnectFailed>().url, "ws://127.0.0.1:0");
}

// connect_at keeps the given port and the loopback URL.
TEST(connect, connect_at_keeps_port_and_url) {
  TestServer server({WebSocketScript{}});
  Runtime runtime;
  auto client = runtime.run(no_reconnect().connect_at(server.port()));
  ASSERT_TRUE(client.has_value()) << client.error().message();
  EXPECT_EQ(client->port(), server.port());
  EXPECT_EQ(client->url(), server.url());
}

// An unusable URL is refused before any connection is made.
TEST(connect, refuses_a_bad_url_without_connecting) {
  TestServer server({WebSocketScript{}});
  const std::string port = std::to_string(server.port());
  Runtime runtime;
  for (const std::string& url :
       std::vector<std::string>{"wss://127.0.0.1:" + port, "ws://127.0.0.1", "127.0.0.1:" + port}) {
    auto client = runtime.run(no_reconnect().connect_url(url));
    ASSERT_FALSE(client.has_value());
    ASSERT_TRUE(client.error().is<QuorlError::InvalidUrl>()) << client.error().message();
    EXPECT_EQ(client.error().as<QuorlError::InvalidUrl>().url, url);
  }
  // An empty host must not be read as the local host.
  auto client = runtime.run(no_reconnect().connect_url("ws://:" + port));
  ASSERT_FALSE(client.has_value());
  EXPECT_TRUE(client.error().is<QuorlError::ConnectFailed>()) << client.error().message();
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(server.connections().empty());
}

// A server that never answers makes the attempt time out and closes the socket at once.
TEST(connect, times_out_on_a_silent_server) {
  TestServer server({Silent{}});
  Runtime runtime;
  warm_up(runtime);
  const int descriptors = settled_descriptor_count();
  const auto start = Clock::now();
  auto ws = runtime.run(quorl_sdk::detail::open(server.url(), 300ms));
  const double elapsed = millis_between(start, Clock::now());
  ASSERT_FALSE(ws.has_value());
  EXPECT_EQ(ws.error().message(),
            "failed to connect to Quorl at " + server.url() + ": handshake timed out");
  EXPECT_GE(elapsed, 290);
  EXPECT_LT(elapsed, 1500);
  EXPECT_TRUE(server.wait_for_end(0, 1s));
  EXPECT_EQ(settled_descriptor_count(), descriptors);
}

// The public attempt is bounded by the five-second handshake limit.
TEST(connect, handshake_limit_is_five_seconds) {
  EXPECT_EQ(quorl_sdk::HANDSHAKE_TIMEOUT, 5s);
}

// A host name resolves through the lookup threads, which are joined once done.
TEST(connect, resolves_names_off_the_driving_thread) {
  TestServer server({WebSocketScript{}});
  Runtime runtime;
  auto& lookups = boost::asio::use_service<quorl_sdk::detail::LookupService>(runtime.context());
  std::thread::id lookup_thread;
  const auto driver = std::this_thread::get_id();
  lookups.set_blocking_lookup([&](const std::string& host, std::uint16_t port) {
    lookup_thread = std::this_thread::get_id();
    return quorl_sdk::detail::system_lookup(host, port);
  });
  auto client =
      runtime.run(no_reconnect().connect_url("ws://localhost:" + std::to_string(server.port())));
  ASSERT_TRUE(client.has_value()) << client.error().message();
  EXPECT_NE(lookup_thread, driver);
  EXPECT_EQ(lookups.thread_count(), 0u);
  // A literal address needs no lookup at all.
  lookup_thread = {};
  auto literal = runtime.run(no_reconnect().connect_url(server.url()));
  ASSERT_TRUE(literal.has_value());
  EXPECT_EQ(lookup_thread, std::thread::id{});
}

// A lookup that hangs past the deadline ends the attempt on time; the runtime
// waits for the abandoned lookup when it goes.
TEST(connect, gives_up_on_a_hanging_lookup) {
  auto runtime = std::make_unique<Runtime>();
  auto& lookups = boost::asio::use_service<quorl_sdk::detail::LookupService>(runtime->context());
  std::atomic<bool> lookup_done = false;
  lookups.set_blocking_lookup(
      [&](const std::string&, std::uint16_t) -> quorl_sdk::detail::LookupResult {
        std::this_thread::sleep_for(1200ms);
        lookup_done = true;
        return std::unexpected(boost::asio::error::host_not_found);
      });
  const auto start = Clock::now();
  auto ws = runtime->run(quorl_sdk::detail::open("ws://slow.invalid:1", 200ms));
  EXPECT_LT(millis_between(start, Clock::now()), 1000);
  ASSERT_FALSE(ws.has_value());
  EXPECT_EQ(ws.error().as<QuorlError::ConnectFailed>().reason, "handshake timed out");
  EXPECT_EQ(lookups.thread_count(), 1u);
  runtime.reset();
  EXPECT_TRUE(lookup_done);
}

// A failed lookup is reported with the resolver's description.
TEST(connect, reports_a_failed_lookup) {
  Runtime runtime;
  auto& lookups = boost::asio::use_service<quorl_sdk::detail::LookupService>(runtime.context());
  lookups.set_blocking_lookup(
      [](const std::string&, std::uint16_t) -> quorl_sdk::detail::LookupResult {
        return std::unexpected(boost::asio::error::host_not_found);
      });
  auto ws = runtime.run(quorl_sdk::open("ws://nowhere.invalid:1"));
  ASSERT_FALSE(ws.has_value());
  EXPECT_EQ(ws.error().as<QuorlError::ConnectFailed>().reason,
            boost::system::error_code(boost::asio::error::host_not_found).message());
  EXPECT_EQ(lookups.thread_count(), 0u);
}

// Every address of a name is tried in order until one accepts.
TEST(connect, tries_every_resolved_address) {
  TestServer server({WebSocketScript{}});
  Runtime runtime;
  auto& lookups = boost::asio::use_service<quorl_sdk::detail::LookupService>(runtime.context());
  const auto loopback = boost::asio::ip::make_address("127.0.0.1");
  lookups.set_blocking_lookup(
      [&](const std::string&, std::uint16_t port) -> quorl_sdk::detail::LookupResult {
        return std::vector<tcp::endpoint>{tcp::endpoint(loopback, unused_port()),
                                          tcp::endpoint(loopback, port)};
      });
  auto client =
      runtime.run(no_reconnect().connect_url("ws://two.invalid:" + std::to_string(server.port())));
  EXPECT_TRUE(client.has_value()) << client.error().message();
}

// Bytes right behind the 101 response are read as the first frames.
TEST(connect, keeps_frames_sent_with_the_handshake_response) {
  TestServer server({RawUpgrade{.after_response = server_frame(hello(5))}});
  Runtime runtime;
  auto client = connect(runtime, server);
  const auto result = runtime.run(client.next());
  ASSERT_TRUE(result.has_value());
  ASSERT_FALSE(result->has_value());
  EXPECT_EQ(result->error(), QuorlError(QuorlError::IncompatibleProtocol{5, 4}));
}

// A hello and a frame in the same segment as the 101: the frame is the first result.
TEST(connect, reads_a_frame_sent_with_the_handshake_response) {
  Bytes after = server_frame(hello(4));
  const Bytes frame = server_frame(data_frame(7, 0, 1));
  after.insert(after.end(), frame.begin(), frame.end());
  TestServer server({RawUpgrade{.after_response = after}});
  Runtime runtime;
  auto client = connect(runtime, server);
  const auto result = runtime.run(client.next());
  ASSERT_TRUE(result.has_value() && result->has_value());
  const auto* angles = std::get_if<quorl_protocol::HandIsbAngles>(&**result);
  ASSERT_NE(angles, nullptr);
  EXPECT_EQ(angles->side, 1);
  EXPECT_EQ(angles->angles[20], 20.0);
}

}  // namespace
