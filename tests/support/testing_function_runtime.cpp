// Test entry points for the function-object runtime's shared types.
#include "testing_module.h"

#include "function_runtime/function_object.h"

namespace tovren::testing {

namespace {

// obtain_function_types(registry_name) -> (metatype, function_type), got or
// created in the registry module of that name, owned by this module.
PyObject* testing_obtain_function_types(PyObject* module, PyObject* registry_name) {
  const char* name = PyUnicode_AsUTF8(registry_name);
  if (name == nullptr) return nullptr;
  PyTypeObject* metatype = nullptr;
  PyTypeObject* function_type = nullptr;
  if (obtain_function_types_in(name, module, &metatype, &function_type) < 0) return nullptr;
  PyObject* result = PyTuple_Pack(2, reinterpret_cast<PyObject*>(metatype),
                                  reinterpret_cast<PyObject*>(function_type));
  Py_DECREF(metatype);
  Py_DECREF(function_type);
  return result;
}

PyMethodDef function_runtime_methods[] = {
    {"obtain_function_types", testing_obtain_function_types, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int register_function_runtime_functions(PyObject* module) noexcept {
  return PyModule_AddFunctions(module, function_runtime_methods);
}

}  // namespace tovren::testing
