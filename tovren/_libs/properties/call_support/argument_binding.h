// Binding of positional and keyword arguments for every callable of the
// module, driven by one static signature per callable.
//
// Order of checks, shared by all callables:
//  1. With a non-empty keyword container: more positional arguments than
//     parameters is a count error; then the keywords are bound (unexpected and
//     duplicate keywords are errors); then the first required parameter left
//     empty is a count error whose "given" is its index.
//  2. Without keywords (none, or an empty container): the positional count
//     must lie between the required and the total parameter count.
// Binding allocates nothing: the slots live in the caller's frame and every
// filled slot holds a strong reference that `BoundArguments` releases.
#pragma once

#include <Python.h>

#include "../frame/module_state.h"
#include "../frame/traceback_entries.h"

namespace tovren {

inline constexpr int kMaxParameters = 3;

struct CallableSignature {
  const char* name;                  // short name used in messages
  Const parameters[kMaxParameters];  // interned parameter names, in order
  int parameter_count;               // P
  int required_count;                // R: the first R parameters are required
  const FailureSite* binding_site;   // traceback entry for a binding failure, or null
};

// The value slots of one call. Each filled slot is a strong reference that is
// released exactly once, when the call returns.
class BoundArguments {
 public:
  BoundArguments() noexcept = default;
  BoundArguments(const BoundArguments&) = delete;
  BoundArguments& operator=(const BoundArguments&) = delete;
  ~BoundArguments() {
    for (PyObject* value : slots_) Py_XDECREF(value);
  }
  // Borrowed; null when the slot was not filled.
  PyObject* operator[](int index) const noexcept { return slots_[index]; }
  PyObject*& slot(int index) noexcept { return slots_[index]; }
  // Fills an empty slot with a new reference to `value` (a default).
  void fill_default(int index, PyObject* value) noexcept {
    if (slots_[index] == nullptr) slots_[index] = Py_NewRef(value);
  }

 private:
  PyObject* slots_[kMaxParameters] = {};
};

// The `__init__` convention: an argument tuple and a keyword dict (or null).
// Returns 0, or -1 with an exception set and the signature's traceback entry
// added.
int bind_tuple_and_dict(const CallableSignature& signature, PyObject* args, PyObject* kwargs,
                        BoundArguments& bound) noexcept;

// The vectorcall convention: `nargs` positional values followed by the values
// of the keyword names in `kwnames` (a tuple, or null). Returns 0, or -1 with
// an exception set and the signature's traceback entry added.
int bind_vectorcall(const CallableSignature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, BoundArguments& bound) noexcept;

// For callables without parameters: refuses any positional argument (count
// error) and any keyword (unexpected-keyword error for the first one). Adds
// no traceback entry. Returns 0 or -1 with an exception set.
int bind_no_arguments(const char* name, Py_ssize_t nargs, PyObject* kwnames) noexcept;

// Raises the count error "%.200s() takes %.8s %zd positional argument%.1s
// (%zd given)" for a callable with `required` of `total` parameters required.
void raise_argument_count(const char* name, bool exact, Py_ssize_t required, Py_ssize_t total,
                          Py_ssize_t given) noexcept;

}  // namespace tovren
