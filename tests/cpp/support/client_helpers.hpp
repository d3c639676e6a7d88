#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "quorl_sdk/builder.hpp"
#include "quorl_sdk/runtime.hpp"
#include "test_server.hpp"

namespace quorl_test {

// Settings without reconnection.
inline quorl_sdk::QuorlClientBuilder no_reconnect() {
  return {.reconnect = false,
          .base_delay = quorl_sdk::Duration::from_millis(250),
          .max_delay = quorl_sdk::Duration::from_millis(10'000),
          .max_retries = 10};
}

// Settings that reconnect with the given backoff.
inline quorl_sdk::QuorlClientBuilder backoff(std::uint64_t base_ms, std::uint64_t max_ms,
                                             std::uint32_t retries) {
  return {.reconnect = true,
          .base_delay = quorl_sdk::Duration::from_millis(base_ms),
          .max_delay = quorl_sdk::Duration::from_millis(max_ms),
          .max_retries = retries};
}

// Connects to `server` on `runtime`; fails the test when that does not work.
inline quorl_sdk::QuorlClient connect(quorl_sdk::Runtime& runtime, const TestServer& server,
                                      quorl_sdk::QuorlClientBuilder settings = no_reconnect()) {
  auto client = runtime.run(std::move(settings).connect_url(server.url()));
  if (!client) throw std::runtime_error(client.error().message());
  return std::move(*client);
}

// Returns the milliseconds between two points of time.
inline double millis_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// Returns the number of file descriptors this process holds.
int open_descriptor_count();

}  // namespace quorl_test
