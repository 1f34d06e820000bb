// The module definition and the create and exec steps of start-up.
//
// Start-up runs under the import system's serialisation, so it writes the
// process-wide state without atomics. The module refuses every interpreter but
// the first one that created it, and declares that it needs the GIL (unless
// built with TOVREN_GIL_NOT_USED, see abi_differences.h).
#include <Python.h>

#include "../axis_property/axis_property.h"
#include "../cached_property/cached_property.h"
#include "../function_runtime/function_object.h"
#include "../pickling/pickling.h"
#include "abi_differences.h"
#include "after_fork.h"
#include "builtin_type_check.h"
#include "code_objects.h"
#include "constants.h"
#include "module_state.h"
#include "owned_reference.h"
#include "shared_modules.h"
#include "traceback_entries.h"
#include "version_check.h"

namespace tovren {

namespace {

constexpr const char kInitFunction[] = "init tovren._libs.properties";
constexpr FailureSite kInitSite{kInitFunction, 1, kModuleSourceFile};
constexpr FailureSite kInitAliasSite{kInitFunction, 44, kModuleSourceFile};
// Making or binding the function objects of step 13.
constexpr FailureSite kInitReduceSite{kInitFunction, 1, kStringSourceFile};
constexpr FailureSite kInitSetstateSite{kInitFunction, 16, kStringSourceFile};
constexpr FailureSite kInitUnpickleSite{kInitFunction, 4, kStringSourceFile};

// Copies one attribute of the import spec into the new module's dict. A
// missing attribute copies nothing; None is copied except for `__path__`.
int copy_spec_attribute(PyObject* spec, PyObject* module_dict, const char* from, const char* to,
                        bool skip_none) noexcept {
  OwnedRef value = OwnedRef::steal(PyObject_GetAttrString(spec, from));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  if (skip_none && value.get() == Py_None) return 0;
  return PyDict_SetItemString(module_dict, to, value.get());
}

PyObject* create_module(PyObject* spec, PyModuleDef* /*definition*/) noexcept {
  // Another version's interpreter is refused before anything is made or
  // recorded: no module object, no interpreter ID, no entry in sys.modules.
  if (check_runtime_version(Py_Version) < 0) return nullptr;
  ModuleState& state = module_state_for_startup();
  std::int64_t interpreter_id = PyInterpreterState_GetID(PyThreadState_Get()->interp);
  if (interpreter_id == -1) return nullptr;
  if (state.first_interpreter_id == -1) {
    state.first_interpreter_id = interpreter_id;
  } else if (state.first_interpreter_id != interpreter_id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return nullptr;
  }
  if (state.module != nullptr) return Py_NewRef(state.module);

  OwnedRef name = OwnedRef::steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  OwnedRef module = OwnedRef::steal(PyModule_NewObject(name.get()));
  name.reset();
  if (!module) return nullptr;
  PyObject* module_dict = PyModule_GetDict(module.get());
  if (module_dict == nullptr ||
      copy_spec_attribute(spec, module_dict, "loader", "__loader__", false) < 0 ||
      copy_spec_attribute(spec, module_dict, "origin", "__file__", false) < 0 ||
      copy_spec_attribute(spec, module_dict, "parent", "__package__", false) < 0 ||
      copy_spec_attribute(spec, module_dict, "submodule_search_locations", "__path__", true) < 0) {
    return nullptr;
  }
  return module.release();
}

int store_owned(PyObject*& slot, PyObject* made) noexcept {
  if (made == nullptr) return -1;
  replace_field(slot, made);
  return 0;
}

// Steps 3 to 6 (the version is checked by the create step): no traceback
// entry on failure (the constants do not exist yet).
int exec_prepare(ModuleState& state, PyObject* module) noexcept {
  if (store_owned(state.module_dict, Py_XNewRef(PyModule_GetDict(module))) < 0) return -1;
  if (store_owned(state.builtins, get_or_create_module("builtins")) < 0) return -1;
  if (store_owned(state.cython_runtime, get_or_create_module("cython_runtime")) < 0) return -1;
  if (PyObject_SetAttrString(module, "__builtins__", state.builtins) < 0) return -1;
  if (store_owned(state.empty_tuple, PyTuple_New(0)) < 0) return -1;
  if (store_owned(state.empty_bytes, PyBytes_FromStringAndSize("", 0)) < 0) return -1;
  if (store_owned(state.empty_str, PyUnicode_FromStringAndSize("", 0)) < 0) return -1;
  return build_constant_table(state);
}

int register_in_sys_modules(PyObject* module) noexcept {
  PyObject* modules = PyImport_GetModuleDict();
  if (modules == nullptr) return -1;
  const char* name = "tovren._libs.properties";
  if (PyDict_GetItemString(modules, name) != nullptr) return 0;
  return PyDict_SetItemString(modules, name, module);
}

// Readies one of the two static types and binds it as a module attribute.
int ready_type(PyTypeObject*& slot, PyTypeObject* type, PyObject* module, Const name) noexcept {
  slot = type;
  if (PyType_Ready(type) < 0) return -1;
  (void)PyUnstable_Object_EnableDeferredRefcount(reinterpret_cast<PyObject*>(type));
  return PyObject_SetAttr(module, constant(name), reinterpret_cast<PyObject*>(type));
}

// Steps 7 to 14. On failure `site` names the traceback entry to add.
int exec_build(ModuleState& state, PyObject* module, const FailureSite*& site) noexcept {
  site = &kInitSite;
  if (obtain_function_types(state, module) < 0) return -1;
  if (register_in_sys_modules(module) < 0) return -1;
  if (make_code_objects(state) < 0) return -1;
  if (ready_type(state.cached_property_type, &CachedPropertyType, module, Const::CachedProperty) < 0 ||
      setup_pickling(&CachedPropertyType) < 0)
    return -1;
  if (ready_type(state.axis_property_type, &AxisPropertyType, module, Const::AxisProperty) < 0 ||
      setup_pickling(&AxisPropertyType) < 0)
    return -1;
  if (store_owned(state.builtin_type, import_checked_builtin_type()) < 0) return -1;
  if (register_after_fork_hook() < 0) return -1;

  // Step 13. The function objects replace the method-table entries of the
  // same names, which setup_pickling has moved under the protocol names.
  site = &kInitReduceSite;
  if (bind_pickling_function(FunctionId::CachedProperty_reduce_cython) < 0) return -1;
  site = &kInitSetstateSite;
  if (bind_pickling_function(FunctionId::CachedProperty_setstate_cython) < 0) return -1;
  site = &kInitAliasSite;
  if (PyDict_SetItem(state.module_dict, constant(Const::cache_readonly),
                     reinterpret_cast<PyObject*>(&CachedPropertyType)) < 0)
    return -1;
  site = &kInitReduceSite;
  if (bind_pickling_function(FunctionId::AxisProperty_reduce_cython) < 0) return -1;
  site = &kInitSetstateSite;
  if (bind_pickling_function(FunctionId::AxisProperty_setstate_cython) < 0) return -1;
  site = &kInitUnpickleSite;
  if (bind_pickling_function(FunctionId::unpickle_CachedProperty) < 0) return -1;
  if (bind_pickling_function(FunctionId::unpickle_AxisProperty) < 0) return -1;

  site = &kInitSite;
  OwnedRef test_registry = OwnedRef::steal(PyDict_New());
  if (!test_registry) return -1;
  return PyDict_SetItem(state.module_dict, constant(Const::dunder_test), test_registry.get());
}

int exec_module(PyObject* module) noexcept {
  ModuleState& state = module_state_for_startup();
  if (state.module != nullptr) {
    if (state.module == module) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'properties' has already been imported. Re-initialisation is not "
                    "supported.");
    return -1;
  }
  state.module = Py_NewRef(module);
  declare_gil_use(module);

  const FailureSite* site = nullptr;
  if (exec_prepare(state, module) == 0 && exec_build(state, module, site) == 0) return 0;
  if (site != nullptr) add_traceback(*site);
  replace_field(state.module, nullptr);
  return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_gil, TOVREN_MOD_GIL},
    {0, nullptr},
};

PyMethodDef module_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "properties",   // m_name
    nullptr,        // m_doc: the module's __doc__ is None
    0,              // m_size: all state is process-wide
    module_methods, // m_methods
    module_slots,   // m_slots
    nullptr,        // m_traverse
    nullptr,        // m_clear
    nullptr,        // m_free
};

}  // namespace

}  // namespace tovren

PyMODINIT_FUNC PyInit_properties(void) { return PyModuleDef_Init(&tovren::module_definition); }
