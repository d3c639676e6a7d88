#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace quorl_sdk::detail {

// Where one connection attempt goes and what its request says.
struct Endpoint {
  std::string_view host;  // name or literal address, brackets removed
  std::uint16_t port = 0;
  std::string_view host_header;  // the authority less any user information
  std::string target;            // path and query, starting with '/'
};

// Parses a caller's `ws://host:port` URL: the one parser behind
// parse_ws_port and every connection attempt. On failure returns the reason
// in the words of InvalidUrl. Touches no network.
std::expected<Endpoint, std::string> parse_ws_url(std::string_view url);

}  // namespace quorl_sdk::detail
