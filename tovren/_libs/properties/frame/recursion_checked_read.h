// A descriptor read on an owner instance, inside the interpreter's recursion
// check where that is needed (see begin_unchecked_read in abi_differences.h:
// the outermost read of a chain skips it).
#pragma once

#include <Python.h>

#include "abi_differences.h"
#include "traceback_entries.h"

namespace tovren {

using DescriptorRead = PyObject* (*)(PyObject* descriptor, PyObject* instance) noexcept;

// The read inside Py_EnterRecursiveCall / Py_LeaveRecursiveCall. A
// RecursionError (`context` ends its message) fails at `site`, the read's
// first lookup. Out of line: only nested reads come here.
template <DescriptorRead read, const char* context, const FailureSite& site>
Py_NO_INLINE PyObject* checked_read(PyObject* descriptor, PyObject* instance) noexcept {
  if (Py_EnterRecursiveCall(context)) {
    add_traceback(site);
    return nullptr;
  }
  PyObject* result = read(descriptor, instance);
  Py_LeaveRecursiveCall();
  return result;
}

// `read(descriptor, instance)`, checked unless it is the outermost read.
template <DescriptorRead read, const char* context, const FailureSite& site>
inline Py_ALWAYS_INLINE PyObject* recursion_checked_read(PyObject* descriptor,
                                                         PyObject* instance) noexcept {
  // Its address, a place in this (the reading) frame on this thread's stack,
  // is the claim; the object itself is never read or written.
  char reading_frame;
  if (!begin_unchecked_read(&reading_frame)) {
    return checked_read<read, context, site>(descriptor, instance);
  }
  PyObject* result = read(descriptor, instance);
  end_unchecked_read();
  return result;
}

}  // namespace tovren
