#include "quorl_sdk/addressing.hpp"

#include <string>

#include "url.hpp"

namespace quorl_sdk {

std::string localhost_url(std::uint16_t port) {
  return "ws://127.0.0.1:" + std::to_string(port);
}

std::expected<std::uint16_t, QuorlError> parse_ws_port(std::string_view url) {
  const auto refuse = [url](std::string reason) {
    return std::unexpected(QuorlError::InvalidUrl{std::string(url), std::move(reason)});
  };
  const auto parts = detail::parse_url(url);
  if (!parts) return refuse("not a valid URL");
  if (!parts->has_scheme) return refuse("missing `ws://` scheme");
  if (parts->scheme != "ws") {
    return refuse("unsupported scheme `" + std::string(parts->scheme) + "` (expected `ws`)");
  }
  const auto port = detail::authority_port(parts->authority);
  if (!port) return refuse("missing port (use ws://host:port)");
  return *port;
}

}  // namespace quorl_sdk
