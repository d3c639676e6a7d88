#include "quorl_protocol/decode.hpp"

#include <bit>
#include <cstring>
#include <optional>
#include <type_traits>

namespace quorl_protocol {
namespace detail {

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

// Checks a frame whose type byte is that of `Row`.
template <class Row>
std::expected<FrameShape, ProtocolError> check_as(std::span<const std::uint8_t> head,
                                                  std::size_t size) noexcept {
  const std::size_t payload_size = size - 1;
  if (payload_size != Row::payload_size) {
    return std::unexpected(ProtocolError::WrongLength{Row::type, Row::payload_size, payload_size});
  }
  FrameShape shape{Row::type, NO_SIDE, 1, Row::value_count};
  if constexpr (Row::has_side) {
    if (head[1] > 1) return std::unexpected(ProtocolError::InvalidSide{head[1]});
    shape.side = head[1];
    shape.values_offset = 2;
  }
  return shape;
}

// Decodes a frame whose type byte is that of `Row`.
template <class Row>
std::expected<Message, ProtocolError> decode_as(std::span<const std::uint8_t> frame) noexcept {
  const auto shape = check_as<Row>(frame, frame.size());
  if (!shape) return std::unexpected(shape.error());
  typename Row::message message;
  if constexpr (Row::has_side) message.side = shape->side;
  read_values(frame.data() + shape->values_offset, message.*Row::values);
  return message;
}

}  // namespace detail

std::expected<Message, ProtocolError> decode(std::span<const std::uint8_t> frame) noexcept {
  if (frame.empty()) return std::unexpected(ProtocolError::Empty{});
  std::expected<Message, ProtocolError> result =
      std::unexpected(ProtocolError::UnknownType{frame[0]});
  FrameTypes::with_type(frame[0], [&]<class Row>(Row) { result = detail::decode_as<Row>(frame); });
  return result;
}

std::expected<FrameShape, ProtocolError> check_frame(std::span<const std::uint8_t> head,
                                                     std::size_t size) noexcept {
  if (size == 0) return std::unexpected(ProtocolError::Empty{});
  std::expected<FrameShape, ProtocolError> result =
      std::unexpected(ProtocolError::UnknownType{head[0]});
  FrameTypes::with_type(head[0],
                        [&]<class Row>(Row) { result = detail::check_as<Row>(head, size); });
  return result;
}

std::uint8_t message_type(const Message& message) noexcept {
  return FrameTypes::visit(message, []<class Row>(Row, const auto&) { return Row::type; });
}

}  // namespace quorl_protocol
