// Filing the pickling methods under the pickle protocol's names at start-up.
//
// Three kinds of lookup: an MRO lookup searches the dicts of a type's method
// resolution order and calls no descriptor; an attribute read is ordinary
// attribute access on the type object; an optional attribute read treats a
// missing attribute as absent rather than as an error.
#include "../frame/owned_reference.h"
#include "../frame/type_attributes.h"
#include "pickling.h"

namespace tovren {

namespace {

// A new reference to what an MRO lookup of `name` finds on `type`, or null
// (with no exception set) when it finds nothing.
OwnedRef mro_lookup(PyTypeObject* type, Const name) noexcept {
  return OwnedRef::steal(_PyType_LookupRef(type, constant(name)));
}

// Moves the type's own entry `from` under the name `to` (the value was read
// as `value`). 0, or -1 with an exception set; a KeyError when `from` is
// only inherited.
int move_entry(PyTypeObject* type, Const to, Const from, PyObject* value) noexcept {
  if (store_type_attribute(type, constant(to), value) < 0) return -1;
  if (PyDict_DelItem(type->tp_dict, constant(from)) < 0) return -1;
  PyType_Modified(type);
  return 0;
}

// Raises the set-up's own error unless the failing step left one pending.
int fail(PyTypeObject* type) noexcept {
  if (PyErr_Occurred()) return -1;
  OwnedRef full_name = OwnedRef::steal(PyType_GetFullyQualifiedName(type));
  if (!full_name) return -1;
  const char* text = PyUnicode_AsUTF8(full_name.get());
  if (text == nullptr) return -1;
  PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s", text);
  return -1;
}

}  // namespace

int has_function_name(PyObject* object, PyObject* text) noexcept {
  PyObject* found = nullptr;
  if (PyObject_GetOptionalAttr(object, constant(Const::dunder_name), &found) < 0) {
    PyErr_Clear();
    return 0;
  }
  if (found == nullptr) return 0;
  OwnedRef name = OwnedRef::steal(found);
  int equal = PyObject_RichCompareBool(name.get(), text, Py_EQ);
  if (equal < 0) {
    PyErr_Clear();
    return 0;
  }
  return equal;
}

int setup_pickling(PyTypeObject* type) noexcept {
  PyObject* type_object = reinterpret_cast<PyObject*>(type);

  // A type with its own `__getstate__` or `__reduce_ex__` pickles its own way.
  OwnedRef getstate = mro_lookup(type, Const::dunder_getstate);
  if (getstate && getstate.get() != mro_lookup(&PyBaseObject_Type, Const::dunder_getstate).get()) {
    return 0;
  }
  OwnedRef object_reduce_ex = mro_lookup(&PyBaseObject_Type, Const::dunder_reduce_ex);
  OwnedRef reduce_ex =
      OwnedRef::steal(PyObject_GetAttr(type_object, constant(Const::dunder_reduce_ex)));
  if (!reduce_ex) return fail(type);
  if (reduce_ex.get() != object_reduce_ex.get()) return 0;

  // So does one whose `__reduce__` is neither `object`'s nor ours (by name).
  OwnedRef object_reduce = mro_lookup(&PyBaseObject_Type, Const::dunder_reduce);
  OwnedRef reduce = OwnedRef::steal(PyObject_GetAttr(type_object, constant(Const::dunder_reduce)));
  if (!reduce) return fail(type);
  bool inherits_object_reduce = reduce.get() == object_reduce.get();
  if (!inherits_object_reduce && !has_function_name(reduce.get(), constant(Const::reduce_cython))) {
    return 0;
  }

  PyObject* found = nullptr;
  if (PyObject_GetOptionalAttr(type_object, constant(Const::reduce_cython), &found) < 0) {
    return fail(type);
  }
  OwnedRef reduce_cython = OwnedRef::steal(found);
  if (reduce_cython) {
    if (move_entry(type, Const::dunder_reduce, Const::reduce_cython, reduce_cython.get()) < 0) {
      return fail(type);
    }
  } else if (inherits_object_reduce) {
    return fail(type);
  }
  // Otherwise `__reduce__` already is the method named `__reduce_cython__`
  // (a second run of the set-up).

  found = nullptr;
  if (PyObject_GetOptionalAttr(type_object, constant(Const::dunder_setstate), &found) < 0) {
    PyErr_Clear();  // counts as absent
  }
  OwnedRef setstate = OwnedRef::steal(found);
  if (setstate && !has_function_name(setstate.get(), constant(Const::setstate_cython))) {
    PyType_Modified(type);
    return 0;  // the type keeps its own `__setstate__`
  }

  found = nullptr;
  if (PyObject_GetOptionalAttr(type_object, constant(Const::setstate_cython), &found) < 0) {
    return fail(type);
  }
  OwnedRef setstate_cython = OwnedRef::steal(found);
  if (setstate_cython) {
    if (move_entry(type, Const::dunder_setstate, Const::setstate_cython, setstate_cython.get()) <
        0) {
      return fail(type);
    }
  } else if (!setstate) {
    return fail(type);
  }
  PyType_Modified(type);
  return 0;
}

}  // namespace tovren
