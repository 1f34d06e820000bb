#include "axis_property.h"

#include "../call_support/argument_binding.h"
#include "../call_support/integer_conversion.h"
#include "../frame/abi_differences.h"
#include "../frame/extension_lifecycle.h"
#include "../frame/module_state.h"
#include "../frame/owned_reference.h"
#include "../frame/recursion_checked_read.h"
#include "../frame/traceback_entries.h"
#include "../pickling/pickling.h"

namespace tovren {

namespace {

constexpr const char kInitFunction[] = "tovren._libs.properties.AxisProperty.__init__";
constexpr FailureSite kInitBindingSite{kInitFunction, 53, kModuleSourceFile};
constexpr FailureSite kInitConversionSite{kInitFunction, 54, kModuleSourceFile};

constexpr const char kGetFunction[] = "tovren._libs.properties.AxisProperty.__get__";
// Looking up `_mgr` or `axes`, and `axes` neither exactly a list nor None.
constexpr FailureSite kGetLookupSite{kGetFunction, 65, kModuleSourceFile};
// `axes` is None, or the index is outside the list after the wrap-around.
constexpr FailureSite kGetItemSite{kGetFunction, 66, kModuleSourceFile};
// Ends the message of a RecursionError raised by the read's recursion check.
constexpr const char kGetRecursionContext[] = " while reading an AxisProperty";

// Building the int from `axis`, and looking up or calling `_set_axis`.
constexpr FailureSite kSetSite{"tovren._libs.properties.AxisProperty.__set__", 69,
                               kModuleSourceFile};

constexpr FailureSite kAxisGetterSite{"tovren._libs.properties.AxisProperty.axis.__get__", 50,
                                      kModuleSourceFile};

constexpr CallableSignature kInitSignature{
    "__init__", {Const::axis, Const::doc}, 2, 0, &kInitBindingSite};

AxisPropertyObject* as_axis_property(PyObject* object) noexcept {
  return reinterpret_cast<AxisPropertyObject*>(object);
}

// ---- creation, GC, destruction -------------------------------------------

PyObject* axis_property_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
  PyObject* object = allocate_instance(type);
  if (object == nullptr) return nullptr;
  // `axis` is 0: the allocation gives zeroed storage.
  as_axis_property(object)->doc = Py_NewRef(Py_None);
  return object;
}

int axis_property_traverse(PyObject* object, visitproc visit, void* arg) {
  Py_VISIT(as_axis_property(object)->doc);
  return 0;
}

int axis_property_clear(PyObject* object) {
  replace_doc(as_axis_property(object), Py_NewRef(Py_None));
  return 0;
}

void axis_property_dealloc(PyObject* object) {
  if (!begin_dealloc(object, axis_property_dealloc)) return;  // resurrected
  Py_CLEAR(as_axis_property(object)->doc);
  Py_TYPE(object)->tp_free(object);
}

// ---- __init__ --------------------------------------------------------------

// Both fields are written only once binding and conversion have succeeded,
// so a failed call leaves the descriptor as it was.
int axis_property_init(PyObject* object, PyObject* args, PyObject* kwargs) {
  BoundArguments bound;
  if (bind_tuple_and_dict(kInitSignature, args, kwargs, bound) < 0) return -1;
  bound.fill_default(0, module_state().int_zero);
  bound.fill_default(1, constant(Const::empty_string));

  // `__index__` can run Python code; the bound values are strong references.
  Py_ssize_t axis = index_as_ssize(bound[0]);
  if (axis == -1 && PyErr_Occurred()) {
    add_traceback(kInitConversionSite);
    return -1;
  }
  AxisPropertyObject* self = as_axis_property(object);
  store_axis(self, axis);
  replace_doc(self, Py_NewRef(bound[1]));
  return 0;
}

// ---- descriptor read ---------------------------------------------------------

// The read past the class check: two attribute lookups and one list read,
// no allocation.
inline Py_ALWAYS_INLINE PyObject* read_axis(PyObject* object, PyObject* instance) noexcept {
  OwnedRef manager = OwnedRef::steal(PyObject_GetAttr(instance, constant(Const::mgr)));
  if (!manager) {
    add_traceback(kGetLookupSite);
    return nullptr;
  }
  // `axes` is owned from here on: the manager's release, or code run by a
  // finaliser, may drop the manager's own reference to the list.
  OwnedRef axes = OwnedRef::steal(PyObject_GetAttr(manager.get(), constant(Const::axes)));
  manager.reset();
  if (!axes) {
    add_traceback(kGetLookupSite);
    return nullptr;
  }
  PyObject* list = axes.get();
  if (!PyList_CheckExact(list)) {
    if (list == Py_None) {
      PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
      add_traceback(kGetItemSite);
    } else {
      PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(list)->tp_name);
      add_traceback(kGetLookupSite);
    }
    return nullptr;
  }

