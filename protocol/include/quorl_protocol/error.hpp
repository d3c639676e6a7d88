#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <variant>

namespace quorl_protocol {

// Why a frame was rejected. A small plain value: it owns no heap storage and
// its text is produced on demand.
class ProtocolError {
 public:
  struct Empty {
    friend bool operator==(const Empty&, const Empty&) = default;
  };
  struct UnknownType {
    std::uint8_t message_type;
    friend bool operator==(const UnknownType&, const UnknownType&) = default;
  };
  struct WrongLength {
    std::uint8_t message_type;
    std::size_t expected;
    std::size_t got;
    friend bool operator==(const WrongLength&, const WrongLength&) = default;
  };
  struct InvalidSide {
    std::uint8_t side;
    friend bool operator==(const InvalidSide&, const InvalidSide&) = default;
  };
  using Variant = std::variant<Empty, UnknownType, WrongLength, InvalidSide>;

  // Implicit on purpose: `return ProtocolError::Empty{};` reads like the protocol.
  template <class Alternative>
  requires std::is_constructible_v<Variant, Alternative>
  constexpr ProtocolError(Alternative alternative) noexcept : value_(alternative) {}

  // Returns the variant, for callers that branch on the kind of failure.
  constexpr const Variant& value() const noexcept { return value_; }

  // Appends the error's text, e.g. "unknown message type byte 0x0a", to `out`.
  void append_message(std::string& out) const;

  // Returns the error's text.
  std::string message() const;

  friend bool operator==(const ProtocolError&, const ProtocolError&) = default;

 private:
  Variant value_;
};

}  // namespace quorl_protocol
