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

// Decodes a frame whose type byte is that of `Row`.
template <class Row>
std::expected<Message, ProtocolError> decode_as(std::span<const std::uint8_t> frame) noexcept {
  const std::size_t payload_size = frame.size() - 1;
  if (payload_size != Row::payload_size) {
    return std::unexpected(ProtocolError::WrongLength{Row::type, Row::payload_size, payload_size});
  }
  typename Row::message message;
  const std::uint8_t* values = frame.data() + 1;
  if constexpr (Row::has_side) {
    if (frame[1] > 1) return std::unexpected(ProtocolError::InvalidSide{frame[1]});
    message.side = frame[1];
    ++values;
  }
  read_values(values, message.*Row::values);
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

std::uint8_t message_type(const Message& message) noexcept {
  return FrameTypes::visit(message, []<class Row>(Row, const auto&) { return Row::type; });
}

}  // namespace quorl_protocol
