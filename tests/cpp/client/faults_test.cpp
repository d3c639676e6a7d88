// Faults of the peer and of the network, seen from the client: frames cut off
// by a reset, bytes that arrive one at a time, garbage behind the upgrade, a
// handshake that stalls, and many failed attempts. Nothing may crash, hang,
// deliver a corrupted frame or leave a descriptor or thread behind.
#include <gtest/gtest.h>

#include <boost/asio/execution_context.hpp>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "client_helpers.hpp"
#include "quorl_sdk/builder.hpp"
#include "quorl_sdk/client.hpp"
#include "quorl_sdk/detail/lookup.hpp"
#include "quorl_sdk/runtime.hpp"
#include "test_server.hpp"

namespace {

using namespace quorl_test;
using namespace std::chrono_literals;
using quorl_sdk::NextResult;
using quorl_sdk::QuorlClient;
using quorl_sdk::QuorlError;
using quorl_sdk::Runtime;

// Returns the side byte (0 for body frames) and the values of a message in wire order.
std::pair<int, std::vector<double>> contents_of(const quorl_protocol::Message& message) {
  std::pair<int, std::vector<double>> contents;
  auto& [side, values] = contents;
  std::visit(
      [&](const auto& m) {
        if constexpr (requires { m.side; }) side = m.side;
        if constexpr (requires { m.quaternions; }) {
          for (const auto& q : m.quaternions) values.insert(values.end(), q.begin(), q.end());
        } else if constexpr (requires { m.landmarks; }) {
          for (const auto& l : m.landmarks) values.insert(values.end(), l.begin(), l.end());
        } else {
          values.assign(m.angles.begin(), m.angles.end());
        }
      },
      message);
  return contents;
}

// Expects `result` to be exactly the frame data_frame(type, offset, side).
void expect_frame(const NextResult& result, std::uint8_t type, double offset, std::uint8_t side) {
  ASSERT_TRUE(result.has_value()) << "the stream ended";
  ASSERT_TRUE(result->has_value()) << result->error().message();
  const auto expected = quorl_protocol::decode(data_frame(type, offset, side));
  ASSERT_TRUE(expected.has_value());
  EXPECT_EQ(quorl_protocol::message_type(**result), type);
  EXPECT_EQ(contents_of(**result), contents_of(*expected));
}

// Returns the first `count` bytes of `bytes`.
Bytes prefix(const Bytes& bytes, std::size_t count) {
  return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
}

// Returns the concatenation of `parts`.
Bytes joined(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// Returns the number of threads of this process.
int thread_count() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator("/proc/self/task")) {
    ++count;
  }
  return count;
}

struct CutCase {
  const char* name;
  Step ending;
  friend void PrintTo(const CutCase& c, std::ostream* out) { *out << c.name; }
};

class CutFrames : public testing::TestWithParam<CutCase> {};

// A frame cut off by the end of the connection is never delivered; the stream just ends.
TEST_P(CutFrames, end_the_stream_without_a_partial_frame) {
  const Bytes whole = server_frame(data_frame(4, 0.5, 1));
  TestServer server(
      {WebSocketScript{{SendBinary{data_frame(5, 1.5, 1)}, SendRaw{prefix(whole, whole.size() / 2)},
                        Pause{50ms}, GetParam().ending}}});
  Runtime runtime;
  auto client = connect(runtime, server);
  expect_frame(runtime.run(client.next()), 5, 1.5, 1);
  EXPECT_FALSE(runtime.run(client.next()).has_value());
  EXPECT_FALSE(runtime.run(client.next()).has_value());
}

