#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/websocket/stream.hpp>

namespace quorl_sdk {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;

// One client-side WebSocket connection over plain TCP.
// No permessage-deflate: the client never offers it, so its code stays out.
using WebSocket = websocket::stream<net::ip::tcp::socket, false>;

}  // namespace quorl_sdk
