// The types' method tables (the pickling methods and `__class_getitem__`)
// and the pickling functions as the function objects that start-up binds.
#include "../axis_property/axis_property.h"
#include "../cached_property/cached_property.h"
#include "../frame/owned_reference.h"
#include "../frame/type_attributes.h"
#include "../function_runtime/function_object.h"
#include "pickling.h"
#include "pickling_internal.h"

namespace tovren {

namespace {

// Method tables store every entry as a PyCFunction; METH_FASTCALL |
// METH_KEYWORDS tells the interpreter the entry's real signature.
PyCFunction as_method_entry(FastcallImplementation implementation) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(implementation));
}

constexpr int kFastcallWithKeywords = METH_FASTCALL | METH_KEYWORDS;

// Indexed by `FunctionId`. Methods are bound into their type's dict under
// their name, reconstructors into the module dict under theirs.
constexpr FunctionDescription kPicklingFunctions[kFunctionCount] = {
    {FunctionId::CachedProperty_reduce_cython, Const::reduce_cython,
     Const::CachedProperty_reduce_cython, pickling::cached_property_reduce_cython,
     &CachedPropertyType},
    {FunctionId::CachedProperty_setstate_cython, Const::setstate_cython,
     Const::CachedProperty_setstate_cython, pickling::cached_property_setstate_cython,
     &CachedPropertyType},
    {FunctionId::AxisProperty_reduce_cython, Const::reduce_cython,
     Const::AxisProperty_reduce_cython, pickling::axis_property_reduce_cython, &AxisPropertyType},
    {FunctionId::AxisProperty_setstate_cython, Const::setstate_cython,
     Const::AxisProperty_setstate_cython, pickling::axis_property_setstate_cython,
     &AxisPropertyType},
    {FunctionId::unpickle_CachedProperty, Const::pyx_unpickle_CachedProperty,
     Const::pyx_unpickle_CachedProperty, pickling::unpickle_cached_property, nullptr},
    {FunctionId::unpickle_AxisProperty, Const::pyx_unpickle_AxisProperty,
     Const::pyx_unpickle_AxisProperty, pickling::unpickle_axis_property, nullptr},
};

// `CachedProperty[int]` and the like at run time, as for the standard
// containers: the class (a subclass too) subscripted by the item gives
// `types.GenericAlias(cls, item)`, whose call makes an instance of the class.
// An instance is not subscriptable. Not constexpr: the address of a function
// imported from the interpreter's DLL is no constant expression for MSVC.
const PyMethodDef kClassGetItemEntry = {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS,
                                        PyDoc_STR("See PEP 585")};

}  // namespace

PyMethodDef kCachedPropertyMethods[] = {
    {"__reduce_cython__", as_method_entry(pickling::cached_property_reduce_cython),
     kFastcallWithKeywords, nullptr},
    {"__setstate_cython__", as_method_entry(pickling::cached_property_setstate_cython),
     kFastcallWithKeywords, nullptr},
    kClassGetItemEntry,
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef kAxisPropertyMethods[] = {
    {"__reduce_cython__", as_method_entry(pickling::axis_property_reduce_cython),
     kFastcallWithKeywords, nullptr},
    {"__setstate_cython__", as_method_entry(pickling::axis_property_setstate_cython),
     kFastcallWithKeywords, nullptr},
    kClassGetItemEntry,
    {nullptr, nullptr, 0, nullptr},
};

int bind_pickling_function(FunctionId id) noexcept {
  const FunctionDescription& description = kPicklingFunctions[static_cast<int>(id)];
  // Released after the binding, whether it succeeded or not.
  OwnedRef function = OwnedRef::steal(make_function(description));
  if (!function) return -1;
  if (description.self_type != nullptr) {
    return store_type_attribute(description.self_type, constant(description.name), function.get());
  }
  return PyDict_SetItem(module_state().module_dict, constant(description.name), function.get());
}

}  // namespace tovren
