#pragma once

#include <chrono>
#include <compare>
#include <cstdint>

namespace quorl_sdk {

// A non-negative span of time: whole seconds plus nanoseconds below one
// second. Wide enough for any u64 count of milliseconds, which
// std::chrono::nanoseconds is not.
struct Duration {
  std::uint64_t secs = 0;
  std::uint32_t nanos = 0;

  // Returns ms / 1000 seconds plus (ms mod 1000) * 1'000'000 nanoseconds.
  static constexpr Duration from_millis(std::uint64_t ms) noexcept {
    return {ms / 1000, static_cast<std::uint32_t>(ms % 1000) * 1'000'000u};
  }

  // Returns twice this duration, carrying whole seconds out of the
  // nanoseconds. Callers keep secs below 2^63, so this never wraps.
  constexpr Duration doubled() const noexcept {
    const std::uint64_t twice_nanos = std::uint64_t{nanos} * 2;
    return {secs * 2 + twice_nanos / 1'000'000'000u,
            static_cast<std::uint32_t>(twice_nanos % 1'000'000'000u)};
  }

  // Returns the duration as a timer duration, saturated at the largest one
  // the steady clock can represent.
  std::chrono::steady_clock::duration to_clock_duration() const noexcept;

  friend constexpr auto operator<=>(const Duration&, const Duration&) = default;
};

}  // namespace quorl_sdk
