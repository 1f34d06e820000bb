// Test entry points for the descriptors' recursion check.
#include "testing_module.h"

#include <cstddef>
#include <cstdint>

namespace tovren::testing {

namespace {

// read_at_stack_limit(object, name) -> getattr(object, name), made with this
// thread's C stack protection moved for the length of the call so that the
// interpreter's recursion check (Py_EnterRecursiveCall) fails anywhere
// inside it: a descriptor read that takes the check raises RecursionError,
// one that skips it (the outermost read on the default build) returns its
// value. Nothing else in the read may take the check either, so the owner
// must be plain (no Python code runs: a cache hit, an axis read).
//
// The interpreter raises RecursionError below its soft limit and gives up
// (a fatal error) below its hard limit, a margin M lower; it refuses a
// protected stack smaller than 3 M, and that is how M, a power of two, is
// found. The window [hard, soft) is then put around the current stack
// pointer, M / 2 on either side: room for the read and its RecursionError.
PyObject* testing_read_at_stack_limit(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "read_at_stack_limit(object, name) takes 2 arguments");
    return nullptr;
  }
#if defined(_Py_THREAD_SANITIZER) || !_Py_STACK_GROWS_DOWN
  // ThreadSanitizer builds halve the stack they are given; stacks growing up
  // would need the window mirrored. Neither is needed by the tests.
  (void)args;
  PyErr_SetString(PyExc_NotImplementedError, "read_at_stack_limit: not on this build");
  return nullptr;
#else
  PyThreadState* thread = PyThreadState_Get();
  volatile char marker = 0;
  const auto here = reinterpret_cast<std::uintptr_t>(&marker);
  std::size_t margin = 0;
  for (std::size_t candidate = 1024; candidate <= (std::size_t{1} << 24); candidate *= 2) {
    void* base = reinterpret_cast<void*>(here - 3 * candidate);
    if (PyUnstable_ThreadState_SetStackProtection(thread, base, 3 * candidate) == 0) {
      margin = candidate;
      break;
    }
    PyErr_Clear();
  }
  if (margin == 0) {
    PyUnstable_ThreadState_ResetStackProtection(thread);
    PyErr_SetString(PyExc_RuntimeError, "read_at_stack_limit: no stack margin found");
    return nullptr;
  }
  void* base = reinterpret_cast<void*>(here - margin - margin / 2);
  if (PyUnstable_ThreadState_SetStackProtection(thread, base, 3 * margin) < 0) {
    PyUnstable_ThreadState_ResetStackProtection(thread);
    return nullptr;
  }
  PyObject* value = PyObject_GetAttr(args[0], args[1]);
  PyUnstable_ThreadState_ResetStackProtection(thread);
  return value;
#endif
}

PyMethodDef recursion_methods[] = {
    {"read_at_stack_limit", reinterpret_cast<PyCFunction>(
                                reinterpret_cast<void (*)()>(testing_read_at_stack_limit)),
     METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int register_recursion_functions(PyObject* module) noexcept {
  return PyModule_AddFunctions(module, recursion_methods);
}

}  // namespace tovren::testing
