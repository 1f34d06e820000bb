// `__reduce_cython__` of both types, and the module-global lookup that finds
// the reconstructor.
#include <utility>

#include "../axis_property/axis_property.h"
#include "../cached_property/cached_property.h"
#include "../call_support/argument_binding.h"
#include "../frame/owned_reference.h"
#include "pickling_internal.h"

namespace tovren::pickling {

namespace {

// The failure sites of one type's reduce, by the step that fails.
struct ReduceSites {
  FailureSite state;        // building the field tuple (or the int of `axis`)
  FailureSite dict_lookup;  // reading `__dict__`
  FailureSite dict_truth;   // truth test of the instance dict
  FailureSite dict_append;  // appending the instance dict to the state
  FailureSite form_a;       // reconstructor lookup or result tuples, Form A
  FailureSite form_b;       // the same, Form B
};

constexpr ReduceSites reduce_sites(const char* function) noexcept {
  return {{function, 5, kStringSourceFile},  {function, 6, kStringSourceFile},
          {function, 7, kStringSourceFile},  {function, 8, kStringSourceFile},
          {function, 13, kStringSourceFile}, {function, 15, kStringSourceFile}};
}

constexpr ReduceSites kCachedPropertyReduceSites =
    reduce_sites("tovren._libs.properties.CachedProperty.__reduce_cython__");
constexpr ReduceSites kAxisPropertyReduceSites =
    reduce_sites("tovren._libs.properties.AxisProperty.__reduce_cython__");

constexpr const char kReduceName[] = "__reduce_cython__";

// The truth value of `object`, answering True and False without a call.
int truth_of(PyObject* object) noexcept {
  if (object == Py_True) return 1;
  if (object == Py_False) return 0;
  return PyObject_IsTrue(object);
}

// Steps 2 to 6 of reduce, shared by both types. `state` holds the fields in
// state order, of which the first `object_field_count` are object fields:
// Form A is chosen when the instance dict rides along or one of those is not
// None. The choice reads the values captured in `state`, so the form always
// fits the state emitted, even if reading `__dict__` (Python code in a
// subclass) changed the object meanwhile.
PyObject* finish_reduce(PyObject* self, OwnedRef state, Py_ssize_t object_field_count,
                        Const reconstructor_name, PyObject* checksum,
                        const ReduceSites& sites) noexcept {
  PyObject* found = nullptr;
  if (PyObject_GetOptionalAttr(self, constant(Const::dunder_dict), &found) < 0) {
    add_traceback(sites.dict_lookup);
    return nullptr;
  }
  OwnedRef instance_dict = OwnedRef::steal(found);

  bool use_setstate = false;
  if (instance_dict && instance_dict.get() != Py_None) {
    int truth = truth_of(instance_dict.get());
    if (truth < 0) {
      add_traceback(sites.dict_truth);
      return nullptr;
    }
    if (truth) {
      OwnedRef tail = OwnedRef::steal(PyTuple_Pack(1, instance_dict.get()));
      OwnedRef extended;
      if (tail) extended = OwnedRef::steal(PySequence_Concat(state.get(), tail.get()));
      if (!extended) {
        add_traceback(sites.dict_append);
        return nullptr;
      }
      state = std::move(extended);
      use_setstate = true;
    }
  }
  if (!use_setstate) {
    for (Py_ssize_t i = 0; i < object_field_count; ++i) {
      if (PyTuple_GET_ITEM(state.get(), i) != Py_None) use_setstate = true;
    }
  }

  const FailureSite& form_site = use_setstate ? sites.form_a : sites.form_b;
  // Looked up at every call: the binding found now is the one emitted.
  OwnedRef reconstructor = OwnedRef::steal(lookup_global(constant(reconstructor_name)));
  if (!reconstructor) {
    add_traceback(form_site);
    return nullptr;
  }
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
  OwnedRef result;
  if (use_setstate) {
    OwnedRef arguments = OwnedRef::steal(PyTuple_Pack(3, type, checksum, Py_None));
    if (arguments) {
      result = OwnedRef::steal(PyTuple_Pack(3, reconstructor.get(), arguments.get(), state.get()));
    }
  } else {
    OwnedRef arguments = OwnedRef::steal(PyTuple_Pack(3, type, checksum, state.get()));
    if (arguments) result = OwnedRef::steal(PyTuple_Pack(2, reconstructor.get(), arguments.get()));
  }
  if (!result) add_traceback(form_site);
  return result.release();
}

}  // namespace

PyObject* cached_property_reduce_cython(PyObject* self, PyObject* const* /*args*/, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  if (bind_no_arguments(kReduceName, nargs, kwnames) < 0) return nullptr;
  auto* object = reinterpret_cast<CachedPropertyObject*>(self);
  OwnedRef doc = OwnedRef::steal(cached_property_field(object, &CachedPropertyObject::doc));
  OwnedRef fget = OwnedRef::steal(cached_property_field(object, &CachedPropertyObject::fget));
  OwnedRef name = OwnedRef::steal(cached_property_field(object, &CachedPropertyObject::name));
  OwnedRef state = OwnedRef::steal(PyTuple_Pack(3, doc.get(), fget.get(), name.get()));
  if (!state) {
    add_traceback(kCachedPropertyReduceSites.state);
    return nullptr;
  }
  return finish_reduce(self, std::move(state), 3, Const::pyx_unpickle_CachedProperty,
                       module_state().cached_property_checksum, kCachedPropertyReduceSites);
}

PyObject* axis_property_reduce_cython(PyObject* self, PyObject* const* /*args*/, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  if (bind_no_arguments(kReduceName, nargs, kwnames) < 0) return nullptr;
  auto* object = reinterpret_cast<AxisPropertyObject*>(self);
  OwnedRef doc = OwnedRef::steal(new_doc_reference(object));
  OwnedRef axis = OwnedRef::steal(PyLong_FromSsize_t(load_axis(object)));
  OwnedRef state;
  if (axis) state = OwnedRef::steal(PyTuple_Pack(2, doc.get(), axis.get()));
  if (!state) {
    add_traceback(kAxisPropertyReduceSites.state);
    return nullptr;
  }
  // `axis` is an integer and never selects Form A; only `__doc__` does.
  return finish_reduce(self, std::move(state), 1, Const::pyx_unpickle_AxisProperty,
                       module_state().axis_property_checksum, kAxisPropertyReduceSites);
}

PyObject* lookup_global(PyObject* name) noexcept {
  const ModuleState& state = module_state();
  PyObject* value = nullptr;
  int found = PyDict_GetItemRef(state.module_dict, name, &value);
  if (found > 0) return value;
  if (found < 0) PyErr_Clear();  // a failed lookup counts as a missing entry
  if (PyObject_GetOptionalAttr(state.builtins, name, &value) < 0) return nullptr;
  if (value != nullptr) return value;
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return nullptr;
}

}  // namespace tovren::pickling
