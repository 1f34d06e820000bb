// Getting or creating the shared runtime types in the registry module.
//
// Several modules built from this runtime share one metaclass and one
// function type per process. The registry module (in `sys.modules`, named
// after the runtime's layout version) maps each type's short name to the
// type. A type is created from its static description only when none is
// registered, and registered with set-if-absent semantics, so that of two
// concurrent creators the first registration wins and both use it.
#include <cstddef>
#include <cstring>

#include "../frame/owned_reference.h"
#include "../frame/shared_modules.h"
#include "function_object.h"
#include "type_specs.h"

namespace tovren {

namespace {

const char* short_name_of(const PyType_Spec& spec) noexcept {
  const char* dot = std::strrchr(spec.name, '.');
  return dot != nullptr ? dot + 1 : spec.name;
}

// Tests a registered entry before this runtime puts objects into it or makes
// types of it. `metatype`, when given, is the metaclass the type must have.
int check_shared_type(PyObject* found, const PyType_Spec& spec, PyTypeObject* metatype,
                      const char* registry_name) noexcept {
  const char* short_name = short_name_of(spec);
  if (!PyType_Check(found)) {
    PyErr_Format(PyExc_TypeError, "Shared type '%.200s' in %.200s is not a type object", short_name,
                 registry_name);
    return -1;
  }
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(found);
  if (spec.basicsize != 0 && type->tp_basicsize != spec.basicsize) {
    PyErr_Format(PyExc_TypeError,
                 "Shared type '%.200s' in %.200s has the wrong size (expected %zd, got %zd)",
                 short_name, registry_name, static_cast<Py_ssize_t>(spec.basicsize),
                 type->tp_basicsize);
    return -1;
  }
  if (metatype != nullptr &&
      (Py_TYPE(found) != metatype ||
       (type->tp_flags & kFunctionTypeRequiredFlags) != kFunctionTypeRequiredFlags ||
       type->tp_vectorcall_offset != offsetof(FunctionObject, vectorcall))) {
    PyErr_Format(PyExc_TypeError, "Shared type '%.200s' in %.200s has an incompatible layout",
                 short_name, registry_name);
    return -1;
  }
  return 0;
}

// A new reference to the checked shared type described by `spec`, or null
// with an exception set. `registry_dict` is borrowed from the caller, which
// holds the registry module.
PyTypeObject* get_or_create_shared_type(const char* registry_name, PyObject* registry_dict,
                                        PyType_Spec& spec, PyTypeObject* metatype, PyObject* bases,
                                        PyObject* owner) noexcept {
  OwnedRef key = OwnedRef::steal(PyUnicode_FromString(short_name_of(spec)));
  if (!key) return nullptr;
  PyObject* found_raw = nullptr;
  int present = PyDict_GetItemRef(registry_dict, key.get(), &found_raw);
  if (present < 0) return nullptr;
  OwnedRef found = OwnedRef::steal(found_raw);
  if (present == 0) {
    OwnedRef created = OwnedRef::steal(PyType_FromMetaclass(metatype, owner, &spec, bases));
    if (!created) return nullptr;
    // Set-if-absent: a registration made meanwhile (Python code can run while
    // the type is created) wins, and is checked like any found entry.
    if (PyDict_SetDefaultRef(registry_dict, key.get(), created.get(), &found_raw) < 0) {
      return nullptr;
    }
    found = OwnedRef::steal(found_raw);
  }
  if (check_shared_type(found.get(), spec, metatype, registry_name) < 0) return nullptr;
  return reinterpret_cast<PyTypeObject*>(found.release());
}

}  // namespace

int obtain_function_types_in(const char* registry_name, PyObject* owner, PyTypeObject** metatype,
                             PyTypeObject** function_type) noexcept {
  OwnedRef registry = OwnedRef::steal(get_or_create_module(registry_name));
  if (!registry) return -1;
  // `sys.modules` may hold something else under the name; get-or-create then
  // hands that back rather than replacing it.
  if (!PyModule_Check(registry.get())) {
    PyErr_Format(PyExc_TypeError, "sys.modules['%.200s'] is not a module", registry_name);
    return -1;
  }
  PyObject* registry_dict = PyModule_GetDict(registry.get());  // borrowed from the module
  OwnedRef meta = OwnedRef::steal(reinterpret_cast<PyObject*>(
      get_or_create_shared_type(registry_name, registry_dict, kFunctionMetatypeSpec, nullptr,
                                reinterpret_cast<PyObject*>(&PyType_Type), owner)));
  if (!meta) return -1;
  PyTypeObject* meta_type = reinterpret_cast<PyTypeObject*>(meta.get());
  // The metaclass must derive from `type`, or it cannot make the function type.
  if (!PyType_IsSubtype(meta_type, &PyType_Type)) {
    PyErr_Format(PyExc_TypeError, "Shared type '%.200s' in %.200s has an incompatible layout",
                 short_name_of(kFunctionMetatypeSpec), registry_name);
    return -1;
  }
  PyTypeObject* function = get_or_create_shared_type(registry_name, registry_dict,
                                                     kFunctionTypeSpec, meta_type, nullptr, owner);
  if (function == nullptr) return -1;
  *metatype = reinterpret_cast<PyTypeObject*>(meta.release());
  *function_type = function;
  return 0;
}

int obtain_function_types(ModuleState& state, PyObject* owner) noexcept {
  PyTypeObject* metatype = nullptr;
  PyTypeObject* function_type = nullptr;
  if (obtain_function_types_in(kFunctionRegistryName, owner, &metatype, &function_type) < 0) {
    return -1;
  }
  // A repeated exec step (after a failed one) replaces the types it held.
  PyObject* previous_meta = reinterpret_cast<PyObject*>(state.function_metatype);
  PyObject* previous_function = reinterpret_cast<PyObject*>(state.function_type);
  state.function_metatype = metatype;
  state.function_type = function_type;
  Py_XDECREF(previous_meta);
  Py_XDECREF(previous_function);
  return 0;
}

}  // namespace tovren