  // Taken after the lookups, so a re-initialisation that they ran (a `_mgr`
  // property, an `axes` getter) is seen; no Python code runs from here on.
  PyObject* item = list_item_ref(list, load_axis(as_axis_property(object)));
  if (item == nullptr) add_traceback(kGetItemSite);
  return item;
}

// The hottest path. `_mgr` and `axes` can resolve to a descriptor of this
// module again (`_mgr = AxisProperty(0)`, a cached property named `_mgr`),
// hence the recursion check; a RecursionError fails the `_mgr` lookup.
PyObject* axis_property_get(PyObject* object, PyObject* instance, PyObject* /*owner*/) {
  if (instance == nullptr || instance == Py_None) return Py_NewRef(object);
  defer_refcount_if_shared(object);
  return recursion_checked_read<read_axis, kGetRecursionContext, kGetLookupSite>(object, instance);
}

// ---- descriptor write ----------------------------------------------------------

int axis_property_set(PyObject* object, PyObject* instance, PyObject* value) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_NotImplementedError, "__delete__");
    return -1;
  }
  Py_ssize_t axis = load_axis(as_axis_property(object));
  // `_set_axis` runs Python code; the owner stays alive for the whole call.
  OwnedRef owner = OwnedRef::new_ref(instance);
  OwnedRef number = OwnedRef::steal(PyLong_FromSsize_t(axis));
  if (!number) {
    add_traceback(kSetSite);
    return -1;
  }
  // The method is looked up on the owner without making a bound method.
  // Slot 0 is the owner; when the attribute found is already bound, the
  // offset flag lets the callee use that slot as scratch space.
  PyObject* arguments[] = {owner.get(), number.get(), value};
  OwnedRef result = OwnedRef::steal(PyObject_VectorcallMethod(
      constant(Const::set_axis), arguments, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  number.reset();
  owner.reset();
  if (!result) {
    add_traceback(kSetSite);
    return -1;
  }
  return 0;
}

// ---- read-only attributes --------------------------------------------------------

PyObject* get_axis(PyObject* object, void*) {
  PyObject* number = PyLong_FromSsize_t(load_axis(as_axis_property(object)));
  if (number == nullptr) add_traceback(kAxisGetterSite);
  return number;
}

PyObject* get_doc(PyObject* object, void*) {
  return new_doc_reference(as_axis_property(object));
}

PyGetSetDef axis_property_getset[] = {
    {"axis", get_axis, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The class docstring, with the text signature first as in CPython's own
// static types (see kCachedPropertyDoc); instances keep their own __doc__.
constexpr const char kAxisPropertyDoc[] =
    "AxisProperty(axis=0, doc=\"\")\n"
    "--\n"
    "\n"
    "Attribute that stands for one axis of an owner's manager.\n"
    "\n"
    "Reading returns owner._mgr.axes[axis] (axes must be a list; a negative\n"
    "axis counts from its end); assigning calls owner._set_axis(axis, value).\n"
    "Deletion raises NotImplementedError. axis is any object with __index__;\n"
    "doc becomes the descriptor's __doc__.";

}  // namespace

PyTypeObject AxisPropertyType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tovren._libs.properties.AxisProperty",
    .tp_basicsize = sizeof(AxisPropertyObject),
    .tp_itemsize = 0,
    .tp_dealloc = axis_property_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VERSION_TAG | Py_TPFLAGS_BASETYPE |
                Py_TPFLAGS_HAVE_GC,
    .tp_doc = kAxisPropertyDoc,
    .tp_traverse = axis_property_traverse,
    .tp_clear = axis_property_clear,
    .tp_methods = kAxisPropertyMethods,
    .tp_getset = axis_property_getset,
    .tp_descr_get = axis_property_get,
    .tp_descr_set = axis_property_set,
    .tp_init = axis_property_init,
    .tp_new = axis_property_new,
};

}  // namespace tovren
