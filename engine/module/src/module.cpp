// The module quorl_sdk._engine: configure(), start(), the Frame and Stream
// types, and the exit hook that stops every engine before the process ends.
#include <algorithm>
#include <chrono>
#include <limits>
#include <optional>
#include <string>

#include "args.hpp"
#include "constants.hpp"
#include "convert.hpp"
#include "panic.hpp"
#include "quorl_engine/engine.hpp"
#include "recording.hpp"
#include "scan.hpp"
#include "seconds.hpp"
#include "stream.hpp"
#include "values.hpp"

namespace quorl_engine_module {
namespace {

using quorl_engine::EngineOptions;
using quorl_engine::Mode;
using quorl_sdk::Duration;

// How long the exit hook waits for the engine threads to let go.
constexpr std::chrono::milliseconds EXIT_BOUND{1000};

constexpr const char* kStartPortParameters[] = {
    "port",   "reconnect", "base_delay_ms", "max_delay_ms", "max_retries",
    "latest", "max_queue", "kinds",         "wait",         "timeout",
};
constexpr const char* kStartUrlParameters[] = {
    "url",    "reconnect", "base_delay_ms", "max_delay_ms", "max_retries",
    "latest", "max_queue", "kinds",         "wait",         "timeout",
};
constexpr std::size_t kStartParameterCount = std::size(kStartPortParameters);
constexpr quorl_module::Signature kStartPortSignature{"start_port()", kStartPortParameters,
                                                      kStartParameterCount};
constexpr quorl_module::Signature kStartUrlSignature{"start_url()", kStartUrlParameters,
                                                     kStartParameterCount};

// Converts one argument into `out` with `convert`; a TypeError names the
// parameter, as _quorl_sdk's connect functions do.
template <class T, class Convert>
bool convert_argument(PyObject* value, const char* name, Convert convert, T& out) {
  auto converted = convert(value);
  if (!converted) {
    quorl_module::rewrap_argument_error(name);
    return false;
  }
  out = static_cast<T>(*converted);
  return true;
}

bool convert_url(PyObject* url, quorl_engine::Target& target) {
  std::string text;
  if (!convert_argument(url, "url", quorl_module::to_utf8, text)) return false;
  target.url = std::move(text);
  return true;
}

bool convert_port(PyObject* port, quorl_engine::Target& target) {
  if (port == Py_None) return true;
  const auto in_range = [](PyObject* value) {
    return quorl_module::to_long_in_range(value, 0, 65535);
  };
  std::uint16_t number = 0;
  if (!convert_argument(port, "port", in_range, number)) return false;
  target.port = number;
  return true;
}

bool convert_connection(PyObject* const* bound, quorl_sdk::QuorlClientBuilder& out) {
  // Every argument is given: the package holds the defaults.
  bool reconnect = false;
  std::uint64_t base_ms = 0;
  std::uint64_t max_ms = 0;
  std::uint32_t retries = 0;
  const auto retries_in_range = [](PyObject* value) {
    return quorl_module::to_long_in_range(value, 0, std::numeric_limits<std::uint32_t>::max());
  };
  if (!convert_argument(bound[0], "reconnect", quorl_module::to_bool, reconnect) ||
      !convert_argument(bound[1], "base_delay_ms", quorl_module::to_u64, base_ms) ||
      !convert_argument(bound[2], "max_delay_ms", quorl_module::to_u64, max_ms) ||
      !convert_argument(bound[3], "max_retries", retries_in_range, retries)) {
    return false;
  }
  out = {.reconnect = reconnect,
         .base_delay = Duration::from_millis(base_ms),
         .max_delay = Duration::from_millis(max_ms),
         .max_retries = retries};
  return true;
}

// How long connect(wait=...) keeps trying at most: beyond any session, and
// far enough from the clock's limits that a deadline never overflows.
constexpr std::chrono::duration<double> LONGEST_WAIT = std::chrono::hours(24 * 365 * 100);

bool convert_stream_options(PyObject* const* bound, EngineOptions& options) {
  const int latest = PyObject_IsTrue(bound[0]);
  const Py_ssize_t max_queue = PyLong_AsSsize_t(bound[1]);
  // None lets every type byte through, unknown ones too, so that they reach
  // the consumer as decode errors.
  const bool every_kind = bound[2] == Py_None;
  const unsigned long long kinds = every_kind ? 0 : PyLong_AsUnsignedLongLong(bound[2]);
  if (latest < 0 || PyErr_Occurred() != nullptr) return false;
  options.mode = latest ? Mode::latest : Mode::lossless;
  options.max_queue = static_cast<std::size_t>(std::max<Py_ssize_t>(max_queue, 1));
  if (!every_kind) {
    options.kinds.reset();
    for (std::size_t type = 0; type < 64; ++type) options.kinds[type] = (kinds >> type) & 1;
  }
  std::optional<double> wait;
  if (!quorl_module::read_seconds(bound[3], "wait", wait)) return false;
  const std::chrono::duration<double> span(wait.value_or(0.0));
  options.wait =
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::min(span, LONGEST_WAIT));
  return true;
}

// Starts an engine on the target that `convert_target` reads from the first
// argument; the others are the same for every target.
template <class ConvertTarget>
PyObject* start(const quorl_module::Signature& signature, ConvertTarget convert_target,
                PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return quorl_module::guard([&]() -> PyObject* {
    PyObject* bound[kStartParameterCount];
    if (!quorl_module::bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
    EngineOptions options;
    std::optional<double> timeout;
    if (!convert_target(bound[0], options.target) ||
        !convert_connection(bound + 1, options.connection) ||
        !convert_stream_options(bound + 5, options) ||
        !quorl_module::read_seconds(bound[9], "timeout", timeout)) {
      return nullptr;
    }
    return new_stream(quorl_engine::Engine::start(std::move(options)), timeout);
  });
}

PyObject* start_port(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
  return start(kStartPortSignature, convert_port, args, nargs, kwnames);
}

PyObject* start_url(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
  return start(kStartUrlSignature, convert_url, args, nargs, kwnames);
}

PyObject* configure_module(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
  return quorl_module::guard([&]() -> PyObject* {
    if (nargs != 2) {
      PyErr_SetString(PyExc_TypeError, "configure() takes kinds and errors");
      return nullptr;
    }
    if (!configure(args[0], args[1])) return nullptr;
    return quorl_module::new_ref(Py_None).release();
  });
}

PyObject* seconds(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
  return quorl_module::guard([&]() -> PyObject* {
    if (nargs != 2 || !PyUnicode_Check(args[0])) {
      PyErr_SetString(PyExc_TypeError, "seconds() takes a name and a value");
      return nullptr;
    }
    const char* name = PyUnicode_AsUTF8AndSize(args[0], nullptr);
    std::optional<double> value;
    if (name == nullptr || !quorl_module::read_seconds(args[1], name, value)) return nullptr;
    return value ? PyFloat_FromDouble(*value) : quorl_module::new_ref(Py_None).release();
  });
}

PyMethodDef module_methods[] = {
    {"start_port", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(start_port)),
     METH_FASTCALL | METH_KEYWORDS,
     "start_port(port, reconnect, base_delay_ms, max_delay_ms, max_retries, latest, max_queue, "
     "kinds, wait, timeout) -> Stream; the engine connects on its own thread."},
    {"start_url", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(start_url)),
     METH_FASTCALL | METH_KEYWORDS,
     "start_url(url, ...) -> Stream; as start_port() with a ws://host:port URL."},
    {"configure", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(configure_module)),
     METH_FASTCALL,
     "configure(kinds, errors); the FrameKind members by type byte and the exception classes "
     "(ServerNotFound, IncompatibleProtocol, StreamError, FrameError, FrameTimeout)."},
    {"seconds", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(seconds)), METH_FASTCALL,
     "seconds(name, value) -> float | None; reads a span of seconds as every call does, "
     "refusing what they refuse."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quorl_sdk._engine",
    "The package's streaming engine (private).",
    0,
    module_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Runs at the end of the interpreter's finalization, before the process's
