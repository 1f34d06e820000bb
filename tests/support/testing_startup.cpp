// Test entry points for start-up internals.
#include "testing_module.h"

#include "frame/owned_reference.h"
#include "frame/shared_modules.h"
#include "frame/version_check.h"

namespace tovren::testing {

namespace {

// get_or_create_module(name) -> the module registered in sys.modules.
PyObject* testing_get_or_create_module(PyObject*, PyObject* name) {
  const char* text = PyUnicode_AsUTF8(name);
  if (text == nullptr) return nullptr;
  return get_or_create_module(text);
}

// check_runtime_version(version) -> None: the start-up version check as if
// the running interpreter were `version` (laid out as sys.hexversion); raises
// the ImportError that refuses the import.
PyObject* testing_check_runtime_version(PyObject*, PyObject* version) {
  unsigned long value = PyLong_AsUnsignedLong(version);
  if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return nullptr;
  if (check_runtime_version(value) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyMethodDef startup_methods[] = {
    {"get_or_create_module", testing_get_or_create_module, METH_O, nullptr},
    {"check_runtime_version", testing_check_runtime_version, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int register_startup_functions(PyObject* module) noexcept {
  return PyModule_AddFunctions(module, startup_methods);
}

}  // namespace tovren::testing
