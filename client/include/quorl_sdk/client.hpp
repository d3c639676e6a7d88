#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/system/error_code.hpp>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "quorl_protocol/decode.hpp"
#include "quorl_sdk/duration.hpp"
#include "quorl_sdk/error.hpp"
#include "quorl_sdk/runtime.hpp"
#include "quorl_sdk/websocket.hpp"

namespace quorl_sdk {

// What one step of the stream yields: a frame, an error, or nothing at all
// when the stream has ended for good.
using NextResult = std::optional<std::expected<quorl_protocol::Message, QuorlError>>;

// The settings a client keeps for reconnection.
struct ReconnectSettings {
  bool reconnect = false;
  Duration base_delay;
  Duration max_delay;
  std::uint32_t max_retries = 0;
};

// Returns true when `ec` means the peer went away (closing handshake, closed
// stream, reset, abort, broken pipe, end of file) rather than a fault.
bool is_disconnect(const boost::system::error_code& ec) noexcept;

// The asynchronous client of one WebSocket connection to a tracking server.
// Move-only. Destroying it closes the TCP connection at once, without a
// WebSocket close frame and without running the io_context; it must be
// destroyed before the io_context it runs on.
class QuorlClient {
 public:
  QuorlClient(WebSocket stream, std::string url, std::uint16_t port, ReconnectSettings settings);
  QuorlClient(QuorlClient&&) noexcept;
  QuorlClient& operator=(QuorlClient&&) noexcept;
  QuorlClient(const QuorlClient&) = delete;
  QuorlClient& operator=(const QuorlClient&) = delete;
  ~QuorlClient();

  // Waits for the next data frame. Hellos are checked and swallowed; text,
  // ping and pong are skipped; a lost connection goes through recover().
  // One call at a time; the client must outlive the operation.
  net::awaitable<NextResult> next();

  // The same step as next(), run to completion on the calling thread: the
  // fast way for a caller that blocks anyway. The socket is read directly,
  // with blocking reads, and `runtime` (the one the client lives on) is
  // driven only to reconnect. Pings are answered while reading, as in next().
  NextResult read_next(Runtime& runtime);

  // Re-establishes a lost connection with exponential backoff. Returns true
  // when the stream was replaced by a new connection.
  net::awaitable<bool> recover();

  // Checks one binary frame as a hello; sets the incompatible flag when it
  // announces another protocol version.
  std::expected<void, QuorlError> check_hello(std::span<const std::uint8_t> data);

  // Returns the TCP port of the connection.
  std::uint16_t port() const noexcept { return port_; }

  // Returns the URL the client connected to and reconnects to.
  const std::string& url() const noexcept { return url_; }

  // Returns true once a hello announced another protocol version.
  bool incompatible() const noexcept { return incompatible_; }

 private:
  // Returns the result of the message in the buffer and releases it; nullopt
  // when the message yields nothing (text, a good hello).
  NextResult take_message();

  // Records that the connection has closed or failed.
  void mark_ended() noexcept;

  // Returns true when a loss leads to reconnection attempts.
  bool may_recover() const noexcept;

  // Returns what a step reports for a loss that was not made good: the end
  // of the stream, or a stream error when it was no plain disconnect.
  static NextResult conclude(const boost::system::error_code& loss);

  std::unique_ptr<WebSocket> stream_;
  beast::flat_buffer buffer_;
  std::string url_;
  std::uint16_t port_;
  ReconnectSettings settings_;
  bool incompatible_ = false;
  // Set when the connection closed or failed; cleared by a new connection.
  bool ended_ = false;
};

}  // namespace quorl_sdk
