// Fuzzes URL validation against a small reference written straight from the
// URL rules: both must agree on every input, a port that is returned must be
// the number after the last ':' of the authority, a refusal must carry the
// caller's text unchanged, and the connection step's own split of the URL must
// agree with the validation.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "quorl_sdk/addressing.hpp"
#include "url.hpp"

namespace {

using quorl_sdk::QuorlError;

// What the reference says: a port, or the refusal's reason.
using Verdict = std::variant<std::uint16_t, std::string>;

constexpr std::string_view NOT_VALID = "not a valid URL";
constexpr std::string_view NO_SCHEME = "missing `ws://` scheme";
constexpr std::string_view NO_PORT = "missing port (use ws://host:port)";

bool in(char c, std::string_view set) {
  return set.find(c) != std::string_view::npos;
}

bool letter_or_digit(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

char lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

bool starts_with_any_case(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (lower(text[i]) != prefix[i]) return false;
  }
  return true;
}

// Path and query: unreserved, sub-delimiters, ':', '@', '/', '?' and %XX.
bool valid_path(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size() || !hex_digit(text[i + 1]) || !hex_digit(text[i + 2])) return false;
      i += 3;
      continue;
    }
    if (!letter_or_digit(c) && !in(c, "-._~!$&'()*+,;=:@/?")) return false;
    ++i;
  }
  return true;
}

// The authority rules, checked one by one over the whole text.
bool valid_authority(std::string_view a) {
  if (a.empty() || a.back() == '@') return false;
  const std::size_t open = a.find('[');
  const std::size_t close = a.find(']');
  if (a.find('[', open == std::string_view::npos ? a.size() : open + 1) != std::string_view::npos)
    return false;
  if (a.find(']', close == std::string_view::npos ? a.size() : close + 1) != std::string_view::npos)
    return false;
  if ((open == std::string_view::npos) != (close == std::string_view::npos)) return false;
  if (open != std::string_view::npos && close < open) return false;
  const auto bracketed = [&](std::size_t i) {
    return open != std::string_view::npos && i > open && i < close;
  };
  const std::size_t last_at = a.rfind('@');
  int colons = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const char c = a[i];
    if (c == '%') {
      const bool user_info = last_at != std::string_view::npos && i < last_at;
      if (!user_info && !bracketed(i)) return false;
    } else if (!letter_or_digit(c) && !in(c, "-._~!$&'()*+,;=:@[]")) {
      return false;
    }
    const bool after_last_at = last_at == std::string_view::npos || i > last_at;
    if (c == ':' && after_last_at && !bracketed(i)) ++colons;
  }
  return colons <= 1;
}

// The number after the last ':' of the authority: '+'? digit+, at most 65535.
std::optional<std::uint16_t> port_after_last_colon(std::string_view authority) {
  const std::size_t colon = authority.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::string_view digits = authority.substr(colon + 1);
  if (digits.starts_with('+')) digits.remove_prefix(1);
  if (digits.empty()) return std::nullopt;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
  if (digits.size() > 5 || std::stoul(std::string(digits)) > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(std::stoul(std::string(digits)));
}

// Returns the authority of a URL with a scheme: from after "://" to the first
// '/', '?' or '#'.
std::string_view authority_after(std::string_view rest) {
  return rest.substr(0, rest.find_first_of("/?#"));
}

Verdict reference(std::string_view text) {
  if (text.empty() || text.size() > 65534) return std::string(NOT_VALID);

  // Scheme detection.
  std::optional<std::string> scheme;
  std::string_view rest;
  if (starts_with_any_case(text, "http://")) {
    scheme = "http", rest = text.substr(7);
  } else if (starts_with_any_case(text, "https://")) {
    scheme = "https", rest = text.substr(8);
  } else {
    std::size_t run = 0;
    while (run < text.size() && (letter_or_digit(text[run]) || in(text[run], "+-.~"))) ++run;
    if (text.substr(run).starts_with("://")) {
      if (run > 64) return std::string(NOT_VALID);
      scheme = std::string(text.substr(0, run));
      rest = text.substr(run + 3);
    }
  }

  if (!scheme) {
    const std::string_view no_fragment = text.substr(0, text.find('#'));
    const bool parses = text.front() == '/' ? valid_path(no_fragment)
                                            : text.find_first_of("/?#") == std::string_view::npos &&
                                                  valid_authority(text);
    return std::string(parses ? NO_SCHEME : NOT_VALID);
  }

  const std::string_view authority = authority_after(rest);
  std::string_view path = rest.substr(authority.size());
  path = path.substr(0, path.find('#'));
  if (!valid_authority(authority) || !valid_path(path)) return std::string(NOT_VALID);
  if (*scheme != "ws") return "unsupported scheme `" + *scheme + "` (expected `ws`)";
  const auto port = port_after_last_colon(authority);
  if (!port) return std::string(NO_PORT);
  return *port;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const auto port = quorl_sdk::parse_ws_port(input);
  const Verdict expected = reference(input);
  const auto split = quorl_sdk::detail::parse_ws_url(input);

  if (port) {
    const auto* want = std::get_if<std::uint16_t>(&expected);
    if (want == nullptr || *want != *port) std::abort();
    // The port is the number after the last ':' of the authority.
    const std::string_view authority = authority_after(std::string_view(input).substr(5));
    if (port_after_last_colon(authority) != *port) std::abort();
    if (!split || split->port != *port || split->target.empty() || split->target.front() != '/')
      std::abort();
    return 0;
  }
  if (split) std::abort();
  if (!port.error().is<QuorlError::InvalidUrl>()) std::abort();
  const auto& invalid = port.error().as<QuorlError::InvalidUrl>();
  if (invalid.url != input) std::abort();
  const auto* reason = std::get_if<std::string>(&expected);
  if (reason == nullptr || invalid.reason != *reason) std::abort();
  if (port.error().message() != "invalid Quorl URL `" + input + "`: " + invalid.reason)
    std::abort();
  return 0;
}
