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
#include <cstddef>
#include <utility>

namespace quorl_sdk {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;

// Bytes the client takes from the socket at most per read.
inline constexpr std::size_t READ_BUFFER_SIZE = 128 * 1024;

// A TCP socket on an io_context. The concrete executor spares every
// operation the cost of a type-erased one.
using Socket = net::basic_stream_socket<net::ip::tcp, net::io_context::executor_type>;

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
