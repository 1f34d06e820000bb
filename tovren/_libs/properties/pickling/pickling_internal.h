// Routines shared by the pickling sources (not part of the module's
// interface).
#pragma once

#include <Python.h>

#include "../frame/module_state.h"
#include "../frame/traceback_entries.h"

namespace tovren::pickling {

// The METH_FASTCALL | METH_KEYWORDS entry points. `self` is an instance of
// the method's type (checked by the method descriptor or the function
// runtime); reconstructors get a null `self`.
PyObject* cached_property_reduce_cython(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames);
PyObject* axis_property_reduce_cython(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames);
PyObject* cached_property_setstate_cython(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames);
PyObject* axis_property_setstate_cython(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames);
PyObject* unpickle_cached_property(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames);
PyObject* unpickle_axis_property(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);

// The set-state routines: write an exact tuple `state` into `object` (an
// instance of the routine's type), field by field, then merge the instance
// dict. Each field is replaced as soon as its item is fetched, so a failure
// leaves the earlier fields written. `None` (new reference), or null with an
// exception set and the routine's own traceback entry added.
PyObject* cached_property_set_state(PyObject* object, PyObject* state) noexcept;
PyObject* axis_property_set_state(PyObject* object, PyObject* state) noexcept;

// Merges item `field_count` of `state` (when present and true) into the
// object's instance dict. 0, also when there is nothing to merge; -1 with an
// exception set.
int restore_instance_dict(PyObject* object, PyObject* state, Py_ssize_t field_count) noexcept;

// A new reference to the value bound to `name` in the module namespace, or
// else in `builtins`; NameError "name '%U' is not defined" when neither has
// it. Null with an exception set on failure.
PyObject* lookup_global(PyObject* name) noexcept;

// 0 when `checksum` is one of the three accepted values; otherwise raises
// pickle.PickleError (or the error of getting it) and returns -1.
int check_layout_checksum(long checksum, long first, long second, long third,
                          const char* fields) noexcept;

}  // namespace tovren::pickling
