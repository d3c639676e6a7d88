#include "quorl_sdk/client.hpp"

#include <algorithm>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/websocket/error.hpp>
#include <boost/system/errc.hpp>
#include <tuple>
#include <utility>

#include "quorl_sdk/builder.hpp"

namespace quorl_sdk {
namespace {

using boost::system::error_code;
using quorl_protocol::ProtocolError;

constexpr auto use_tuple = net::as_tuple(net::use_awaitable);

// Above this, the buffer gives its memory back after a message.
constexpr std::size_t KEPT_BUFFER_CAPACITY = 1024 * 1024;

}  // namespace

QuorlClient::QuorlClient(WebSocket stream, std::string url, std::uint16_t port,
                         QuorlClientBuilder settings)
    : stream_(std::make_unique<WebSocket>(std::move(stream))),
      url_(std::move(url)),
      port_(port),
      settings_(std::move(settings)) {}

QuorlClient::QuorlClient(QuorlClient&&) noexcept = default;
QuorlClient& QuorlClient::operator=(QuorlClient&&) noexcept = default;
QuorlClient::~QuorlClient() = default;

// GCC 12 mistakes the coroutine frame's own operator new and delete for a
// mismatched pair once it inlines this frame's allocation.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
net::awaitable<NextResult> QuorlClient::next() {
  for (Need need = begin_step();;) {
    switch (need) {
      case Need::read: {
        limit_next_frame();
        const auto [ec, n] = co_await stream_->async_read_some(buffer_, 0, use_tuple);
        need = after_read(ec);
        break;
      }
      case Need::recover:
        need = after_recovery(co_await recover());
        break;
      case Need::nothing:
        co_return take_result();
    }
  }
}
#pragma GCC diagnostic pop

NextResult QuorlClient::read_next(Runtime& runtime) {
  for (Need need = begin_step();;) {
    switch (need) {
      case Need::read: {
        limit_next_frame();
        error_code ec;
        stream_->read_some(buffer_, 0, ec);
        need = after_read(ec);
        break;
      }
      case Need::recover:
        need = after_recovery(runtime.run(recover()));
        break;
      case Need::nothing:
        return take_result();
    }
  }
}

QuorlClient::Need QuorlClient::begin_step() noexcept {
  if (incompatible_) return Need::nothing;
  if (!ended_) return Need::read;
  // An ended connection reads as its end, again and again.
  loss_ = net::error::eof;
  return may_recover() ? Need::recover : conclude();
}

QuorlClient::Need QuorlClient::after_read(const error_code& ec) {
  if (!ec) {
    if (!stream_->is_message_done()) return Need::read;
    return take_message() ? Need::nothing : Need::read;
  }
  loss_ = ec;
  ended_ = true;
  note_close();
  buffer_.clear();
  return may_recover() ? Need::recover : conclude();
}

void QuorlClient::note_close() {
  // Beast keeps the close frame it read; a connection that broke has none.
  if (loss_ != websocket::error::closed) {
    close_status_ = CloseStatus{CLOSE_ABNORMAL, {}};
    return;
  }
  const auto& frame = stream_->reason();
  const std::uint16_t code =
      frame.code == websocket::close_code::none ? CLOSE_NO_STATUS : frame.code;
  close_status_ = CloseStatus{code, std::string(frame.reason.data(), frame.reason.size())};
}

QuorlClient::Need QuorlClient::after_recovery(bool recovered) {
  return recovered ? Need::read : conclude();
}

QuorlClient::Need QuorlClient::conclude() {
  if (!is_disconnect(loss_)) result_.emplace(std::unexpected(QuorlError::Stream{loss_.message()}));
  return Need::nothing;
}

void QuorlClient::limit_next_frame() noexcept {
  // The layer refuses a frame whose header announces more than the limit
  // less what the message holds so far, before it reads the payload.
  stream_->read_message_max(std::min(MAX_MESSAGE_SIZE, buffer_.size() + MAX_FRAME_SIZE));
}

bool QuorlClient::take_message() {
  if (!stream_->got_text()) {
    const auto bytes = buffer_.cdata();
    const std::span<const std::uint8_t> frame(static_cast<const std::uint8_t*>(bytes.data()),
                                              bytes.size());
    if (!frame.empty() && frame.front() == quorl_protocol::MSG_HELLO) {
      if (auto hello = check_hello(frame); !hello) result_.emplace(std::unexpected(hello.error()));
    } else if (!frame.empty() && hooks_.accepts_type && !hooks_.accepts_type(frame.front())) {
      // Refused unread.
    } else if (hooks_.take_frame &&
               hooks_.take_frame(frame, beast::get_lowest_layer(*stream_).last_read_time())) {
      // Taken by the reader.
    } else if (auto decoded = quorl_protocol::decode(frame)) {
      result_.emplace(std::in_place, *decoded);
    } else {
      result_.emplace(std::unexpected(QuorlError::Decode{decoded.error()}));
    }
  }
  if (result_) last_receive_time_ = beast::get_lowest_layer(*stream_).last_read_time();
  buffer_.consume(buffer_.size());
  if (buffer_.capacity() > KEPT_BUFFER_CAPACITY) buffer_.shrink_to_fit();
  return result_.has_value();
}

void QuorlClient::set_read_hooks(ReadHooks hooks) {
  hooks_ = std::move(hooks);
  hook_connection();
}

void QuorlClient::hook_connection() {
  Socket& socket = beast::get_lowest_layer(*stream_);
  // A client without hooks keeps its socket exactly as it was.
  if (hooks_.on_idle) socket.call_when_idle(hooks_.on_idle);
  if (hooks_.on_connection) hooks_.on_connection(socket.native_handle());
}

bool QuorlClient::may_recover() const noexcept {
  return settings_.reconnect && settings_.max_retries > 0;
}

std::expected<void, QuorlError> QuorlClient::check_hello(std::span<const std::uint8_t> data) {
  using quorl_protocol::MSG_HELLO;
  if (data.empty()) return std::unexpected(QuorlError::Decode{ProtocolError::Empty{}});
  if (data.front() != MSG_HELLO) {
    return std::unexpected(QuorlError::Decode{ProtocolError::UnknownType{data.front()}});
  }
  if (data.size() != 1 + quorl_protocol::HELLO_PAYLOAD_SIZE) {
    return std::unexpected(QuorlError::Decode{ProtocolError::WrongLength{
        MSG_HELLO, quorl_protocol::HELLO_PAYLOAD_SIZE, data.size() - 1}});
  }
  const auto version = static_cast<std::uint16_t>(data[1] | (data[2] << 8));
  if (version == quorl_protocol::PROTOCOL_VERSION) return {};
  incompatible_ = true;
  return std::unexpected(
      QuorlError::IncompatibleProtocol{version, quorl_protocol::PROTOCOL_VERSION});
}

net::awaitable<bool> QuorlClient::recover() {
  if (!may_recover()) co_return false;
  net::steady_timer timer(co_await net::this_coro::executor);
  Duration delay = settings_.base_delay;
  for (std::uint32_t attempt = 0; attempt < settings_.max_retries; ++attempt) {
    timer.expires_after(delay.to_clock_duration());
    co_await timer.async_wait(use_tuple);
    auto opened = co_await open(url_);
    if (opened) {
      // The old connection goes now, closed without a closing handshake.
      stream_ = std::make_unique<WebSocket>(std::move(*opened));
      buffer_.clear();
      ended_ = false;
      close_status_.reset();
      ++reconnections_;
      hook_connection();
      co_return true;
    }
    delay = std::min(delay.doubled(), settings_.max_delay);
  }
  co_return false;
}

bool is_disconnect(const error_code& ec) noexcept {
  namespace errc = boost::system::errc;
  return ec == websocket::error::closed          // closing handshake done
         || ec == net::error::operation_aborted  // the stream was already closed
         || ec == net::error::eof                // TCP ended without a closing handshake
         || ec == errc::connection_reset || ec == errc::connection_aborted ||
         ec == errc::broken_pipe;
}

}  // namespace quorl_sdk
