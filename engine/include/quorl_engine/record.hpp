#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <variant>

#include "quorl_engine/streams.hpp"
#include "quorl_protocol/decode.hpp"
#include "quorl_sdk/error.hpp"

namespace quorl_engine {

// One decoded data frame with its receive time and sequence number, as the
// engine hands it over. Plain data of fixed size: copying it allocates nothing.
struct FrameRecord {
  std::uint8_t type = 0;        // the wire type byte, 2 to 7
  std::uint8_t side = NO_SIDE;  // 0 or 1 for hand frames
  std::uint8_t count = 0;       // values used, of MAX_VALUES
  double time = 0.0;            // seconds on the monotonic clock
  std::uint64_t seq = 0;        // data frames handed over before this one
  std::array<double, MAX_VALUES> values{};
};

// A failure reported in the stream's order. In latest mode an error that
// replaces waiting ones counts them in `replaced`.
struct ErrorRecord {
  quorl_sdk::QuorlError error;
  std::uint64_t replaced = 0;
};

using Item = std::variant<FrameRecord, ErrorRecord>;

// Writes the record of a decoded message into `out`, which may be a slot of
// a store: a record is large, and built where it will wait it is copied once.
void fill_record(const quorl_protocol::Message& message, double time, std::uint64_t seq,
                 FrameRecord& out);

}  // namespace quorl_engine
