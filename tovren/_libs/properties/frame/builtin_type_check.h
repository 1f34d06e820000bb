// Start-up check that the running interpreter's `type` has the layout that
// the module was compiled against.
#pragma once

#include <Python.h>

namespace tovren {

// Imports `builtins.type` and checks its size against the compiled heap-type
// size. Returns a new reference to it, or null with an exception set (a
// TypeError, a ValueError, or the size warning turned into an error).
PyObject* import_checked_builtin_type() noexcept;

}  // namespace tovren
