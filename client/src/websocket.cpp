#include "quorl_sdk/websocket.hpp"

namespace quorl_sdk::detail {

void teardown(beast::role_type /*role*/, BufferedSocket& stream, boost::system::error_code& ec) {
  // The close frames have been exchanged; nothing the peer sends after them
  // matters, so the socket goes at once (RFC 6455 allows the client this).
  Socket& socket = stream.next_layer();
  // The peer may have gone already; only the close itself can fail us.
  boost::system::error_code ignored;
  socket.shutdown(net::socket_base::shutdown_send, ignored);
  socket.close(ec);
}

}  // namespace quorl_sdk::detail
