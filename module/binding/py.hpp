#pragma once

// The one way module sources include the interpreter's API.
#include <Python.h>

#include <utility>

// Reference counts change only through the interpreter's exported functions
// (Py_IncRef, Py_DecRef). Under the 3.10 limited API the 3.11 headers still
// expand these macros to inline writes of ob_refcnt, which the stable ABI
// does not promise; using one of them here fails to compile.
#undef Py_INCREF
#undef Py_DECREF
#undef Py_XINCREF
#undef Py_XDECREF
#undef Py_CLEAR
#undef Py_SETREF
#undef Py_XSETREF
#undef Py_NewRef
#undef Py_XNewRef
#undef Py_RETURN_NONE
#undef Py_RETURN_TRUE
#undef Py_RETURN_FALSE
#undef Py_RETURN_NOTIMPLEMENTED
#define Py_INCREF(op) use_owned_ref_or_Py_IncRef_instead
#define Py_DECREF(op) use_owned_ref_or_Py_DecRef_instead
#define Py_XINCREF(op) use_owned_ref_or_Py_IncRef_instead
#define Py_XDECREF(op) use_owned_ref_or_Py_DecRef_instead
#define Py_CLEAR(op) use_owned_ref_reset_instead
#define Py_SETREF(op, value) use_owned_ref_instead
#define Py_XSETREF(op, value) use_owned_ref_instead
#define Py_NewRef(op) use_new_ref_instead
#define Py_XNewRef(op) use_new_ref_instead
#define Py_RETURN_NONE use_new_ref_of_Py_None_instead
#define Py_RETURN_TRUE use_new_ref_of_Py_True_instead
#define Py_RETURN_FALSE use_new_ref_of_Py_False_instead
#define Py_RETURN_NOTIMPLEMENTED use_new_ref_instead

namespace quorl_module {

// A strong reference to a Python object, released on destruction. Move-only;
// may be empty.
class owned_ref {
 public:
  owned_ref() noexcept = default;

  // Takes over a new reference; `object` may be null (a failed API call).
  explicit owned_ref(PyObject* object) noexcept : object_(object) {}

  owned_ref(owned_ref&& other) noexcept : object_(other.release()) {}
  owned_ref& operator=(owned_ref&& other) noexcept {
    reset(other.release());
    return *this;
  }
  owned_ref(const owned_ref&) = delete;
  owned_ref& operator=(const owned_ref&) = delete;
  ~owned_ref() { Py_DecRef(object_); }

  // Returns the object without giving up the reference.
  PyObject* get() const noexcept { return object_; }

  // Gives up the reference and returns the object, leaving this empty.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }

  // Releases the held reference and takes over `object` instead.
  void reset(PyObject* object = nullptr) noexcept { Py_DecRef(std::exchange(object_, object)); }

  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

// Returns a new reference to a borrowed object.
inline owned_ref new_ref(PyObject* borrowed) noexcept {
  Py_IncRef(borrowed);
  return owned_ref(borrowed);
}

}  // namespace quorl_module
