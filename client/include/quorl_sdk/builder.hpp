#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>

#include "quorl_sdk/duration.hpp"
#include "quorl_sdk/error.hpp"
#include "quorl_sdk/websocket.hpp"

namespace quorl_sdk {

// Bounds one connection attempt as a whole: resolution, TCP connect and the
// opening handshake.
inline constexpr std::chrono::seconds HANDSHAKE_TIMEOUT{5};

// Largest WebSocket message the client accepts.
inline constexpr std::size_t MAX_MESSAGE_SIZE = 64 * 1024 * 1024;

// Largest WebSocket frame the client accepts. A larger one is refused from
// its header, before its payload is read, and fails the connection.
inline constexpr std::size_t MAX_FRAME_SIZE = 16 * 1024 * 1024;

class QuorlClient;

// The connection settings. No defaults of its own: the caller fills every
// field. Each connect operation consumes the builder; the client it yields
// keeps the settings, which are all about reconnection.
struct QuorlClientBuilder {
  bool reconnect;
  Duration base_delay;
  Duration max_delay;
  std::uint32_t max_retries;

  // Validates `url`, then makes one attempt on exactly that text.
  // Fails with InvalidUrl (no network activity) or ConnectFailed.
  net::awaitable<std::expected<QuorlClient, QuorlError>> connect_url(std::string url) &&;

  // Makes one attempt on ws://127.0.0.1:{port}. Fails with ConnectFailed.
  net::awaitable<std::expected<QuorlClient, QuorlError>> connect_at(std::uint16_t port) &&;

  // Tries first_port..last_port in ascending order and returns the first
  // that connects. Fails with NoServerFound; an empty range tries nothing.
  net::awaitable<std::expected<QuorlClient, QuorlError>> connect_in_range(
      std::uint16_t first_port, std::uint16_t last_port) &&;
};

// One connection attempt on `url` under HANDSHAKE_TIMEOUT: resolution of a
// host name, TCP connection and the opening handshake. Fails with
// ConnectFailed; a failed or abandoned attempt closes its socket at once and
// ignores any late result.
net::awaitable<std::expected<WebSocket, QuorlError>> open(std::string url);

namespace detail {

// open() with another time limit, so tests need not wait five seconds.
net::awaitable<std::expected<WebSocket, QuorlError>> open(
    std::string url, std::chrono::steady_clock::duration limit);

}  // namespace detail
}  // namespace quorl_sdk

// The builder's operations yield clients, which keep the builder's settings.
#include "quorl_sdk/client.hpp"  // IWYU pragma: export
