#include "flatten.hpp"

#include <array>
#include <cstddef>
#include <type_traits>

namespace quorl_module {
namespace {

namespace qp = quorl_protocol;

// The number of doubles in `Block`, an array (or array of arrays) of doubles.
template <class Block>
constexpr std::size_t value_count = sizeof(Block) / sizeof(double);

// Fills `list` from `index` on with the doubles of `block`, in order; returns
// false when a float cannot be created.
template <class T, std::size_t N>
bool put_values(PyObject* list, Py_ssize_t& index, const std::array<T, N>& block) {
  for (const T& item : block) {
    if constexpr (std::is_same_v<T, double>) {
      PyObject* value = PyFloat_FromDouble(item);
      if (value == nullptr) return false;
      PyList_SetItem(list, index++, value);
    } else if (!put_values(list, index, item)) {
      return false;
    }
  }
  return true;
}

// Returns a new flat list of the values of `block`.
template <class Block>
owned_ref flatten_values(const Block& block) {
  owned_ref list(PyList_New(static_cast<Py_ssize_t>(value_count<Block>)));
  Py_ssize_t index = 0;
  if (!list || !put_values(list.get(), index, block)) return owned_ref();
  return list;
}

// Returns the tuple of the message `m` of the frame table's `Row`.
template <class Row>
PyObject* flatten_as(const typename Row::message& m) {
  owned_ref kind(PyLong_FromLong(Row::type));
  if (!kind) return nullptr;
  owned_ref side;
  if constexpr (Row::has_side) {
    side = owned_ref(PyLong_FromLong(m.side));
  } else {
    side = new_ref(Py_None);
  }
  if (!side) return nullptr;
  owned_ref values = flatten_values(m.*Row::values);
  if (!values) return nullptr;
  owned_ref tuple(PyTuple_New(3));
  if (!tuple) return nullptr;
  PyTuple_SetItem(tuple.get(), 0, kind.release());
  PyTuple_SetItem(tuple.get(), 1, side.release());
  PyTuple_SetItem(tuple.get(), 2, values.release());
  return tuple.release();
}

}  // namespace

PyObject* flatten(const qp::Message& message) noexcept {
  return qp::FrameTypes::visit(message,
                               []<class Row>(Row, const auto& m) { return flatten_as<Row>(m); });
}

}  // namespace quorl_module
