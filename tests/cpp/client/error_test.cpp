#include "quorl_sdk/error.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using quorl_protocol::ProtocolError;
using quorl_sdk::QuorlError;

struct MessageCase {
  QuorlError error;
  std::string message;
  friend void PrintTo(const MessageCase& c, std::ostream* out) { *out << c.message; }
};

class Messages : public testing::TestWithParam<MessageCase> {};

// Every variant reads its template with its fields in place.
TEST_P(Messages, follow_the_template) {
  EXPECT_EQ(GetParam().error.message(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    error, Messages,
    testing::Values(
        MessageCase{QuorlError::NoServerFound{5432, 5435},
                    "no Quorl server found on ports 5432-5435; is Quorl running?"},
        MessageCase{QuorlError::NoServerFound{5435, 5432},
                    "no Quorl server found on ports 5435-5432; is Quorl running?"},
        MessageCase{QuorlError::ConnectFailed{"ws://127.0.0.1:5432", "handshake timed out"},
                    "failed to connect to Quorl at ws://127.0.0.1:5432: handshake timed out"},
        MessageCase{QuorlError::Decode{ProtocolError::Empty{}},
                    "failed to decode a stream frame: received an empty WebSocket frame"},
        MessageCase{QuorlError::Decode{ProtocolError::WrongLength{0x01, 2, 0}},
                    "failed to decode a stream frame: message type 0x01: expected 2 payload "
                    "bytes, got 0"},
        MessageCase{QuorlError::Decode{ProtocolError::UnknownType{0x0a}},
                    "failed to decode a stream frame: unknown message type byte 0x0a"},
        MessageCase{
            QuorlError::Decode{ProtocolError::InvalidSide{255}},
            "failed to decode a stream frame: invalid hand-side byte 255 (expected 0 or 1)"},
        MessageCase{QuorlError::Stream{"Connection refused"},
                    "stream connection error: Connection refused"},
        MessageCase{QuorlError::IncompatibleProtocol{5, 4},
                    "incompatible Quorl protocol: server speaks v5, this SDK speaks v4"},
        MessageCase{QuorlError::IncompatibleProtocol{0, 4},
                    "incompatible Quorl protocol: server speaks v0, this SDK speaks v4"},
        MessageCase{QuorlError::IncompatibleProtocol{65535, 4},
                    "incompatible Quorl protocol: server speaks v65535, this SDK speaks v4"},
        MessageCase{QuorlError::InvalidUrl{"", "not a valid URL"},
                    "invalid Quorl URL ``: not a valid URL"},
        MessageCase{QuorlError::InvalidUrl{"wss://127.0.0.1:5432",
                                           "unsupported scheme `wss` (expected `ws`)"},
                    "invalid Quorl URL `wss://127.0.0.1:5432`: unsupported scheme `wss` "
                    "(expected `ws`)"}));

// Texts are inserted unchanged, whatever bytes they hold.
TEST(error, keeps_texts_byte_for_byte) {
  const std::string odd("a\0b\xff`{}", 7);
  EXPECT_EQ(QuorlError(QuorlError::InvalidUrl{odd, "r"}).message(),
            "invalid Quorl URL `" + odd + "`: r");
}

// The variant and its fields stay readable after formatting.
TEST(error, exposes_the_variant) {
  const QuorlError error = QuorlError::ConnectFailed{"ws://h:1", "why"};
  ASSERT_TRUE(error.is<QuorlError::ConnectFailed>());
  EXPECT_EQ(error.as<QuorlError::ConnectFailed>().url, "ws://h:1");
  EXPECT_EQ(error.value().index(), 1u);
  EXPECT_EQ(QuorlError(QuorlError::InvalidUrl{"u", "r"}).value().index(), 5u);
}

}  // namespace
