#include "after_fork.h"

#include "abi_differences.h"
#include "owned_reference.h"

namespace tovren {

#if defined(HAVE_FORK) && !defined(Py_GIL_DISABLED)

namespace {

PyObject* after_fork_in_child(PyObject* /*self*/, PyObject* /*unused*/) {
  release_unchecked_read_of_lost_thread();
  Py_RETURN_NONE;
}

PyMethodDef after_fork_in_child_definition = {
    "after_fork_in_child", after_fork_in_child, METH_NOARGS, nullptr};

}  // namespace

int register_after_fork_hook() noexcept {
  OwnedRef hook = OwnedRef::steal(PyCFunction_New(&after_fork_in_child_definition, nullptr));
  if (!hook) return -1;
  OwnedRef os = OwnedRef::steal(PyImport_ImportModule("os"));
  if (!os) return -1;
  OwnedRef register_at_fork = OwnedRef::steal(PyObject_GetAttrString(os.get(), "register_at_fork"));
  if (!register_at_fork) return -1;
  OwnedRef arguments = OwnedRef::steal(PyTuple_New(0));
  OwnedRef keywords = OwnedRef::steal(Py_BuildValue("{sO}", "after_in_child", hook.get()));
  if (!arguments || !keywords) return -1;
  OwnedRef result = OwnedRef::steal(PyObject_Call(register_at_fork.get(), arguments.get(),
                                                  keywords.get()));
  return result ? 0 : -1;
}

#else

int register_after_fork_hook() noexcept { return 0; }

#endif

}  // namespace tovren
