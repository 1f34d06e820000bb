// The allocation and destruction steps that both descriptor types share.
#pragma once

#include <Python.h>

#include "module_state.h"

namespace tovren {

// Allocates an instance for a type's `__new__`. An abstract class goes
// through object.__new__, which refuses it with the platform's message.
// Null with an exception set on failure.
inline PyObject* allocate_instance(PyTypeObject* type) noexcept {
  if (PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT)) {
    return PyBaseObject_Type.tp_new(type, module_state().empty_tuple, nullptr);
  }
  return type->tp_alloc(type, 0);
}

// The start of a GC type's dealloc: runs a subclass's finaliser once (when
// `own_dealloc` is the type's dealloc) and untracks the object. Returns
// false when the finaliser resurrected the object; destruction stops there.
inline bool begin_dealloc(PyObject* object, destructor own_dealloc) noexcept {
  PyTypeObject* type = Py_TYPE(object);
  if (type->tp_finalize != nullptr && type->tp_dealloc == own_dealloc &&
      !PyObject_GC_IsFinalized(object)) {
    if (PyObject_CallFinalizerFromDealloc(object) < 0) return false;
  }
  PyObject_GC_UnTrack(object);
  return true;
}

}  // namespace tovren
