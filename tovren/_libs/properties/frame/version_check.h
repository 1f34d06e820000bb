// Start-up check that the running interpreter is the version the module was
// compiled against.
#pragma once

#include <Python.h>

namespace tovren {

// Issues a RuntimeWarning when the major or minor version of `runtime_version`
// (laid out as Py_Version: major in bits 24 to 31, minor in bits 16 to 23)
// differs from the headers' PY_MAJOR_VERSION.PY_MINOR_VERSION. 0 when the
// versions agree or the warning was issued; -1 when the warning was turned
// into an error.
int warn_if_runtime_version_differs(unsigned long runtime_version) noexcept;

}  // namespace tovren
