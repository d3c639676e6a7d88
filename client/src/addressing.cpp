#include "quorl_sdk/addressing.hpp"

#include <string>
#include <utility>

#include "url.hpp"

namespace quorl_sdk {

std::string localhost_url(std::uint16_t port) {
  return "ws://127.0.0.1:" + std::to_string(port);
}

std::expected<std::uint16_t, QuorlError> parse_ws_port(std::string_view url) {
  auto endpoint = detail::parse_ws_url(url);
  if (!endpoint) {
    return std::unexpected(QuorlError::InvalidUrl{std::string(url), std::move(endpoint.error())});
  }
  return endpoint->port;
}

}  // namespace quorl_sdk
