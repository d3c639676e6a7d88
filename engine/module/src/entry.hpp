#pragma once

#include <cxxabi.h>

#include <type_traits>
#include <utility>

#include "panic.hpp"
#include "py.hpp"

namespace quorl_engine_module {

using quorl_module::owned_ref;

// Runs the body of an entry point so that no C++ exception crosses into the
// interpreter, except the forced unwind that ends a thread taking back the
// interpreter lock during finalization: that one must pass on, and so
// nothing on the path may be noexcept.
template <class Body>
std::invoke_result_t<Body> entry(Body&& body) {
  try {
    return std::forward<Body>(body)();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    quorl_module::raise_current_exception();
    return quorl_module::detail::failure_value<std::invoke_result_t<Body>>();
  }
}

}  // namespace quorl_engine_module
