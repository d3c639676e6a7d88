#include "decode_frame.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "args.hpp"
#include "convert.hpp"
#include "flatten.hpp"
#include "panic.hpp"
#include "quorl_protocol/decode.hpp"

namespace quorl_module {
namespace {

constexpr const char* kParameters[] = {"data"};
constexpr Signature kSignature{"decode_frame()", kParameters, 1};

// No sequence's claimed length reserves more than this up front; longer ones
// grow as their items arrive. A frame is at most 674 bytes.
constexpr std::size_t kMaxReserve = 4096;

// Converts any other sequence of ints in 0..255 into bytes, item by item,
// with the interpreter's iteration protocol.
std::optional<std::vector<std::uint8_t>> sequence_bytes(PyObject* data) {
  if (PyUnicode_Check(data)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return std::nullopt;
  }
  if (!PySequence_Check(data)) {
    raise_cannot_convert(data, "Sequence");
    return std::nullopt;
  }
  std::vector<std::uint8_t> bytes;
  const Py_ssize_t size = PySequence_Size(data);
  if (size < 0) {
    PyErr_Clear();
  } else {
    bytes.reserve(std::min(static_cast<std::size_t>(size), kMaxReserve));
  }
  owned_ref iterator(PyObject_GetIter(data));
  if (!iterator) return std::nullopt;
  while (owned_ref item{PyIter_Next(iterator.get())}) {
    const auto value = to_long_in_range(item.get(), 0, 255);
    if (!value) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(*value));
  }
  if (PyErr_Occurred() != nullptr) return std::nullopt;
  return bytes;
}

// Decodes one frame into the Python tuple, or raises ValueError with the
// decoder's text.
PyObject* decode_to_python(std::span<const std::uint8_t> frame) {
  const auto message = quorl_protocol::decode(frame);
  if (!message) {
    PyErr_SetString(PyExc_ValueError, message.error().message().c_str());
    return nullptr;
  }
  return flatten(*message);
}

PyObject* decode_frame(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* data = nullptr;
    if (!bind_arguments(kSignature, args, nargs, kwnames, {&data, 1})) return nullptr;
    // bytes and bytearray expose their buffer directly: same result and
    // errors as going item by item, without a Python object per byte.
    if (PyBytes_CheckExact(data)) {
      char* buffer = nullptr;
      Py_ssize_t size = 0;
      if (PyBytes_AsStringAndSize(data, &buffer, &size) < 0) return nullptr;
      return decode_to_python(
          {reinterpret_cast<const std::uint8_t*>(buffer), static_cast<std::size_t>(size)});
    }
    if (PyByteArray_CheckExact(data)) {
      const char* buffer = PyByteArray_AsString(data);
      const Py_ssize_t size = PyByteArray_Size(data);
      if (buffer == nullptr || size < 0) return nullptr;
      return decode_to_python(
          {reinterpret_cast<const std::uint8_t*>(buffer), static_cast<std::size_t>(size)});
    }
    const auto bytes = sequence_bytes(data);
    if (!bytes) {
      rewrap_argument_error("data");
      return nullptr;
    }
    return decode_to_python(*bytes);
  });
}

}  // namespace

PyMethodDef decode_frame_def = {
    "decode_frame",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode_frame)),
    METH_FASTCALL | METH_KEYWORDS,
    "decode_frame(data)\n--\n\n"
    "Decodes one raw binary frame into `(kind, side, values)`.\n\n"
    "Exposed so the Python test suite can exercise the native decoder against the\n"
    "shared fixtures without opening a socket.",
};

}  // namespace quorl_module
