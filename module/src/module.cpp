// The module _quorl_sdk: its one exported entry point, PyInit__quorl_sdk, and
// the registration of its contents.
#include <atomic>
#include <cstdint>
#include <stdexcept>

#include "connect.hpp"
#include "convert.hpp"
#include "decode_frame.hpp"
#include "panic.hpp"
#include "py.hpp"
#include "quorl_protocol/decode.hpp"
#include "quorl_sdk/addressing.hpp"
#include "raw_client.hpp"

namespace quorl_module {
namespace {

// Stable-ABI value of the module API version handed to PyModule_Create2.
constexpr int kModuleApiVersion = 3;

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_quorl_sdk",  // m_name
    "",            // m_doc
    0,             // m_size: no per-module state
    nullptr,       // m_methods: every attribute is registered by register_contents
    nullptr,       // m_slots
    nullptr,       // m_traverse
    nullptr,       // m_clear
    nullptr,       // m_free
};

// ID of the interpreter that imported the module first; -1 until then.
std::atomic<std::int64_t> owning_interpreter{-1};

// The module made by the first successful import, handed out again on every
// later one; a strong reference kept for the life of the process.
PyObject* module_object = nullptr;

// One entry of the module's contents: the attribute's name (null: the value's
// own __name__) and how to make its value.
struct Registration {
  const char* name;
  owned_ref (*make_value)(PyObject* module);
};

// Makes a function object bound to the module, so that its __self__ is the
// module and its __module__ the module's name.
template <PyMethodDef* def>
owned_ref function(PyObject* module) {
  const owned_ref module_name(PyModule_GetNameObject(module));
  if (!module_name) return owned_ref();
  return owned_ref(PyCMethod_New(def, module, module_name.get(), nullptr));
}

owned_ref raw_client(PyObject* /*module*/) {
  PyObject* type = raw_client_type();
  return type != nullptr ? new_ref(type) : owned_ref();
}

template <long value>
owned_ref integer(PyObject* /*module*/) {
  return owned_ref(PyLong_FromLong(value));
}

// The module's contents in registration order, which is also the order of
// __all__.
constexpr Registration kContents[] = {
    {"RawClient", raw_client},
    {nullptr, function<&connect_raw_def>},
    {nullptr, function<&connect_url_raw_def>},
    {nullptr, function<&decode_frame_def>},
    {"WEBSOCKET_PORT_START", integer<quorl_sdk::WEBSOCKET_PORT_START>},
    {"WEBSOCKET_PORT_END", integer<quorl_sdk::WEBSOCKET_PORT_END>},
    {"MSG_BODY_ISB_ANGLES", integer<quorl_protocol::MSG_BODY_ISB_ANGLES>},
    {"MSG_HAND_ISB_ANGLES", integer<quorl_protocol::MSG_HAND_ISB_ANGLES>},
};

// Returns the module's __all__ list, creating an empty one when it is absent.
owned_ref all_list(PyObject* module) {
  owned_ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return all;
    PyErr_Clear();
    all.reset(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return owned_ref();
    return all;
  }
  if (!PyList_Check(all.get())) {
    raise_cannot_convert(all.get(), "PyList");
    return owned_ref();
  }
  return all;
}

// Adds one entry to __all__ and sets it as an attribute of the module.
bool register_entry(PyObject* module, const Registration& entry) {
  const owned_ref value = entry.make_value(module);
  if (!value) return false;
  const owned_ref name(entry.name != nullptr ? PyUnicode_FromString(entry.name)
                                             : PyObject_GetAttrString(value.get(), "__name__"));
  if (!name) return false;
  const owned_ref all = all_list(module);
  if (!all) return false;
  if (PyList_Append(all.get(), name.get()) < 0) {
    throw std::logic_error("could not append __name__ to __all__");
  }
  return PyObject_SetAttr(module, name.get(), value.get()) == 0;
}

// Performs every registration in order, stopping at the first failure.
bool register_contents(PyObject* module) {
  for (const Registration& entry : kContents) {
    if (!register_entry(module, entry)) return false;
  }
  return true;
}

// Claims the module for the calling interpreter; fails for any other.
bool claim_interpreter() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) {
    if (PyErr_Occurred() == nullptr) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return false;
  }
  std::int64_t owner = -1;
  if (!owning_interpreter.compare_exchange_strong(owner, id) && owner != id) {
    PyErr_SetString(PyExc_ImportError,
                    "_quorl_sdk does not support sub-interpreters: it can be imported by "
                    "one interpreter per process only");
    return false;
  }
  return true;
}

PyObject* import_module() {
  if (!claim_interpreter()) return nullptr;
  if (module_object != nullptr) return new_ref(module_object).release();
  // Made now rather than at a first fault, so that quorl_sdk._engine finds
  // the class when it is imported and raises the same one.
  if (panic_exception_type() == nullptr) return nullptr;
  owned_ref module(PyModule_Create2(&module_def, kModuleApiVersion));
  if (!module || !register_contents(module.get())) return nullptr;
  module_object = new_ref(module.get()).release();
  return module.release();
}

}  // namespace
}  // namespace quorl_module

PyMODINIT_FUNC PyInit__quorl_sdk() {
  return quorl_module::guard([] { return quorl_module::import_module(); });
}
