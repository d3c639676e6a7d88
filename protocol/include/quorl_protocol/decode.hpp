#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <variant>

#include "quorl_protocol/error.hpp"

namespace quorl_protocol {

// The protocol version this library speaks, announced by the hello frame.
inline constexpr std::uint16_t PROTOCOL_VERSION = 4;

// Frame type bytes (byte 0 of every frame).
inline constexpr std::uint8_t MSG_HELLO = 0x01;
inline constexpr std::uint8_t MSG_BODY_QUATERNIONS = 0x02;
inline constexpr std::uint8_t MSG_BODY_LANDMARKS = 0x03;
inline constexpr std::uint8_t MSG_HAND_QUATERNIONS = 0x04;
inline constexpr std::uint8_t MSG_HAND_LANDMARKS = 0x05;
inline constexpr std::uint8_t MSG_BODY_ISB_ANGLES = 0x06;
inline constexpr std::uint8_t MSG_HAND_ISB_ANGLES = 0x07;

// Payload bytes (everything after the type byte) of a hello frame.
inline constexpr std::size_t HELLO_PAYLOAD_SIZE = 2;

// Four binary64 values in wire order.
using Quaternion = std::array<double, 4>;
using Landmark = std::array<double, 4>;

struct BodyQuaternions {
  std::array<Quaternion, 13> quaternions;
};
struct BodyLandmarks {
  std::array<Landmark, 19> landmarks;
};
struct HandQuaternions {
  std::uint8_t side;
  std::array<Quaternion, 16> quaternions;
};
struct HandLandmarks {
  std::uint8_t side;
  std::array<Landmark, 21> landmarks;
};
struct BodyIsbAngles {
  std::array<double, 21> angles;
};
struct HandIsbAngles {
  std::uint8_t side;
  std::array<double, 21> angles;
};

// One decoded data frame. Owns no heap storage; values keep their exact bit
// patterns. The variant index follows the type byte: index + 2.
using Message = std::variant<BodyQuaternions, BodyLandmarks, HandQuaternions, HandLandmarks,
                             BodyIsbAngles, HandIsbAngles>;

// Decodes one whole binary WebSocket message. Allocates nothing; the input may
// have any alignment and any length.
std::expected<Message, ProtocolError> decode(std::span<const std::uint8_t> frame) noexcept;

// Returns the frame type byte of a decoded message.
std::uint8_t message_type(const Message& message) noexcept;

}  // namespace quorl_protocol
