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
#include "recording.hpp"
#include "seconds.hpp"
#include "values.hpp"

namespace quorl_engine_module {
namespace {

using quorl_engine::Engine;
using quorl_engine::ErrorRecord;
using quorl_engine::FrameRecord;
using quorl_engine::Handoff;
using quorl_engine::Item;
using quorl_engine::STREAM_COUNT;
using quorl_engine::Take;
using Clock = std::chrono::steady_clock;

// Longest wait without a look at the signals: Ctrl-C is answered within it.
constexpr auto WAIT_SLICE = std::chrono::milliseconds(50);

constexpr const char* CLOSED_MESSAGE = "client is closed";

struct StreamState {
  std::shared_ptr<Engine> engine;
  std::optional<double> timeout;
  // An error that a pull found behind the frames it returned; raised next.
  std::optional<ErrorRecord> held;
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

// Waits until `deadline` for an item to wait, without taking it: another
// reader may take it first.
Took await_item(const StreamState& s, Clock::time_point deadline) {
  Handoff& handoff = s.engine->handoff();
  for (;;) {
    if (!usable(s)) return Took::closed;
    if (raise_recording_failure(*s.engine)) return Took::interrupted;
    if (s.held || handoff.size() > 0) return Took::item;
    if (handoff.ended()) return handoff.size() > 0 ? Took::item : Took::ended;
    if (Clock::now() >= deadline) return Took::timeout;
    if (!wait_slice(handoff, deadline, true)) return Took::interrupted;
  }
}

// Takes the next item, waiting until `deadline`.
Took take(StreamState& s, Item& out, Clock::time_point deadline) {
  for (;;) {
    const Took took = await_item(s, deadline);
    if (took != Took::item) return took;
    if (s.held) {
      out = *std::exchange(s.held, std::nullopt);
      return Took::item;
    }
    if (s.engine->handoff().pop(out)) return Took::item;
  }
}

// Waits as take() does, then offers the frames waiting, in order, to
// `on_frame(const FrameRecord&)` (which answers as a take_each() visitor)
// until it stops or an error comes. An error found first lands in `error`;
// one behind taken frames is held for the next call. Returns Took::item once
// anything was offered, even if `on_frame` took nothing.
template <class OnFrame>
Took take_frames(StreamState& s, Clock::time_point deadline, OnFrame&& on_frame,
                 std::optional<ErrorRecord>& error) {
  for (;;) {
    const Took took = await_item(s, deadline);
    if (took != Took::item) return took;
    if (s.held) {
      error = std::exchange(s.held, std::nullopt);
      return Took::item;
    }
    std::size_t offered = 0;
    std::size_t frames = 0;
    s.engine->handoff().take_each([&](Item& item) {
      ++offered;
      if (auto* found = std::get_if<ErrorRecord>(&item)) {
        (frames == 0 ? error : s.held) = std::move(*found);
        return Take::item_and_stop;
      }
      const Take answer = on_frame(std::get<FrameRecord>(item));
      if (answer != Take::stop) ++frames;
      return answer;
    });
    if (offered > 0) return Took::item;
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

PyObject* batches_of(const std::vector<FrameRecord>& frames) {
  std::array<std::vector<const FrameRecord*>, STREAM_COUNT> streams;
  for (const FrameRecord& record : frames) {
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
    // Each call has frames of its own: code that runs while the arrays are
    // made (a collection, a finalizer) may pull on another thread.
    std::vector<FrameRecord> frames;
    std::optional<ErrorRecord> error;
    const Took took = take_frames(
        state_of(self), deadline_after(timeout),
        [&](const FrameRecord& record) {
          frames.push_back(record);
          return Take::item;
        },
        error);
    if (took != Took::item) return raise_outcome(took, false);
    if (frames.empty() && error) {
      Item item(std::move(*error));
      return deliver(item);
    }
    return batches_of(frames);
  });
}

// --- pulling into the caller's arrays ---

// The arrays of one stream that pull_into() writes: `capacity` frames each.
struct Columns {
  double* time = nullptr;
  std::int64_t* seq = nullptr;
  double* values = nullptr;
  std::size_t values_per_frame = 0;
};

// Where pull_into() writes, read from the table the package's Buffers make.
struct Sink {
  std::array<std::optional<Columns>, STREAM_COUNT> streams;
  std::int64_t* counts = nullptr;  // frames written per stream
  std::size_t capacity = 0;
};

template <class T>
bool read_address(PyObject* value, T*& out) {
  out = static_cast<T*>(PyLong_AsVoidPtr(value));
  return out != nullptr || PyErr_Occurred() == nullptr;
}

bool read_columns(PyObject* entry, std::optional<Columns>& out) {
  if (entry == Py_None) return true;
  Columns columns;
  PyObject* stride = PyTuple_GetItem(entry, 3);
  if (stride == nullptr || !read_address(PyTuple_GetItem(entry, 0), columns.time) ||
      !read_address(PyTuple_GetItem(entry, 1), columns.seq) ||
      !read_address(PyTuple_GetItem(entry, 2), columns.values)) {
    return false;
  }
  columns.values_per_frame = PyLong_AsSize_t(stride);
  if (PyErr_Occurred() != nullptr) return false;
  out = columns;
  return true;
}

// Reads (counts address, capacity, per stream None or (time, seq, values
// addresses, values per frame)); false with an exception set.
bool read_sink(PyObject* table, Sink& out) {
  PyObject* streams = PyTuple_GetItem(table, 2);
  if (streams == nullptr || !read_address(PyTuple_GetItem(table, 0), out.counts)) return false;
  out.capacity = PyLong_AsSize_t(PyTuple_GetItem(table, 1));
  if (PyErr_Occurred() != nullptr) return false;
  if (out.counts == nullptr || PyTuple_Size(streams) != static_cast<Py_ssize_t>(STREAM_COUNT)) {
    PyErr_SetString(PyExc_ValueError, "a sink has counts and names every stream");
    return false;
  }
  for (std::size_t stream = 0; stream < STREAM_COUNT; ++stream) {
    if (!read_columns(PyTuple_GetItem(streams, static_cast<Py_ssize_t>(stream)),
                      out.streams[stream])) {
      return false;
    }
  }
  return true;
}

// Copies a frame into its stream's arrays: the one copy out of the queue.
Take write_frame(Sink& sink, const FrameRecord& record, const FrameRecord*& unplaced) {
  const std::size_t stream = *quorl_engine::stream_index(record.type, record.side);
  const auto& columns = sink.streams[stream];
  if (!columns) {
    unplaced = &record;
    return Take::stop;
  }
  auto& count = sink.counts[stream];
  const auto row = static_cast<std::size_t>(count);
  if (row >= sink.capacity) return Take::stop;
  columns->time[row] = record.time;
  columns->seq[row] = static_cast<std::int64_t>(record.seq);
  std::memcpy(columns->values + row * columns->values_per_frame, record.values.data(),
              std::min<std::size_t>(record.count, columns->values_per_frame) * sizeof(double));
  ++count;
  return Take::item;
}

// Raises KeyError((kind, side)) for a frame whose stream has no arrays.
PyObject* raise_unplaced(std::uint8_t type, std::uint8_t side) {
  owned_ref key(PyTuple_Pack(2, kind_object(type), side_object(side)));
  if (!key) return nullptr;
  owned_ref arguments(PyTuple_Pack(1, key.get()));  // a tuple value would be the arguments
  if (arguments) PyErr_SetObject(PyExc_KeyError, arguments.get());
  return nullptr;
}

PyObject* Stream_pull_into(PyObject* self, PyObject* const* args, Py_ssize_t count) {
  return quorl_module::guard([&]() -> PyObject* {
    if (count != 2) {
      PyErr_SetString(PyExc_TypeError, "pull_into() takes a sink and a timeout");
      return nullptr;
    }
    Sink sink;
    std::optional<double> timeout;
    if (!read_sink(args[0], sink) || !read_timeout(args[1], timeout)) return nullptr;
    std::fill_n(sink.counts, STREAM_COUNT, 0);
    std::size_t written = 0;
    std::optional<ErrorRecord> error;
    std::optional<std::pair<std::uint8_t, std::uint8_t>> unplaced;
    const Took took = take_frames(
        state_of(self), deadline_after(timeout),
        [&](const FrameRecord& record) {
          const FrameRecord* refused = nullptr;
          const Take answer = write_frame(sink, record, refused);
          if (answer == Take::item) ++written;
          if (refused != nullptr && written == 0) unplaced.emplace(refused->type, refused->side);
          return answer;
        },
        error);
    if (took != Took::item) return raise_outcome(took, false);
    if (written == 0 && unplaced) return raise_unplaced(unplaced->first, unplaced->second);
    if (written == 0 && error) {
      Item item(std::move(*error));
      return deliver(item);
    }
    return PyLong_FromSize_t(written);
  });
}

PyObject* Stream_latest(PyObject* self, PyObject* /*unused*/) {
  return quorl_module::guard([&]() -> PyObject* {
    StreamState& s = state_of(self);
    if (!usable(s)) return raise_outcome(Took::closed, false);
    if (raise_recording_failure(*s.engine)) return nullptr;
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

PyObject* Stream_record(PyObject* self, PyObject* path) {
  return quorl_module::guard([&]() -> PyObject* {
    StreamState& s = state_of(self);
    if (!usable(s)) return raise_outcome(Took::closed, false);
    return start_recording(s.engine, path);
  });
}

PyObject* Stream_get_close_code(PyObject* self, void*) {
  return close_code(*state_of(self).engine);
}
PyObject* Stream_get_close_reason(PyObject* self, void*) {
  return close_reason(*state_of(self).engine);
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
    {"pull_into", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Stream_pull_into)),
     METH_FASTCALL, "pull_into(sink, timeout) -> frames written into the sink's arrays."},
    {"latest", Stream_latest, METH_NOARGS, "latest() -> dict of the newest frame per stream."},
    {"wait_connected", Stream_wait_connected, METH_NOARGS, "wait_connected() -> port."},
    {"connect_result", Stream_connect_result, METH_NOARGS, "connect_result() -> port | None."},
    {"arm", Stream_arm, METH_O, "arm(connected_seen) -> bool; True: wait for fileno()."},
    {"disarm", Stream_disarm, METH_NOARGS, "disarm(); makes fileno() unreadable again."},
    {"fileno", Stream_fileno, METH_NOARGS, "fileno() -> the descriptor armed waits watch."},
    {"close", Stream_close, METH_O, "close(timeout); ends the engine at once."},
    {"record", Stream_record, METH_O, "record(path: bytes) -> Recording; the engine writes."},
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
    {"close_code", Stream_get_close_code, nullptr, nullptr, nullptr},
    {"close_reason", Stream_get_close_reason, nullptr, nullptr, nullptr},
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

bool add_stream_constants(PyObject* module) {
  owned_ref streams(PyTuple_New(STREAM_COUNT));
  if (!streams) return false;
  for (std::size_t stream = 0; stream < STREAM_COUNT; ++stream) {
    const unsigned type = quorl_engine::STREAMS.type[stream];
    const std::uint8_t side = quorl_engine::STREAMS.side[stream];
    PyObject* entry = side == quorl_engine::NO_SIDE ? Py_BuildValue("(IO)", type, Py_None)
                                                    : Py_BuildValue("(II)", type, unsigned{side});
    if (entry == nullptr) return false;
    PyTuple_SetItem(streams.get(), static_cast<Py_ssize_t>(stream), entry);
  }
  owned_ref bound(PyLong_FromSize_t(quorl_engine::MAX_QUEUE));
  if (!bound || PyModule_AddObject(module, "MAX_QUEUE", bound.get()) < 0) return false;
  bound.release();
  if (PyModule_AddObject(module, "STREAMS", streams.get()) < 0) return false;
  streams.release();
  return true;
}

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
      new StreamState{std::move(engine), timeout, std::nullopt};
  return self;
}

}  // namespace quorl_engine_module
