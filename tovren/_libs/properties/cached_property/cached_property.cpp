#include "cached_property.h"

#include "../call_support/argument_binding.h"
#include "../frame/extension_lifecycle.h"
#include "../frame/module_state.h"
#include "../frame/owned_reference.h"
#include "../frame/recursion_checked_read.h"
#include "../frame/traceback_entries.h"
#include "../pickling/pickling.h"

namespace tovren {

namespace {

constexpr const char kInitFunction[] = "tovren._libs.properties.CachedProperty.__init__";
constexpr FailureSite kInitBindingSite{kInitFunction, 14, kModuleSourceFile};
constexpr FailureSite kInitNameSite{kInitFunction, 16, kModuleSourceFile};
constexpr FailureSite kInitDocSite{kInitFunction, 17, kModuleSourceFile};

constexpr const char kGetFunction[] = "tovren._libs.properties.CachedProperty.__get__";
constexpr FailureSite kGetCacheLookupSite{kGetFunction, 25, kModuleSourceFile};
constexpr FailureSite kGetCacheCreateSite{kGetFunction, 28, kModuleSourceFile};
constexpr FailureSite kGetMembershipSite{kGetFunction, 32, kModuleSourceFile};
constexpr FailureSite kGetCallSite{kGetFunction, 36, kModuleSourceFile};
constexpr FailureSite kGetStoreSite{kGetFunction, 37, kModuleSourceFile};
// Ends the message of a RecursionError raised by the read's recursion check.
constexpr const char kGetRecursionContext[] = " while reading a CachedProperty";

constexpr FailureSite kSetSite{"tovren._libs.properties.CachedProperty.__set__", 41,
                               kModuleSourceFile};

constexpr CallableSignature kInitSignature{
    "__init__", {Const::fget}, 1, 1, &kInitBindingSite};

CachedPropertyObject* as_cached_property(PyObject* object) noexcept {
  return reinterpret_cast<CachedPropertyObject*>(object);
}

// ---- creation, GC, destruction -------------------------------------------

PyObject* cached_property_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
  PyObject* object = allocate_instance(type);
  if (object == nullptr) return nullptr;
  CachedPropertyObject* self = as_cached_property(object);
  self->fget = Py_NewRef(Py_None);
  self->name = Py_NewRef(Py_None);
  self->doc = Py_NewRef(Py_None);
  return object;
}

int cached_property_traverse(PyObject* object, visitproc visit, void* arg) {
  CachedPropertyObject* self = as_cached_property(object);
  Py_VISIT(self->fget);
  Py_VISIT(self->name);
  Py_VISIT(self->doc);
  return 0;
}

int cached_property_clear(PyObject* object) {
  CachedPropertyObject* self = as_cached_property(object);
  replace_cached_property_field(self, &CachedPropertyObject::fget, Py_NewRef(Py_None));
  replace_cached_property_field(self, &CachedPropertyObject::name, Py_NewRef(Py_None));
  replace_cached_property_field(self, &CachedPropertyObject::doc, Py_NewRef(Py_None));
  return 0;
}

void cached_property_dealloc(PyObject* object) {
  if (!begin_dealloc(object, cached_property_dealloc)) return;  // resurrected
  CachedPropertyObject* self = as_cached_property(object);
  Py_CLEAR(self->fget);
  Py_CLEAR(self->name);
  Py_CLEAR(self->doc);
  Py_TYPE(object)->tp_free(object);
}

// ---- __init__ --------------------------------------------------------------

int cached_property_init(PyObject* object, PyObject* args, PyObject* kwargs) {
  BoundArguments bound;
  if (bind_tuple_and_dict(kInitSignature, args, kwargs, bound) < 0) return -1;
  CachedPropertyObject* self = as_cached_property(object);
  PyObject* fget = bound[0];

  // Each field is replaced as soon as its value is known, so a failure part
  // way leaves the earlier fields written.
  replace_cached_property_field(self, &CachedPropertyObject::fget, Py_NewRef(fget));
  PyObject* name = PyObject_GetAttr(fget, constant(Const::dunder_name));
  if (name == nullptr) {
    add_traceback(kInitNameSite);
    return -1;
  }
  replace_cached_property_field(self, &CachedPropertyObject::name, name);
  PyObject* doc = nullptr;
  if (PyObject_GetOptionalAttr(fget, constant(Const::dunder_doc), &doc) < 0) {
    add_traceback(kInitDocSite);
    return -1;
  }
  replace_cached_property_field(self, &CachedPropertyObject::doc,
                                doc != nullptr ? doc : Py_NewRef(Py_None));
  return 0;
}

// ---- descriptor read ---------------------------------------------------------

// Calls the getter with the owner instance. A bound method is unwrapped so the
// call needs no temporary argument tuple.
PyObject* call_getter(PyObject* getter, PyObject* instance) noexcept {
  if (Py_IS_TYPE(getter, &PyMethod_Type)) {
    OwnedRef function = OwnedRef::new_ref(PyMethod_GET_FUNCTION(getter));
    OwnedRef bound_self = OwnedRef::new_ref(PyMethod_GET_SELF(getter));
    PyObject* arguments[] = {bound_self.get(), instance};
    return PyObject_Vectorcall(function.get(), arguments, 2, nullptr);
  }
  PyObject* arguments[] = {nullptr, instance};
  return PyObject_Vectorcall(getter, arguments + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// Continues a read whose `_cache` lookup gave `found` and `cache` (a new
// reference, or null): makes and assigns a new dict when the attribute is
// absent or None. Returns the dict as a new reference; null with no exception
// set when the instance cannot take a `_cache` attribute; null with
// `failed` set and the traceback entry added on an error.
PyObject* finish_cache_lookup(PyObject* instance, int found, PyObject* cache,
                              bool& failed) noexcept {
  if (found < 0) {
    add_traceback(kGetCacheLookupSite);
    failed = true;
    return nullptr;
  }
  if (cache != nullptr && cache != Py_None) return cache;
  Py_XDECREF(cache);

  OwnedRef fresh = OwnedRef::steal(PyDict_New());
  if (fresh && PyObject_SetAttr(instance, constant(Const::cache), fresh.get()) == 0) {
    return fresh.release();
  }
  if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    return nullptr;
  }
  add_traceback(kGetCacheCreateSite);
  failed = true;
  return nullptr;
}

// Looks `key` up in the cache dict: 1 with a new reference in `value`, 0 on a
// miss, -1 with an exception set. The membership test and the read are two
// dict operations, and an entry that vanishes between them (removed by the
// key's own comparison code, or by another thread) counts as a miss. An exact
// str key hashes and compares without running Python code of its own, so one
// lookup answers both.
int find_cached_value(PyObject* cache, PyObject* key, PyObject** value) noexcept {
  if (PyUnicode_CheckExact(key)) return PyDict_GetItemRef(cache, key, value);
  int present = PyDict_Contains(cache, key);
  if (present <= 0) return present;
  return PyDict_GetItemRef(cache, key, value);
}

// A miss: calls the getter and stores its result under `key`. `cache` and
// `key` are borrowed from the caller, which holds both strongly.
Py_NO_INLINE PyObject* compute_and_store(CachedPropertyObject* self, PyObject* instance,
                                         PyObject* cache, PyObject* key) noexcept {
  OwnedRef getter = OwnedRef::steal(cached_property_field(self, &CachedPropertyObject::fget));
  OwnedRef value = OwnedRef::steal(call_getter(getter.get(), instance));
  if (!value) {
    add_traceback(kGetCallSite);
    return nullptr;
  }
  if (PyDict_SetItem(cache, key, value.get()) < 0) {
    add_traceback(kGetStoreSite);
    return nullptr;
  }
  return value.release();
}

// The read past the `_cache` lookup when the fast path below does not apply:
// `_cache` absent, None, not a dict, or the lookup failed; or a key that is
// not exactly a str. Takes over `cache_found` (a new reference, or null).
Py_NO_INLINE PyObject* cached_property_get_slow(PyObject* object, PyObject* instance,
                                                int found, PyObject* cache_found) noexcept {
  CachedPropertyObject* self = as_cached_property(object);
  bool failed = false;
  OwnedRef cache = OwnedRef::steal(finish_cache_lookup(instance, found, cache_found, failed));
  if (!cache) return failed ? nullptr : Py_NewRef(object);
  if (!PyDict_Check(cache.get())) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "dict",
                 Py_TYPE(cache.get())->tp_name);
    add_traceback(kGetMembershipSite);
    return nullptr;
  }

