#include "url.hpp"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace quorl_sdk::detail {
namespace {

// A URL cut into the parts the client uses. Views into the caller's text.
struct UrlParts {
  bool has_scheme = false;
  std::string_view scheme;          // lower case for http and https
  std::string_view authority;       // user information, host and port
  std::string_view path_and_query;  // empty when the URL has neither
};

constexpr std::size_t MAX_URL_LENGTH = 65534;
constexpr std::size_t MAX_SCHEME_LENGTH = 64;

constexpr bool is_alnum(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

constexpr bool is_hex(char c) noexcept {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

constexpr bool is_scheme_char(char c) noexcept {
  return is_alnum(c) || c == '+' || c == '-' || c == '.' || c == '~';
}

constexpr bool is_unreserved(char c) noexcept {
  return is_alnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

constexpr bool is_sub_delim(char c) noexcept {
  return std::string_view("!$&'()*+,;=").find(c) != std::string_view::npos;
}

// Characters of an authority other than '%' and the brackets.
constexpr bool is_authority_char(char c) noexcept {
  return is_unreserved(c) || is_sub_delim(c) || c == ':' || c == '@';
}

constexpr bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) noexcept {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

// Checks an authority: its character set, one pair of brackets at most, '%'
// only in user information or inside the brackets, at most one ':' after the
// last '@' outside the brackets, and no '@' at its end.
bool is_valid_authority(std::string_view authority) noexcept {
  if (authority.empty() || authority.back() == '@') return false;
  bool opened = false;
  bool closed = false;
  bool stray_percent = false;
  int colons = 0;
  for (char c : authority) {
    const bool in_brackets = opened && !closed;
    if (c == '[') {
      if (opened) return false;
      opened = true;
    } else if (c == ']') {
      if (!in_brackets) return false;
      closed = true;
    } else if (c == '%') {
      if (!in_brackets) stray_percent = true;
    } else if (c == '@') {
      colons = 0;
      stray_percent = false;
    } else if (c == ':') {
      if (!in_brackets) ++colons;
    } else if (!is_authority_char(c)) {
      return false;
    }
  }
  return opened == closed && colons <= 1 && !stray_percent;
}

// Checks a path followed by an optional query, by RFC 3986: unreserved and
// sub-delimiter characters, ':', '@', '/', '?' and percent escapes.
bool is_valid_path_and_query(std::string_view text) noexcept {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) return false;
      if (!is_hex(text[i + 1]) || !is_hex(text[i + 2])) return false;
      i += 2;
    } else if (!(is_unreserved(c) || is_sub_delim(c) || c == ':' || c == '@' || c == '/' ||
                 c == '?')) {
      return false;
    }
  }
  return true;
}

// Returns the scheme and the rest of the text after "://", if the text has a
// scheme; sets `too_long` for a scheme run beyond the limit.
std::optional<std::pair<std::string_view, std::string_view>> split_scheme(std::string_view text,
                                                                          bool& too_long) noexcept {
  if (starts_with_ignoring_case(text, "http://")) return {{"http", text.substr(7)}};
  if (starts_with_ignoring_case(text, "https://")) return {{"https", text.substr(8)}};
  std::size_t run = 0;
  while (run < text.size() && is_scheme_char(text[run])) ++run;
  if (text.substr(run, 3) != "://") return std::nullopt;
  if (run > MAX_SCHEME_LENGTH) {
    too_long = true;
    return std::nullopt;
  }
  return {{text.substr(0, run), text.substr(run + 3)}};
}

// Parses `text` by the restricted URI syntax the client accepts; nullopt when
// it does not parse. The fragment is cut off.
std::optional<UrlParts> parse_url(std::string_view text) noexcept {
  if (text.empty() || text.size() > MAX_URL_LENGTH) return std::nullopt;
  // A fragment never matters to the client.
  const std::string_view without_fragment = text.substr(0, text.find('#'));

  bool too_long = false;
  const auto scheme = split_scheme(text, too_long);
  if (too_long) return std::nullopt;
  if (!scheme) {
    if (text.front() == '/') {
      if (!is_valid_path_and_query(without_fragment)) return std::nullopt;
      UrlParts path;
      path.path_and_query = without_fragment;
      return path;
    }
    if (text.find_first_of("/?#") != std::string_view::npos) return std::nullopt;
    if (!is_valid_authority(text)) return std::nullopt;
    UrlParts bare;
    bare.authority = text;
    return bare;
  }

  const auto [name, rest] = *scheme;
  const std::size_t authority_end = std::min(rest.find_first_of("/?#"), rest.size());
  const std::string_view authority = rest.substr(0, authority_end);
  if (!is_valid_authority(authority)) return std::nullopt;
  std::string_view path_and_query = rest.substr(authority_end);
  path_and_query = path_and_query.substr(0, path_and_query.find('#'));
  if (!is_valid_path_and_query(path_and_query)) return std::nullopt;
  return UrlParts{
      .has_scheme = true, .scheme = name, .authority = authority, .path_and_query = path_and_query};
}

// Reads the port after the last ':' of `authority`: an optional '+', then
// decimal digits up to 65535.
std::optional<std::uint16_t> authority_port(std::string_view authority) noexcept {
  const std::size_t colon = authority.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::string_view digits = authority.substr(colon + 1);
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  if (digits.empty()) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    if (value > 65535) return std::nullopt;
  }
  return static_cast<std::uint16_t>(value);
}

}  // namespace

std::expected<Endpoint, std::string> parse_ws_url(std::string_view url) {
  const auto parts = parse_url(url);
  if (!parts) return std::unexpected("not a valid URL");
  if (!parts->has_scheme) return std::unexpected("missing `ws://` scheme");
  if (parts->scheme != "ws") {
    return std::unexpected("unsupported scheme `" + std::string(parts->scheme) +
                           "` (expected `ws`)");
  }
  const auto port = authority_port(parts->authority);
  if (!port) return std::unexpected("missing port (use ws://host:port)");

  std::string_view host_and_port = parts->authority;
  if (const std::size_t at = host_and_port.rfind('@'); at != std::string_view::npos) {
    host_and_port.remove_prefix(at + 1);
  }
  std::string_view host = host_and_port.substr(0, host_and_port.rfind(':'));
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  // A query without a path still needs the root path in the request line.
  std::string target(parts->path_and_query);
  if (target.empty() || target.front() == '?') target.insert(0, 1, '/');
  return Endpoint{
      .host = host, .port = *port, .host_header = host_and_port, .target = std::move(target)};
}

}  // namespace quorl_sdk::detail
