#include "quorl_protocol/error.hpp"

#include <charconv>

namespace quorl_protocol {
namespace detail {

// Appends `value` in decimal, without padding.
void append_decimal(std::string& out, std::size_t value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

// Appends `byte` as "0x" and two lower-case hexadecimal digits.
void append_hex_byte(std::string& out, std::uint8_t byte) {
  constexpr char hex[] = "0123456789abcdef";
  const char text[] = {'0', 'x', hex[byte >> 4], hex[byte & 0x0f]};
  out.append(text, sizeof text);
}

}  // namespace detail

void ProtocolError::append_message(std::string& out) const {
  struct Writer {
    std::string& out;
    void operator()(const Empty&) const { out += "received an empty WebSocket frame"; }
    void operator()(const UnknownType& e) const {
      out += "unknown message type byte ";
      detail::append_hex_byte(out, e.message_type);
    }
    void operator()(const WrongLength& e) const {
      out += "message type ";
      detail::append_hex_byte(out, e.message_type);
      out += ": expected ";
      detail::append_decimal(out, e.expected);
      out += " payload bytes, got ";
      detail::append_decimal(out, e.got);
    }
    void operator()(const InvalidSide& e) const {
      out += "invalid hand-side byte ";
      detail::append_decimal(out, e.side);
      out += " (expected 0 or 1)";
    }
  };
  std::visit(Writer{out}, value_);
}

std::string ProtocolError::message() const {
  std::string text;
  append_message(text);
  return text;
}

}  // namespace quorl_protocol
