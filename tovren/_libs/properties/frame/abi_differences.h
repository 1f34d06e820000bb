// Everything that must differ between the default build and the free-threaded
// build of the interpreter, kept in one place.
#pragma once

#include <Python.h>

namespace tovren {

// Declares at run time that the module needs the GIL. Only free-threaded
// builds have (and need) the call; the default build always has the GIL.
inline void declare_gil_used(PyObject* module) noexcept {
#ifdef Py_GIL_DISABLED
  (void)PyUnstable_Module_SetGIL(module, Py_MOD_GIL_USED);
#else
  (void)module;
#endif
}

}  // namespace tovren
