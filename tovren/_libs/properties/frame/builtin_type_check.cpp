#include "builtin_type_check.h"

#include "owned_reference.h"

namespace tovren {

namespace {

// The size of a heap type object in the headers the module is compiled
// against (960 bytes on the original 64-bit Windows target).
constexpr Py_ssize_t kCompiledTypeSize = static_cast<Py_ssize_t>(sizeof(PyHeapTypeObject));

int check_type_size(PyObject* candidate) noexcept {
  if (!PyType_HasFeature(Py_TYPE(candidate), Py_TPFLAGS_TYPE_SUBCLASS)) {
    PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", "builtins", "type");
    return -1;
  }
  auto* type = reinterpret_cast<PyTypeObject*>(candidate);
  Py_ssize_t basic_size = type->tp_basicsize;
  Py_ssize_t item_size = type->tp_itemsize;
  if (item_size != 0 && item_size < static_cast<Py_ssize_t>(sizeof(void*))) {
    item_size = static_cast<Py_ssize_t>(sizeof(void*));
  }
  if (basic_size + item_size < kCompiledTypeSize) {
    PyErr_Format(PyExc_ValueError,
                 "%.200s.%.200s size changed, may indicate binary incompatibility. "
                 "Expected %zd from C header, got %zd from PyObject",
                 "builtins", "type", kCompiledTypeSize, basic_size + item_size);
    return -1;
  }
  if (basic_size > kCompiledTypeSize) {
    return PyErr_WarnFormat(nullptr, 0,
                            "%.200s.%.200s size changed, may indicate binary incompatibility. "
                            "Expected %zd from C header, got %zd from PyObject",
                            "builtins", "type", kCompiledTypeSize, basic_size);
  }
  return 0;
}

}  // namespace

PyObject* import_checked_builtin_type() noexcept {
  OwnedRef builtins = OwnedRef::steal(PyImport_ImportModule("builtins"));
  if (!builtins) return nullptr;
  OwnedRef type = OwnedRef::steal(PyObject_GetAttrString(builtins.get(), "type"));
  if (!type) return nullptr;
  if (check_type_size(type.get()) < 0) return nullptr;
  return type.release();
}

}  // namespace tovren