  // The key and the getter are held strongly: hashing, comparing and calling
  // can run Python code that re-initialises this descriptor.
  OwnedRef key = OwnedRef::steal(cached_property_field(self, &CachedPropertyObject::name));
  // A dict still empty (typically the one just made) cannot hold the key, and
  // an exact str key hashes without fail: the membership test is skipped.
  if (PyUnicode_CheckExact(key.get()) && PyDict_GET_SIZE(cache.get()) == 0) {
    return compute_and_store(self, instance, cache.get(), key.get());
  }
  PyObject* cached = nullptr;
  int present = find_cached_value(cache.get(), key.get(), &cached);
  if (present > 0) return cached;
  if (present < 0) {
    add_traceback(kGetMembershipSite);
    return nullptr;
  }
  return compute_and_store(self, instance, cache.get(), key.get());
}

// The read past the class check. The common case, a `_cache` dict already
// there and an exact str key, runs inline: the `_cache` lookup, one dict
// lookup, and on a miss the getter; everything else continues in
// `cached_property_get_slow`, which is handed the `_cache` lookup's result so
// that nothing runs twice.
inline Py_ALWAYS_INLINE PyObject* read_through_cache(PyObject* object,
                                                     PyObject* instance) noexcept {
  PyObject* cache;  // always set by the lookup
  int found = PyObject_GetOptionalAttr(instance, constant(Const::cache), &cache);
  if (found <= 0 || cache == Py_None || !PyDict_Check(cache)) {
    return cached_property_get_slow(object, instance, found, cache);
  }
  CachedPropertyObject* self = as_cached_property(object);
  PyObject* key = cached_property_field(self, &CachedPropertyObject::name);
  if (!PyUnicode_CheckExact(key)) {
    Py_DECREF(key);
    return cached_property_get_slow(object, instance, found, cache);
  }
  PyObject* result;
  int present = PyDict_GetItemRef(cache, key, &result);
  if (present == 0) {
    result = compute_and_store(self, instance, cache, key);
  } else if (present < 0) {
    add_traceback(kGetMembershipSite);
  }
  Py_DECREF(key);
  Py_DECREF(cache);
  return result;
}

