#include "values.hpp"

#include <array>
#include <string>
#include <variant>

#include "client_error.hpp"

namespace quorl_engine_module {
namespace {

using quorl_sdk::QuorlError;

PyStructSequence_Field frame_fields[] = {
    {"kind", "the frame type, a FrameKind"},
    {"side", "the hand side (0 or 1); None for body frames"},
    {"values", "every value of the frame, flat and in wire order"},
    {"time",
     "seconds on time.monotonic()'s clock when the frame's bytes were read; "
     "NaN for a frame that no client received"},
    {"seq",
     "data frames this client received before this one; -1 for a frame that no "
     "client received"},
    {nullptr, nullptr},
};

PyStructSequence_Desc frame_desc = {
    "quorl_sdk.Frame",
    "One decoded data frame: unpacks as (kind, side, values); time and seq are attributes.",
    frame_fields,
    3,
};

PyObject* frame_type_object = nullptr;

// Indexed by type byte; strong references for the life of the process.
std::array<PyObject*, 8> kinds{};

enum ErrorClass { server_not_found, incompatible, stream_error, frame_error, frame_timeout, count };
std::array<PyObject*, ErrorClass::count> errors{};

// Replaces the strong references in `table` by the items of `source`, which
// must be a tuple of exactly that many objects.
template <std::size_t N>
bool take_table(PyObject* source, std::array<PyObject*, N>& table, const char* what) {
  if (!PyTuple_Check(source) || PyTuple_Size(source) != static_cast<Py_ssize_t>(N)) {
    PyErr_Format(PyExc_TypeError, "%s must be a tuple of %d items", what, static_cast<int>(N));
    return false;
  }
  for (std::size_t i = 0; i < N; ++i) {
    PyObject* item = PyTuple_GetItem(source, static_cast<Py_ssize_t>(i));
    Py_IncRef(item);
    Py_DecRef(std::exchange(table[i], item));
  }
  return true;
}

}  // namespace

PyObject* init_frame_type() {
  frame_type_object = reinterpret_cast<PyObject*>(PyStructSequence_NewType(&frame_desc));
  return frame_type_object;
}

PyObject* frame_type() noexcept {
  return frame_type_object;
}

bool configure(PyObject* kind_table, PyObject* error_table) {
  return take_table(kind_table, kinds, "kinds") && take_table(error_table, errors, "errors");
}

PyObject* kind_object(std::uint8_t type) noexcept {
  if (type >= kinds.size() || kinds[type] == nullptr || kinds[type] == Py_None) return nullptr;
  return kinds[type];
}

PyObject* side_object(std::uint8_t side) noexcept {
  static PyObject* const sides[] = {PyLong_FromLong(0), PyLong_FromLong(1)};
  return side <= 1 ? sides[side] : Py_None;
}

PyObject* make_frame(const quorl_engine::FrameRecord& record) {
  PyObject* kind = kind_object(record.type);
  if (kind == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "the frame kinds are not configured");
    return nullptr;
  }
  owned_ref values(PyList_New(record.count));
  if (!values) return nullptr;
  for (std::size_t i = 0; i < record.count; ++i) {
    PyObject* value = PyFloat_FromDouble(record.values[i]);
    if (value == nullptr) return nullptr;
    PyList_SetItem(values.get(), static_cast<Py_ssize_t>(i), value);
  }
  owned_ref time(PyFloat_FromDouble(record.time));
  owned_ref seq(PyLong_FromUnsignedLongLong(record.seq));
  if (!time || !seq) return nullptr;
  PyObject* frame = PyStructSequence_New(reinterpret_cast<PyTypeObject*>(frame_type_object));
  if (frame == nullptr) return nullptr;
  PyObject* side = side_object(record.side);
  Py_IncRef(kind);
  Py_IncRef(side);
  PyStructSequence_SetItem(frame, 0, kind);
  PyStructSequence_SetItem(frame, 1, side);
  PyStructSequence_SetItem(frame, 2, values.release());
  PyStructSequence_SetItem(frame, 3, time.release());
  PyStructSequence_SetItem(frame, 4, seq.release());
  return frame;
}

void raise_error(const QuorlError& error, std::uint64_t replaced) {
  // Before configure() the builtin bases of the package's classes stand in.
  const auto configured = [](ErrorClass which, PyObject* fallback) {
    return errors[which] != nullptr ? errors[which] : fallback;
  };
  const quorl_module::ErrorClasses classes{
      .no_server = configured(server_not_found, PyExc_ConnectionError),
      .incompatible = configured(incompatible, PyExc_ConnectionError),
      .stream = configured(stream_error, PyExc_ConnectionError),
      .decode = configured(frame_error, PyExc_ValueError),
      .invalid_url = PyExc_ValueError};
  quorl_module::raise_client_error(error, classes, replaced);
}

void raise_timeout() {
  PyObject* type = errors[frame_timeout] != nullptr ? errors[frame_timeout] : PyExc_TimeoutError;
  PyErr_SetString(type, "no frame within the timeout");
}

}  // namespace quorl_engine_module
