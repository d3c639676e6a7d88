#pragma once

#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/compose.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/core/buffered_read_stream.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <boost/beast/websocket/teardown.hpp>
#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

namespace quorl_sdk {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;

// Bytes the client takes from the socket at most per read.
inline constexpr std::size_t READ_BUFFER_SIZE = 128 * 1024;

// A TCP socket on an io_context. The concrete executor spares every
// operation the cost of a type-erased one. Its blocking reads and writes go
// on waiting when a signal interrupts them: Asio reports a poll() cut short
// by a signal as an error, which would fail the WebSocket stream whenever
// the process handles a signal (the interpreter handles several).
// Every read that brings bytes stamps the time it returned: the closest the
// client gets to the moment a frame arrived.
class Socket : public net::basic_stream_socket<net::ip::tcp, net::io_context::executor_type> {
 public:
  using Plain = net::basic_stream_socket<net::ip::tcp, net::io_context::executor_type>;
  using Clock = std::chrono::steady_clock;
  using basic_stream_socket::basic_stream_socket;

  // Returns when the last read that brought bytes returned; the epoch of the
  // clock before the first.
  Clock::time_point last_read_time() const noexcept { return last_read_time_; }

  // Reads some bytes, blocking; retries when a signal interrupts the wait.
  // Runs the idle call, when there is one, before it waits for bytes.
  template <class MutableBufferSequence>
  std::size_t read_some(const MutableBufferSequence& buffers, boost::system::error_code& ec) {
    std::size_t n = 0;
    send_pending();
    for (;;) {
      n = basic_stream_socket::read_some(buffers, ec);
      if (ec == net::error::would_block && on_idle_) {
        on_idle_();
        if (wait_readable(ec)) continue;
      }
      if (ec != net::error::interrupted) break;
    }
    stamp(n);
    return n;
  }

  // Makes blocking reads call `on_idle` each time the socket has no bytes
  // for them, before they wait: the reader learns it is about to block.
  void call_when_idle(std::function<void()> on_idle) {
    on_idle_ = std::move(on_idle);
    boost::system::error_code ignored;
    non_blocking(static_cast<bool>(on_idle_), ignored);
  }

  // Reads some bytes asynchronously, stamping the time the read completed.
  template <class MutableBufferSequence, class ReadToken>
  auto async_read_some(const MutableBufferSequence& buffers, ReadToken&& token) {
    return net::async_compose<ReadToken, void(boost::system::error_code, std::size_t)>(
        [this, buffers, started = false](auto& self, boost::system::error_code ec = {},
                                         std::size_t n = 0) mutable {
          if (!started) {
            started = true;
            send_pending();
            basic_stream_socket::async_read_some(buffers, std::move(self));
            return;
          }
          stamp(n);
          self.complete(ec, n);
        },
        token, *this);
  }

  // Writes some bytes; retries when a signal interrupts the wait. Blocks
  // until the opening handshake is done; after it, see stop_blocking_writes().
  template <class ConstBufferSequence>
  std::size_t write_some(const ConstBufferSequence& buffers, boost::system::error_code& ec) {
    if (!blocking_writes_) return write_frame(copy_of(buffers), ec);
    std::size_t n = 0;
    do {
      n = basic_stream_socket::write_some(buffers, ec);
    } while (ec == net::error::interrupted);
    return n;
  }

  // Writes some bytes asynchronously; the same rules as write_some().
  template <class ConstBufferSequence, class WriteToken>
  auto async_write_some(const ConstBufferSequence& buffers, WriteToken&& token) {
    return net::async_compose<WriteToken, void(boost::system::error_code, std::size_t)>(
        [this, buffers, started = false](auto& self, boost::system::error_code ec = {},
                                         std::size_t n = 0) mutable {
          if (started) {
            self.complete(ec, n);
            return;
          }
          started = true;
          if (blocking_writes_) {
            basic_stream_socket::async_write_some(buffers, std::move(self));
            return;
          }
          n = write_frame(copy_of(buffers), ec);
          // The completion must not run inside the initiating call.
          net::post(get_executor(), beast::bind_front_handler(std::move(self), ec, n));
        },
        token, *this);
  }

