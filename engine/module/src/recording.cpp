// The Recording type: a recording the engine thread writes, seen from Python.
#include "recording.hpp"

#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "gil.hpp"
#include "panic.hpp"
#include "values.hpp"

namespace quorl_engine_module {
namespace {

using quorl_engine::Engine;
using quorl_engine::Recorder;
using quorl_engine::RecordFailure;

struct RecordingState {
  std::shared_ptr<Engine> engine;
  std::shared_ptr<Recorder> recorder;
};

struct RecordingObject {
  PyObject_HEAD RecordingState* state;
};

PyObject* recording_type_object = nullptr;

RecordingState& state_of(PyObject* self) {
  return *reinterpret_cast<RecordingObject*>(self)->state;
}

// Sets OSError(errno, strerror, path), which Python turns into its subclass
// of the errno (FileNotFoundError, ...).
void raise_os_error(const RecordFailure& failure) {
  owned_ref path(PyUnicode_DecodeFSDefaultAndSize(failure.path.data(),
                                                  static_cast<Py_ssize_t>(failure.path.size())));
  if (!path) return;
  owned_ref error(PyObject_CallFunction(PyExc_OSError, "isO", failure.error,
                                        std::strerror(failure.error), path.get()));
  if (!error) return;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
}

PyObject* Recording_stop(PyObject* self, PyObject* /*unused*/) {
  return quorl_module::guard([&]() -> PyObject* {
    RecordingState& s = state_of(self);
    // The last flush and the close may wait for the disk.
    const auto stopped =
        quorl_module::without_gil([&] { return s.engine->stop_recording(*s.recorder); });
    if (!stopped) {
      raise_os_error(stopped.error());
      return nullptr;
    }
    return quorl_module::new_ref(Py_None).release();
  });
}

PyObject* Recording_get_frames(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(state_of(self).recorder->frames());
}

// The frames of each (kind, side) written so far, for the streams seen.
PyObject* Recording_get_stream_frames(PyObject* self, void*) {
  return quorl_module::guard([&]() -> PyObject* {
    const auto counts = state_of(self).recorder->stream_frames();
    owned_ref result(PyDict_New());
    if (!result) return nullptr;
    for (unsigned type = 0; type < 256; ++type) {
      for (const std::uint8_t side : {quorl_engine::NO_SIDE, std::uint8_t{0}, std::uint8_t{1}}) {
        const auto stream = quorl_engine::stream_index(static_cast<std::uint8_t>(type), side);
        // A body stream answers to every side byte: take it once, without one.
        if (!stream || counts[*stream] == 0 ||
            (side != quorl_engine::NO_SIDE &&
             quorl_engine::stream_index(static_cast<std::uint8_t>(type), quorl_engine::NO_SIDE))) {
          continue;
        }
        owned_ref key(
            PyTuple_Pack(2, kind_object(static_cast<std::uint8_t>(type)), side_object(side)));
        owned_ref count(PyLong_FromUnsignedLongLong(counts[*stream]));
        if (!key || !count || PyDict_SetItem(result.get(), key.get(), count.get()) < 0) {
          return nullptr;
        }
      }
    }
    return result.release();
  });
}

void Recording_dealloc(PyObject* self) {
  // The engine keeps writing until stop() or the client's close: a
  // recording whose handle is dropped still ends whole.
  delete std::exchange(reinterpret_cast<RecordingObject*>(self)->state, nullptr);
  PyTypeObject* type = Py_TYPE(self);
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DecRef(reinterpret_cast<PyObject*>(type));
}

PyMethodDef Recording_methods[] = {
    {"stop", Recording_stop, METH_NOARGS,
     "stop(); ends the recording and closes the file, raising OSError if a write failed."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef Recording_getset[] = {
    {"frames", Recording_get_frames, nullptr, nullptr, nullptr},
    {"stream_frames", Recording_get_stream_frames, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot Recording_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(Recording_dealloc)},
    {Py_tp_methods, Recording_methods},
    {Py_tp_getset, Recording_getset},
    {Py_tp_doc, const_cast<char*>("A recording the engine writes; made by Stream.record().")},
    {0, nullptr},
};

PyType_Spec Recording_spec = {
    "quorl_sdk._engine.Recording",
    sizeof(RecordingObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    Recording_slots,
};

PyObject* already_recording() {
  PyErr_SetString(PyExc_RuntimeError, "the client is recording already");
  return nullptr;
}

std::optional<quorl_sdk::CloseStatus> status_of(Engine& engine) {
  // Set before the stream ends: nothing shows while it runs.
  if (!engine.handoff().ended()) return std::nullopt;
  return engine.close_status();
}

}  // namespace

PyObject* init_recording_type() {
  recording_type_object = PyType_FromSpec(&Recording_spec);
  return recording_type_object;
}

PyObject* start_recording(const std::shared_ptr<Engine>& engine, PyObject* path) {
  char* bytes = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(path, &bytes, &size) < 0) return nullptr;
  // Refused before the file is made: a file of that name stays as it was.
  if (engine->recording()) return already_recording();
  std::string file(bytes, static_cast<std::size_t>(size));
  auto created = quorl_module::without_gil([&] { return Recorder::create(file); });
  if (!created) {
    raise_os_error(created.error());
    return nullptr;
  }
  std::shared_ptr<Recorder> recorder = std::move(*created);
  if (!engine->start_recording(recorder)) {
    (void)recorder->finish();
    return already_recording();
  }
  auto* type = reinterpret_cast<PyTypeObject*>(recording_type_object);
  PyObject* self = PyType_GenericAlloc(type, 0);
  if (self == nullptr) {
    (void)engine->stop_recording(*recorder);
    return nullptr;
  }
  reinterpret_cast<RecordingObject*>(self)->state = new RecordingState{engine, std::move(recorder)};
  return self;
}

PyObject* close_code(Engine& engine) {
  const auto status = status_of(engine);
  if (!status) return quorl_module::new_ref(Py_None).release();
  return PyLong_FromLong(status->code);
}

PyObject* close_reason(Engine& engine) {
  const auto status = status_of(engine);
  if (!status) return quorl_module::new_ref(Py_None).release();
  return PyUnicode_DecodeUTF8(status->reason.data(), static_cast<Py_ssize_t>(status->reason.size()),
                              "replace");
}

bool raise_recording_failure(Engine& engine) {
  const auto failure = engine.take_recording_failure();
  if (!failure) return false;
  raise_os_error(*failure);
  return true;
}

}  // namespace quorl_engine_module