// The read. `_cache` can resolve to a descriptor of this module again (a
// cached property whose getter is named `_cache`, an AxisProperty whose
// `_mgr` leads back here), hence the recursion check; a RecursionError fails
// the `_cache` lookup.
PyObject* cached_property_get(PyObject* object, PyObject* instance, PyObject* /*owner*/) {
  if (instance == nullptr || instance == Py_None) return Py_NewRef(object);
  defer_refcount_if_shared(object);
  return recursion_checked_read<read_through_cache, kGetRecursionContext, kGetCacheLookupSite>(
      object, instance);
}

// ---- descriptor write ----------------------------------------------------------

int cached_property_set(PyObject* /*object*/, PyObject* /*instance*/, PyObject* value) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_NotImplementedError, "__delete__");
    return -1;
  }
  OwnedRef error = OwnedRef::steal(
      PyObject_CallOneArg(PyExc_AttributeError, constant(Const::cant_set_attribute)));
  if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
  add_traceback(kSetSite);
  return -1;
}

// ---- read-only attributes --------------------------------------------------------

PyObject* get_fget(PyObject* object, void*) {
  return cached_property_field(as_cached_property(object), &CachedPropertyObject::fget);
}
PyObject* get_name(PyObject* object, void*) {
  return cached_property_field(as_cached_property(object), &CachedPropertyObject::name);
}
PyObject* get_doc(PyObject* object, void*) {
  return cached_property_field(as_cached_property(object), &CachedPropertyObject::doc);
}

PyGetSetDef cached_property_getset[] = {
    {"fget", get_fget, nullptr, nullptr, nullptr},
    {"name", get_name, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The class docstring. As in CPython's own static types, it starts with the
// text signature ("name(parameters)\n--\n\n"), which the interpreter strips
// from the class's __doc__ and serves as __text_signature__ (inspect.signature,
// help()). Instances keep their own __doc__: the getset above is found in the
// type's dict first, so PyType_Ready does not store this text there.
constexpr const char kCachedPropertyDoc[] =
    "CachedProperty(fget)\n"
    "--\n"
    "\n"
    "Read-only attribute whose getter runs once per owner instance.\n"
    "\n"
    "The first read through an instance calls fget(instance) and stores the\n"
    "result in the instance's _cache dict (made when _cache is absent or None)\n"
    "under fget.__name__; later reads return the stored object. A getter that\n"
    "raises stores nothing. Assignment and deletion raise. To compute the value\n"
    "again, delete its key from _cache or set _cache to None. An owner that\n"
    "cannot take a _cache attribute gets the descriptor itself back.\n"
    "\n"
    "Threads reading one fresh instance at once may each run the getter and\n"
    "get different objects, as with functools.cached_property; one stored\n"
    "value wins. Also bound as cache_readonly.";

}  // namespace

PyTypeObject CachedPropertyType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tovren._libs.properties.CachedProperty",
    .tp_basicsize = sizeof(CachedPropertyObject),
    .tp_itemsize = 0,
    .tp_dealloc = cached_property_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VERSION_TAG | Py_TPFLAGS_BASETYPE |
                Py_TPFLAGS_HAVE_GC,
    .tp_doc = kCachedPropertyDoc,
    .tp_traverse = cached_property_traverse,
    .tp_clear = cached_property_clear,
    .tp_methods = kCachedPropertyMethods,
    .tp_getset = cached_property_getset,
    .tp_descr_get = cached_property_get,
    .tp_descr_set = cached_property_set,
    .tp_init = cached_property_init,
    .tp_new = cached_property_new,
};

}  // namespace tovren
