#include "shared_modules.h"

#include "owned_reference.h"

namespace tovren {

PyObject* get_or_create_module(const char* name) noexcept {
  OwnedRef key = OwnedRef::steal(PyUnicode_FromString(name));
  if (!key) return nullptr;
  PyObject* modules = PyImport_GetModuleDict();  // borrowed from the interpreter
  PyObject* found_raw = nullptr;
  if (PyMapping_GetOptionalItem(modules, key.get(), &found_raw) < 0) return nullptr;
  OwnedRef found = OwnedRef::steal(found_raw);
  if (found && PyModule_Check(found.get())) return found.release();
  found.reset();

  OwnedRef fresh = OwnedRef::steal(PyModule_NewObject(key.get()));
  if (!fresh) return nullptr;
  if (PyDict_CheckExact(modules)) {
    // Set-if-absent, so a module registered meanwhile by someone else wins.
    PyObject* registered = nullptr;
    if (PyDict_SetDefaultRef(modules, key.get(), fresh.get(), &registered) < 0) return nullptr;
    return registered;
  }
  if (PyObject_SetItem(modules, key.get(), fresh.get()) < 0) return nullptr;
  return fresh.release();
}

}  // namespace tovren
