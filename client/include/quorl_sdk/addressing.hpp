#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "quorl_sdk/error.hpp"

namespace quorl_sdk {

// The default discovery range, both ends inclusive.
inline constexpr std::uint16_t WEBSOCKET_PORT_START = 5432;
inline constexpr std::uint16_t WEBSOCKET_PORT_END = 5435;

// Returns "ws://127.0.0.1:" followed by the port in decimal.
std::string localhost_url(std::uint16_t port);

// Validates a caller's `ws://host:port` URL and returns its port, or
// InvalidUrl carrying `url` unchanged. Pure: touches no network.
std::expected<std::uint16_t, QuorlError> parse_ws_port(std::string_view url);

}  // namespace quorl_sdk
