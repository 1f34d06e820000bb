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

}  // namespace tovren
