// Static descriptions of the two shared runtime types (internal to the
// function-object runtime).
#pragma once

#include <Python.h>

namespace tovren {

// The metaclass: single base `type`, nothing of its own. Not instantiable
// from Python, so it makes no classes besides the function type.
extern PyType_Spec kFunctionMetatypeSpec;

// The function type, of the metaclass above; its instances are
// `FunctionObject`s. Not instantiable from Python and not subclassable.
extern PyType_Spec kFunctionTypeSpec;

// Flags that a registered function type must carry for this runtime's
// objects to live in it.
inline constexpr unsigned long kFunctionTypeRequiredFlags =
    Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;

}  // namespace tovren
