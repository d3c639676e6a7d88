#include "quorl_sdk/websocket.hpp"

namespace quorl_sdk::detail {

// The layer's own teardown reads until the peer ends the connection, with no
// time limit: a server that answers a protocol error or a close frame by
// keeping the connection open would hold the reading thread for good. The
// client has nothing left to read by then, so it closes at once.
void teardown(beast::role_type /*role*/, BufferedSocket& stream, boost::system::error_code& ec) {
  Socket& socket = stream.next_layer();
  boost::system::error_code ignored;
  socket.shutdown(net::socket_base::shutdown_both, ignored);
  socket.close(ec);
}

}  // namespace quorl_sdk::detail
