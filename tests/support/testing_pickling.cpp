// Test entry points for the pickling set-up, which Python reaches only
// through the module's start-up.
#include "testing_module.h"

#include "pickling/pickling.h"

namespace tovren::testing {

namespace {

// setup_pickling(type) -> None; raises what the set-up raises.
PyObject* testing_setup_pickling(PyObject*, PyObject* type) {
  if (!PyType_Check(type)) {
    PyErr_Format(PyExc_TypeError, "expected a type, got %.200s", Py_TYPE(type)->tp_name);
    return nullptr;
  }
  if (setup_pickling(reinterpret_cast<PyTypeObject*>(type)) < 0) return nullptr;
  Py_RETURN_NONE;
}

// has_function_name(object, text) -> bool; never raises for the object.
PyObject* testing_has_function_name(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "has_function_name(object, text) takes 2 arguments");
    return nullptr;
  }
  return PyBool_FromLong(has_function_name(args[0], args[1]));
}

PyMethodDef pickling_methods[] = {
    {"setup_pickling", testing_setup_pickling, METH_O, nullptr},
    {"has_function_name",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(testing_has_function_name)),
     METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int register_pickling_functions(PyObject* module) noexcept {
  return PyModule_AddFunctions(module, pickling_methods);
}

}  // namespace tovren::testing
