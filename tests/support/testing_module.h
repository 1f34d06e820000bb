// The test-only extension `_properties_testing`: each topic file adds its
// entry points to the module through one registration function.
#pragma once

#include <Python.h>

namespace tovren::testing {

// Each returns 0, or -1 with an exception set.
int register_startup_functions(PyObject* module) noexcept;
int register_integer_functions(PyObject* module) noexcept;
int register_constants_functions(PyObject* module) noexcept;
int register_pickling_functions(PyObject* module) noexcept;
int register_function_runtime_functions(PyObject* module) noexcept;
int register_recursion_functions(PyObject* module) noexcept;

}  // namespace tovren::testing
