#include "quorl_protocol/decode.hpp"

#include <bit>
#include <cstring>
#include <optional>
#include <type_traits>

namespace quorl_protocol {
namespace detail {

// What the decoder needs to know of one data frame type.
struct FrameLayout {
  std::size_t payload_size;
  bool has_side;
};

// Returns the layout of data frame type `type`, or nothing for bytes that are
// not data frame types (the hello included).
constexpr std::optional<FrameLayout> layout_of(std::uint8_t type) noexcept {
  switch (type) {
    case MSG_BODY_QUATERNIONS:
      return FrameLayout{sizeof(BodyQuaternions::quaternions), false};
    case MSG_BODY_LANDMARKS:
      return FrameLayout{sizeof(BodyLandmarks::landmarks), false};
    case MSG_HAND_QUATERNIONS:
      return FrameLayout{1 + sizeof(HandQuaternions::quaternions), true};
    case MSG_HAND_LANDMARKS:
      return FrameLayout{1 + sizeof(HandLandmarks::landmarks), true};
    case MSG_BODY_ISB_ANGLES:
      return FrameLayout{sizeof(BodyIsbAngles::angles), false};
    case MSG_HAND_ISB_ANGLES:
      return FrameLayout{1 + sizeof(HandIsbAngles::angles), true};
    default:
      return std::nullopt;
  }
}

// Copies little-endian binary64 values from `bytes` (any alignment) into
// `block`, an array (or array of arrays) of doubles with no padding. The
// caller guarantees that `bytes` holds exactly sizeof(Block) bytes.
template <class Block>
void read_values(const std::uint8_t* bytes, Block& block) noexcept {
  static_assert(std::is_trivially_copyable_v<Block> && sizeof(Block) % sizeof(double) == 0);
  std::memcpy(&block, bytes, sizeof(Block));
  if constexpr (std::endian::native == std::endian::big) {
    auto* raw = reinterpret_cast<unsigned char*>(&block);
    for (std::size_t at = 0; at < sizeof(Block); at += sizeof(double)) {
      std::uint64_t bits;
      std::memcpy(&bits, raw + at, sizeof bits);
      bits = std::byteswap(bits);
      std::memcpy(raw + at, &bits, sizeof bits);
    }
  }
}

static_assert(sizeof(BodyQuaternions::quaternions) == 13 * 4 * sizeof(double));
static_assert(sizeof(HandLandmarks::landmarks) == 21 * 4 * sizeof(double));

// Builds the message of a frame whose type, length and side were checked.
Message read_message(std::uint8_t type, const std::uint8_t* frame) noexcept {
  switch (type) {
    case MSG_BODY_QUATERNIONS: {
      BodyQuaternions m;
      read_values(frame + 1, m.quaternions);
      return m;
    }
    case MSG_BODY_LANDMARKS: {
      BodyLandmarks m;
      read_values(frame + 1, m.landmarks);
      return m;
    }
    case MSG_HAND_QUATERNIONS: {
      HandQuaternions m;
      m.side = frame[1];
      read_values(frame + 2, m.quaternions);
      return m;
    }
    case MSG_HAND_LANDMARKS: {
      HandLandmarks m;
      m.side = frame[1];
      read_values(frame + 2, m.landmarks);
      return m;
    }
    case MSG_BODY_ISB_ANGLES: {
      BodyIsbAngles m;
      read_values(frame + 1, m.angles);
      return m;
    }
    default: {
      HandIsbAngles m;
      m.side = frame[1];
      read_values(frame + 2, m.angles);
      return m;
    }
  }
}

}  // namespace detail

std::expected<Message, ProtocolError> decode(std::span<const std::uint8_t> frame) noexcept {
  if (frame.empty()) return std::unexpected(ProtocolError::Empty{});
  const std::uint8_t type = frame[0];
  const auto layout = detail::layout_of(type);
  if (!layout) return std::unexpected(ProtocolError::UnknownType{type});
  const std::size_t payload_size = frame.size() - 1;
  if (payload_size != layout->payload_size) {
    return std::unexpected(ProtocolError::WrongLength{type, layout->payload_size, payload_size});
  }
  if (layout->has_side && frame[1] > 1) {
    return std::unexpected(ProtocolError::InvalidSide{frame[1]});
  }
  return detail::read_message(type, frame.data());
}

std::uint8_t message_type(const Message& message) noexcept {
  return static_cast<std::uint8_t>(MSG_BODY_QUATERNIONS + message.index());
}

}  // namespace quorl_protocol
