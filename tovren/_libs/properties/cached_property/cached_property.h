// `CachedProperty` (alias `cache_readonly`): a data descriptor that computes
// a value once per owner instance and keeps it in the instance's `_cache`
// dict under the getter's `__name__`.
#pragma once

#include <Python.h>

#include "../frame/abi_differences.h"

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

// A new reference to one field, safe against a concurrent
// `replace_cached_property_field` (re-initialisation, GC clear or state
// restore while the GIL is off): the value read is never one already
// released. Reads take no lock (see frame/abi_differences.h).
inline PyObject* cached_property_field(CachedPropertyObject* self,
                                       CachedPropertyField field) noexcept {
  return load_object_field(reinterpret_cast<PyObject*>(self), &(self->*field));
}

// Stores `stolen` (a new reference) into one field and releases the previous
// value afterwards, because the release can run a finaliser.
inline void replace_cached_property_field(CachedPropertyObject* self, CachedPropertyField field,
                                          PyObject* stolen) noexcept {
  store_object_field(reinterpret_cast<PyObject*>(self), &(self->*field), stolen);
}

}  // namespace tovren
