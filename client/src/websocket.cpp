#include "quorl_sdk/websocket.hpp"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

namespace quorl_sdk {

std::size_t Socket::write_frame(std::string frame, boost::system::error_code& ec) {
  // A frame not started yet is dropped for the newer one.
  pending_.resize(started_size_);
  pending_ += frame;
  send_pending(ec);
  return ec ? 0 : frame.size();
}

bool Socket::wait_readable(boost::system::error_code& ec) {
  pollfd readable{.fd = native_handle(), .events = POLLIN, .revents = 0};
  while (::poll(&readable, 1, -1) < 0) {
    if (errno != EINTR) {
      ec.assign(errno, boost::system::system_category());
      return false;
    }
  }
  ec.clear();
  return true;
}

void Socket::send_pending(boost::system::error_code& ec) {
  ec.clear();
  ssize_t sent = -1;
  do {
    sent = ::send(native_handle(), pending_.data(), pending_.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      ec.assign(errno, boost::system::system_category());
    }
    return;
  }
  const auto taken = static_cast<std::size_t>(sent);
  pending_.erase(0, taken);
  // What is left is the rest of the started frame, then the next frame; the
  // next frame counts as started once any byte of it went out.
  if (taken < started_size_) {
    started_size_ -= taken;
  } else if (taken > started_size_) {
    started_size_ = pending_.size();
  } else {
    started_size_ = 0;
  }
}

}  // namespace quorl_sdk

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
