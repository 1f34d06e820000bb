// Everything that must differ between the default build and the free-threaded
// build of the interpreter, kept in one place.
#pragma once

#include <Python.h>

namespace tovren {

// Declares at run time that the module needs the GIL. Only free-threaded
// builds have (and need) the call; the default build always has the GIL.
inline void declare_gil_used(PyObject* module) noexcept {
#ifdef Py_GIL_DISABLED
  (void)PyUnstable_Module_SetGIL(module, Py_MOD_GIL_USED);
#else
  (void)module;
#endif
}

// Makes `object` immortal by its reference count, so that threads sharing it
// never write the count; the caller's reference is then never released.
// Only for an object that the caller alone references (nobody else may be
// counting on the old value).
inline void set_immortal_refcount(PyObject* object) noexcept {
#ifdef Py_GIL_DISABLED
  // The free-threaded runtime reads a local count of UINT32_MAX
  // (4294967295) as immortal: Py_SET_REFCNT stores it in the owning thread's
  // local count, and every incref and decref then skips the object.
  Py_SET_REFCNT(object, static_cast<Py_ssize_t>(_Py_IMMORTAL_REFCNT_LOCAL));
#else
  // The default build reads as immortal any count whose low 32 bits are
  // negative as int32. UINT32_MAX would qualify but sits at the very edge of
  // that range: a Py_REF_DEBUG interpreter takes a count above
  // UINT32_MAX - 2**20 for a freed object and aborts on the first decref,
  // and one plain increment by an extension built for an old stable ABI
  // carries it into a mortal 0. The runtime's own value lies mid-range.
  Py_SET_REFCNT(object, static_cast<Py_ssize_t>(_Py_IMMORTAL_INITIAL_REFCNT));
#endif
}

// Item `index` of an exact list as a new reference, or null with the
// platform's IndexError when the index is negative or not below the length.
// With the GIL held, nothing can change the list between the bounds check
// and the read, so the item is taken straight from the list's storage. A
// free-threaded build does so only while the caller holds the sole reference
// to the list; otherwise it takes the list's own lock-free read.
inline PyObject* list_item_ref(PyObject* list, Py_ssize_t index) noexcept {
  bool in_range = index >= 0 && index < PyList_GET_SIZE(list);
#ifdef Py_GIL_DISABLED
  if (in_range && PyUnstable_Object_IsUniquelyReferenced(list)) {
    return Py_NewRef(PyList_GET_ITEM(list, index));
  }
#else
  if (in_range) return Py_NewRef(PyList_GET_ITEM(list, index));
#endif
  return PyList_GetItemRef(list, index);
}

}  // namespace tovren