  // Ends blocking writes. Once the connection is open the client writes only
  // control frames (pongs and a close frame), each in one call; a server that
  // floods pings and never reads would otherwise block the client in a write
  // of a pong, and then nothing would be read any more. From now on every
  // write reports the whole frame written at once: what the socket does not
  // take without blocking stays pending and goes out ahead of later writes
  // and before each read. Of frames not started yet only the newest is kept,
  // as a newer pong answers every earlier ping.
  void stop_blocking_writes() noexcept { blocking_writes_ = false; }

  // The throwing forms, for callers that use them.
  template <class MutableBufferSequence>
  std::size_t read_some(const MutableBufferSequence& buffers) {
    boost::system::error_code ec;
    const std::size_t n = read_some(buffers, ec);
    if (ec) throw boost::system::system_error(ec);
    return n;
  }
  template <class ConstBufferSequence>
  std::size_t write_some(const ConstBufferSequence& buffers) {
    boost::system::error_code ec;
    const std::size_t n = write_some(buffers, ec);
    if (ec) throw boost::system::system_error(ec);
    return n;
  }

 private:
  template <class ConstBufferSequence>
  static std::string copy_of(const ConstBufferSequence& buffers) {
    std::string bytes(net::buffer_size(buffers), '\0');
    net::buffer_copy(net::buffer(bytes), buffers);
    return bytes;
  }

  // Queues `frame` behind the started frame, replacing a frame not started
  // yet, and writes what the socket takes without blocking. Returns the size
  // of `frame`, or 0 with `ec` set when the socket failed.
  std::size_t write_frame(std::string frame, boost::system::error_code& ec);

  // Waits until the socket has bytes or has ended, whatever the socket's
  // blocking mode; retries when a signal interrupts the wait. Returns false
  // with `ec` set when the wait failed.
  bool wait_readable(boost::system::error_code& ec);

  // Writes what the socket takes of the pending bytes without blocking.
  void send_pending(boost::system::error_code& ec);
  void send_pending() noexcept {
    boost::system::error_code ignored;
    if (!pending_.empty()) send_pending(ignored);
  }

  void stamp(std::size_t bytes) noexcept {
    if (bytes != 0) last_read_time_ = Clock::now();
  }

  Clock::time_point last_read_time_{};
  std::function<void()> on_idle_;
  bool blocking_writes_ = true;
  // The rest of a started frame, then at most one frame not started yet.
  std::string pending_;
  std::size_t started_size_ = 0;
};

namespace detail {

// The read layer's buffer: a type of our own, so that the teardown below is
// found for the layer by argument-dependent lookup.
class ReadBuffer : public beast::flat_buffer {};

// The socket with a read buffer in front. The WebSocket layer asks for a few
// hundred bytes at a time; this turns that into one system call per
// READ_BUFFER_SIZE bytes.
using BufferedSocket = beast::buffered_read_stream<Socket, ReadBuffer>;

// Ends the TCP connection at once, after the WebSocket layer has sent its
// close frame, without waiting for the peer to end it first.
void teardown(beast::role_type role, BufferedSocket& stream, boost::system::error_code& ec);

// The same as teardown(), completing through the stream's executor.
template <class TeardownHandler>
void async_teardown(beast::role_type role, BufferedSocket& stream, TeardownHandler&& handler) {
  boost::system::error_code ec;
  teardown(role, stream, ec);
  net::post(stream.get_executor(),
            beast::bind_front_handler(std::forward<TeardownHandler>(handler), ec));
}

}  // namespace detail

// One client-side WebSocket connection over plain TCP. No permessage-deflate:
// the client never offers it, so its code stays out.
using WebSocket = websocket::stream<detail::BufferedSocket, false>;

}  // namespace quorl_sdk
