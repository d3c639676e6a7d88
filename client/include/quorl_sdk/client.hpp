#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/system/error_code.hpp>
#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "quorl_protocol/decode.hpp"
#include "quorl_sdk/builder.hpp"
#include "quorl_sdk/error.hpp"
#include "quorl_sdk/runtime.hpp"
#include "quorl_sdk/websocket.hpp"

namespace quorl_sdk {

// What one step of the stream yields: a frame, an error, or nothing at all
// when the stream has ended for good.
using NextResult = std::optional<std::expected<quorl_protocol::Message, QuorlError>>;

// Why a connection ended, in the terms of the WebSocket close frame.
struct CloseStatus {
  std::uint16_t code = 0;
  std::string reason;
};

// The codes of a close frame that carried none, and of a connection that
// ended without a close frame.
inline constexpr std::uint16_t CLOSE_NO_STATUS = 1005;
inline constexpr std::uint16_t CLOSE_ABNORMAL = 1006;

// Returns true when `ec` means the peer went away (closing handshake, closed
// stream, reset, abort, broken pipe, end of file) rather than a fault.
bool is_disconnect(const boost::system::error_code& ec) noexcept;

// What a caller that runs read_next() on a thread of its own asks of the
// client. Every call runs on the thread that reads.
struct ReadHooks {
  // Called when a blocking read is about to wait for the socket.
  std::function<void()> on_idle;
  // Called with the descriptor of each connection the client reads from,
  // the current one at once and each one a reconnection swaps in, before
  // it is read.
  std::function<void(int)> on_connection;
  // Messages whose type byte it refuses are dropped before they are decoded.
  std::function<bool(std::uint8_t)> accepts_type;
  // Offered each binary message but the hello, with the time its last byte
  // was read, before the client decodes it. Returns true when it took the
  // message, which the step then skips; false leaves the message to the
  // client. A reader that keeps what it takes spares the step's result a
  // copy of every frame.
  std::function<bool(std::span<const std::uint8_t>, std::chrono::steady_clock::time_point)>
      take_frame;
};

// The asynchronous client of one WebSocket connection to a tracking server.
// Move-only. Destroying it closes the TCP connection at once, without a
// WebSocket close frame and without running the io_context; it must be
// destroyed before the io_context it runs on.
class QuorlClient {
 public:
  // Takes over `stream`; `settings` say how to reconnect to `url`.
  QuorlClient(WebSocket stream, std::string url, std::uint16_t port, QuorlClientBuilder settings);
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

  // Installs `hooks` for this connection and every later one.
  void set_read_hooks(ReadHooks hooks);

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

  // Returns when the socket read that completed the last message a step
  // returned (a frame or an error) came back: a time on the monotonic clock
  // of the process, the clock of Python's time.monotonic().
  std::chrono::steady_clock::time_point last_receive_time() const noexcept {
    return last_receive_time_;
  }

  // Returns how the current connection ended: nothing while it is up, the
  // code and reason of the server's close frame, or CLOSE_ABNORMAL when it
  // ended without one.
  const std::optional<CloseStatus>& close_status() const noexcept { return close_status_; }

  // Returns how many times recover() has replaced a lost connection.
  std::uint64_t reconnections() const noexcept { return reconnections_; }

 private:
  // What a step asks of the code that drives it. The step's decisions live
  // in begin_step(), after_read() and after_recovery(); next() and
  // read_next() only perform what is asked, asynchronously or blocking.
  enum class Need {
    read,     // read some of the next message, then call after_read()
    recover,  // run recover(), then call after_recovery()
    nothing,  // the step is over; its result is in result_
  };

  Need begin_step() noexcept;
  Need after_read(const boost::system::error_code& ec);
  Need after_recovery(bool recovered);
  // Keeps how the connection ended, from the error that ended it.
  void note_close();

  // Returns what the step yields, leaving the client ready for the next one.
  NextResult take_result() noexcept { return std::exchange(result_, std::nullopt); }

  // Sets the largest frame the next read may begin: a frame never exceeds
  // MAX_FRAME_SIZE, and the message it belongs to never MAX_MESSAGE_SIZE.
  void limit_next_frame() noexcept;

  // Turns the complete message in the buffer into the step's result and
  // releases it; returns false when the message yields nothing (text, a
  // good hello).
  bool take_message();

  // Ends the step with the result of a loss that was not made good: the end
  // of the stream, or a stream error when it was no plain disconnect.
  Need conclude();

  // Returns true when a loss leads to reconnection attempts.
  bool may_recover() const noexcept;

  // Applies the read hooks to the current connection.
  void hook_connection();

  std::unique_ptr<WebSocket> stream_;
  beast::flat_buffer buffer_;
  std::string url_;
  std::uint16_t port_;
  QuorlClientBuilder settings_;
  bool incompatible_ = false;
  // Set when the connection closed or failed; cleared by a new connection.
  bool ended_ = false;
  // Why the connection ended, while a step deals with it.
  boost::system::error_code loss_;
  std::optional<CloseStatus> close_status_;
  NextResult result_;
  std::chrono::steady_clock::time_point last_receive_time_{};
  std::uint64_t reconnections_ = 0;
  ReadHooks hooks_;
};

}  // namespace quorl_sdk
