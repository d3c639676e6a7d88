#include "quorl_sdk/duration.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>

namespace {

using quorl_sdk::Duration;
using namespace std::chrono_literals;
constexpr std::uint64_t max_u64 = std::numeric_limits<std::uint64_t>::max();

// Milliseconds split into whole seconds and the nanoseconds below one second.
TEST(duration, builds_from_milliseconds) {
  EXPECT_EQ(Duration::from_millis(0), (Duration{0, 0}));
  EXPECT_EQ(Duration::from_millis(250), (Duration{0, 250'000'000}));
  EXPECT_EQ(Duration::from_millis(10'000), (Duration{10, 0}));
  EXPECT_EQ(Duration::from_millis(1'999), (Duration{1, 999'000'000}));
  EXPECT_EQ(Duration::from_millis(max_u64), (Duration{max_u64 / 1000, 615'000'000}));
}

// Doubling carries whole seconds out of the nanoseconds and never wraps.
TEST(duration, doubles_exactly) {
  EXPECT_EQ(Duration::from_millis(250).doubled(), Duration::from_millis(500));
  EXPECT_EQ(Duration::from_millis(750).doubled(), Duration::from_millis(1'500));
  EXPECT_EQ((Duration{1, 999'999'999}).doubled(), (Duration{3, 999'999'998}));
  EXPECT_EQ(Duration::from_millis(0).doubled(), Duration::from_millis(0));
  const Duration largest = Duration::from_millis(max_u64);
  EXPECT_EQ(largest.doubled(), (Duration{largest.secs * 2 + 1, 230'000'000}));
  EXPECT_EQ((Duration{max_u64 / 2 + 1, 0}).doubled(), Duration::max());
  EXPECT_EQ(Duration::max().doubled(), Duration::max());
}

// Durations order by seconds first, then nanoseconds.
TEST(duration, orders_like_time) {
  EXPECT_LT(Duration::from_millis(999), Duration::from_millis(1'000));
  EXPECT_LT((Duration{1, 5}), (Duration{2, 0}));
  EXPECT_EQ(std::min(Duration::from_millis(20'000), Duration::from_millis(10'000)),
            Duration::from_millis(10'000));
}

// Timer durations are exact where the clock reaches and saturate beyond.
TEST(duration, converts_to_the_clock_with_saturation) {
  using clock_duration = std::chrono::steady_clock::duration;
  EXPECT_EQ(Duration::from_millis(40).to_clock_duration(), 40ms);
  EXPECT_EQ(Duration::from_millis(0).to_clock_duration(), 0ms);
  EXPECT_EQ((Duration{3, 7}).to_clock_duration(), 3s + 7ns);
  EXPECT_EQ(Duration::from_millis(max_u64).to_clock_duration(), clock_duration::max());
  EXPECT_EQ(Duration::max().to_clock_duration(), clock_duration::max());
  const auto max_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(clock_duration::max());
  const auto max_secs = static_cast<std::uint64_t>(max_ns.count() / 1'000'000'000);
  const auto max_nanos = static_cast<std::uint32_t>(max_ns.count() % 1'000'000'000);
  EXPECT_EQ((Duration{max_secs, max_nanos}).to_clock_duration(), clock_duration::max());
  EXPECT_EQ((Duration{max_secs, max_nanos + 1}).to_clock_duration(), clock_duration::max());
  EXPECT_EQ((Duration{max_secs, max_nanos - 1}).to_clock_duration(), clock_duration::max() - 1ns);
  EXPECT_EQ((Duration{max_secs + 1, 0}).to_clock_duration(), clock_duration::max());
}

}  // namespace
