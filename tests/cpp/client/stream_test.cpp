#include <gtest/gtest.h>
#include <pthread.h>

#include <boost/asio/io_context.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/websocket/error.hpp>
#include <chrono>
#include <csignal>
#include <future>
#include <span>
#include <thread>

#include "client_helpers.hpp"
#include "quorl_sdk/client.hpp"
#include "quorl_sdk/runtime.hpp"
#include "test_server.hpp"

namespace {

using namespace quorl_test;
using namespace std::chrono_literals;
namespace net = boost::asio;
namespace websocket = boost::beast::websocket;
using quorl_protocol::ProtocolError;
using quorl_sdk::NextResult;
using quorl_sdk::QuorlClient;
using quorl_sdk::QuorlError;
using quorl_sdk::Runtime;

// The two ways of taking a step: the coroutine, and the blocking read.
enum class Mode { coroutine, blocking };

void PrintTo(Mode mode, std::ostream* out) {
  *out << (mode == Mode::coroutine ? "coroutine" : "blocking");
}

// Every stream behaviour holds for both ways of taking a step.
class stream : public testing::TestWithParam<Mode> {};

// A client connected to a server that runs `steps` on its first connection.
struct Session {
  explicit Session(std::vector<Step> steps, quorl_sdk::QuorlClientBuilder settings = no_reconnect())
      : mode(stream::GetParam()),
        server({WebSocketScript{std::move(steps)}}),
        client(connect(runtime, server, settings)) {}

  // Runs one step of the stream the way the test's mode says.
  NextResult next() {
    return mode == Mode::coroutine ? runtime.run(client.next()) : client.read_next(runtime);
  }

