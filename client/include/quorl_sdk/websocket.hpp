#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/websocket/stream.hpp>

namespace quorl_sdk {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;

// One client-side WebSocket connection over plain TCP.
using WebSocket = websocket::stream<net::ip::tcp::socket>;

}  // namespace quorl_sdk
