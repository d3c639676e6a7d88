#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace quorl_test {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

// Steps of a scripted WebSocket connection, run in order by the server.
struct SendBinary {
  Bytes bytes;
};
struct SendText {
  std::string text;
};
// Sends one binary message as one frame per piece.
struct SendFragmented {
  std::vector<Bytes> pieces;
};
struct SendPing {};
struct SendPong {};
// Sends a close frame and waits for the client's reply.
struct CloseHandshake {};
// Ends the TCP connection with a reset, without a close frame.
struct Reset {};
// Ends the TCP connection with a FIN, without a close frame.
struct Hangup {};
// Writes bytes straight onto TCP, for frames a conforming server never sends.
struct SendRaw {
  Bytes bytes;
};
struct Pause {
  std::chrono::milliseconds duration;
};
using Step = std::variant<SendBinary, SendFragmented, SendText, SendPing, SendPong, CloseHandshake,
                          Reset, Hangup, SendRaw, Pause>;

// What the server does with one accepted connection.
// A conforming WebSocket handshake, the steps, then reading until the client leaves.
struct WebSocketScript {
  std::vector<Step> steps;
};
// Reads the request, then answers 101 with a correct accept value, the extra
// header lines and `after_response`, all in one write; then reads until the
// client leaves. With `byte_pause` set, the answer goes out one byte per TCP
// segment instead, with that pause after each; with `stall_after` set, only
// that many bytes of it go out and the server then stays silent.
struct RawUpgrade {
  Bytes after_response{};
  std::string extra_headers{};
  std::chrono::milliseconds byte_pause{0};
  std::optional<std::size_t> stall_after{};
};
// Reads the request, answers with `response` and closes.
struct HttpReply {
  std::string response;
};
// Reads whatever comes and never answers.
struct Silent {};
using Behaviour = std::variant<WebSocketScript, RawUpgrade, HttpReply, Silent>;

// What the server saw of one connection.
struct ConnectionRecord {
  Clock::time_point accepted{};
  // The opening request as received, for the raw behaviours.
  std::string request{};
  // When the last step of the script finished.
  std::optional<Clock::time_point> script_done{};
  // Pongs the server read from the client.
  int pongs = 0;
  // How the connection ended, as the server's last read saw it.
  std::optional<boost::system::error_code> ended{};
};

// A server on its own thread that gives the n-th accepted connection the n-th
// behaviour (the last one for all later connections) and records each.
class TestServer {
 public:
  // Listens on `address`:`port` (0 picks a free port). Throws
  // boost::system::system_error when the port cannot be bound.
  explicit TestServer(std::vector<Behaviour> behaviours, std::uint16_t port = 0,
                      const std::string& address = "127.0.0.1");
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;
  ~TestServer();

  // Returns the port the server listens on.
  std::uint16_t port() const noexcept { return port_; }

  // Returns "ws://127.0.0.1:{port}".
  std::string url() const;

  // Returns a copy of the records so far.
  std::vector<ConnectionRecord> connections() const;

  // Waits until `predicate(records)` holds or `timeout` passes; returns
  // whether it held.
  template <class Predicate>
  bool wait_until(Predicate predicate, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return predicate(records_); });
  }

  // Waits until `count` connections were accepted.
  bool wait_for_connections(std::size_t count, std::chrono::milliseconds timeout) const;

  // Waits until connection `index` has ended.
  bool wait_for_end(std::size_t index, std::chrono::milliseconds timeout) const;

  // Closes the listener and every connection; idempotent.
  void stop();

 private:
  struct Running;

  net::awaitable<void> accept_loop();
  net::awaitable<void> serve(tcp::socket socket, std::size_t index);
  net::awaitable<void> serve_websocket(tcp::socket socket, const WebSocketScript& script,
                                       std::size_t index);
  net::awaitable<void> serve_raw_upgrade(tcp::socket socket, const RawUpgrade& upgrade,
                                         std::size_t index);
  net::awaitable<void> serve_http(tcp::socket socket, const HttpReply& reply, std::size_t index);
  net::awaitable<void> serve_silent(tcp::socket socket, std::size_t index);
  net::awaitable<bool> read_request(tcp::socket& socket, std::size_t index);
  net::awaitable<void> drain(tcp::socket& socket, std::size_t index);
  void record(std::size_t index, auto&& update);

  std::vector<Behaviour> behaviours_;
  std::uint16_t port_ = 0;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<ConnectionRecord> records_;
  std::unique_ptr<Running> running_;
};

// Returns a port on 127.0.0.1 that nothing listens on, so connecting is refused.
std::uint16_t unused_port();

// Returns true when a listener can be bound on 127.0.0.1:`port` right now.
bool port_is_free(std::uint16_t port);

// Returns a hello frame announcing `version`.
Bytes hello(std::uint16_t version);

// Returns a valid data frame of `type` whose values are 0, 1, 2, ... plus
// `offset`; hand frames carry `side`.
Bytes data_frame(std::uint8_t type, double offset = 0, std::uint8_t side = 0);

// Returns `payload` as one unmasked binary WebSocket frame, as a server sends it.
Bytes server_frame(const Bytes& payload);

// Cuts `bytes` into `count` pieces, to be sent as fragments of one message.
SendFragmented fragmented(const Bytes& bytes, std::size_t count);

// Returns a binary frame as a server must never send it: masked.
Bytes masked_binary_frame(const Bytes& payload);

// Returns a 404 answer to an HTTP request.
std::string http_not_found();

}  // namespace quorl_test
