#include "quorl_sdk/error.hpp"

#include <string>
#include <variant>

namespace quorl_sdk {
namespace {

// Formats each variant by its template; numbers go out in plain decimal.
struct MessageWriter {
  std::string& out;

  void operator()(const QuorlError::NoServerFound& e) const {
    out += "no Quorl server found on ports ";
    out += std::to_string(e.first_port);
    out += '-';
    out += std::to_string(e.last_port);
    out += "; is Quorl running?";
  }
  void operator()(const QuorlError::ConnectFailed& e) const {
    out += "failed to connect to Quorl at ";
    out += e.url;
    out += ": ";
    out += e.reason;
  }
  void operator()(const QuorlError::Decode& e) const {
    out += "failed to decode a stream frame: ";
    e.error.append_message(out);
  }
  void operator()(const QuorlError::Stream& e) const {
    out += "stream connection error: ";
    out += e.description;
  }
  void operator()(const QuorlError::IncompatibleProtocol& e) const {
    out += "incompatible Quorl protocol: server speaks v";
    out += std::to_string(e.server_version);
    out += ", this SDK speaks v";
    out += std::to_string(e.sdk_version);
  }
  void operator()(const QuorlError::InvalidUrl& e) const {
    out += "invalid Quorl URL `";
    out += e.url;
    out += "`: ";
    out += e.reason;
  }
};

}  // namespace

void QuorlError::append_message(std::string& out) const {
  std::visit(MessageWriter{out}, value_);
}

std::string QuorlError::message() const {
  std::string out;
  append_message(out);
  return out;
}

}  // namespace quorl_sdk
