#pragma once

#include <utility>

#include "py.hpp"

namespace quorl_module {

// Releases the interpreter lock for its lifetime and takes it back on
// destruction, also when a C++ exception leaves the scope, so the entry
// point's guard raises with the lock held. Nothing inside the scope may touch
// a Python object.
class released_gil {
 public:
  released_gil() noexcept : state_(PyEval_SaveThread()) {}
  ~released_gil() { PyEval_RestoreThread(state_); }
  released_gil(const released_gil&) = delete;
  released_gil& operator=(const released_gil&) = delete;

 private:
  PyThreadState* state_;
};

// Runs `work` with the interpreter lock released and returns its result.
template <class Work>
auto without_gil(Work&& work) {
  const released_gil released;
  return std::forward<Work>(work)();
}

}  // namespace quorl_module
