#include "quorl_protocol/error.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>

namespace {

using quorl_protocol::ProtocolError;

static_assert(std::is_trivially_copyable_v<ProtocolError>, "an error owns no heap storage");

struct Text {
  ProtocolError error;
  const char* text;
};

// Every variant formats to its exact text, with hex bytes padded to two digits.
TEST(protocol_error, formats_exact_texts) {
  const Text cases[] = {
      {ProtocolError::Empty{}, "received an empty WebSocket frame"},
      {ProtocolError::UnknownType{0x00}, "unknown message type byte 0x00"},
      {ProtocolError::UnknownType{0x01}, "unknown message type byte 0x01"},
      {ProtocolError::UnknownType{0x08}, "unknown message type byte 0x08"},
      {ProtocolError::UnknownType{0x0a}, "unknown message type byte 0x0a"},
      {ProtocolError::UnknownType{0xab}, "unknown message type byte 0xab"},
      {ProtocolError::UnknownType{0xff}, "unknown message type byte 0xff"},
      {ProtocolError::WrongLength{0x02, 416, 0},
       "message type 0x02: expected 416 payload bytes, got 0"},
      {ProtocolError::WrongLength{0x02, 416, 417},
       "message type 0x02: expected 416 payload bytes, got 417"},
      {ProtocolError::WrongLength{0x06, 168, 169},
       "message type 0x06: expected 168 payload bytes, got 169"},
      {ProtocolError::WrongLength{0x07, 169, 168},
       "message type 0x07: expected 169 payload bytes, got 168"},
      {ProtocolError::WrongLength{0x01, 2, 0},
       "message type 0x01: expected 2 payload bytes, got 0"},
      {ProtocolError::WrongLength{0x05, 673, std::numeric_limits<std::size_t>::max()},
       "message type 0x05: expected 673 payload bytes, got 18446744073709551615"},
      {ProtocolError::InvalidSide{2}, "invalid hand-side byte 2 (expected 0 or 1)"},
      {ProtocolError::InvalidSide{255}, "invalid hand-side byte 255 (expected 0 or 1)"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.error.message(), c.text);
}

// Formatting appends to what the sink already holds, as a wrapping error needs.
TEST(protocol_error, appends_to_the_sink) {
  std::string out = "failed to decode a stream frame: ";
  ProtocolError(ProtocolError::InvalidSide{7}).append_message(out);
  EXPECT_EQ(out, "failed to decode a stream frame: invalid hand-side byte 7 (expected 0 or 1)");
}

// Errors compare by variant and by every field.
TEST(protocol_error, compares_by_value) {
  const ProtocolError a = ProtocolError::WrongLength{0x02, 416, 0};
  EXPECT_EQ(a, (ProtocolError::WrongLength{0x02, 416, 0}));
  EXPECT_NE(a, (ProtocolError::WrongLength{0x02, 416, 1}));
  EXPECT_NE(a, ProtocolError::Empty{});
  EXPECT_NE(ProtocolError(ProtocolError::UnknownType{2}), ProtocolError::InvalidSide{2});
}

}  // namespace
