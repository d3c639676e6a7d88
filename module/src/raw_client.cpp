// The RawClient type: a blocking iterator over the frames of one connection.
#include "raw_client.hpp"

#include <atomic>
#include <cstddef>
#include <limits>
#include <memory>
#include <new>
#include <utility>

#include "client_error.hpp"
#include "convert.hpp"
#include "flatten.hpp"
#include "gil.hpp"
#include "panic.hpp"

namespace quorl_module {
namespace {

// Lets one thread at a time use a RawClient: 0 is free, n shared borrows,
// all ones one exclusive borrow. Changed only atomically, since __next__
// holds its exclusive borrow while the interpreter lock is released.
class BorrowFlag {
 public:
  // Succeeds only when nobody holds a borrow.
  bool try_exclusive() noexcept {
    std::size_t expected = kFree;
    return state_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }

  // Succeeds unless an exclusive borrow is held. The count stops one short
  // of the exclusive value, so it can never turn into one.
  bool try_shared() noexcept {
    std::size_t current = state_.load(std::memory_order_relaxed);
    do {
      if (current >= kExclusive - 1) return false;
    } while (!state_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                           std::memory_order_relaxed));
    return true;
  }

  void release_exclusive() noexcept { state_.store(kFree, std::memory_order_release); }
  void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }

 private:
  static constexpr std::size_t kFree = 0;
  static constexpr std::size_t kExclusive = std::numeric_limits<std::size_t>::max();
  std::atomic<std::size_t> state_{kFree};
};

// Holds a borrow, when it could be taken, until the end of the scope.
template <bool Exclusive>
class Borrow {
 public:
  explicit Borrow(BorrowFlag& flag) noexcept
      : flag_(flag), held_(Exclusive ? flag.try_exclusive() : flag.try_shared()) {}
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  ~Borrow() {
    if (!held_) return;
    if constexpr (Exclusive) {
      flag_.release_exclusive();
    } else {
      flag_.release_shared();
    }
  }

  explicit operator bool() const noexcept { return held_; }

 private:
  BorrowFlag& flag_;
  bool held_;
};

using ExclusiveBorrow = Borrow<true>;
using SharedBorrow = Borrow<false>;

// What a RawClient object carries after its header.
struct RawClientState {
  BorrowFlag borrow;
  Connection connection;

  explicit RawClientState(Connection&& connection) noexcept : connection(std::move(connection)) {}
};

// pymalloc hands out 16-byte aligned blocks.
static_assert(alignof(RawClientState) <= 16);
constexpr std::size_t kStateOffset = (sizeof(PyObject) + alignof(RawClientState) - 1) /
                                     alignof(RawClientState) * alignof(RawClientState);

// Returns where the state of `self` lives.
void* state_storage(PyObject* self) noexcept {
  return reinterpret_cast<char*>(self) + kStateOffset;
}

RawClientState* state_of(PyObject* self) noexcept {
  return std::launder(static_cast<RawClientState*>(state_storage(self)));
}

// The RawClient type; a strong reference kept for the life of the process.
PyObject* type_object = nullptr;

PyObject* raise_runtime_error(const char* message) noexcept {
  PyErr_SetString(PyExc_RuntimeError, message);
  return nullptr;
}

// Returns the state of `self`, or null with TypeError when it is no RawClient.
RawClientState* checked_state(PyObject* self) noexcept {
  PyObject* type = raw_client_type();
  if (type == nullptr) return nullptr;
  if (!PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(type))) {
    raise_cannot_convert(self, "RawClient");
    return nullptr;
  }
  return state_of(self);
}

PyObject* RawClient_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
  return guard([&]() -> PyObject* {
    const owned_ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
    if (!name) {
      PyErr_Clear();
      PyErr_SetString(PyExc_TypeError, "No constructor defined for <unknown>");
      return nullptr;
    }
    PyErr_Format(PyExc_TypeError, "No constructor defined for %S", name.get());
    return nullptr;
  });
}

PyObject* RawClient_iter(PyObject* self) {
  return guard([&]() -> PyObject* {
    RawClientState* state = checked_state(self);
    if (state == nullptr) return nullptr;
    const SharedBorrow borrow(state->borrow);
    if (!borrow) return raise_runtime_error("Already mutably borrowed");
    return new_ref(self).release();
  });
}

