#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "quorl_protocol/error.hpp"

namespace quorl_sdk {

// Every failure of the connection client. Each variant has one message
// template; the text is formatted on demand by message().
class QuorlError {
 public:
  struct NoServerFound {
    std::uint16_t first_port;
    std::uint16_t last_port;
  };
  struct ConnectFailed {
    std::string url;
    std::string reason;
  };
  struct Decode {
    quorl_protocol::ProtocolError error;
  };
  struct Stream {
    std::string description;
  };
  struct IncompatibleProtocol {
    std::uint16_t server_version;
    std::uint16_t sdk_version;
  };
  struct InvalidUrl {
    std::string url;
    std::string reason;
  };
  using Variant =
      std::variant<NoServerFound, ConnectFailed, Decode, Stream, IncompatibleProtocol, InvalidUrl>;

  // Implicit on purpose: `return QuorlError::Stream{text};`.
  template <class Alternative>
    requires std::is_constructible_v<Variant, Alternative&&>
  QuorlError(Alternative&& alternative) : value_(std::forward<Alternative>(alternative)) {}

  // Returns the variant, for callers that branch on the kind of failure.
  const Variant& value() const noexcept { return value_; }

  // Returns true when the error holds the alternative T.
  template <class T>
  bool is() const noexcept {
    return std::holds_alternative<T>(value_);
  }

  // Returns the alternative T; the error must hold it.
  template <class T>
  const T& as() const {
    return std::get<T>(value_);
  }

  // Returns the error's message, e.g. "stream connection error: end of stream".
  std::string message() const;

 private:
  Variant value_;
};

}  // namespace quorl_sdk
