#include "constants.hpp"

#include "quorl_protocol/decode.hpp"
#include "quorl_sdk/addressing.hpp"

namespace quorl_engine_module {
namespace {

using quorl_module::owned_ref;

// ((type byte, has side, values per frame), ...) in table order.
PyObject* frame_table() {
  const auto& rows = quorl_protocol::FrameTypes::rows;
  owned_ref table(PyTuple_New(static_cast<Py_ssize_t>(rows.size())));
  if (!table) return nullptr;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    PyObject* row = Py_BuildValue("(iOn)", rows[i].type, rows[i].has_side ? Py_True : Py_False,
                                  static_cast<Py_ssize_t>(rows[i].value_count));
    if (!row || PyTuple_SetItem(table.get(), static_cast<Py_ssize_t>(i), row) < 0) return nullptr;
  }
  return table.release();
}

// Adds `value` (a new reference, or null with an exception set) as `name`.
bool add_object(PyObject* module, const char* name, PyObject* value) {
  owned_ref owned(value);
  if (!owned || PyModule_AddObject(module, name, owned.get()) < 0) return false;
  owned.release();
  return true;
}

}  // namespace

bool add_constants(PyObject* module) {
  return add_object(module, "FRAME_TYPES", frame_table()) &&
         add_object(module, "DISCOVERY_PORTS",
                    Py_BuildValue("(ii)", quorl_sdk::WEBSOCKET_PORT_START,
                                  quorl_sdk::WEBSOCKET_PORT_END)) &&
         PyModule_AddIntConstant(module, "PROTOCOL_VERSION", quorl_protocol::PROTOCOL_VERSION) == 0;
}

}  // namespace quorl_engine_module
