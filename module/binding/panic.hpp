#pragma once

#include <exception>
#include <type_traits>
#include <utility>

#include "py.hpp"

namespace quorl_module {

// Returns the PanicException type (borrowed), creating it on first use: a
// direct subclass of BaseException, created once per process. Returns null
// with an exception set when it cannot be created.
PyObject* panic_exception_type() noexcept;

// Makes PanicException the class that the module `module_name` (imported
// here) created, so that every module of the process raises one class and one
// `except` catches them all. That module does not name the class among its
// attributes; it is found where every exception class is, among
// BaseException's subclasses. False with an exception set when the import
// fails or the module made no such class.
bool share_panic_exception_type(const char* module_name) noexcept;

// Turns the C++ exception being handled into a pending Python exception:
// MemoryError for std::bad_alloc, PanicException carrying the fault's message
// for anything else. Call only from inside a catch block. Aborts the process
// when even that fails.
void raise_current_exception() noexcept;

// Reports the C++ exception being handled through PyErr_WriteUnraisable with
// `context` as the object, leaving any pending Python exception in place.
// Call only from inside a catch block.
void write_current_exception_unraisable(PyObject* context) noexcept;

// Writes "uncaught panic at ffi boundary" to stderr and aborts.
[[noreturn]] void abort_uncaught_panic() noexcept;

namespace detail {

// The value an entry point returns to report a pending exception.
template <class Result>
Result failure_value() noexcept {
  if constexpr (std::is_pointer_v<Result>) {
    return nullptr;
  } else {
    static_assert(std::is_same_v<Result, int>, "entry points return a pointer or int");
    return -1;
  }
}

}  // namespace detail

// Runs the body of an entry point (the import, a function, a slot returning
// PyObject* or int) so that no C++ exception crosses into the interpreter.
// The one unwind let through is the forced unwind of a thread that the
// finalising interpreter ends (pthread_exit) as it takes the lock back: it
// carries no C++ exception (so there is none to point at, which is how it is
// told apart without binding a reference to it), it must reach the thread's
// start, and stopping it aborts the process. Hence no noexcept here.
template <class Body>
std::invoke_result_t<Body> guard(Body&& body) {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    if (!std::current_exception()) throw;
    raise_current_exception();
    return detail::failure_value<std::invoke_result_t<Body>>();
  }
}

// Runs the body of a deallocation, where no exception can be raised: a C++
// exception is reported as unraisable and the caller goes on.
template <class Body>
void guard_unraisable(PyObject* context, Body&& body) noexcept {
  try {
    std::forward<Body>(body)();
  } catch (...) {
    write_current_exception_unraisable(context);
  }
}

}  // namespace quorl_module