PyObject* RawClient_next(PyObject* self) {
  return guard([&]() -> PyObject* {
    RawClientState* state = checked_state(self);
    if (state == nullptr) return nullptr;
    const ExclusiveBorrow borrow(state->borrow);
    if (!borrow) return raise_runtime_error("Already borrowed");
    Connection& connection = state->connection;
    if (!connection.client) return raise_runtime_error("client is closed");
    // One step of the client's next(), with blocking reads in place of a
    // coroutine per frame; the runtime runs only to reconnect.
    quorl_sdk::NextResult outcome =
        without_gil([&] { return connection.client->read_next(*connection.runtime); });
    // The end of the stream: null without an exception, that is StopIteration.
    if (!outcome) return nullptr;
    if (!*outcome) {
      raise_client_error(outcome->error(), builtin_error_classes());
      return nullptr;
    }
    return flatten(**outcome);
  });
}

PyObject* RawClient_port(PyObject* self, void* /*closure*/) {
  return guard([&]() -> PyObject* {
    RawClientState* state = checked_state(self);
    if (state == nullptr) return nullptr;
    const SharedBorrow borrow(state->borrow);
    if (!borrow) return raise_runtime_error("Already mutably borrowed");
    const auto& client = state->connection.client;
    if (!client) return raise_runtime_error("client is closed");
    return PyLong_FromLong(client->port());
  });
}

PyObject* RawClient_close(PyObject* self, PyObject* /*unused*/) {
  return guard([&]() -> PyObject* {
    RawClientState* state = checked_state(self);
    if (state == nullptr) return nullptr;
    const ExclusiveBorrow borrow(state->borrow);
    if (!borrow) return raise_runtime_error("Already borrowed");
    // Closes the socket without a close frame; the runtime is not entered.
    state->connection.client.reset();
    return new_ref(Py_None).release();
  });
}

void RawClient_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // The object itself can no longer stand for the fault; its type can.
  guard_unraisable(reinterpret_cast<PyObject*>(type), [&] { std::destroy_at(state_of(self)); });
  const auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  // Every instance of a heap type holds a reference to it.
  Py_DecRef(reinterpret_cast<PyObject*>(type));
}

constexpr const char* kDoc =
    "A blocking handle to a Quorl connection.\n\n"
    "Created by [`connect_raw`]. Iterating it drives the async client to the next\n"
    "frame; `StopIteration` is raised when the stream ends for good.";

PyGetSetDef getset[] = {
    {"port", RawClient_port, nullptr, "The TCP port this client is connected to.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    {"close", RawClient_close, METH_NOARGS,
     "close($self)\n--\n\n"
     "Drops the underlying connection. Further iteration raises `RuntimeError`."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_new, reinterpret_cast<void*>(RawClient_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(RawClient_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(RawClient_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(RawClient_next)},
    {Py_tp_getset, getset},
    {Py_tp_methods, methods},
    {0, nullptr},
};

// The module prefix gives the type its __module__; __name__ and __qualname__
// stay "RawClient". Default flags only: no subclasses, no cyclic GC, and no
// instance dict or weak references since no offsets are given.
PyType_Spec spec = {
    "_quorl_sdk.RawClient",
    static_cast<int>(kStateOffset + sizeof(RawClientState)),
    0,
    Py_TPFLAGS_DEFAULT,
    slots,
};

}  // namespace

PyObject* raw_client_type() noexcept {
  if (type_object == nullptr) {
    PyObject* created = PyType_FromSpec(&spec);
    if (created == nullptr) return nullptr;
    // Creation may run Python code; keep whichever type was stored first.
    if (type_object == nullptr) {
      type_object = created;
    } else {
      Py_DecRef(created);
    }
  }
  return type_object;
}

PyObject* new_raw_client(Connection connection) {
  PyObject* type = raw_client_type();
  if (type == nullptr) return nullptr;
  auto* type_pointer = reinterpret_cast<PyTypeObject*>(type);
  const auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type_pointer, Py_tp_alloc));
  PyObject* self = alloc(type_pointer, 0);
  if (self == nullptr) return nullptr;
  ::new (state_storage(self)) RawClientState(std::move(connection));
  return self;
}

}  // namespace quorl_module
