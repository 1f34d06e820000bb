// Modules that start-up gets from `sys.modules`, creating them when absent.
#pragma once

#include <Python.h>

namespace tovren {

// Returns a new reference to the module registered under `name` in
// `sys.modules`, first registering a new empty module there when the entry is
// missing or is not a module. Null with an exception set on failure.
PyObject* get_or_create_module(const char* name) noexcept;

}  // namespace tovren
