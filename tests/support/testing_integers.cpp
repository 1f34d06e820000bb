// Test entry points for the integer conversions, which Python cannot reach
// through the module's own namespace except as part of a larger operation.
#include "call_support/integer_conversion.h"
#include "testing_module.h"

namespace tovren::testing {

namespace {

// index_as_ssize(x) -> int. A -1 result without an exception is a value;
// with one, the exception propagates.
PyObject* testing_index_as_ssize(PyObject*, PyObject* object) {
  Py_ssize_t value = index_as_ssize(object);
  if (value == -1 && PyErr_Occurred()) return nullptr;
  return PyLong_FromSsize_t(value);
}

// int_as_long(x) -> int, with the same -1 convention.
PyObject* testing_int_as_long(PyObject*, PyObject* object) {
  long value = int_as_long(object);
  if (value == -1 && PyErr_Occurred()) return nullptr;
  return PyLong_FromLong(value);
}

PyMethodDef integer_methods[] = {
    {"index_as_ssize", testing_index_as_ssize, METH_O, nullptr},
    {"int_as_long", testing_int_as_long, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int register_integer_functions(PyObject* module) noexcept {
  return PyModule_AddFunctions(module, integer_methods);
}

}  // namespace tovren::testing
