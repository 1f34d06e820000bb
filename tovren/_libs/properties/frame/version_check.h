// Start-up check that the running interpreter is the version the module was
// compiled against.
#pragma once

#include <Python.h>

namespace tovren {

// Refuses a runtime whose major or minor version (`runtime_version` laid out
// as Py_Version: major in bits 24 to 31, minor in bits 16 to 23) differs from
// the headers' PY_MAJOR_VERSION.PY_MINOR_VERSION: a build carries its
// version's opcode numbers, inline-cache layout and type sizes, and code
// objects made with another version's facts crash the interpreter that runs
// them. 0 when the versions agree (the micro version and release level may
// differ); -1 with ImportError set otherwise.
int check_runtime_version(unsigned long runtime_version) noexcept;

}  // namespace tovren
