// Traceback entries for the module's failing operations.
//
// The module's operations run without interpreter frames of their own. A
// failing operation calls `add_traceback` once, after its exception is set,
// with its failure site; the entry then prints like that of a Python frame
// running that function at that line.
//
// Failure sites are named constants declared next to the operation that
// raises, so all sites of an operation read in one place.
#pragma once

#include <Python.h>

#include "code_object_cache.h"

namespace tovren {

inline constexpr const char kModuleSourceFile[] = "tovren/_libs/properties";
inline constexpr const char kStringSourceFile[] = "<stringsource>";

struct PyCodeTraits {
  using Handle = PyObject*;
  static void retain(Handle code) noexcept { Py_INCREF(code); }
  static void release(Handle code) noexcept { Py_DECREF(code); }
  static void* allocate(std::size_t bytes) noexcept { return PyMem_Malloc(bytes); }
  static void* reallocate(void* block, std::size_t bytes) noexcept {
    return PyMem_Realloc(block, bytes);
  }
};

using TracebackCache = CodeObjectCache<PyCodeTraits>;

// Appends an entry for `site` to the current exception's traceback.
// Precondition: an exception is set. Never fails towards the caller: if the
// entry cannot be made, the exception of that failure stands instead.
void add_traceback(const FailureSite& site) noexcept;

}  // namespace tovren
