// Fuzzes the frame decoder. Beyond not crashing, every outcome must agree with
// an independent reading of the frame rules: the error (kind and fields) that
// the type, length and side checks give in their order, and for a decoded
// frame, a re-encoding that reproduces the input byte for byte.
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "quorl_protocol/decode.hpp"

namespace {

using quorl_protocol::Message;
using quorl_protocol::ProtocolError;

// Payload sizes of the data frame types 2 to 7, and whether they carry a side.
struct Rule {
  std::size_t payload;
  bool hand;
};
constexpr std::array<Rule, 6> RULES = {{
    {416, false},  // 2: 13 quaternions
    {608, false},  // 3: 19 landmarks
    {513, true},   // 4: 16 quaternions
    {673, true},   // 5: 21 landmarks
    {168, false},  // 6: 21 body angles
    {169, true},   // 7: 21 hand angles
}};

// What the frame rules say about `frame`: nothing for a valid data frame, the
// error otherwise.
std::optional<ProtocolError> expected_error(std::span<const std::uint8_t> frame) {
  if (frame.size() == 0) return ProtocolError::Empty{};
  const std::uint8_t type = frame[0];
  if (type < 2 || type > 7) return ProtocolError::UnknownType{type};
  const Rule rule = RULES[type - 2];
  if (frame.size() - 1 != rule.payload) {
    return ProtocolError::WrongLength{type, rule.payload, frame.size() - 1};
  }
  if (rule.hand && frame[1] != 0 && frame[1] != 1) return ProtocolError::InvalidSide{frame[1]};
  return std::nullopt;
}

// Appends `value` as 8 little-endian bytes of its exact bit pattern.
void put(std::vector<std::uint8_t>& out, double value) {
  auto bits = std::bit_cast<std::uint64_t>(value);
  for (int i = 0; i < 8; ++i) {
    out.push_back(static_cast<std::uint8_t>(bits & 0xff));
    bits >>= 8;
  }
}

template <std::size_t N>
void put_all(std::vector<std::uint8_t>& out, const std::array<double, N>& values) {
  for (double v : values) put(out, v);
}

template <std::size_t N>
void put_all(std::vector<std::uint8_t>& out, const std::array<std::array<double, 4>, N>& groups) {
  for (const auto& group : groups) put_all(out, group);
}

// Writes a message back into the wire layout.
std::vector<std::uint8_t> encode(const Message& message) {
  std::vector<std::uint8_t> out;
  out.push_back(quorl_protocol::message_type(message));
  std::visit(
      [&out](const auto& m) {
        if constexpr (requires { m.side; }) out.push_back(m.side);
        if constexpr (requires { m.quaternions; }) put_all(out, m.quaternions);
        if constexpr (requires { m.landmarks; }) put_all(out, m.landmarks);
        if constexpr (requires { m.angles; }) put_all(out, m.angles);
      },
      message);
  return out;
}

// Returns the start every text of the error's kind has.
const char* text_start(const ProtocolError& error) {
  switch (error.value().index()) {
    case 0:
      return "received an empty WebSocket frame";
    case 1:
      return "unknown message type byte 0x";
    case 2:
      return "message type 0x";
    default:
      return "invalid hand-side byte ";
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A copy of exactly `size` bytes, so that a read past the frame is caught.
  const std::vector<std::uint8_t> bytes(data, data + size);
  const std::span<const std::uint8_t> frame(bytes);
  const auto decoded = quorl_protocol::decode(frame);
  const auto error = expected_error(frame);

  if (error) {
    if (decoded || decoded.error() != *error) std::abort();
    if (!decoded.error().message().starts_with(text_start(*error))) std::abort();
    return 0;
  }
  if (!decoded) std::abort();
  const std::vector<std::uint8_t> again = encode(*decoded);
  if (again != bytes) std::abort();
  return 0;
}
