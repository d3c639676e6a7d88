#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "quorl_protocol/decode.hpp"

// The streams a server sends, as the frame table defines them: one per body
// frame type and one per side of each hand frame type. Body streams come
// first, then the hand streams side by side, each group in table order.
namespace quorl_engine {

using quorl_protocol::NO_SIDE;

// The most values a data frame holds.
inline constexpr std::size_t MAX_VALUES = quorl_protocol::FrameTypes::max_values;

namespace detail {

inline constexpr auto& FRAME_ROWS = quorl_protocol::FrameTypes::rows;

constexpr std::size_t count_streams() {
  std::size_t count = 0;
  for (const auto& row : FRAME_ROWS) count += row.has_side ? 2 : 1;
  return count;
}

}  // namespace detail

inline constexpr std::size_t STREAM_COUNT = detail::count_streams();

// Returns the stream (0 to STREAM_COUNT - 1) of a data frame's type and side,
// or nothing for a type that is no data frame or a hand side other than 0, 1.
constexpr std::optional<std::size_t> stream_index(std::uint8_t type, std::uint8_t side) noexcept {
  std::size_t bodies = 0;
  for (const auto& row : detail::FRAME_ROWS) bodies += row.has_side ? 0 : 1;
  std::size_t body = 0;
  std::size_t hand = bodies;
  for (const auto& row : detail::FRAME_ROWS) {
    if (row.type == type) {
      if (!row.has_side) return body;
      return side > 1 ? std::nullopt : std::optional<std::size_t>(hand + side);
    }
    row.has_side ? hand += 2 : ++body;
  }
  return std::nullopt;
}

// Each stream's type byte, side (NO_SIDE for body streams) and values per
// frame, by stream index.
struct StreamTable {
  std::array<std::uint8_t, STREAM_COUNT> type{};
  std::array<std::uint8_t, STREAM_COUNT> side{};
  std::array<std::size_t, STREAM_COUNT> width{};
};

namespace detail {

constexpr StreamTable list_streams() {
  StreamTable table;
  for (const auto& row : FRAME_ROWS) {
    for (const std::uint8_t side : row.has_side ? std::array<std::uint8_t, 2>{0, 1}
                                                : std::array<std::uint8_t, 2>{NO_SIDE, NO_SIDE}) {
      const std::size_t stream = *stream_index(row.type, side);
      table.type[stream] = row.type;
      table.side[stream] = side;
      table.width[stream] = row.value_count;
    }
  }
  return table;
}

}  // namespace detail

inline constexpr StreamTable STREAMS = detail::list_streams();

}  // namespace quorl_engine
