// Ownership of Python object references, made visible in types.
//
// Rules of use:
// - `OwnedRef` holds one strong reference and releases it exactly once: in its
//   destructor, in `reset`, or by handing it on with `release`.
// - `OwnedRef::steal(p)` adopts a new reference that a C API call returned
//   (null allowed: test the result with `operator bool`). `OwnedRef::new_ref(p)`
//   takes an extra reference to a borrowed pointer.
// - A borrowed reference is a plain `PyObject*`. It never outlives its holder,
//   and never survives a call that can run Python code unless that holder is
//   known to keep it alive across the call.
// - `release()` passes the reference on, e.g. as a function result or into a
//   C API parameter that steals. `get()` lends it without changing the count.
// - The C API's failure protocol stays visible at every call site: check,
//   add the traceback entry, return.
#pragma once

#include <Python.h>

namespace tovren {

class OwnedRef {
 public:
  OwnedRef() noexcept = default;
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  OwnedRef(OwnedRef&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    PyObject* previous = object_;
    object_ = other.object_;
    other.object_ = nullptr;
    Py_XDECREF(previous);
    return *this;
  }
  ~OwnedRef() { Py_XDECREF(object_); }

  // Adopts a new reference (the result of a C API call that returns one).
  [[nodiscard]] static OwnedRef steal(PyObject* object) noexcept { return OwnedRef(object); }
  // Takes a reference of its own to a borrowed object.
  [[nodiscard]] static OwnedRef new_ref(PyObject* object) noexcept {
    return OwnedRef(Py_XNewRef(object));
  }

  [[nodiscard]] PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }

  // Hands the reference to the caller; this holder becomes empty.
  [[nodiscard]] PyObject* release() noexcept {
    PyObject* object = object_;
    object_ = nullptr;
    return object;
  }

  // Stores the new reference first and releases the old one after, so that
  // code run by the release (a finaliser) never sees a freed value here.
  void reset(PyObject* stolen = nullptr) noexcept {
    PyObject* previous = object_;
    object_ = stolen;
    Py_XDECREF(previous);
  }

 private:
  explicit OwnedRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

// Replaces an owned object field of an extension object: store first, then
// release the previous value, as Py_SETREF does. `stolen` must be a new
// reference; the field is never left pointing at a released object.
inline void replace_field(PyObject*& field, PyObject* stolen) noexcept {
  PyObject* previous = field;
  field = stolen;
  Py_XDECREF(previous);
}

}  // namespace tovren
