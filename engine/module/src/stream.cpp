// The Stream type: one engine seen from Python. Every method that waits
// releases the interpreter lock only around Handoff::wait(), in slices, and
// holds no Python object and no C++ lock across it (see take()).
#include "stream.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>
#include <utility>
#include <vector>

#include "panic.hpp"
#include "seconds.hpp"
#include "values.hpp"

namespace quorl_engine_module {
namespace {

using quorl_engine::Engine;
using quorl_engine::ErrorRecord;
using quorl_engine::FrameRecord;
using quorl_engine::Handoff;
using quorl_engine::Item;
using Clock = std::chrono::steady_clock;

// Longest wait without a look at the signals: Ctrl-C is answered within it.
constexpr auto WAIT_SLICE = std::chrono::milliseconds(50);

constexpr const char* CLOSED_MESSAGE = "client is closed";

struct StreamState {
  std::shared_ptr<Engine> engine;
  std::optional<double> timeout;
  // An error that pull() found behind the frames it returned; raised next.
  std::optional<ErrorRecord> held;
  // pull()'s frames between the store and the arrays; as large as the store.
  std::vector<FrameRecord> staging;
};

struct StreamObject {
  PyObject_HEAD StreamState* state;
};

PyObject* stream_type_object = nullptr;

StreamState& state_of(PyObject* self) {
  return *reinterpret_cast<StreamObject*>(self)->state;
}

// --- waiting ---

enum class Took { item, timeout, ended, closed, interrupted };

Clock::time_point deadline_after(std::optional<double> timeout) {
  if (!timeout) return Clock::time_point::max();
  const auto now = Clock::now();
  const std::chrono::duration<double> span(*timeout);
  if (span >= Clock::time_point::max() - now) return Clock::time_point::max();
  return now + std::chrono::duration_cast<Clock::duration>(span);
}

bool usable(const StreamState& s) {
  return s.engine->owned_by_this_process() && !s.engine->handoff().closed();
}

// Waits one slice with the interpreter lock released. The lock is retaken by
// a plain call, not a destructor: a thread ended during finalization unwinds
// from PyEval_RestoreThread, and no noexcept frame may stand in its way.
// Returns false when a signal handler raised.
bool wait_slice(Handoff& handoff, Clock::time_point deadline, bool connected_seen) {
  const auto until = std::min(deadline, Clock::now() + WAIT_SLICE);
  PyThreadState* thread = PyEval_SaveThread();
  try {
    handoff.wait(until, connected_seen);
  } catch (const std::exception&) {
    // A failing condition variable: the caller looks again after the slice.
  }
  PyEval_RestoreThread(thread);
  return PyErr_CheckSignals() == 0;
}

// Takes the next item, waiting until `deadline`.
Took take(StreamState& s, Item& out, Clock::time_point deadline) {
  Handoff& handoff = s.engine->handoff();
  for (;;) {
    if (!usable(s)) return Took::closed;
    if (s.held) {
      out = std::move(*s.held);
      s.held.reset();
      return Took::item;
    }
    if (handoff.pop(out)) return Took::item;
    if (handoff.ended()) return handoff.pop(out) ? Took::item : Took::ended;
    if (Clock::now() >= deadline) return Took::timeout;
    if (!wait_slice(handoff, deadline, true)) return Took::interrupted;
  }
}

// Turns an outcome other than an item into its exception (or, when
// iterating, the end of the iteration); returns null.
PyObject* raise_outcome(Took took, bool iterating) {
  switch (took) {
    case Took::timeout:
      raise_timeout();
      break;
    case Took::ended:
      if (!iterating) PyErr_SetString(PyExc_EOFError, "the stream has ended");
      break;
    case Took::closed:
      PyErr_SetString(PyExc_RuntimeError, CLOSED_MESSAGE);
      break;
    case Took::item:
    case Took::interrupted:
      break;
  }
  return nullptr;
}

PyObject* deliver(Item& item) {
  if (auto* frame = std::get_if<FrameRecord>(&item)) return make_frame(*frame);
  const auto& error = std::get<ErrorRecord>(item);
  raise_error(error.error, error.replaced);
  return nullptr;
}

PyObject* receive(PyObject* self, std::optional<double> timeout, bool iterating) {
  StreamState& s = state_of(self);
  Item item;
  const Took took = take(s, item, deadline_after(timeout));
  if (took != Took::item) return raise_outcome(took, iterating);
  return deliver(item);
}

bool read_timeout(PyObject* value, std::optional<double>& out) {
  return quorl_module::read_seconds(value, "timeout", out);
}

// --- methods ---

PyObject* Stream_recv(PyObject* self, PyObject* timeout_arg) {
  return quorl_module::guard([&]() -> PyObject* {
    std::optional<double> timeout;
    if (!read_timeout(timeout_arg, timeout)) return nullptr;
    return receive(self, timeout, false);
  });
}

PyObject* Stream_iternext(PyObject* self) {
  return quorl_module::guard(
      [&]() -> PyObject* { return receive(self, state_of(self).timeout, true); });
}

PyObject* Stream_iter(PyObject* self) {
  Py_IncRef(self);
  return self;
}

PyObject* Stream_poll(PyObject* self, PyObject* /*unused*/) {
  return quorl_module::guard([&]() -> PyObject* {
    StreamState& s = state_of(self);
    Item item;
    const Took took = take(s, item, Clock::time_point::min());
    if (took == Took::timeout) return quorl_module::new_ref(Py_None).release();
    if (took != Took::item) return raise_outcome(took, false);
    return deliver(item);
  });
}

// Copies the field `field` of the records of one stream into `out`.
template <class Field>
void fill_column(std::vector<const FrameRecord*>& records, char* out, Field field) {
  for (const FrameRecord* record : records) {
    const auto value = field(*record);
    std::memcpy(out, &value, sizeof value);
    out += sizeof value;
  }
}

// Returns (kind, side, time bytes, seq bytes, value bytes) of the frames of
// one stream: float64, int64 and float64 arrays in native byte order.
PyObject* make_batch(const std::vector<const FrameRecord*>& records) {
  const FrameRecord& first = *records.front();
  const auto n = static_cast<Py_ssize_t>(records.size());
  owned_ref times(PyByteArray_FromStringAndSize(nullptr, n * 8));
  owned_ref seqs(PyByteArray_FromStringAndSize(nullptr, n * 8));
  owned_ref values(PyByteArray_FromStringAndSize(nullptr, n * first.count * 8));
  if (!times || !seqs || !values) return nullptr;
  char* time_out = PyByteArray_AsString(times.get());
  char* seq_out = PyByteArray_AsString(seqs.get());
  char* value_out = PyByteArray_AsString(values.get());
  for (const FrameRecord* record : records) {
    std::memcpy(time_out, &record->time, 8);
    const auto seq = static_cast<std::int64_t>(record->seq);
    std::memcpy(seq_out, &seq, 8);
    std::memcpy(value_out, record->values.data(), record->count * 8);
    time_out += 8;
    seq_out += 8;
    value_out += record->count * 8;
  }
  return PyTuple_Pack(5, kind_object(first.type), side_object(first.side), times.get(), seqs.get(),
                      values.get());
}

PyObject* batches_of(const std::vector<FrameRecord>& staging) {
  std::array<std::vector<const FrameRecord*>, quorl_engine::STREAM_COUNT> streams;
  for (const FrameRecord& record : staging) {
    streams[*quorl_engine::stream_index(record.type, record.side)].push_back(&record);
  }
  owned_ref batches(PyList_New(0));
  if (!batches) return nullptr;
  for (const auto& records : streams) {
    if (records.empty()) continue;
    owned_ref batch(make_batch(records));
    if (!batch || PyList_Append(batches.get(), batch.get()) < 0) return nullptr;
  }
  return batches.release();
}

PyObject* Stream_pull(PyObject* self, PyObject* timeout_arg) {
  return quorl_module::guard([&]() -> PyObject* {
    std::optional<double> timeout;
    if (!read_timeout(timeout_arg, timeout)) return nullptr;
    StreamState& s = state_of(self);
    Item item;
    const Took took = take(s, item, deadline_after(timeout));
    if (took != Took::item) return raise_outcome(took, false);
    if (std::holds_alternative<ErrorRecord>(item)) return deliver(item);
    s.staging.clear();
    s.staging.push_back(std::get<FrameRecord>(item));
    while (s.engine->handoff().pop(item)) {
      if (auto* error = std::get_if<ErrorRecord>(&item)) {
        s.held = std::move(*error);
        break;
      }
      s.staging.push_back(std::get<FrameRecord>(item));
    }
    return batches_of(s.staging);
  });
}

PyObject* Stream_latest(PyObject* self, PyObject* /*unused*/) {
  return quorl_module::guard([&]() -> PyObject* {
    StreamState& s = state_of(self);
    if (!usable(s)) return raise_outcome(Took::closed, false);
    std::array<std::optional<FrameRecord>, quorl_engine::STREAM_COUNT> newest;
    s.engine->handoff().newest(newest);
    owned_ref result(PyDict_New());
    if (!result) return nullptr;
    for (const auto& record : newest) {
      if (!record) continue;
      owned_ref frame(make_frame(*record));
      if (!frame) return nullptr;
      owned_ref key(PyTuple_Pack(2, kind_object(record->type), side_object(record->side)));
      if (!key || PyDict_SetItem(result.get(), key.get(), frame.get()) < 0) return nullptr;
    }
    return result.release();
  });
}

PyObject* Stream_wait_connected(PyObject* self, PyObject* /*unused*/) {
  return quorl_module::guard([&]() -> PyObject* {
    StreamState& s = state_of(self);
    Handoff& handoff = s.engine->handoff();
    while (!handoff.connected()) {
      if (!usable(s)) return raise_outcome(Took::closed, false);
      if (!wait_slice(handoff, Clock::time_point::max(), false)) return nullptr;
    }
    if (auto error = handoff.take_connect_error()) {
      raise_error(*error);
      return nullptr;
    }
    return PyLong_FromLong(handoff.port());
  });
}

PyObject* Stream_connect_result(PyObject* self, PyObject* /*unused*/) {
  return quorl_module::guard([&]() -> PyObject* {
    Handoff& handoff = state_of(self).engine->handoff();
    if (!handoff.connected()) return quorl_module::new_ref(Py_None).release();
    if (auto error = handoff.take_connect_error()) {
      raise_error(*error);
      return nullptr;
    }
    return PyLong_FromLong(handoff.port());
  });
}

PyObject* Stream_arm(PyObject* self, PyObject* connected_seen) {
  return quorl_module::guard([&]() -> PyObject* {
    StreamState& s = state_of(self);
    const int seen = PyObject_IsTrue(connected_seen);
    if (seen < 0) return nullptr;
    const bool wait = usable(s) && !s.held && s.engine->handoff().arm(seen != 0);
    return PyBool_FromLong(wait);
  });
}

PyObject* Stream_disarm(PyObject* self, PyObject* /*unused*/) {
  StreamState& s = state_of(self);
  if (s.engine->owned_by_this_process()) s.engine->handoff().disarm();
  return quorl_module::new_ref(Py_None).release();
}

PyObject* Stream_fileno(PyObject* self, PyObject* /*unused*/) {
  return PyLong_FromLong(state_of(self).engine->handoff().wake_fd());
}

// Stops the engine, then waits up to `timeout` seconds for its thread to
// have closed the socket (at once, unless it waits in a name lookup).
PyObject* Stream_close(PyObject* self, PyObject* timeout_arg) {
  return quorl_module::guard([&]() -> PyObject* {
    std::optional<double> timeout;
    if (!read_timeout(timeout_arg, timeout)) return nullptr;
    Engine& engine = *state_of(self).engine;
    engine.stop();
    if (!engine.owned_by_this_process()) return quorl_module::new_ref(Py_None).release();
    const auto deadline = deadline_after(timeout);
    while (!engine.finished() && Clock::now() < deadline) {
      const auto until = std::min(deadline, Clock::now() + WAIT_SLICE);
      PyThreadState* thread = PyEval_SaveThread();
      engine.wait_finished(until);
      PyEval_RestoreThread(thread);
      if (PyErr_CheckSignals() < 0) return nullptr;
    }
    return quorl_module::new_ref(Py_None).release();
  });
}

PyObject* Stream_get_finished(PyObject* self, void*) {
  return PyBool_FromLong(state_of(self).engine->finished());
}

PyObject* Stream_get_port(PyObject* self, void*) {
  return PyLong_FromLong(state_of(self).engine->handoff().port());
}
PyObject* Stream_get_received(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(state_of(self).engine->handoff().received());
}
PyObject* Stream_get_dropped(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(state_of(self).engine->handoff().dropped());
}
PyObject* Stream_get_reconnections(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(state_of(self).engine->reconnections());
}
PyObject* Stream_get_closed(PyObject* self, void*) {
  return PyBool_FromLong(!usable(state_of(self)));
}
PyObject* Stream_get_queued(PyObject* self, void*) {
  StreamState& s = state_of(self);
  return PyLong_FromSize_t(usable(s) ? s.engine->handoff().size() : 0);
}

void Stream_dealloc(PyObject* self) {
  auto* object = reinterpret_cast<StreamObject*>(self);
  if (StreamState* s = std::exchange(object->state, nullptr)) {
    if (s->engine->owned_by_this_process()) {
      s->engine->stop();
    } else {
      // Inherited through fork(): its thread, locks and socket are the
      // parent's. Leave every part of it alone.
      new std::shared_ptr<Engine>(std::move(s->engine));
    }
    delete s;
  }
  PyTypeObject* type = Py_TYPE(self);
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DecRef(reinterpret_cast<PyObject*>(type));
}

PyMethodDef Stream_methods[] = {
    {"recv", Stream_recv, METH_O, "recv(timeout) -> Frame; waits for the next frame."},
    {"poll", Stream_poll, METH_NOARGS, "poll() -> Frame | None; takes a frame without waiting."},
    {"pull", Stream_pull, METH_O, "pull(timeout) -> list of (kind, side, times, seqs, values)."},
    {"latest", Stream_latest, METH_NOARGS, "latest() -> dict of the newest frame per stream."},
    {"wait_connected", Stream_wait_connected, METH_NOARGS, "wait_connected() -> port."},
    {"connect_result", Stream_connect_result, METH_NOARGS, "connect_result() -> port | None."},
    {"arm", Stream_arm, METH_O, "arm(connected_seen) -> bool; True: wait for fileno()."},
    {"disarm", Stream_disarm, METH_NOARGS, "disarm(); makes fileno() unreadable again."},
    {"fileno", Stream_fileno, METH_NOARGS, "fileno() -> the descriptor armed waits watch."},
    {"close", Stream_close, METH_O, "close(timeout); ends the engine at once."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef Stream_getset[] = {
    {"port", Stream_get_port, nullptr, nullptr, nullptr},
    {"received", Stream_get_received, nullptr, nullptr, nullptr},
    {"dropped", Stream_get_dropped, nullptr, nullptr, nullptr},
    {"reconnections", Stream_get_reconnections, nullptr, nullptr, nullptr},
    {"closed", Stream_get_closed, nullptr, nullptr, nullptr},
    {"queued", Stream_get_queued, nullptr, nullptr, nullptr},
    {"finished", Stream_get_finished, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot Stream_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(Stream_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(Stream_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(Stream_iternext)},
    {Py_tp_methods, Stream_methods},
    {Py_tp_getset, Stream_getset},
    {Py_tp_doc, const_cast<char*>("One connection's engine; made by start().")},
    {0, nullptr},
};

PyType_Spec Stream_spec = {
    "quorl_sdk._engine.Stream",
    sizeof(StreamObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    Stream_slots,
};

}  // namespace

PyObject* init_stream_type() {
  stream_type_object = PyType_FromSpec(&Stream_spec);
  return stream_type_object;
}

PyObject* new_stream(std::shared_ptr<Engine> engine, std::optional<double> timeout) {
  auto* type = reinterpret_cast<PyTypeObject*>(stream_type_object);
  PyObject* self = PyType_GenericAlloc(type, 0);
  if (self == nullptr) {
    engine->stop();
    return nullptr;
  }
  reinterpret_cast<StreamObject*>(self)->state =
      new StreamState{std::move(engine), timeout, std::nullopt, {}};
  return self;
}

}  // namespace quorl_engine_module