// After a cut-off frame the new connection starts clean: no byte of the fragment survives.
TEST_P(CutFrames, leave_nothing_behind_for_the_next_connection) {
  const Bytes whole = server_frame(data_frame(2, 3));
  TestServer server({WebSocketScript{{SendRaw{prefix(whole, 200)}, Pause{50ms}, GetParam().ending}},
                     WebSocketScript{{SendBinary{hello(4)}, SendBinary{data_frame(6, 100)}}}});
  Runtime runtime;
  auto client = connect(runtime, server, backoff(0, 0, 3));
  expect_frame(runtime.run(client.next()), 6, 100, 0);
  EXPECT_EQ(server.connections().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(faults, CutFrames,
                         testing::Values(CutCase{"reset", Reset{}}, CutCase{"hangup", Hangup{}}),
                         [](const auto& info) { return info.param.name; });

// A server that sends every byte, the handshake answer included, in its own
// segment still delivers every frame exactly, with control messages between.
TEST(faults, trickled_bytes_make_exact_frames) {
  const Bytes ping = {0x89, 0x00};
  const Bytes text = {0x81, 0x02, 'h', 'i'};
  const Bytes stream = joined({server_frame(hello(4)), server_frame(data_frame(5, 0.25, 1)), ping,
                               server_frame(data_frame(6, -7)), text, server_frame(data_frame(2))});
  TestServer server({RawUpgrade{.after_response = stream, .byte_pause = 1ms}});
  Runtime runtime;
  auto client = connect(runtime, server);
  expect_frame(runtime.run(client.next()), 5, 0.25, 1);
  expect_frame(runtime.run(client.next()), 6, -7, 0);
  expect_frame(runtime.run(client.next()), 2, 0, 0);
}

struct GarbageCase {
  const char* name;
  Bytes bytes;
  friend void PrintTo(const GarbageCase& c, std::ostream* out) { *out << c.name; }
};

class Garbage : public testing::TestWithParam<GarbageCase> {};

// Bytes after the 101 that break the WebSocket framing are one Stream error
// after the frames before them, then the end, whether the client reads
// asynchronously or blocking; the server keeping its end open changes nothing.
TEST_P(Garbage, after_the_upgrade_is_one_stream_error) {
  for (const bool blocking : {false, true}) {
    SCOPED_TRACE(blocking ? "read_next" : "next");
    TestServer server(
        {RawUpgrade{.after_response = joined({server_frame(data_frame(3, 9)), GetParam().bytes})}});
    Runtime runtime;
    auto client = connect(runtime, server);
    const auto step = [&] {
      return blocking ? client.read_next(runtime) : runtime.run(client.next());
    };
    expect_frame(step(), 3, 9, 0);
    const NextResult failed = step();
    ASSERT_TRUE(failed.has_value()) << "the stream ended without an error";
    ASSERT_FALSE(failed->has_value()) << "garbage became a frame";
    EXPECT_TRUE(failed->error().is<QuorlError::Stream>()) << failed->error().message();
    EXPECT_TRUE(failed->error().message().starts_with("stream connection error: "));
    EXPECT_FALSE(step().has_value());
    EXPECT_TRUE(server.wait_for_end(0, 5s)) << "the client kept the broken connection open";
  }
}

INSTANTIATE_TEST_SUITE_P(
    faults, Garbage,
    testing::Values(
        GarbageCase{"http_text", Bytes{'H', 'T', 'T', 'P', '/', '1', '.', '1', ' ', '2', '0', '0'}},
        GarbageCase{"reserved_bits", Bytes{0xc2, 0x01, 0x00}},
        GarbageCase{"unknown_opcode", Bytes{0x83, 0x00}},
        GarbageCase{"masked_frame", masked_binary_frame(hello(4))},
        GarbageCase{"continuation_first", Bytes{0x80, 0x01, 0x00}},
        GarbageCase{"fragmented_ping", Bytes{0x09, 0x00}},
        GarbageCase{"oversized_ping", joined({Bytes{0x89, 0x7e, 0x00, 0x80}, Bytes(128, 0)})},
        GarbageCase{"invalid_utf8_text", Bytes{0x81, 0x02, 0xc3, 0x28}},
        GarbageCase{"bad_close_code", Bytes{0x88, 0x02, 0x03, 0xe7}}),
    [](const auto& info) { return info.param.name; });

// A server that sends its close frame and keeps the TCP connection open ends
// the stream at once: the client does not wait for the server's end.
TEST(faults, close_frame_without_the_tcp_end_ends_the_stream) {
  for (const bool blocking : {false, true}) {
    SCOPED_TRACE(blocking ? "read_next" : "next");
    const Bytes close_frame = {0x88, 0x02, 0x03, 0xe8};
    TestServer server(
        {RawUpgrade{.after_response = joined({server_frame(data_frame(2)), close_frame})}});
    Runtime runtime;
    auto client = connect(runtime, server);
    const auto step = [&] {
      return blocking ? client.read_next(runtime) : runtime.run(client.next());
    };
    expect_frame(step(), 2, 0, 0);
    EXPECT_FALSE(step().has_value());
    EXPECT_TRUE(server.wait_for_end(0, 5s));
  }
}

// A server that stops in the middle of its handshake answer is given up after
// the five-second limit, and the attempt leaves no descriptor behind.
TEST(faults, stalled_handshake_ends_after_five_seconds) {
  TestServer server({RawUpgrade{.stall_after = 40}});
  Runtime runtime;
  (void)runtime.run(no_reconnect().connect_at(unused_port()));
  std::this_thread::sleep_for(50ms);
  const int descriptors = open_descriptor_count();
  const auto start = Clock::now();
  auto client = runtime.run(no_reconnect().connect_url(server.url()));
  const double elapsed = millis_between(start, Clock::now());
  ASSERT_FALSE(client.has_value());
  EXPECT_EQ(client.error().as<QuorlError::ConnectFailed>().reason, "handshake timed out");
  EXPECT_GE(elapsed, 4990);
  EXPECT_LT(elapsed, 7000);
  EXPECT_TRUE(server.wait_for_end(0, 2s));
  EXPECT_EQ(open_descriptor_count(), descriptors);
}

// Returns once `count()` equals `expected` or two seconds have passed, and
// returns the last count: the servers close their ends a moment later.
template <class Count>
int settled(Count count, int expected) {
  int now = count();
  for (int i = 0; i < 200 && now != expected; ++i) {
    std::this_thread::sleep_for(10ms);
    now = count();
  }
  return now;
}

// Servers that fail every connection attempt, each in its own way.
struct FailingServers {
  TestServer not_found{{HttpReply{http_not_found()}}};
  TestServer bad_accept{
      {HttpReply{"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                 "Connection: Upgrade\r\nSec-WebSocket-Accept: nope\r\n\r\n"}}};
  TestServer silent{{Silent{}}};
  std::uint16_t refused = unused_port();
};

// Makes failing attempt `i` on `runtime`, of one of six kinds by i.
std::expected<quorl_sdk::WebSocket, QuorlError> failing_attempt(Runtime& runtime, int i,
                                                                const FailingServers& servers) {
  using quorl_sdk::detail::LookupResult;
  auto& lookups = boost::asio::use_service<quorl_sdk::detail::LookupService>(runtime.context());
  switch (i % 6) {
    case 0:
      return runtime.run(quorl_sdk::open("ws://127.0.0.1:" + std::to_string(servers.refused)));
    case 1:
      return runtime.run(quorl_sdk::open(servers.not_found.url()));
    case 2:
      return runtime.run(quorl_sdk::open(servers.bad_accept.url()));
    case 3:
      return runtime.run(quorl_sdk::detail::open(servers.silent.url(), 5ms));
    case 4:
      lookups.set_blocking_lookup([](const std::string&, std::uint16_t) -> LookupResult {
        return std::unexpected(boost::asio::error::host_not_found);
      });
      return runtime.run(quorl_sdk::open("ws://nowhere.invalid:1"));
    default:
      // A lookup still running when the attempt gives up; the runtime waits for it.
      lookups.set_blocking_lookup([](const std::string&, std::uint16_t) -> LookupResult {
        std::this_thread::sleep_for(8ms);
        return std::unexpected(boost::asio::error::host_not_found);
      });
      return runtime.run(quorl_sdk::detail::open("ws://slow.invalid:1", 2ms));
  }
}

// A thousand failed attempts of every kind, each on a runtime of its own as
// the Python connect functions make them, leave descriptors and threads as
// they were.
TEST(faults, failed_attempts_leave_no_descriptor_or_thread_behind) {
  const FailingServers servers;
  {
    Runtime warm;
    (void)warm.run(no_reconnect().connect_at(servers.refused));
  }
  const int descriptors = open_descriptor_count();
  const int threads = thread_count();

  constexpr int attempts = 1000;
  int failures = 0;
  for (int i = 0; i < attempts; ++i) {
    Runtime runtime;
    const auto result = failing_attempt(runtime, i, servers);
    if (!result && result.error().is<QuorlError::ConnectFailed>()) ++failures;
  }
  EXPECT_EQ(failures, attempts);
  EXPECT_EQ(settled(thread_count, threads), threads);
  EXPECT_EQ(settled(open_descriptor_count, descriptors), descriptors);
}

}  // namespace
