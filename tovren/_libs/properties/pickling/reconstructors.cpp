// The module-level reconstructors `__pyx_unpickle_CachedProperty` and
// `__pyx_unpickle_AxisProperty`, and the layout-checksum test they share.
//
// A reconstructor makes a blank object through the `__new__` of the module's
// own base type (which refuses types that are not subtypes of it) and, for
// Form B, writes the state into it. The object stays private to the call
// until it is returned, so a failed restore never leaves a half-written
// object behind.
#include "../call_support/argument_binding.h"
#include "../call_support/integer_conversion.h"
#include "../frame/owned_reference.h"
#include "pickling_internal.h"

namespace tovren::pickling {

namespace {

// Everything that differs between the two reconstructors.
struct Reconstructor {
  CallableSignature signature;  // binding failures: line 4
  FailureSite checksum_site;    // the checksum does not convert: line 4
  FailureSite mismatch_site;    // the checksum is not accepted: line 6
  FailureSite new_site;         // `__new__` fails: line 7
  FailureSite set_state_site;   // the set-state routine fails: line 9
  // Accepted checksums: the first 28 bits of the SHA-256, SHA-1 and MD5
  // digests of the field names in state order joined by single spaces.
  long checksums[3];
  const char* fields;  // field names for the mismatch message
  PyTypeObject* ModuleState::*base_type;
  PyObject* (*set_state)(PyObject*, PyObject*) noexcept;
};

constexpr const char kCachedPropertyFunction[] =
    "tovren._libs.properties.__pyx_unpickle_CachedProperty";
constexpr FailureSite kCachedPropertyBindingSite{kCachedPropertyFunction, 4, kStringSourceFile};

constexpr Reconstructor kCachedPropertyReconstructor{
    {"__pyx_unpickle_CachedProperty",
     {Const::pyx_type, Const::pyx_checksum, Const::pyx_state},
     3,
     3,
     &kCachedPropertyBindingSite},
    {kCachedPropertyFunction, 4, kStringSourceFile},
    {kCachedPropertyFunction, 6, kStringSourceFile},
    {kCachedPropertyFunction, 7, kStringSourceFile},
    {kCachedPropertyFunction, 9, kStringSourceFile},
    {0xef86259, 0xe8b19c1, 0xd67b376},
    "__doc__, fget, name",
    &ModuleState::cached_property_type,
    cached_property_set_state,
};

constexpr const char kAxisPropertyFunction[] =
    "tovren._libs.properties.__pyx_unpickle_AxisProperty";
constexpr FailureSite kAxisPropertyBindingSite{kAxisPropertyFunction, 4, kStringSourceFile};

constexpr Reconstructor kAxisPropertyReconstructor{
    {"__pyx_unpickle_AxisProperty",
     {Const::pyx_type, Const::pyx_checksum, Const::pyx_state},
     3,
     3,
     &kAxisPropertyBindingSite},
    {kAxisPropertyFunction, 4, kStringSourceFile},
    {kAxisPropertyFunction, 6, kStringSourceFile},
    {kAxisPropertyFunction, 7, kStringSourceFile},
    {kAxisPropertyFunction, 9, kStringSourceFile},
    {0xd2e4e33, 0xd654b7d, 0xdc8cce6},
    "__doc__, axis",
    &ModuleState::axis_property_type,
    axis_property_set_state,
};

PyObject* reconstruct(const Reconstructor& spec, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  BoundArguments bound;
  if (bind_vectorcall(spec.signature, args, nargs, kwnames, bound) < 0) return nullptr;
  PyObject* requested_type = bound[0];
  PyObject* state = bound[2];

  long checksum = int_as_long(bound[1]);
  if (checksum == -1 && PyErr_Occurred()) {
    add_traceback(spec.checksum_site);
    return nullptr;
  }
  if (state != Py_None && !PyTuple_CheckExact(state)) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 "__pyx_state", PyTuple_Type.tp_name, Py_TYPE(state)->tp_name);
    return nullptr;
  }
  if (check_layout_checksum(checksum, spec.checksums[0], spec.checksums[1], spec.checksums[2],
                            spec.fields) < 0) {
    add_traceback(spec.mismatch_site);
    return nullptr;
  }

  // The base type as readied at start-up, whatever the module attribute of
  // that name holds now. Its `__new__` refuses a type that is not a subtype.
  PyTypeObject* base_type = module_state().*spec.base_type;
  OwnedRef result = OwnedRef::steal(PyObject_CallMethodOneArg(
      reinterpret_cast<PyObject*>(base_type), constant(Const::dunder_new), requested_type));
  if (!result) {
    add_traceback(spec.new_site);
    return nullptr;
  }
  // The set-state routine reads the object as the base type's record.
  if (!PyObject_TypeCheck(result.get(), base_type)) {
    PyErr_Format(PyExc_TypeError, "%.200s.__new__ returned %.200s, not a %.200s instance",
                 base_type->tp_name, Py_TYPE(result.get())->tp_name, base_type->tp_name);
    add_traceback(spec.new_site);
    return nullptr;
  }
  if (state != Py_None) {
    OwnedRef restored = OwnedRef::steal(spec.set_state(result.get(), state));
    if (!restored) {
      add_traceback(spec.set_state_site);
      return nullptr;
    }
  }
  return result.release();
}

}  // namespace

int check_layout_checksum(long checksum, long first, long second, long third,
                          const char* fields) noexcept {
  if (checksum == first || checksum == second || checksum == third) return 0;
  OwnedRef pickle = OwnedRef::steal(PyImport_ImportModule("pickle"));
  if (!pickle) return -1;
  OwnedRef pickle_error = OwnedRef::steal(PyObject_GetAttrString(pickle.get(), "PickleError"));
  if (!pickle_error) return -1;
  // The checksum has been limited to the 32-bit signed range by its
  // conversion, so it prints whole as a C int.
  PyErr_Format(pickle_error.get(), "Incompatible checksums (0x%x vs (0x%x, 0x%x, 0x%x) = (%s))",
               static_cast<int>(checksum), static_cast<int>(first), static_cast<int>(second),
               static_cast<int>(third), fields);
  return -1;
}

PyObject* unpickle_cached_property(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return reconstruct(kCachedPropertyReconstructor, args, nargs, kwnames);
}

PyObject* unpickle_axis_property(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return reconstruct(kAxisPropertyReconstructor, args, nargs, kwnames);
}

}  // namespace tovren::pickling
