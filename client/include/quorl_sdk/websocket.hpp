#pragma once

#include <boost/asio/awaitable.hpp>
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
#include <cstddef>
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
class Socket : public net::basic_stream_socket<net::ip::tcp, net::io_context::executor_type> {
 public:
  using Plain = net::basic_stream_socket<net::ip::tcp, net::io_context::executor_type>;
  using basic_stream_socket::basic_stream_socket;

  // Reads some bytes, blocking; retries when a signal interrupts the wait.
  template <class MutableBufferSequence>
  std::size_t read_some(const MutableBufferSequence& buffers, boost::system::error_code& ec) {
    std::size_t n = 0;
    do {
      n = basic_stream_socket::read_some(buffers, ec);
    } while (ec == net::error::interrupted);
    return n;
  }

  // Writes some bytes, blocking; retries when a signal interrupts the wait.
  template <class ConstBufferSequence>
  std::size_t write_some(const ConstBufferSequence& buffers, boost::system::error_code& ec) {
    std::size_t n = 0;
    do {
      n = basic_stream_socket::write_some(buffers, ec);
    } while (ec == net::error::interrupted);
    return n;
  }

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
