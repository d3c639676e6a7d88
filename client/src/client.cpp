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
using FrameResult = std::expected<quorl_protocol::Message, QuorlError>;

constexpr auto use_tuple = net::as_tuple(net::use_awaitable);

// Above this, the buffer gives its memory back after a message.
constexpr std::size_t KEPT_BUFFER_CAPACITY = 1024 * 1024;

}  // namespace

QuorlClient::QuorlClient(WebSocket stream, std::string url, std::uint16_t port,
                         ReconnectSettings settings)
    : stream_(std::make_unique<WebSocket>(std::move(stream))),
      url_(std::move(url)),
      port_(port),
      settings_(settings) {}

QuorlClient::QuorlClient(QuorlClient&&) noexcept = default;
QuorlClient& QuorlClient::operator=(QuorlClient&&) noexcept = default;
QuorlClient::~QuorlClient() = default;

net::awaitable<NextResult> QuorlClient::next() {
  if (incompatible_) co_return std::nullopt;
  for (;;) {
    // An ended connection reads as its end, again and again.
    error_code ec = net::error::eof;
    if (!ended_) {
      std::tie(ec, std::ignore) = co_await stream_->async_read(buffer_, use_tuple);
      if (!ec) {
        auto result = take_message();
        release_message();
        if (result) co_return std::move(result);
        continue;
      }
      ended_ = true;
      buffer_.clear();
    }
    if (co_await recover()) continue;
    if (is_disconnect(ec)) co_return std::nullopt;
    co_return std::unexpected(QuorlError::Stream{ec.message()});
  }
}

std::optional<FrameResult> QuorlClient::take_message() {
  if (stream_->got_text()) return std::nullopt;
  const auto bytes = buffer_.cdata();
  const std::span<const std::uint8_t> frame(static_cast<const std::uint8_t*>(bytes.data()),
                                            bytes.size());
  if (!frame.empty() && frame.front() == quorl_protocol::MSG_HELLO) {
    auto hello = check_hello(frame);
    if (hello) return std::nullopt;
    return std::unexpected(std::move(hello.error()));
  }
  auto decoded = quorl_protocol::decode(frame);
  if (!decoded) return std::unexpected(QuorlError::Decode{decoded.error()});
  return FrameResult(std::in_place, *decoded);
}

void QuorlClient::release_message() noexcept {
  buffer_.consume(buffer_.size());
  if (buffer_.capacity() > KEPT_BUFFER_CAPACITY) buffer_.shrink_to_fit();
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
  if (!settings_.reconnect || settings_.max_retries == 0) co_return false;
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
