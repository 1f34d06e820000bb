// `AxisProperty`: a data descriptor standing for one axis of an owner object.
// Reading it on an owner instance returns `instance._mgr.axes[axis]` (one
// negative wrap-around, `axes` exactly a list); assigning calls
// `instance._set_axis(axis, value)`; deleting is refused.
#pragma once

#include <Python.h>

#include <atomic>

#include "../frame/abi_differences.h"

namespace tovren {

struct AxisPropertyObject {
  PyObject_HEAD
  // Index into the manager's `axes`; negative counts from the end. 0 after
  // creation (zeroed storage).
  Py_ssize_t axis;
  // The descriptor's `__doc__`: an owned reference, never null while the
  // object lives (None after creation and after a GC clear).
  PyObject* doc;
};

extern PyTypeObject AxisPropertyType;

// Field access shared by `__init__`, the attribute getters and the pickle
// state restore. The descriptor write takes `axis` once, before any Python
// code runs; the read takes it once, after its lookups (which can run Python
// code that re-initialises the descriptor). The relaxed atomic access keeps
// a concurrent re-initialisation (outside the contract, but possible with
// the GIL forced off) from being a data race, and costs a plain load/store.
inline Py_ssize_t load_axis(const AxisPropertyObject* self) noexcept {
  // atomic_ref of a const object needs C++26; a load never writes.
  return std::atomic_ref<Py_ssize_t>(const_cast<Py_ssize_t&>(self->axis))
      .load(std::memory_order_relaxed);
}

inline void store_axis(AxisPropertyObject* self, Py_ssize_t axis) noexcept {
  std::atomic_ref<Py_ssize_t>(self->axis).store(axis, std::memory_order_relaxed);
}

// A new reference to `__doc__`, safe against a concurrent `replace_doc`
// (see frame/abi_differences.h).
inline PyObject* new_doc_reference(AxisPropertyObject* self) noexcept {
  return load_object_field(reinterpret_cast<PyObject*>(self), &self->doc);
}

// Stores `stolen` (a new reference) as `__doc__` and releases the previous
// value afterwards: the release can run a finaliser.
inline void replace_doc(AxisPropertyObject* self, PyObject* stolen) noexcept {
  store_object_field(reinterpret_cast<PyObject*>(self), &self->doc, stolen);
}

}  // namespace tovren
