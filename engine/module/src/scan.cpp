// The module's bulk reader of recordings, scan_recording().
#include "scan.hpp"

#include <limits>
#include <variant>

#include "convert.hpp"
#include "gil.hpp"
#include "panic.hpp"
#include "quorl_engine/recording_scan.hpp"
#include "values.hpp"

namespace quorl_engine_module {
namespace {

using quorl_engine::RecordingFault;
using quorl_engine::RecordingSurvey;
using quorl_engine::STREAM_COUNT;
using quorl_module::owned_ref;

// (offset, reason), or None.
PyObject* fault_object(const std::optional<RecordingFault>& fault) {
  if (!fault) return quorl_module::new_ref(Py_None).release();
  return Py_BuildValue("(Ks)", static_cast<unsigned long long>(fault->offset),
                       fault->reason.c_str());
}

// (end, cut, damage, streams) with `damage` set and no streams.
PyObject* damaged(const RecordingFault& fault) {
  owned_ref damage(fault_object(fault));
  owned_ref streams(PyList_New(0));
  if (!damage || !streams) return nullptr;
  return Py_BuildValue("(KOOO)", static_cast<unsigned long long>(fault.offset), Py_None,
                       damage.get(), streams.get());
}

// Sets the OSError of a failed read, naming the file.
PyObject* raise_read_failure(const quorl_engine::ReadFailure& failure, PyObject* path) {
  errno = failure.error;
  return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
}

// A stream's arrays as bytearrays of float64, before they are filled.
struct StreamArrays {
  owned_ref times;
  owned_ref values;
};

bool allocate(const RecordingSurvey& survey, std::array<StreamArrays, STREAM_COUNT>& arrays,
              std::array<quorl_engine::StreamColumns, STREAM_COUNT>& columns,
              const std::array<std::size_t, STREAM_COUNT>& widths) {
  for (const std::size_t stream : survey.order) {
    const std::uint64_t rows = survey.frames[stream];
    if (rows > static_cast<std::uint64_t>(std::numeric_limits<Py_ssize_t>::max()) / 8 /
                   (widths[stream] + 1)) {
      PyErr_NoMemory();
      return false;
    }
    const auto bytes = static_cast<Py_ssize_t>(rows * 8);
    arrays[stream].times = owned_ref(PyByteArray_FromStringAndSize(nullptr, bytes));
    arrays[stream].values = owned_ref(
        PyByteArray_FromStringAndSize(nullptr, bytes * static_cast<Py_ssize_t>(widths[stream])));
    if (!arrays[stream].times || !arrays[stream].values) return false;
    columns[stream].times =
        reinterpret_cast<double*>(PyByteArray_AsString(arrays[stream].times.get()));
    columns[stream].values =
        reinterpret_cast<double*>(PyByteArray_AsString(arrays[stream].values.get()));
  }
  return true;
}

using quorl_engine::STREAMS;

// [(kind, side, frames, times, values)] in the order of first arrival;
// times and values are None when only counted.
PyObject* stream_list(const RecordingSurvey& survey,
                      std::array<StreamArrays, STREAM_COUNT>& arrays) {
  owned_ref list(PyList_New(0));
  if (!list) return nullptr;
  for (const std::size_t stream : survey.order) {
    PyObject* times = arrays[stream].times ? arrays[stream].times.get() : Py_None;
    PyObject* values = arrays[stream].values ? arrays[stream].values.get() : Py_None;
    owned_ref item(Py_BuildValue(
        "(OOKOO)", kind_object(STREAMS.type[stream]), side_object(STREAMS.side[stream]),
        static_cast<unsigned long long>(survey.frames[stream]), times, values));
    if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
  }
  return list.release();
}

PyObject* scan(PyObject* path, int descriptor, std::uint64_t first_record, std::uint64_t size,
               bool tables) {
  const quorl_engine::FileBytes bytes(descriptor, size);
  auto survey = quorl_module::without_gil(
      [&] { return quorl_engine::survey_recording(bytes, first_record); });
  if (!survey) {
    if (const auto* read = std::get_if<quorl_engine::ReadFailure>(&survey.error())) {
      return raise_read_failure(*read, path);
    }
    return damaged(std::get<RecordingFault>(survey.error()));
  }
  std::array<StreamArrays, STREAM_COUNT> arrays;
  if (tables) {
    std::array<quorl_engine::StreamColumns, STREAM_COUNT> columns{};
    if (!allocate(*survey, arrays, columns, STREAMS.width)) return nullptr;
    const auto filled = quorl_module::without_gil(
        [&] { return quorl_engine::fill_columns(bytes, first_record, *survey, columns); });
    if (!filled) {
      if (const auto* read = std::get_if<quorl_engine::ReadFailure>(&filled.error())) {
        return raise_read_failure(*read, path);
      }
      return damaged(std::get<RecordingFault>(filled.error()));
    }
  }
  owned_ref cut(fault_object(survey->cut));
  owned_ref streams(stream_list(*survey, arrays));
  if (!cut || !streams) return nullptr;
  return Py_BuildValue("(KOOO)", static_cast<unsigned long long>(survey->end), cut.get(), Py_None,
                       streams.get());
}

PyObject* scan_recording(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
  return quorl_module::guard([&]() -> PyObject* {
    if (nargs != 5) {
      PyErr_SetString(PyExc_TypeError,
                      "scan_recording() takes path, descriptor, first_record, size, tables");
      return nullptr;
    }
    const auto descriptor =
        quorl_module::to_long_in_range(args[1], 0, std::numeric_limits<int>::max());
    if (!descriptor) return nullptr;
    const auto first_record = quorl_module::to_u64(args[2]);
    if (!first_record) return nullptr;
    const auto size = quorl_module::to_u64(args[3]);
    if (!size) return nullptr;
    const int tables = PyObject_IsTrue(args[4]);
    if (tables < 0) return nullptr;
    return scan(args[0], static_cast<int>(*descriptor), *first_record, *size, tables == 1);
  });
}

PyMethodDef recording_methods[] = {
    {"scan_recording", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scan_recording)),
     METH_FASTCALL,
     "scan_recording(path, descriptor, first_record, size, tables) -> (end, cut, damage, "
     "streams); checks every record, and with tables copies each stream's times and values."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_scan_functions(PyObject* module) {
  return PyModule_AddFunctions(module, recording_methods) == 0;
}

}  // namespace quorl_engine_module
