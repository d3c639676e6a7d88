#include "quorl_sdk/websocket.hpp"

#include <array>

namespace quorl_sdk::detail {

void teardown(beast::role_type role, BufferedSocket& stream, boost::system::error_code& ec) {
  Socket& socket = stream.next_layer();
  if (role == beast::role_type::server) socket.shutdown(net::socket_base::shutdown_send, ec);
  if (ec) return;
  // The peer's remaining bytes are of no interest; its end of the stream is.
  std::array<char, 2048> scratch;
  for (;;) {
    const std::size_t n = socket.read_some(net::buffer(scratch), ec);
    if (ec) {
      if (ec != net::error::eof) return;
      ec = {};
      break;
    }
    if (n == 0) break;
  }
  if (role == beast::role_type::client) socket.shutdown(net::socket_base::shutdown_send, ec);
  if (ec) return;
  socket.close(ec);
}

}  // namespace quorl_sdk::detail
