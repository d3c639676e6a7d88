#pragma once

#include <chrono>
#include <compare>
#include <cstdint>
#include <limits>

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

  // Returns the longest duration there is.
  static constexpr Duration max() noexcept {
    return {std::numeric_limits<std::uint64_t>::max(), 999'999'999u};
  }

  // Returns twice this duration, carrying whole seconds out of the
  // nanoseconds; saturates at max() instead of wrapping.
  constexpr Duration doubled() const noexcept {
    const std::uint64_t twice_nanos = std::uint64_t{nanos} * 2;
    const std::uint64_t carry = twice_nanos / 1'000'000'000u;
    if (secs > (std::numeric_limits<std::uint64_t>::max() - carry) / 2) return max();
    return {secs * 2 + carry, static_cast<std::uint32_t>(twice_nanos % 1'000'000'000u)};
  }

  // Returns the duration as a timer duration, saturated at the largest one
  // the steady clock can represent.
  constexpr std::chrono::steady_clock::duration to_clock_duration() const noexcept {
    using clock_duration = std::chrono::steady_clock::duration;
    using std::chrono::nanoseconds;
    constexpr auto max_clock_ns = std::chrono::duration_cast<nanoseconds>(clock_duration::max());
    constexpr std::uint64_t max_secs =
        static_cast<std::uint64_t>(max_clock_ns.count()) / 1'000'000'000u;
    if (secs > max_secs) return clock_duration::max();
    const std::uint64_t total = secs * 1'000'000'000u + nanos;
    if (total > static_cast<std::uint64_t>(max_clock_ns.count())) return clock_duration::max();
    return std::chrono::duration_cast<clock_duration>(
        nanoseconds(static_cast<std::int64_t>(total)));
  }

  friend constexpr auto operator<=>(const Duration&, const Duration&) = default;
};

}  // namespace quorl_sdk
