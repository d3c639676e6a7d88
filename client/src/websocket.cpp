#include "quorl_sdk/websocket.hpp"

namespace quorl_sdk::detail {

void teardown(beast::role_type role, BufferedSocket& stream, boost::system::error_code& ec) {
  websocket::teardown(role, stream.next_layer(), ec);
}

}  // namespace quorl_sdk::detail
