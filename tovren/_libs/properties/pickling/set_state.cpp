// Writing a state tuple back into an object: the two set-state routines, the
// instance-dict merge, and `__setstate_cython__` of both types.
#include "../axis_property/axis_property.h"
#include "../cached_property/cached_property.h"
#include "../call_support/argument_binding.h"
#include "../call_support/integer_conversion.h"
#include "../frame/owned_reference.h"
#include "pickling_internal.h"

namespace tovren::pickling {

namespace {

constexpr const char kCachedPropertySetState[] =
    "tovren._libs.properties.__pyx_unpickle_CachedProperty__set_state";
constexpr FailureSite kCachedPropertyItemSite{kCachedPropertySetState, 12, kStringSourceFile};
constexpr FailureSite kCachedPropertyDictSite{kCachedPropertySetState, 13, kStringSourceFile};

constexpr const char kAxisPropertySetState[] =
    "tovren._libs.properties.__pyx_unpickle_AxisProperty__set_state";
// A missing item, or item 1 not converting to a signed machine word.
constexpr FailureSite kAxisPropertyItemSite{kAxisPropertySetState, 12, kStringSourceFile};
constexpr FailureSite kAxisPropertyDictSite{kAxisPropertySetState, 13, kStringSourceFile};

constexpr const char kCachedPropertySetstateCython[] =
    "tovren._libs.properties.CachedProperty.__setstate_cython__";
constexpr FailureSite kCachedPropertySetstateBindingSite{kCachedPropertySetstateCython, 16,
                                                         kStringSourceFile};
// The argument's type, or the set-state routine failing.
constexpr FailureSite kCachedPropertySetstateBodySite{kCachedPropertySetstateCython, 17,
                                                      kStringSourceFile};

constexpr const char kAxisPropertySetstateCython[] =
    "tovren._libs.properties.AxisProperty.__setstate_cython__";
constexpr FailureSite kAxisPropertySetstateBindingSite{kAxisPropertySetstateCython, 16,
                                                       kStringSourceFile};
constexpr FailureSite kAxisPropertySetstateBodySite{kAxisPropertySetstateCython, 17,
                                                    kStringSourceFile};

constexpr CallableSignature kCachedPropertySetstateSignature{
    "__setstate_cython__", {Const::pyx_state}, 1, 1, &kCachedPropertySetstateBindingSite};
constexpr CallableSignature kAxisPropertySetstateSignature{
    "__setstate_cython__", {Const::pyx_state}, 1, 1, &kAxisPropertySetstateBindingSite};

// Item `index` of the exact tuple `state`, as a new reference. Past the end
// the tuple's own item access raises its IndexError.
PyObject* state_item(PyObject* state, Py_ssize_t index) noexcept {
  if (index < PyTuple_GET_SIZE(state)) return Py_NewRef(PyTuple_GET_ITEM(state, index));
  return PySequence_GetItem(state, index);
}

using SetStateRoutine = PyObject* (*)(PyObject*, PyObject*) noexcept;

PyObject* setstate_cython(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames, const CallableSignature& signature,
                          SetStateRoutine set_state, const FailureSite& body_site) noexcept {
  BoundArguments bound;
  if (bind_vectorcall(signature, args, nargs, kwnames, bound) < 0) return nullptr;
  PyObject* state = bound[0];
  if (PyTuple_CheckExact(state)) {
    OwnedRef result = OwnedRef::steal(set_state(self, state));
    if (!result) {
      add_traceback(body_site);
      return nullptr;
    }
    Py_RETURN_NONE;
  }
  if (state == Py_None) {
    PyErr_SetString(PyExc_TypeError,
                    "cannot pass None into a C function argument that is declared 'not None'");
  } else {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "tuple", Py_TYPE(state)->tp_name);
  }
  add_traceback(body_site);
  return nullptr;
}

}  // namespace

int restore_instance_dict(PyObject* object, PyObject* state, Py_ssize_t field_count) noexcept {
  if (PyTuple_GET_SIZE(state) <= field_count) return 0;
  OwnedRef extra = OwnedRef::steal(PySequence_GetItem(state, field_count));
  if (!extra) return -1;
  // The truth test and the merge can run Python code (a hostile mapping);
  // both references held here keep the extra element and the dict alive.
  int truth = PyObject_IsTrue(extra.get());
  if (truth <= 0) return truth;
  OwnedRef instance_dict = OwnedRef::steal(PyObject_GenericGetDict(object, nullptr));
  if (!instance_dict) return -1;
  if (PyDict_CheckExact(instance_dict.get()))
    return PyDict_Update(instance_dict.get(), extra.get());
  OwnedRef result = OwnedRef::steal(
      PyObject_CallMethodOneArg(instance_dict.get(), constant(Const::update), extra.get()));
  return result ? 0 : -1;
}

PyObject* cached_property_set_state(PyObject* object, PyObject* state) noexcept {
  auto* self = reinterpret_cast<CachedPropertyObject*>(object);
  constexpr CachedPropertyField kStateOrder[] = {
      &CachedPropertyObject::doc, &CachedPropertyObject::fget, &CachedPropertyObject::name};
  for (Py_ssize_t index = 0; index < 3; ++index) {
    PyObject* item = state_item(state, index);
    if (item == nullptr) {
      add_traceback(kCachedPropertyItemSite);
      return nullptr;
    }
    replace_cached_property_field(self, kStateOrder[index], item);
  }
  if (restore_instance_dict(object, state, 3) < 0) {
    add_traceback(kCachedPropertyDictSite);
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* axis_property_set_state(PyObject* object, PyObject* state) noexcept {
  auto* self = reinterpret_cast<AxisPropertyObject*>(object);
  PyObject* doc = state_item(state, 0);
  if (doc == nullptr) {
    add_traceback(kAxisPropertyItemSite);
    return nullptr;
  }
  replace_doc(self, doc);
  OwnedRef axis_item = OwnedRef::steal(state_item(state, 1));
  if (!axis_item) {
    add_traceback(kAxisPropertyItemSite);
    return nullptr;
  }
  Py_ssize_t axis = index_as_ssize(axis_item.get());
  if (axis == -1 && PyErr_Occurred()) {
    add_traceback(kAxisPropertyItemSite);
    return nullptr;
  }
  store_axis(self, axis);
  if (restore_instance_dict(object, state, 2) < 0) {
    add_traceback(kAxisPropertyDictSite);
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* cached_property_setstate_cython(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
  return setstate_cython(self, args, nargs, kwnames, kCachedPropertySetstateSignature,
                         cached_property_set_state, kCachedPropertySetstateBodySite);
}

PyObject* axis_property_setstate_cython(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  return setstate_cython(self, args, nargs, kwnames, kAxisPropertySetstateSignature,
                         axis_property_set_state, kAxisPropertySetstateBodySite);
}

}  // namespace tovren::pickling
