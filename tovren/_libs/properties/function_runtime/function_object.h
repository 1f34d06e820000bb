// The function-object runtime: the callable type, with its metaclass, of
// which the module's methods and reconstructors are made.
//
// Both types are shared between modules built from this runtime through a
// registry module in `sys.modules` whose name carries the runtime's layout
// version; a module that finds them registered uses them (after checking that
// they are types of the expected size and layout), otherwise it creates and
// registers them. A function object calls its C implementation with the
// METH_FASTCALL | METH_KEYWORDS convention, binds to instances like a Python
// function and carries `__name__`, `__qualname__`, `__module__`,
// `__globals__` and `__code__`; it has no docstring.
#pragma once

#include <Python.h>

#include "../frame/module_state.h"

// Bump the number whenever `FunctionObject` or the semantics of the shared
// types change: modules built from different versions must not share types.
#define TOVREN_FUNCTION_RUNTIME_REGISTRY "_tovren_function_runtime_1"

namespace tovren {

inline constexpr const char kFunctionRegistryName[] = TOVREN_FUNCTION_RUNTIME_REGISTRY;

// The C implementation behind a function object (METH_FASTCALL |
// METH_KEYWORDS). `self` is the instance for a method of a type, already
// checked to be an instance of that type; null for a plain function. `args`
// holds `nargs` positional values followed by the values of `kwnames`.
using FastcallImplementation = PyObject* (*)(PyObject* self, PyObject* const* args,
                                             Py_ssize_t nargs, PyObject* kwnames);

struct FunctionDescription {
  FunctionId id;   // selects the code object (`module_state().code_objects`)
  Const name;      // `__name__`
  Const qualname;  // `__qualname__`
  FastcallImplementation implementation;
  // For a method of a type: the type whose instances the first positional
  // argument must be. Null for a plain function.
  PyTypeObject* self_type;
};

// The instance record. Shared between modules through the registry, so any
// change here needs a new registry name.
struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  FastcallImplementation implementation;
  // Owned references. `name`, `qualname`, `module_name` and `self_type` are
  // set at creation and never change (so a call never finds them missing);
  // `globals` and `code` are released by a GC clear and then read as None.
  PyObject* self_type;  // null for a plain function
  PyObject* name;
  PyObject* qualname;
  PyObject* module_name;
  PyObject* globals;
  PyObject* code;
};

// Exec step 7: gets or creates the shared metaclass and function type in the
// registry module and stores them in the state (owned). `owner` is the module
// that becomes the owner of types this call creates. 0, or -1 with an
// exception set.
int obtain_function_types(ModuleState& state, PyObject* owner) noexcept;

// The same against the registry module named `registry_name`; the results are
// new references. Exposed for tests that use a scratch registry.
int obtain_function_types_in(const char* registry_name, PyObject* owner, PyTypeObject** metatype,
                             PyTypeObject** function_type) noexcept;

// Makes a function object of the state's function type: new, tracked by the
// garbage collector, deferred reference counting requested. Its module name,
// globals and code object come from the module state. A new reference, or
// null with an exception set.
PyObject* make_function(const FunctionDescription& description) noexcept;

}  // namespace tovren
