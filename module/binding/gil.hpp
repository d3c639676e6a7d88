#pragma once

#include <type_traits>
#include <utility>

#include "py.hpp"

namespace quorl_module {

// Runs `work` with the interpreter lock released and returns its result.
// Nothing inside `work` may touch a Python object.
//
// The lock is taken back outside any destructor and outside any noexcept
// frame: a thread that takes it back while the interpreter finalises is
// ended by pthread_exit, whose forced unwind must pass through every frame up
// to the interpreter (a noexcept frame on the way aborts the process). The
// lock is retaken also when `work` throws, so the entry point's guard raises
// with the lock held.
template <class Work>
auto without_gil(Work&& work) -> std::invoke_result_t<Work> {
  PyThreadState* const state = PyEval_SaveThread();
  if constexpr (std::is_void_v<std::invoke_result_t<Work>>) {
    try {
      std::forward<Work>(work)();
    } catch (...) {
      PyEval_RestoreThread(state);
      throw;
    }
    PyEval_RestoreThread(state);
  } else {
    std::invoke_result_t<Work> result = [&] {
      try {
        return std::forward<Work>(work)();
      } catch (...) {
        PyEval_RestoreThread(state);
        throw;
      }
    }();
    PyEval_RestoreThread(state);
    return result;
  }
}

}  // namespace quorl_module