  Mode mode;
  TestServer server;
  Runtime runtime;
  QuorlClient client;
};

// Returns the type byte of a frame result; fails the test for anything else.
std::uint8_t type_of(const NextResult& result) {
  EXPECT_TRUE(result.has_value() && result->has_value());
  if (!result || !*result) return 0;
  return quorl_protocol::message_type(**result);
}

// Returns the error of a result; fails the test for anything else.
QuorlError error_of(const NextResult& result) {
  EXPECT_TRUE(result.has_value() && !result->has_value());
  if (!result || result->has_value()) return QuorlError::Stream{"no error"};
  return result->error();
}

SendBinary binary(Bytes bytes) {
  return SendBinary{std::move(bytes)};
}

// The hello is swallowed; the frame behind it is the first result.
TEST_P(stream, swallows_the_hello) {
  Session session({binary(hello(4)), binary(data_frame(3, 0.5))});
  const auto result = session.next();
  ASSERT_EQ(type_of(result), 3);
  const auto& landmarks = std::get<quorl_protocol::BodyLandmarks>(**result);
  EXPECT_EQ(landmarks.landmarks[0][0], 0.5);
  EXPECT_EQ(landmarks.landmarks[18][3], 75.5);
}

// A data frame before any hello is yielded, and a later hello is swallowed too.
TEST_P(stream, needs_no_hello_and_swallows_repeated_ones) {
  Session session({binary(data_frame(2)), binary(hello(4)), binary(data_frame(6)), binary(hello(4)),
                   binary(hello(4)), binary(data_frame(5, 0, 1))});
  EXPECT_EQ(type_of(session.next()), 2);
  EXPECT_EQ(type_of(session.next()), 6);
  const auto hand = session.next();
  ASSERT_EQ(type_of(hand), 5);
  EXPECT_EQ(std::get<quorl_protocol::HandLandmarks>(**hand).side, 1);
}

// Every data frame type arrives decoded, values in order.
TEST_P(stream, decodes_every_frame_type) {
  std::vector<Step> steps;
  for (std::uint8_t type = 2; type <= 7; ++type) steps.push_back(binary(data_frame(type, type)));
  Session session(std::move(steps));
  for (std::uint8_t type = 2; type <= 7; ++type) EXPECT_EQ(type_of(session.next()), type);
}

// Another protocol version ends the stream for good, without reading on.
TEST_P(stream, ends_for_good_on_another_version) {
  Session session({binary(hello(5)), binary(data_frame(2))}, backoff(0, 0, 3));
  EXPECT_EQ(error_of(session.next()), QuorlError(QuorlError::IncompatibleProtocol{5, 4}));
  EXPECT_TRUE(session.client.incompatible());
  EXPECT_FALSE(session.next().has_value());
  EXPECT_FALSE(session.next().has_value());
  EXPECT_EQ(session.server.connections().size(), 1u);
}

// Malformed hellos and rejected frames are errors of one step; the stream goes on.
TEST_P(stream, reports_bad_frames_and_reads_on) {
  Session session({binary({0x01}), binary({0x01, 0x04, 0x00, 0x00}), binary({}), binary({0x09}),
                   binary({0x02, 0x00}), binary(data_frame(7, 0, 1))});
  EXPECT_EQ(error_of(session.next()),
            QuorlError(QuorlError::Decode{ProtocolError::WrongLength{0x01, 2, 0}}));
  EXPECT_EQ(error_of(session.next()),
            QuorlError(QuorlError::Decode{ProtocolError::WrongLength{0x01, 2, 3}}));
  const QuorlError empty = error_of(session.next());
  EXPECT_EQ(empty, QuorlError(QuorlError::Decode{ProtocolError::Empty{}}));
  EXPECT_EQ(empty.message(), "failed to decode a stream frame: received an empty WebSocket frame");
  EXPECT_EQ(error_of(session.next()),
            QuorlError(QuorlError::Decode{ProtocolError::UnknownType{0x09}}));
  EXPECT_EQ(error_of(session.next()),
            QuorlError(QuorlError::Decode{ProtocolError::WrongLength{0x02, 416, 1}}));
  EXPECT_EQ(type_of(session.next()), 7);
}

// A message sent in fragments arrives whole, also when larger than the read buffer.
TEST_P(stream, joins_fragmented_messages) {
  Session session({fragmented(data_frame(5, 0, 1), 7), fragmented(data_frame(6), 1),
                   fragmented(Bytes(300'000, 0x03), 3)});
  const auto hand = session.next();
  ASSERT_EQ(type_of(hand), 5);
  EXPECT_EQ(std::get<quorl_protocol::HandLandmarks>(**hand).landmarks[20][3], 83.0);
  EXPECT_EQ(type_of(session.next()), 6);
  EXPECT_EQ(error_of(session.next()),
            QuorlError(QuorlError::Decode{ProtocolError::WrongLength{0x03, 608, 299'999}}));
}

// Text, ping and pong between frames yield nothing.
TEST_P(stream, skips_text_and_control_messages) {
  Session session({SendText{"hi"}, binary(data_frame(4, 0, 0)), SendPing{}, SendPong{},
                   SendText{""}, SendPing{}, binary(data_frame(6))});
  EXPECT_EQ(type_of(session.next()), 4);
  EXPECT_EQ(type_of(session.next()), 6);
}

// Pings are answered while the client reads.
TEST_P(stream, answers_pings_while_reading) {
  Session session({SendPing{}, binary(data_frame(2))});
  EXPECT_EQ(type_of(session.next()), 2);
  EXPECT_TRUE(
      session.server.wait_until([](const auto& r) { return !r.empty() && r[0].pongs == 1; }, 5s));
}

// A frame carries the time the socket read that completed it returned.
TEST_P(stream, stamps_the_time_each_frame_arrived) {
  Session session({binary(data_frame(2)), Pause{100ms}, binary(data_frame(3))});
  EXPECT_EQ(type_of(session.next()), 2);
  const auto first = session.client.last_receive_time();
  EXPECT_NE(first, Clock::time_point{});
  EXPECT_LE(first, Clock::now());
  EXPECT_EQ(type_of(session.next()), 3);
  const auto second = session.client.last_receive_time();
  EXPECT_GE(millis_between(first, second), 90);
  EXPECT_LE(second, Clock::now());
}

// Checks that `ending` after one frame ends the stream for good.
void ends_the_stream(const Step& ending) {
  Session session({binary(data_frame(2)), ending});
  EXPECT_EQ(type_of(session.next()), 2);
  EXPECT_FALSE(session.next().has_value());
  EXPECT_FALSE(session.next().has_value());
  EXPECT_EQ(session.server.connections().size(), 1u);
}

struct EndCase {
  const char* name;
  Step ending;
};

// Without reconnection a closed, ended or reset connection ends the stream, for every later step
// too.
TEST_P(stream, ends_on_close_reset_and_hangup) {
  for (const EndCase& end : {EndCase{"close", CloseHandshake{}}, EndCase{"reset", Reset{}},
                             EndCase{"hangup", Hangup{}}}) {
    SCOPED_TRACE(end.name);
    ends_the_stream(end.ending);
  }
}

// Signals that interrupt a blocking wait do not end the stream.
TEST_P(stream, waits_on_through_signals) {
  struct sigaction action {};
  action.sa_handler = [](int) {};
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: the wait sees EINTR
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
  Session session({Pause{300ms}, binary(data_frame(2))});
  const pthread_t reader = pthread_self();
  std::thread signaller([reader] {
    for (int i = 0; i < 5; ++i) {
      std::this_thread::sleep_for(40ms);
      pthread_kill(reader, SIGUSR1);
    }
  });
  const NextResult result = session.next();
  signaller.join();
  sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_EQ(type_of(result), 2);
}

// A protocol violation is a stream error with the layer's description; then the stream has ended.
TEST_P(stream, reports_a_protocol_violation_once) {
  Session session({SendRaw{masked_binary_frame(data_frame(6))}});
  const QuorlError error = error_of(session.next());
  ASSERT_TRUE(error.is<QuorlError::Stream>());
  EXPECT_EQ(error.message(),
            "stream connection error: " +
                boost::system::error_code(websocket::error::bad_masked_frame).message());
  EXPECT_FALSE(session.next().has_value());
}

// A message over 64 MiB is refused as a stream error.
TEST_P(stream, refuses_oversized_messages) {
  Session session({binary(Bytes(quorl_sdk::MAX_MESSAGE_SIZE + 1, 0x02))});
  const QuorlError error = error_of(session.next());
  EXPECT_EQ(error, QuorlError(QuorlError::Stream{
                       boost::system::error_code(websocket::error::message_too_big).message()}));
}

// A message of exactly 64 MiB is read (and rejected by the decoder, not the layer).
TEST_P(stream, accepts_messages_up_to_64_mib) {
  Session session({binary(Bytes(quorl_sdk::MAX_MESSAGE_SIZE, 0x02)), binary(data_frame(3))});
  EXPECT_EQ(error_of(session.next()), QuorlError(QuorlError::Decode{ProtocolError::WrongLength{
                                          0x02, 416, quorl_sdk::MAX_MESSAGE_SIZE - 1}}));
  EXPECT_EQ(type_of(session.next()), 3);
}

// Returns the header of an unmasked frame with `first` as its first byte
// (FIN and opcode) announcing `length` payload bytes, in the 64-bit form.
Bytes frame_header(std::uint8_t first, std::uint64_t length) {
  Bytes header{first, 127};
  for (int shift = 56; shift >= 0; shift -= 8) {
    header.push_back(static_cast<std::uint8_t>(length >> shift));
  }
  return header;
}

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

constexpr std::uint8_t BINARY_FIN = 0x82;
constexpr std::uint8_t BINARY_MORE = 0x02;
constexpr std::uint8_t CONTINUATION_FIN = 0x80;

struct FrameLimitCase {
  const char* name;
  Bytes sent;  // raw frames; the payload of a refused frame never comes
};

// A frame above 16 MiB fails the stream from its header alone, also inside a small message.
TEST_P(stream, refuses_a_frame_above_16_mib_from_its_header) {
  const auto too_big = quorl_sdk::MAX_FRAME_SIZE + 1;
  for (const FrameLimitCase& limit :
       {FrameLimitCase{"single", frame_header(BINARY_FIN, too_big)},
        FrameLimitCase{"continuation", concat(Bytes{BINARY_MORE, 1, 0x02},
                                              frame_header(CONTINUATION_FIN, too_big))}}) {
    SCOPED_TRACE(limit.name);
    Session session({SendRaw{limit.sent}, Pause{30s}});
    EXPECT_EQ(error_of(session.next()),
              QuorlError(QuorlError::Stream{
                  boost::system::error_code(websocket::error::message_too_big).message()}));
    EXPECT_FALSE(session.next().has_value());
  }
}

// Frames of 16 MiB each make up a message of up to 64 MiB.
TEST_P(stream, accepts_frames_of_16_mib) {
  const Bytes piece(quorl_sdk::MAX_FRAME_SIZE, 0x02);
  Bytes sent = concat(frame_header(BINARY_MORE, piece.size()), piece);
  sent = concat(concat(sent, frame_header(CONTINUATION_FIN, piece.size())), piece);
  Session session({SendRaw{sent}, binary(data_frame(3))});
  EXPECT_EQ(error_of(session.next()), QuorlError(QuorlError::Decode{ProtocolError::WrongLength{
                                          0x02, 416, 2 * quorl_sdk::MAX_FRAME_SIZE - 1}}));
  EXPECT_EQ(type_of(session.next()), 3);
}

// A server that floods pings and never reads does not keep the frame behind them from arriving.
TEST_P(stream, reads_on_through_a_ping_flood) {
  const Bytes payload(125, 0x70);
  const Bytes ping = concat({0x89, static_cast<std::uint8_t>(payload.size())}, payload);
  Bytes flood;
  constexpr int PINGS = 100'000;  // pongs far beyond what the socket buffers hold
  flood.reserve(PINGS * ping.size());
  for (int i = 0; i < PINGS; ++i) flood.insert(flood.end(), ping.begin(), ping.end());
  // The server writes it all in one go and reads nothing until the write is done.
  TestServer server({RawUpgrade{.after_response = concat(flood, server_frame(data_frame(5)))}});
  Runtime runtime;
  QuorlClient client = connect(runtime, server);
  auto step = std::async(std::launch::async, [&] {
    return GetParam() == Mode::coroutine ? runtime.run(client.next()) : client.read_next(runtime);
  });
  const bool arrived = step.wait_for(60s) == std::future_status::ready;
  if (!arrived) server.stop();  // ends the stalled read
  EXPECT_TRUE(arrived) << "the client stopped reading";
  EXPECT_EQ(type_of(step.get()), 5);
}

// Without reconnection recover() answers false at once and connects nowhere.
TEST_P(stream, recover_without_reconnection_is_false_at_once) {
  Session session({binary(data_frame(2))});
  const auto start = Clock::now();
  EXPECT_FALSE(session.runtime.run(session.client.recover()));
  EXPECT_LT(millis_between(start, Clock::now()), 50);
  EXPECT_EQ(session.server.connections().size(), 1u);
}

struct HelloCase {
  const char* name;
  Bytes frame;
  std::optional<QuorlError> error;
  friend void PrintTo(const HelloCase& c, std::ostream* out) { *out << c.name; }
};

class Hellos : public testing::TestWithParam<HelloCase> {};

// check_hello accepts exactly the hello of version 4 and classifies everything else.
TEST_P(Hellos, are_checked) {
  net::io_context io;
  QuorlClient client(quorl_sdk::WebSocket(io), "ws://127.0.0.1:1", 1, {});
  const auto checked = client.check_hello(GetParam().frame);
  if (!GetParam().error) {
    EXPECT_TRUE(checked.has_value());
  } else {
    ASSERT_FALSE(checked.has_value());
    EXPECT_EQ(checked.error(), *GetParam().error);
  }
  EXPECT_EQ(client.incompatible(),
            GetParam().error && GetParam().error->is<QuorlError::IncompatibleProtocol>());
}

INSTANTIATE_TEST_SUITE_P(
    hello, Hellos,
    testing::Values(
        HelloCase{"v4", {0x01, 0x04, 0x00}, std::nullopt},
        HelloCase{"v5", {0x01, 0x05, 0x00}, QuorlError::IncompatibleProtocol{5, 4}},
        HelloCase{"v1024", {0x01, 0x00, 0x04}, QuorlError::IncompatibleProtocol{1024, 4}},
        HelloCase{"empty", {}, QuorlError::Decode{ProtocolError::Empty{}}},
        HelloCase{
            "other_type", {0x02, 0x04, 0x00}, QuorlError::Decode{ProtocolError::UnknownType{2}}},
        HelloCase{"short", {0x01}, QuorlError::Decode{ProtocolError::WrongLength{1, 2, 0}}},
        HelloCase{
            "two_bytes", {0x01, 0x04}, QuorlError::Decode{ProtocolError::WrongLength{1, 2, 1}}},
        HelloCase{"long",
                  {0x01, 0x04, 0x00, 0x00},
                  QuorlError::Decode{ProtocolError::WrongLength{1, 2, 3}}}),
    [](const auto& info) { return info.param.name; });

// is_disconnect names the ways a peer goes away and nothing else.
TEST(disconnect, classifies_the_ways_a_peer_goes_away) {
  using boost::system::error_code;
  namespace errc = boost::system::errc;
  for (const error_code ec :
       {error_code(websocket::error::closed), error_code(net::error::operation_aborted),
        error_code(net::error::eof), error_code(net::error::connection_reset),
        error_code(net::error::connection_aborted), error_code(net::error::broken_pipe),
        errc::make_error_code(errc::connection_reset)}) {
    EXPECT_TRUE(quorl_sdk::is_disconnect(ec)) << ec.message();
  }
  for (const error_code ec :
       {error_code(net::error::timed_out), error_code(net::error::connection_refused),
        error_code(websocket::error::bad_masked_frame),
        error_code(websocket::error::message_too_big),
        error_code(websocket::error::bad_frame_payload),
        error_code(boost::beast::http::error::bad_version), error_code(net::error::host_not_found),
        error_code()}) {
    EXPECT_FALSE(quorl_sdk::is_disconnect(ec)) << ec.message();
  }
}

// A client can be moved; the moved-to client keeps reading the same connection.
TEST_P(stream, survives_a_move) {
  Session session({binary(data_frame(2)), binary(data_frame(3))});
  EXPECT_EQ(type_of(session.next()), 2);
  QuorlClient moved = std::move(session.client);
  EXPECT_EQ(type_of(session.mode == Mode::coroutine ? session.runtime.run(moved.next())
                                                    : moved.read_next(session.runtime)),
            3);
  EXPECT_EQ(moved.port(), session.server.port());
}

INSTANTIATE_TEST_SUITE_P(modes, stream, testing::Values(Mode::coroutine, Mode::blocking),
                         [](const auto& info) {
                           return info.param == Mode::coroutine ? "coroutine" : "blocking";
                         });

}  // namespace
