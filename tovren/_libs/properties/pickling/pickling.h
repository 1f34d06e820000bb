// Pickling support for `CachedProperty` and `AxisProperty`.
//
// Each type's method table holds `__reduce_cython__` and
// `__setstate_cython__`; at start-up `setup_pickling` files them under the
// protocol names `__reduce__` and `__setstate__`, and afterwards the exec step
// binds function objects under the `_cython__` names and the module-level
// reconstructors `__pyx_unpickle_CachedProperty` and
// `__pyx_unpickle_AxisProperty`.
//
// A reduce tuple names the reconstructor and the type's layout checksum:
//   Form A: (reconstructor, (type, checksum, None), state)  -> then __setstate__
//   Form B: (reconstructor, (type, checksum, state))
// The state is the fields in sorted-name order, optionally followed by the
// instance dict of a subclass instance.
//
// Unpickling is an input boundary: every malformed state, checksum or type
// ends in an ordinary exception, and a reconstructor never hands out an
// object whose restore failed.
#pragma once

#include <Python.h>

#include "../frame/module_state.h"

namespace tovren {

// Method tables of the two types: the pickling methods (METH_FASTCALL |
// METH_KEYWORDS, no docstrings) and the class method `__class_getitem__`.
extern PyMethodDef kCachedPropertyMethods[];
extern PyMethodDef kAxisPropertyMethods[];

// Exec step 13 for one function object: makes it and binds it where it
// belongs (a method into its type's dict through `store_type_attribute`, a
// reconstructor into the module dict). 0, or -1 with an exception set; the
// caller adds the traceback entry.
int bind_pickling_function(FunctionId id) noexcept;

// Files a ready type's `__reduce_cython__` and `__setstate_cython__` under
// `__reduce__` and `__setstate__`, unless the type pickles in another way
// already. 0 (also when the type is left unchanged), or -1 with an exception
// set ("Unable to initialize pickling for <type>" when the methods are
// missing). Adds no traceback entry.
int setup_pickling(PyTypeObject* type) noexcept;

// 1 when `object.__name__` equals `text`, else 0. Never fails: lookup and
// comparison errors are cleared and count as "not equal".
int has_function_name(PyObject* object, PyObject* text) noexcept;

}  // namespace tovren
