#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorl_sdk::detail {

// A URL cut into the parts the client uses. Views into the caller's text.
struct UrlParts {
  bool has_scheme = false;
  std::string_view scheme;          // lower case for http and https
  std::string_view authority;       // user information, host and port
  std::string_view path_and_query;  // empty when the URL has neither
};

// Parses `text` by the restricted URI syntax the client accepts; nullopt when
// it does not parse. The fragment is cut off.
std::optional<UrlParts> parse_url(std::string_view text) noexcept;

// Reads the port after the last ':' of `authority`: an optional '+', then
// decimal digits up to 65535.
std::optional<std::uint16_t> authority_port(std::string_view authority) noexcept;

// Where one connection attempt goes and what its request says.
struct Endpoint {
  std::string_view host;  // name or literal address, brackets removed
  std::uint16_t port = 0;
  std::string_view host_header;  // the authority less any user information
  std::string target;            // path and query, starting with '/'
};

// Splits a URL that passed parse_ws_port; nullopt for any other text.
std::optional<Endpoint> split_ws_url(std::string_view url);

}  // namespace quorl_sdk::detail
