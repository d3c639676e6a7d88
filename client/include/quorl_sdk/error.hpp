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
  // No port of the discovery range answered.
  struct NoServerFound {
    std::uint16_t first_port;
    std::uint16_t last_port;
    friend bool operator==(const NoServerFound&, const NoServerFound&) = default;
  };
  // One connection attempt failed or ran out of time.
  struct ConnectFailed {
    std::string url;
    std::string reason;
    friend bool operator==(const ConnectFailed&, const ConnectFailed&) = default;
  };
  // A binary frame was rejected by the decoder or was a malformed hello.
  struct Decode {
    quorl_protocol::ProtocolError error;
    friend bool operator==(const Decode&, const Decode&) = default;
  };
  // The connection failed with an error that is not a plain disconnect.
  struct Stream {
    std::string description;
    friend bool operator==(const Stream&, const Stream&) = default;
  };
  // A hello announced a protocol version other than ours.
  struct IncompatibleProtocol {
    std::uint16_t server_version;
    std::uint16_t sdk_version;
    friend bool operator==(const IncompatibleProtocol&, const IncompatibleProtocol&) = default;
  };
  // The caller's URL is unusable; `url` is the caller's text unchanged.
  struct InvalidUrl {
    std::string url;
    std::string reason;
    friend bool operator==(const InvalidUrl&, const InvalidUrl&) = default;
  };
  using Variant =
      std::variant<NoServerFound, ConnectFailed, Decode, Stream, IncompatibleProtocol, InvalidUrl>;

  // Implicit on purpose: `return QuorlError::Stream{text};`.
  template <class Alternative>
  requires std::is_constructible_v<Variant, Alternative&&> QuorlError(Alternative&& alternative)
      : value_(std::forward<Alternative>(alternative)) {}

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

  // Appends the error's message to `out`.
  void append_message(std::string& out) const;

  // Returns the error's message, e.g. "stream connection error: Connection refused".
  std::string message() const;

  friend bool operator==(const QuorlError&, const QuorlError&) = default;

 private:
  Variant value_;
};

}  // namespace quorl_sdk
