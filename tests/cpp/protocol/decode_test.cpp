#include "quorl_protocol/decode.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <optional>
#include <random>
#include <type_traits>
#include <vector>

namespace {

using quorl_protocol::decode;
using quorl_protocol::Message;
using quorl_protocol::ProtocolError;
using Bytes = std::vector<std::uint8_t>;

static_assert(std::is_trivially_copyable_v<Message>, "a Message is a plain value");
static_assert(sizeof(Message) <= 84 * sizeof(double) + 16, "values are held inline");

// Appends the little-endian bytes of `bits`.
void append_bits(Bytes& out, std::uint64_t bits) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
}

// Builds a frame: type byte, optional side byte, then `values` as binary64.
Bytes make_frame(std::uint8_t type, std::optional<std::uint8_t> side,
                 const std::vector<double>& values) {
  Bytes frame{type};
  if (side) frame.push_back(*side);
  for (double v : values) append_bits(frame, std::bit_cast<std::uint64_t>(v));
  return frame;
}

// Returns 0.0, 1.0, ... (count - 1).
std::vector<double> counting(std::size_t count) {
  std::vector<double> values(count);
  for (std::size_t k = 0; k < count; ++k) values[k] = static_cast<double>(k);
  return values;
}

// Returns every value of a message, flat, in wire order, and its side byte.
std::pair<std::vector<double>, std::optional<std::uint8_t>> contents(const Message& m) {
  std::vector<double> flat;
  std::optional<std::uint8_t> side;
  auto groups = [&](const auto& arrays) {
    for (const auto& group : arrays) flat.insert(flat.end(), group.begin(), group.end());
  };
  std::visit(
      [&](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (requires { v.side; }) side = v.side;
        if constexpr (requires { v.quaternions; }) groups(v.quaternions);
        if constexpr (requires { v.landmarks; }) groups(v.landmarks);
        if constexpr (requires { v.angles; }) flat.assign(v.angles.begin(), v.angles.end());
        static_cast<void>(sizeof(T));
      },
      m);
  return {flat, side};
}

struct FrameType {
  std::uint8_t type;
  bool hand;
  std::size_t values;
  std::size_t total;
  std::size_t variant_index;
};

constexpr FrameType kFrameTypes[] = {
    {0x02, false, 52, 417, 0}, {0x03, false, 76, 609, 1}, {0x04, true, 64, 514, 2},
    {0x05, true, 84, 674, 3},  {0x06, false, 21, 169, 4}, {0x07, true, 21, 170, 5},
};

class every_frame_type : public testing::TestWithParam<FrameType> {};

// Each type decodes into its own variant with every value in wire order.
TEST_P(every_frame_type, decodes_values_in_wire_order) {
  const FrameType t = GetParam();
  const auto side = t.hand ? std::optional<std::uint8_t>{1} : std::nullopt;
  const Bytes frame = make_frame(t.type, side, counting(t.values));
  ASSERT_EQ(frame.size(), t.total);

  const auto result = decode(frame);
  ASSERT_TRUE(result.has_value()) << result.error().message();
  EXPECT_EQ(result->index(), t.variant_index);
  EXPECT_EQ(quorl_protocol::message_type(*result), t.type);
  const auto [values, decoded_side] = contents(*result);
  EXPECT_EQ(values, counting(t.values));
  EXPECT_EQ(decoded_side, side);
}

// A frame one byte short or one byte long is refused with both lengths named.
TEST_P(every_frame_type, rejects_one_byte_off) {
  const FrameType t = GetParam();
  for (const std::size_t size : {t.total - 1, t.total + 1}) {
    Bytes frame(size, 0);
    frame[0] = t.type;
    const auto result = decode(frame);
    ASSERT_FALSE(result.has_value()) << size;
    EXPECT_EQ(result.error(), (ProtocolError::WrongLength{t.type, t.total - 1, size - 1}));
  }
}

