#include "quorl_engine/record.hpp"

#include <algorithm>
#include <type_traits>

namespace quorl_engine {
namespace {

using namespace quorl_protocol;

// Copies groups of four, or single values, into the record's flat array.
template <std::size_t N>
void copy_values(const std::array<std::array<double, 4>, N>& groups, FrameRecord& record) {
  for (std::size_t i = 0; i < N; ++i) std::ranges::copy(groups[i], record.values.begin() + 4 * i);
  record.count = static_cast<std::uint8_t>(4 * N);
}

template <std::size_t N>
void copy_values(const std::array<double, N>& values, FrameRecord& record) {
  std::ranges::copy(values, record.values.begin());
  record.count = static_cast<std::uint8_t>(N);
}

template <class M>
void fill(const M& m, FrameRecord& record) {
  if constexpr (requires { m.side; }) record.side = m.side;
  if constexpr (requires { m.quaternions; }) copy_values(m.quaternions, record);
  if constexpr (requires { m.landmarks; }) copy_values(m.landmarks, record);
  if constexpr (requires { m.angles; }) copy_values(m.angles, record);
}

}  // namespace

void fill_record(const Message& message, double time, std::uint64_t seq, FrameRecord& out) {
  out.type = message_type(message);
  out.side = NO_SIDE;
  out.time = time;
  out.seq = seq;
  std::visit([&](const auto& m) { fill(m, out); }, message);
}

std::optional<std::size_t> stream_index(std::uint8_t type, std::uint8_t side) noexcept {
  switch (type) {
    case MSG_BODY_QUATERNIONS:
      return 0;
    case MSG_BODY_LANDMARKS:
      return 1;
    case MSG_BODY_ISB_ANGLES:
      return 2;
    case MSG_HAND_QUATERNIONS:
      return side > 1 ? std::nullopt : std::optional<std::size_t>(3 + side);
    case MSG_HAND_LANDMARKS:
      return side > 1 ? std::nullopt : std::optional<std::size_t>(5 + side);
    case MSG_HAND_ISB_ANGLES:
      return side > 1 ? std::nullopt : std::optional<std::size_t>(7 + side);
    default:
      return std::nullopt;
  }
}

}  // namespace quorl_engine
