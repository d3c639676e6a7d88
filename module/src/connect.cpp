#include "connect.hpp"

#include <boost/system/system_error.hpp>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "args.hpp"
#include "client_error.hpp"
#include "convert.hpp"
#include "gil.hpp"
#include "panic.hpp"
#include "quorl_sdk/addressing.hpp"
#include "quorl_sdk/builder.hpp"
#include "quorl_sdk/duration.hpp"
#include "quorl_sdk/runtime.hpp"
#include "raw_client.hpp"

namespace quorl_module {
namespace {

using quorl_sdk::Duration;
using quorl_sdk::QuorlClientBuilder;
using quorl_sdk::Runtime;

constexpr const char* kConnectRawParameters[] = {"port", "reconnect", "base_delay_ms",
                                                 "max_delay_ms", "max_retries"};
constexpr Signature kConnectRawSignature{"connect_raw()", kConnectRawParameters, 0};

constexpr const char* kConnectUrlRawParameters[] = {"url", "reconnect", "base_delay_ms",
                                                    "max_delay_ms", "max_retries"};
constexpr Signature kConnectUrlRawSignature{"connect_url_raw()", kConnectUrlRawParameters, 1};

constexpr std::uint64_t kDefaultBaseDelayMs = 250;
constexpr std::uint64_t kDefaultMaxDelayMs = 10000;
constexpr std::uint32_t kDefaultMaxRetries = 10;
constexpr long kMaxRetriesLimit = 4294967295;

// Converts one argument, when it was given, into `out`; a TypeError of the
// conversion gets the parameter's name. Returns false with the exception set.
template <class T, class Convert>
bool convert_argument(PyObject* value, const char* name, Convert convert, T& out) {
  if (value == nullptr) return true;
  auto converted = convert(value);
  if (!converted) {
    rewrap_argument_error(name);
    return false;
  }
  out = static_cast<T>(*converted);
  return true;
}

// Converts the four reconnection arguments, in parameter order, into the
// connection settings; absent ones take their defaults.
std::optional<QuorlClientBuilder> convert_settings(PyObject* reconnect, PyObject* base_delay_ms,
                                                   PyObject* max_delay_ms, PyObject* max_retries) {
  bool reconnect_value = false;
  std::uint64_t base_ms = kDefaultBaseDelayMs;
  std::uint64_t max_ms = kDefaultMaxDelayMs;
  std::uint32_t retries = kDefaultMaxRetries;
  const auto retries_in_range = [](PyObject* value) {
    return to_long_in_range(value, 0, kMaxRetriesLimit);
  };
  if (!convert_argument(reconnect, "reconnect", to_bool, reconnect_value) ||
      !convert_argument(base_delay_ms, "base_delay_ms", to_u64, base_ms) ||
      !convert_argument(max_delay_ms, "max_delay_ms", to_u64, max_ms) ||
      !convert_argument(max_retries, "max_retries", retries_in_range, retries)) {
    return std::nullopt;
  }
  return QuorlClientBuilder{.reconnect = reconnect_value,
                            .base_delay = Duration::from_millis(base_ms),
                            .max_delay = Duration::from_millis(max_ms),
                            .max_retries = retries};
}

// Creates the private runtime of one connection, or raises RuntimeError.
std::unique_ptr<Runtime> start_runtime() {
  const auto fail = [](const std::string& reason) {
    PyErr_Format(PyExc_RuntimeError, "failed to start async runtime: %s", reason.c_str());
    return nullptr;
  };
  try {
    return std::make_unique<Runtime>();
  } catch (const boost::system::system_error& error) {
    return fail(error.code().message());
  } catch (const std::system_error& error) {
    return fail(error.code().message());
  }
}

// Runs `connect(builder)` to completion on a new runtime with the interpreter
// lock released, and wraps the connected client in a RawClient. The first
// connection is made once; the settings only matter for later losses.
template <class Connect>
PyObject* connect_with(QuorlClientBuilder builder, Connect connect) {
  std::unique_ptr<Runtime> runtime = start_runtime();
  if (!runtime) return nullptr;
  auto outcome = without_gil([&] { return runtime->run(connect(std::move(builder))); });
  if (!outcome) {
    runtime.reset();
    raise_client_error(outcome.error(), builtin_error_classes());
    return nullptr;
  }
  return new_raw_client(Connection(std::move(runtime), std::move(*outcome)));
}

PyObject* connect_raw(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* bound[std::size(kConnectRawParameters)];
    if (!bind_arguments(kConnectRawSignature, args, nargs, kwnames, bound)) return nullptr;
    std::optional<std::uint16_t> port;
    const auto port_in_range = [](PyObject* value) { return to_long_in_range(value, 0, 65535); };
    if (bound[0] != Py_None && !convert_argument(bound[0], "port", port_in_range, port)) {
      return nullptr;
    }
    auto builder = convert_settings(bound[1], bound[2], bound[3], bound[4]);
    if (!builder) return nullptr;
    if (port) {
      return connect_with(*builder, [port = *port](QuorlClientBuilder settings) {
        return std::move(settings).connect_at(port);
      });
    }
    return connect_with(*builder, [](QuorlClientBuilder settings) {
      return std::move(settings).connect_in_range(quorl_sdk::WEBSOCKET_PORT_START,
                                                  quorl_sdk::WEBSOCKET_PORT_END);
    });
  });
}

PyObject* connect_url_raw(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* bound[std::size(kConnectUrlRawParameters)];
    if (!bind_arguments(kConnectUrlRawSignature, args, nargs, kwnames, bound)) return nullptr;
    std::string url;
    if (!convert_argument(bound[0], "url", to_utf8, url)) return nullptr;
    auto builder = convert_settings(bound[1], bound[2], bound[3], bound[4]);
    if (!builder) return nullptr;
    return connect_with(*builder, [url = std::move(url)](QuorlClientBuilder settings) mutable {
      return std::move(settings).connect_url(std::move(url));
    });
  });
}

}  // namespace

PyMethodDef connect_raw_def = {
    "connect_raw",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(connect_raw)),
    METH_FASTCALL | METH_KEYWORDS,
    "connect_raw(port=None, reconnect=False, base_delay_ms=250, max_delay_ms=10000, "
    "max_retries=10)\n--\n\n"
    "Connects to a Quorl WebSocket server on `127.0.0.1`.\n\n"
    "With `port = None` the default range (5432-5435) is auto-discovered.",
};

PyMethodDef connect_url_raw_def = {
    "connect_url_raw",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(connect_url_raw)),
    METH_FASTCALL | METH_KEYWORDS,
    "connect_url_raw(url, reconnect=False, base_delay_ms=250, max_delay_ms=10000, "
    "max_retries=10)\n--\n\n"
    "Connects to a Quorl WebSocket server at an explicit `ws://host:port` URL.",
};

}  // namespace quorl_module
