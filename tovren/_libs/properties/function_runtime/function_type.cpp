// The function type's slots and the making of function objects.
#include <cstddef>

#include "../frame/owned_reference.h"
#include "function_object.h"
#include "type_specs.h"

namespace tovren {

namespace {

FunctionObject* as_function(PyObject* object) noexcept {
  return reinterpret_cast<FunctionObject*>(object);
}

// ---- calls -------------------------------------------------------------------

// A method takes its first positional argument as the instance and passes
// the rest on; a plain function passes everything on with a null `self`.
// Keyword values follow the positional ones in `args`, so dropping the first
// positional keeps them in place relative to `kwnames`.
PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
  FunctionObject* function = as_function(callable);
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (function->self_type == nullptr) {
    return function->implementation(nullptr, args, nargs, kwnames);
  }
  if (nargs < 1) {
    const char* name = PyUnicode_AsUTF8(function->name);
    if (name == nullptr) return nullptr;
    PyErr_Format(PyExc_TypeError, "%.200s() %s", name, "needs an argument");
    return nullptr;
  }
  // The implementation reads the instance as its type's record, so an
  // instance of any other type is refused here, as method descriptors do.
  PyTypeObject* self_type = reinterpret_cast<PyTypeObject*>(function->self_type);
  if (!PyObject_TypeCheck(args[0], self_type)) {
    PyErr_Format(PyExc_TypeError,
                 "descriptor '%U' for '%.100s' objects doesn't apply to a '%.100s' object",
                 function->name, self_type->tp_name, Py_TYPE(args[0])->tp_name);
    return nullptr;
  }
  return function->implementation(args[0], args + 1, nargs - 1, kwnames);
}

// Read through an instance, a function binds to it like a Python function;
// read through a class (no instance, or None) it is returned as it is.
PyObject* function_descr_get(PyObject* function, PyObject* instance, PyObject* /*owner*/) {
  if (instance == nullptr || instance == Py_None) return Py_NewRef(function);
  return PyMethod_New(function, instance);
}

// ---- GC, destruction -------------------------------------------------------------

int function_traverse(PyObject* object, visitproc visit, void* arg) {
  FunctionObject* function = as_function(object);
  Py_VISIT(Py_TYPE(object));  // instances of heap types keep their type alive
  Py_VISIT(function->self_type);
  Py_VISIT(function->name);
  Py_VISIT(function->qualname);
  Py_VISIT(function->module_name);
  Py_VISIT(function->globals);
  Py_VISIT(function->code);
  return 0;
}

// Breaks cycles through the globals (the module dict holds the function) and
// the code object. The fields that a call reads stay: a cycle through a
// method's type is broken by the type's own clear.
int function_clear(PyObject* object) {
  FunctionObject* function = as_function(object);
  Py_CLEAR(function->globals);
  Py_CLEAR(function->code);
  return 0;
}

void function_dealloc(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  PyObject_GC_UnTrack(object);
  PyObject_ClearWeakRefs(object);
  FunctionObject* function = as_function(object);
  Py_CLEAR(function->self_type);
  Py_CLEAR(function->name);
  Py_CLEAR(function->qualname);
  Py_CLEAR(function->module_name);
  Py_CLEAR(function->globals);
  Py_CLEAR(function->code);
  type->tp_free(object);
  Py_DECREF(type);
}

// ---- attributes ------------------------------------------------------------------

PyObject* new_ref_or_none(PyObject* field) noexcept {
  return Py_NewRef(field != nullptr ? field : Py_None);
}

// `__module__` is served here rather than by a descriptor in the type's dict:
// the dict entry `__module__` is the type's own module name, which a
// descriptor of that name would replace.
PyObject* function_getattro(PyObject* object, PyObject* name) {
  if (PyUnicode_Check(name) && PyUnicode_EqualToUTF8(name, "__module__")) {
    return new_ref_or_none(as_function(object)->module_name);
  }
  return PyObject_GenericGetAttr(object, name);
}

PyObject* function_repr(PyObject* object) {
  return PyUnicode_FromFormat("<compiled_function %U at %p>", as_function(object)->qualname,
                              object);
}

PyObject* get_name(PyObject* object, void*) { return new_ref_or_none(as_function(object)->name); }
PyObject* get_qualname(PyObject* object, void*) {
  return new_ref_or_none(as_function(object)->qualname);
}
PyObject* get_globals(PyObject* object, void*) {
  return new_ref_or_none(as_function(object)->globals);
}
PyObject* get_code(PyObject* object, void*) { return new_ref_or_none(as_function(object)->code); }
// No defaults of either kind: what `inspect` expects of a function-like object.
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Pickled by reference, like a Python function: pickle and copy look the
// qualified name up in the module named by `__module__`.
PyObject* function_reduce(PyObject* object, PyObject*) {
  return new_ref_or_none(as_function(object)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_type_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_getattro, reinterpret_cast<void*>(function_getattro)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {0, nullptr},
};

PyType_Slot metatype_slots[] = {
    {0, nullptr},
};

}  // namespace

PyType_Spec kFunctionMetatypeSpec = {
    TOVREN_FUNCTION_RUNTIME_REGISTRY ".compiled_function_type",
    0,  // basicsize: that of `type`
    0,  // itemsize: that of `type`
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    metatype_slots,
};

PyType_Spec kFunctionTypeSpec = {
    TOVREN_FUNCTION_RUNTIME_REGISTRY ".compiled_function",
    static_cast<int>(sizeof(FunctionObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_MANAGED_WEAKREF,
    function_type_slots,
};

PyObject* make_function(const FunctionDescription& description) noexcept {
  const ModuleState& state = module_state();
  PyTypeObject* type = state.function_type;
  if (type == nullptr) {
    PyErr_SetString(PyExc_SystemError, "function objects made before the function type exists");
    return nullptr;
  }
  FunctionObject* function = PyObject_GC_New(FunctionObject, type);
  if (function == nullptr) return nullptr;
  function->vectorcall = function_vectorcall;
  function->implementation = description.implementation;
  function->self_type = Py_XNewRef(reinterpret_cast<PyObject*>(description.self_type));
  function->name = Py_NewRef(constant(description.name));
  function->qualname = Py_NewRef(constant(description.qualname));
  function->module_name = Py_NewRef(constant(Const::module_name));
  function->globals = Py_XNewRef(state.module_dict);
  function->code = Py_XNewRef(state.code_objects[static_cast<int>(description.id)]);
  PyObject* object = reinterpret_cast<PyObject*>(function);
  PyObject_GC_Track(object);
  (void)PyUnstable_Object_EnableDeferredRefcount(object);
  return object;
}

}  // namespace tovren
