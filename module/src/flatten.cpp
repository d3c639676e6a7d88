#include "flatten.hpp"

#include <type_traits>

namespace quorl_module {
namespace {

namespace qp = quorl_protocol;

template <class Group>
std::vector<double> flatten_groups(std::span<const Group> groups) {
  std::vector<double> values;
  values.reserve(groups.size() * std::tuple_size_v<Group>);
  for (const Group& group : groups) values.insert(values.end(), group.begin(), group.end());
  return values;
}

template <std::size_t N>
std::vector<double> copy_angles(const std::array<double, N>& angles) {
  return std::vector<double>(angles.begin(), angles.end());
}

// Returns a new list of floats, one per value.
owned_ref float_list(const std::vector<double>& values) noexcept {
  const auto size = static_cast<Py_ssize_t>(values.size());
  owned_ref list(PyList_New(size));
  if (!list) return list;
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* item = PyFloat_FromDouble(values[static_cast<std::size_t>(i)]);
    if (item == nullptr) return owned_ref();
    PyList_SetItem(list.get(), i, item);
  }
  return list;
}

}  // namespace

std::vector<double> flatten_quaternions(std::span<const qp::Quaternion> quaternions) {
  return flatten_groups(quaternions);
}

std::vector<double> flatten_landmarks(std::span<const qp::Landmark> landmarks) {
  return flatten_groups(landmarks);
}

Flattened flatten(const qp::Message& message) {
  const std::uint8_t kind = qp::message_type(message);
  struct Visitor {
    std::uint8_t kind;
    Flattened operator()(const qp::BodyQuaternions& m) const {
      return {kind, std::nullopt, flatten_quaternions(m.quaternions)};
    }
    Flattened operator()(const qp::BodyLandmarks& m) const {
      return {kind, std::nullopt, flatten_landmarks(m.landmarks)};
    }
    Flattened operator()(const qp::HandQuaternions& m) const {
      return {kind, m.side, flatten_quaternions(m.quaternions)};
    }
    Flattened operator()(const qp::HandLandmarks& m) const {
      return {kind, m.side, flatten_landmarks(m.landmarks)};
    }
    Flattened operator()(const qp::BodyIsbAngles& m) const {
      return {kind, std::nullopt, copy_angles(m.angles)};
    }
    Flattened operator()(const qp::HandIsbAngles& m) const {
      return {kind, m.side, copy_angles(m.angles)};
    }
  };
  return std::visit(Visitor{kind}, message);
}

PyObject* to_python(Flattened&& frame) noexcept {
  const Flattened consumed = std::move(frame);
  owned_ref kind(PyLong_FromLong(consumed.kind));
  if (!kind) return nullptr;
  owned_ref side = consumed.side ? owned_ref(PyLong_FromLong(*consumed.side)) : new_ref(Py_None);
  if (!side) return nullptr;
  owned_ref values = float_list(consumed.values);
  if (!values) return nullptr;
  owned_ref tuple(PyTuple_New(3));
  if (!tuple) return nullptr;
  PyTuple_SetItem(tuple.get(), 0, kind.release());
  PyTuple_SetItem(tuple.get(), 1, side.release());
  PyTuple_SetItem(tuple.get(), 2, values.release());
  return tuple.release();
}

}  // namespace quorl_module
