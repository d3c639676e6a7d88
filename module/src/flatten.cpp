#include "flatten.hpp"

#include <array>
#include <cstdint>
#include <optional>

namespace quorl_module {
namespace {

namespace qp = quorl_protocol;

// Fills `list` from `index` on with `values`; returns the next index, or -1
// when a float cannot be created.
template <std::size_t N>
Py_ssize_t put_values(PyObject* list, Py_ssize_t index, const std::array<double, N>& values) {
  for (const double value : values) {
    PyObject* item = PyFloat_FromDouble(value);
    if (item == nullptr) return -1;
    PyList_SetItem(list, index++, item);
  }
  return index;
}

// Returns a new list of the 4 * count values of quaternions or landmarks,
// group by group.
template <class Group, std::size_t Count>
owned_ref flatten_groups(const std::array<Group, Count>& groups) {
  owned_ref list(PyList_New(static_cast<Py_ssize_t>(Count * std::tuple_size_v<Group>)));
  if (!list) return list;
  Py_ssize_t index = 0;
  for (const Group& group : groups) {
    index = put_values(list.get(), index, group);
    if (index < 0) return owned_ref();
  }
  return list;
}

owned_ref flatten_quaternions(const auto& quaternions) {
  return flatten_groups(quaternions);
}

owned_ref flatten_landmarks(const auto& landmarks) {
  return flatten_groups(landmarks);
}

template <std::size_t N>
owned_ref flatten_angles(const std::array<double, N>& angles) {
  owned_ref list(PyList_New(static_cast<Py_ssize_t>(N)));
  if (!list || put_values(list.get(), 0, angles) < 0) return owned_ref();
  return list;
}

// The side byte of hand messages; nothing for body messages.
struct SideOf {
  std::optional<std::uint8_t> operator()(const auto& m) const {
    if constexpr (requires { m.side; }) {
      return m.side;
    } else {
      return std::nullopt;
    }
  }
};

struct ValuesOf {
  owned_ref operator()(const qp::BodyQuaternions& m) const {
    return flatten_quaternions(m.quaternions);
  }
  owned_ref operator()(const qp::BodyLandmarks& m) const { return flatten_landmarks(m.landmarks); }
  owned_ref operator()(const qp::HandQuaternions& m) const {
    return flatten_quaternions(m.quaternions);
  }
  owned_ref operator()(const qp::HandLandmarks& m) const { return flatten_landmarks(m.landmarks); }
  owned_ref operator()(const qp::BodyIsbAngles& m) const { return flatten_angles(m.angles); }
  owned_ref operator()(const qp::HandIsbAngles& m) const { return flatten_angles(m.angles); }
};

}  // namespace

PyObject* flatten(const qp::Message& message) noexcept {
  owned_ref kind(PyLong_FromLong(qp::message_type(message)));
  if (!kind) return nullptr;
  const auto side_byte = std::visit(SideOf{}, message);
  owned_ref side = side_byte ? owned_ref(PyLong_FromLong(*side_byte)) : new_ref(Py_None);
  if (!side) return nullptr;
  owned_ref values = std::visit(ValuesOf{}, message);
  if (!values) return nullptr;
  owned_ref tuple(PyTuple_New(3));
  if (!tuple) return nullptr;
  PyTuple_SetItem(tuple.get(), 0, kind.release());
  PyTuple_SetItem(tuple.get(), 1, side.release());
  PyTuple_SetItem(tuple.get(), 2, values.release());
  return tuple.release();
}

}  // namespace quorl_module
