// Entry point of the test-only extension. Its start-up builds this copy's own
// module constants (the shared library has a module state of its own), then
// lets every topic register its test entry points.
#include "testing_module.h"

#include "frame/code_objects.h"
#include "frame/constants.h"
#include "frame/module_state.h"

namespace tovren::testing {

namespace {

int exec_testing_module(PyObject* module) noexcept {
  ModuleState& state = module_state_for_startup();
  state.module_dict = Py_XNewRef(PyModule_GetDict(module));
  state.empty_tuple = PyTuple_New(0);
  state.empty_bytes = PyBytes_FromStringAndSize("", 0);
  state.empty_str = PyUnicode_FromStringAndSize("", 0);
  if (state.module_dict == nullptr || state.empty_tuple == nullptr ||
      state.empty_bytes == nullptr || state.empty_str == nullptr) {
    return -1;
  }
  if (build_constant_table(state) < 0) return -1;
  if (make_code_objects(state) < 0) return -1;
  if (register_startup_functions(module) < 0) return -1;
  if (register_integer_functions(module) < 0) return -1;
  if (register_constants_functions(module) < 0) return -1;
  if (register_pickling_functions(module) < 0) return -1;
  if (register_function_runtime_functions(module) < 0) return -1;
  if (register_recursion_functions(module) < 0) return -1;
  return 0;
}

PyModuleDef_Slot testing_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_testing_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef testing_definition = {
    PyModuleDef_HEAD_INIT, "_properties_testing", nullptr, 0, nullptr, testing_slots,
    nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace tovren::testing

PyMODINIT_FUNC PyInit__properties_testing(void) {
  return PyModuleDef_Init(&tovren::testing::testing_definition);
}