// static destructors: no engine thread is left holding a socket or an
// io_context when they run.
void stop_engines_at_exit() {
  quorl_engine::stop_all_engines(EXIT_BOUND);
}

// Adds a type made once per process to the module; false with an exception set.
bool add_type(PyObject* module, const char* name, PyObject* type) {
  if (type == nullptr) return false;
  Py_IncRef(type);
  if (PyModule_AddObject(module, name, type) == 0) return true;
  Py_DecRef(type);
  return false;
}

PyObject* make_module() {
  if (!quorl_module::share_panic_exception_type("_quorl_sdk")) return nullptr;
  owned_ref module(PyModule_Create(&module_def));
  if (!module || !add_type(module.get(), "Frame", init_frame_type()) ||
      !add_type(module.get(), "Stream", init_stream_type()) ||
      !add_type(module.get(), "Recording", init_recording_type()) ||
      !add_scan_functions(module.get()) || !add_constants(module.get()) ||
      !add_stream_constants(module.get())) {
    return nullptr;
  }
  // The close code the client reports for a connection lost without a close frame.
  if (PyModule_AddIntConstant(module.get(), "CLOSE_ABNORMAL", quorl_sdk::CLOSE_ABNORMAL) < 0) {
    return nullptr;
  }
  static const bool hooked = Py_AtExit(stop_engines_at_exit) == 0;
  if (!hooked) {
    PyErr_SetString(PyExc_RuntimeError, "no room for the engine's exit hook");
    return nullptr;
  }
  return module.release();
}

}  // namespace
}  // namespace quorl_engine_module

PyMODINIT_FUNC PyInit__engine() {
  return quorl_module::guard([] { return quorl_engine_module::make_module(); });
}
