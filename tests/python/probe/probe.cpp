// Entry points that exercise the module's boundary helpers with signatures and
// faults the real module does not have.
#include <cstdint>
#include <new>
#include <stdexcept>

#include "args.hpp"
#include "convert.hpp"
#include "panic.hpp"
#include "py.hpp"

namespace {

using namespace quorl_module;

// Returns the bound arguments as a tuple, with Ellipsis for unbound ones.
PyObject* bound_tuple(std::span<PyObject*> bound) {
  owned_ref tuple(PyTuple_New(static_cast<Py_ssize_t>(bound.size())));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < bound.size(); ++i) {
    owned_ref item = new_ref(bound[i] != nullptr ? bound[i] : Py_Ellipsis);
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return tuple.release();
}

// bind_one_required(a, b=..., c=...)
PyObject* bind_one_required(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr const char* parameters[] = {"a", "b", "c"};
    static constexpr Signature signature{"bind_one_required()", parameters, 1};
    PyObject* bound[3];
    if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
    return bound_tuple(bound);
  });
}

// bind_none_required(port=..., reconnect=..., base_delay_ms=..., max_delay_ms=..., max_retries=...)
PyObject* bind_none_required(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr const char* parameters[] = {"port", "reconnect", "base_delay_ms",
                                                 "max_delay_ms", "max_retries"};
    static constexpr Signature signature{"bind_none_required()", parameters, 0};
    PyObject* bound[5];
    if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
    return bound_tuple(bound);
  });
}

// bind_three_required(x, y, z, w=...)
PyObject* bind_three_required(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr const char* parameters[] = {"x", "y", "z", "w"};
    static constexpr Signature signature{"bind_three_required()", parameters, 3};
    PyObject* bound[4];
    if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
    return bound_tuple(bound);
  });
}

// bind_too_few_slots(a, b=..., c=...): binds into one slot too few.
PyObject* bind_too_few_slots(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr const char* parameters[] = {"a", "b", "c"};
    static constexpr Signature signature{"bind_too_few_slots()", parameters, 1};
    PyObject* bound[2];
    if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
    return bound_tuple(bound);
  });
}

// to_byte(value): value converted to 0..255, naming the parameter "value".
PyObject* to_byte(PyObject*, PyObject* value) {
  return guard([&]() -> PyObject* {
    const auto converted = to_long_in_range(value, 0, 255);
    if (!converted) {
      rewrap_argument_error("value");
      return nullptr;
    }
    return PyLong_FromLong(*converted);
  });
}

// refuse(value): raises the conversion TypeError for target "Target",
// re-wrapped for parameter "value".
PyObject* refuse(PyObject*, PyObject* value) {
  return guard([&]() -> PyObject* {
    raise_cannot_convert(value, "Target");
    rewrap_argument_error("value");
    return nullptr;
  });
}

// Throws the fault that `kind` names.
void throw_fault(long kind) {
  switch (kind) {
    case 0:
      throw std::logic_error("broken invariant: frame counter went backwards");
    case 1:
      throw 42;
    case 2:
      throw std::bad_alloc();
    default:
      throw std::runtime_error("bytes \xff\xfe are not UTF-8");
  }
}

// panic(kind): raises a C++ fault inside a guarded entry point.
PyObject* panic(PyObject*, PyObject* kind) {
  return guard([&]() -> PyObject* {
    throw_fault(PyLong_AsLong(kind));
    return nullptr;
  });
}

// panic_in_dealloc(kind, context): raises a C++ fault where no exception can
// be raised, as a deallocation would, and returns None.
PyObject* panic_in_dealloc(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "panic_in_dealloc(kind, context)");
    return nullptr;
  }
  const long kind = PyLong_AsLong(args[0]);
  guard_unraisable(args[1], [&] { throw_fault(kind); });
  return new_ref(Py_None).release();
}

// panic_type(): the PanicException type.
PyObject* panic_type(PyObject*, PyObject*) {
  PyObject* type = panic_exception_type();
  return type != nullptr ? new_ref(type).release() : nullptr;
}

// The complement of the address is no pointer, so nothing keeps the block.
volatile std::uintptr_t lost_address = 0;

// leak(): loses a C++ allocation and an int on purpose, so that a sanitized
// run can show that leaks in code of ours are reported.
PyObject* leak(PyObject*, PyObject*) {
  lost_address = ~reinterpret_cast<std::uintptr_t>(new int[16]{});
  if (PyLong_FromLongLong(1LL << 40) == nullptr) return nullptr;
  return new_ref(Py_None).release();
}

template <class F>
PyCFunction as_cfunction(F* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef probe_methods[] = {
    {"bind_one_required", as_cfunction(bind_one_required), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"bind_none_required", as_cfunction(bind_none_required), METH_FASTCALL | METH_KEYWORDS,
     nullptr},
    {"bind_three_required", as_cfunction(bind_three_required), METH_FASTCALL | METH_KEYWORDS,
     nullptr},
    {"bind_too_few_slots", as_cfunction(bind_too_few_slots), METH_FASTCALL | METH_KEYWORDS,
     nullptr},
    {"to_byte", as_cfunction(to_byte), METH_O, nullptr},
    {"refuse", as_cfunction(refuse), METH_O, nullptr},
    {"panic", as_cfunction(panic), METH_O, nullptr},
    {"panic_in_dealloc", as_cfunction(panic_in_dealloc), METH_FASTCALL, nullptr},
    {"panic_type", as_cfunction(panic_type), METH_NOARGS, nullptr},
    {"leak", as_cfunction(leak), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef probe_module = {
    PyModuleDef_HEAD_INIT,
    "_quorl_probe",
    nullptr,
    -1,
    probe_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__quorl_probe() {
  return PyModule_Create2(&probe_module, 3);
}