// Values start right after the side byte in hand frames, at byte 1 otherwise,
// and the side byte is kept apart from them.
TEST_P(every_frame_type, reads_values_from_the_right_offset) {
  const FrameType t = GetParam();
  Bytes frame(t.total, 0);
  frame[0] = t.type;
  const std::size_t base = t.hand ? 2 : 1;
  // 1.0 is 0x3ff0000000000000: its two high bytes sit at base + 6 and base + 7.
  frame[base + 6] = 0xf0;
  frame[base + 7] = 0x3f;
  const auto result = decode(frame);
  ASSERT_TRUE(result.has_value());
  const auto [values, side] = contents(*result);
  EXPECT_EQ(values[0], 1.0);
  for (std::size_t k = 1; k < values.size(); ++k) EXPECT_EQ(values[k], 0.0) << k;
  if (t.hand) {
    EXPECT_EQ(side, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(decoder, every_frame_type, testing::ValuesIn(kFrameTypes),
                         [](const auto& info) {
                           return "type_" + std::to_string(info.param.type);
                         });

// Quaternion j of a body-quaternion frame holds values 4j to 4j+3.
TEST(decoder, groups_quaternions_by_four) {
  const auto result = decode(make_frame(0x02, std::nullopt, counting(52)));
  ASSERT_TRUE(result.has_value());
  const auto& quaternions = std::get<quorl_protocol::BodyQuaternions>(*result).quaternions;
  for (std::size_t j = 0; j < quaternions.size(); ++j) {
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(quaternions[j][i], 4.0 * j + i);
  }
}

// Hand ISB angles keep side 0 and 1 as sent.
TEST(decoder, keeps_both_side_values) {
  for (const std::uint8_t side : {0, 1}) {
    const auto result = decode(make_frame(0x07, side, counting(21)));
    ASSERT_TRUE(result.has_value());
    const auto& angles = std::get<quorl_protocol::HandIsbAngles>(*result);
    EXPECT_EQ(angles.side, side);
    EXPECT_EQ(angles.angles[20], 20.0);
  }
}

// NaN payloads, infinities, negative zero and subnormals keep their exact bits.
TEST(decoder, keeps_every_bit_pattern) {
  const std::vector<std::uint64_t> patterns = {
      0x7ff8000000001234,  // quiet NaN with a payload
      0x7ff0000000000001,  // signalling NaN
      0xfff8000000000000,  // negative quiet NaN
      0x7ff0000000000000,  // +inf
      0xfff0000000000000,  // -inf
      0x8000000000000000,  // -0.0
      0x0000000000000001,  // smallest subnormal
      0x7fefffffffffffff,  // largest finite
      0x0123456789abcdef,  // every byte distinct
  };
  Bytes frame{0x06};
  for (std::size_t k = 0; k < 21; ++k) append_bits(frame, patterns[k % patterns.size()]);
  const auto result = decode(frame);
  ASSERT_TRUE(result.has_value());
  const auto& angles = std::get<quorl_protocol::BodyIsbAngles>(*result).angles;
  for (std::size_t k = 0; k < 21; ++k) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(angles[k]), patterns[k % patterns.size()]) << k;
  }
}

// Frames at odd addresses decode the same as aligned ones.
TEST(decoder, reads_unaligned_input) {
  const Bytes frame = make_frame(0x05, 1, counting(84));
  for (std::size_t shift = 0; shift < 8; ++shift) {
    Bytes buffer(shift, 0xee);
    buffer.insert(buffer.end(), frame.begin(), frame.end());
    const auto result = decode(std::span(buffer).subspan(shift));
    ASSERT_TRUE(result.has_value()) << shift;
    EXPECT_EQ(contents(*result).first, counting(84)) << shift;
  }
}

struct Rejection {
  const char* name;
  Bytes frame;
  ProtocolError error;
};

// Builds a frame of `size` bytes of zeros behind the given leading bytes.
Bytes sized(std::size_t size, Bytes head) {
  head.resize(size, 0);
  return head;
}

// Every way a frame is refused, including which check wins when several fail.
TEST(decoder, rejects_in_check_order) {
  const std::vector<Rejection> cases = {
      {"empty", {}, ProtocolError::Empty{}},
      {"type 0x00", {0x00}, ProtocolError::UnknownType{0x00}},
      {"type 0x08", {0x08}, ProtocolError::UnknownType{0x08}},
      {"type 0x0a", {0x0a}, ProtocolError::UnknownType{0x0a}},
      {"type 0xff", {0xff}, ProtocolError::UnknownType{0xff}},
      {"valid hello", {0x01, 0x04, 0x00}, ProtocolError::UnknownType{0x01}},
      {"unknown type at a data frame's length", sized(417, {0x09}),
       ProtocolError::UnknownType{0x09}},
      {"type byte only", {0x02}, ProtocolError::WrongLength{0x02, 416, 0}},
      {"418 bytes of type 2", sized(418, {0x02}), ProtocolError::WrongLength{0x02, 416, 417}},
      {"170 bytes of type 6", sized(170, {0x06}), ProtocolError::WrongLength{0x06, 168, 169}},
      {"169 bytes of type 7", sized(169, {0x07, 0x01}), ProtocolError::WrongLength{0x07, 169, 168}},
      {"wrong length wins over bad side", sized(513, {0x04, 0x02}),
       ProtocolError::WrongLength{0x04, 513, 512}},
      {"side 2", sized(514, {0x04, 0x02}), ProtocolError::InvalidSide{2}},
      {"side 255", sized(514, {0x04, 0xff}), ProtocolError::InvalidSide{255}},
      {"side 2 on hand landmarks", sized(674, {0x05, 0x02}), ProtocolError::InvalidSide{2}},
      {"side 0x80 on hand angles", sized(170, {0x07, 0x80}), ProtocolError::InvalidSide{0x80}},
  };
  for (const auto& c : cases) {
    const auto result = decode(c.frame);
    ASSERT_FALSE(result.has_value()) << c.name;
    EXPECT_EQ(result.error(), c.error) << c.name << ": " << result.error().message();
  }
}

// Each one-byte frame is either an unknown type or a data frame that is too short.
TEST(decoder, classifies_every_type_byte) {
  for (int type = 0; type <= 255; ++type) {
    const Bytes frame{static_cast<std::uint8_t>(type)};
    const auto result = decode(frame);
    ASSERT_FALSE(result.has_value());
    const bool data_type = type >= 2 && type <= 7;
    EXPECT_EQ(std::holds_alternative<ProtocolError::WrongLength>(result.error().value()), data_type)
        << type;
  }
}

// Random frames of every length up to past the largest never crash, and a
// success only ever comes from a frame of a valid length and side.
TEST(decoder, survives_random_input) {
  std::mt19937 rng(1234);
  std::uniform_int_distribution<int> byte(0, 255);
  for (std::size_t size = 0; size <= 700; ++size) {
    for (int round = 0; round < 8; ++round) {
      Bytes frame(size);
      for (auto& b : frame) b = static_cast<std::uint8_t>(byte(rng));
      if (size > 0 && round % 2 == 0) frame[0] = static_cast<std::uint8_t>(2 + round % 6);
      const auto result = decode(frame);
      if (result) {
        EXPECT_EQ(result->index() + 2, frame[0]);
      }
    }
  }
}

}  // namespace
