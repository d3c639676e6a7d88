#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>
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

// The side of a body frame, which has none; hand frames have side 0 or 1.
inline constexpr std::uint8_t NO_SIDE = 0xff;

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

// One row of the frame table: a data frame type, its type byte, and the
// member that holds its values, which follow the type byte (and the side
// byte of hand frames) as little-endian binary64 values.
template <class M, std::uint8_t Type, auto Values>
struct FrameType {
  using message = M;
  static constexpr std::uint8_t type = Type;
  static constexpr auto values = Values;
  // Hand frames carry the side byte right after the type byte.
  static constexpr bool has_side = requires(const M& m) { m.side; };
  // The bytes after the type byte.
  static constexpr std::size_t payload_size =
      (has_side ? 1 : 0) + sizeof(std::declval<const M&>().*Values);
  static constexpr std::size_t frame_size = 1 + payload_size;
  static constexpr std::size_t value_count =
      sizeof(std::declval<const M&>().*Values) / sizeof(double);
};

// What a frame table says about one type byte, for code that is not generic.
struct FrameRow {
  std::uint8_t type;
  bool has_side;
  std::size_t value_count;
  std::size_t frame_size;
};

namespace detail {

// Returns the position of M among Ms; sizeof...(Ms) when it is not there.
template <class M, class... Ms>
constexpr std::size_t index_of() {
  std::size_t index = 0;
  const bool found = ((std::is_same_v<M, Ms> || (++index, false)) || ...);
  return found ? index : sizeof...(Ms);
}

}  // namespace detail

// The table of data frame types. Every rule that depends on the type follows
// from it: the alternatives of Message, decoding, message_type() and the
// module's flattening. A type missing from the table is a compile error
// wherever a message is handled, an unknown type byte an UnknownType error.
template <class... Rows>
struct FrameTable {
  static_assert(
      [] {
        const std::array types{Rows::type...};
        for (std::size_t i = 0; i < types.size(); ++i) {
          for (std::size_t j = i + 1; j < types.size(); ++j) {
            if (types[i] == types[j]) return false;
          }
        }
        return true;
      }(),
      "every row has a type byte of its own");

  using Message = std::variant<typename Rows::message...>;

  // Calls `f` with the row whose type byte is `type`; returns false when no
  // row has that byte.
  template <class F>
  static constexpr bool with_type(std::uint8_t type, F&& f) {
    return ((Rows::type == type && (f(Rows{}), true)) || ...);
  }

  // Returns `f(row, alternative)` for the alternative `message` holds.
  template <class F>
  static constexpr decltype(auto) visit(const Message& message, F&& f) {
    return std::visit(
        [&f]<class M>(const M& alternative) -> decltype(auto) {
          return f(row_of<M>{}, alternative);
        },
        message);
  }

  // The row of message type M.
  template <class M>
  using row_of =
      std::tuple_element_t<detail::index_of<M, typename Rows::message...>(), std::tuple<Rows...>>;

  // Every row, in table order.
  static constexpr std::array<FrameRow, sizeof...(Rows)> rows{
      FrameRow{Rows::type, Rows::has_side, Rows::value_count, Rows::frame_size}...};

  // The most values a frame of any type holds.
  static constexpr std::size_t max_values = std::max({Rows::value_count...});
};

using FrameTypes =
    FrameTable<FrameType<BodyQuaternions, MSG_BODY_QUATERNIONS, &BodyQuaternions::quaternions>,
               FrameType<BodyLandmarks, MSG_BODY_LANDMARKS, &BodyLandmarks::landmarks>,
               FrameType<HandQuaternions, MSG_HAND_QUATERNIONS, &HandQuaternions::quaternions>,
               FrameType<HandLandmarks, MSG_HAND_LANDMARKS, &HandLandmarks::landmarks>,
               FrameType<BodyIsbAngles, MSG_BODY_ISB_ANGLES, &BodyIsbAngles::angles>,
               FrameType<HandIsbAngles, MSG_HAND_ISB_ANGLES, &HandIsbAngles::angles>>;

// One decoded data frame. Owns no heap storage; values keep their exact bit
// patterns. The alternatives follow the frame table, in type byte order.
using Message = FrameTypes::Message;

// Decodes one whole binary WebSocket message. Allocates nothing; the input may
// have any alignment and any length.
std::expected<Message, ProtocolError> decode(std::span<const std::uint8_t> frame) noexcept;

// A data frame's type and side as its first bytes give them, checked against
// the frame table, and where its values lie.
struct FrameShape {
  std::uint8_t type;
  std::uint8_t side;  // NO_SIDE for body frames
  std::size_t values_offset;
  std::size_t value_count;
};

// Checks the type byte, the length and the side byte of a frame of `size`
// bytes without reading its values: `head` holds its first bytes (two, or the
// whole frame when it is shorter). Fails exactly as decode() would.
std::expected<FrameShape, ProtocolError> check_frame(std::span<const std::uint8_t> head,
                                                     std::size_t size) noexcept;

// Returns the frame type byte of a decoded message.
std::uint8_t message_type(const Message& message) noexcept;

}  // namespace quorl_protocol
