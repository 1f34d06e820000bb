// Writing entries into a type's own dictionary at start-up.
#pragma once

#include <Python.h>

namespace tovren {

// Sets `name` to `value` in the type's own dictionary, marks the type
// modified and, when the value has `__set_name__`, calls it with the type and
// the name (its result discarded). 0 on success; -1 with an exception set, in
// which case an entry that was stored stays stored.
int store_type_attribute(PyTypeObject* type, PyObject* name, PyObject* value) noexcept;

}  // namespace tovren
