// `CachedProperty` (alias `cache_readonly`): a data descriptor that computes
// a value once per owner instance and keeps it in the instance's `_cache`
// dict under the getter's `__name__`.
#pragma once

#include <Python.h>

namespace tovren {

struct CachedPropertyObject {
  PyObject_HEAD
  // Owned references, never null while the object lives (None when unset).
  PyObject* fget;  // the getter, called with the owner instance
  PyObject* name;  // the cache key: the getter's __name__ at initialisation
  PyObject* doc;   // the getter's __doc__, or None
};

extern PyTypeObject CachedPropertyType;

using CachedPropertyField = PyObject* CachedPropertyObject::*;

// A new reference to one field. Taken inside the object's critical section,
// so a concurrent `replace_cached_property_field` (re-initialisation, GC
// clear or state restore while the GIL is forced off) cannot release the
// value between the read and the increment. Without free threading the
// section compiles to nothing.
inline PyObject* cached_property_field(CachedPropertyObject* self,
                                       CachedPropertyField field) noexcept {
  PyObject* value;
  Py_BEGIN_CRITICAL_SECTION(self);
  value = Py_NewRef(self->*field);
  Py_END_CRITICAL_SECTION();
  return value;
}

// Stores `stolen` (a new reference) into one field and releases the previous
// value after leaving the critical section, because the release can run a
// finaliser.
inline void replace_cached_property_field(CachedPropertyObject* self, CachedPropertyField field,
                                          PyObject* stolen) noexcept {
  PyObject* previous;
  Py_BEGIN_CRITICAL_SECTION(self);
  previous = self->*field;
  self->*field = stolen;
  Py_END_CRITICAL_SECTION();
  Py_XDECREF(previous);
}

}  // namespace tovren
