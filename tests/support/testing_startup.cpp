// Test entry points for start-up internals.
#include "testing_module.h"

#include "frame/owned_reference.h"
#include "frame/shared_modules.h"

namespace tovren::testing {

namespace {

// get_or_create_module(name) -> the module registered in sys.modules.
PyObject* testing_get_or_create_module(PyObject*, PyObject* name) {
  const char* text = PyUnicode_AsUTF8(name);
  if (text == nullptr) return nullptr;
  return get_or_create_module(text);
}

PyMethodDef startup_methods[] = {
    {"get_or_create_module", testing_get_or_create_module, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int register_startup_functions(PyObject* module) noexcept {
  return PyModule_AddFunctions(module, startup_methods);
}

}  // namespace tovren::testing
