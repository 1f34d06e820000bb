#include "argument_binding.h"

#include <cstring>

#include "../frame/owned_reference.h"

namespace tovren {

namespace {

PyObject* parameter_name(const CallableSignature& signature, int index) noexcept {
  return constant(signature.parameters[index]);
}

void raise_unexpected_keyword(const char* name, PyObject* key) noexcept {
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, key);
}

void raise_multiple_values(const char* name, PyObject* key) noexcept {
  PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name, key);
}

// Equality of two exact str objects without calling into Python: hashes
// (cached on both sides) and lengths reject most mismatches before any
// character data is compared.
bool exact_str_equal(PyObject* name, PyObject* key, Py_hash_t key_hash) noexcept {
  if (PyObject_Hash(name) != key_hash) return false;
  Py_ssize_t length = PyUnicode_GET_LENGTH(name);
  if (PyUnicode_GET_LENGTH(key) != length) return false;
  int kind = PyUnicode_KIND(name);
  if (PyUnicode_KIND(key) != kind) return false;
  return std::memcmp(PyUnicode_DATA(name), PyUnicode_DATA(key),
                     static_cast<std::size_t>(length) * static_cast<std::size_t>(kind)) == 0;
}

// Whether `key` equals parameter `index`: 1, 0, or -1 with an exception set.
int key_names_parameter(const CallableSignature& signature, int index, PyObject* key,
                        bool exact, Py_hash_t key_hash) noexcept {
  PyObject* name = parameter_name(signature, index);
  if (exact) return exact_str_equal(name, key, key_hash) ? 1 : 0;
  return PyObject_RichCompareBool(name, key, Py_EQ);
}

// Matches a keyword name that was not found by identity. Returns 1 and sets
// `index` when it names a keyword-eligible parameter, 0 when it names no
// parameter, -1 with an exception set otherwise (a parameter already given
// by position, a non-string key, or a failing hash or comparison).
int match_keyword(PyObject* key, const CallableSignature& signature, Py_ssize_t nargs,
                  int& index) noexcept {
  bool exact = PyUnicode_CheckExact(key);
  if (!exact && !PyUnicode_Check(key)) {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", signature.name);
    return -1;
  }
  Py_hash_t key_hash = 0;
  if (exact) {
    key_hash = PyObject_Hash(key);
    if (key_hash == -1) return -1;
  }
  for (int i = static_cast<int>(nargs); i < signature.parameter_count; ++i) {
    int equal = key_names_parameter(signature, i, key, exact, key_hash);
    if (equal < 0) return -1;
    if (equal) {
      index = i;
      return 1;
    }
  }
  for (int i = 0; i < nargs && i < signature.parameter_count; ++i) {
    int equal = key_names_parameter(signature, i, key, exact, key_hash);
    if (equal < 0) return -1;
    if (equal) {
      raise_multiple_values(signature.name, key);
      return -1;
    }
  }
  return 0;
}

// Finds the keyword-eligible parameter that `key` names; identity first.
// Returns as `match_keyword` does.
int find_keyword(PyObject* key, const CallableSignature& signature, Py_ssize_t nargs,
                 int& index) noexcept {
  for (int i = static_cast<int>(nargs); i < signature.parameter_count; ++i) {
    if (parameter_name(signature, i) == key) {
      index = i;
      return 1;
    }
  }
  return match_keyword(key, signature, nargs, index);
}

// Binds one keyword (any key object) to the parameter it names; a parameter
// that already holds a value is named twice.
int bind_keyword(PyObject* key, PyObject* value, const CallableSignature& signature,
                 Py_ssize_t nargs, BoundArguments& bound) noexcept {
  int index = 0;
  int found = find_keyword(key, signature, nargs, index);
  if (found < 0) return -1;
  if (found == 0) {
    raise_unexpected_keyword(signature.name, key);
    return -1;
  }
  if (bound[index] != nullptr) {
    // A hand-built names tuple repeating a name, or two distinct keys of a
    // dict that compare equal (a str subclass with a hash of its own).
    raise_multiple_values(signature.name, key);
    return -1;
  }
  bound.slot(index) = Py_NewRef(value);
  return 0;
}

int bind_keyword_names(PyObject* kwnames, PyObject* const* values,
                       const CallableSignature& signature, Py_ssize_t nargs,
                       BoundArguments& bound) noexcept {
  Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < count; ++k) {
    if (bind_keyword(PyTuple_GET_ITEM(kwnames, k), values[k], signature, nargs, bound) < 0) {
      return -1;
    }
  }
  return 0;
}

// Binds the keywords of `kwargs` key by key, in iteration order, after the
// lookups by parameter name left some key unbound: a key that names no
// parameter or one given by position (the first such key decides the error),
// or a str subclass whose own hash hides it from the lookups although it
// equals a parameter name, which then binds as it would by the names-tuple
// path. What the lookups bound is dropped and bound again by the walk.
// The walk holds the dict's critical section; each key and value is held
// strongly while a str subclass's comparison runs Python code. That code can
// change the dict: a walk that then did not see exactly the dict's entries
// fails with RuntimeError rather than binding a mixture.
int bind_keyword_dict_by_walk(PyObject* kwargs, const CallableSignature& signature,
                              Py_ssize_t nargs, BoundArguments& bound) noexcept {
  for (int i = static_cast<int>(nargs); i < signature.parameter_count; ++i) {
    Py_CLEAR(bound.slot(i));
  }
  int status = 0;
  Py_BEGIN_CRITICAL_SECTION(kwargs);
  Py_ssize_t size = PyDict_GET_SIZE(kwargs);
  Py_ssize_t seen = 0;
  Py_ssize_t position = 0;
  PyObject* borrowed_key = nullptr;
  PyObject* borrowed_value = nullptr;
  while (PyDict_Next(kwargs, &position, &borrowed_key, &borrowed_value)) {
    ++seen;
    OwnedRef key = OwnedRef::new_ref(borrowed_key);
    OwnedRef value = OwnedRef::new_ref(borrowed_value);
    status = bind_keyword(key.get(), value.get(), signature, nargs, bound);
    if (status < 0) break;
  }
  if (status == 0 && (seen != size || PyDict_GET_SIZE(kwargs) != size)) {
    PyErr_Format(PyExc_RuntimeError, "%.200s() keyword arguments changed during the call",
                 signature.name);
    status = -1;
  }
  Py_END_CRITICAL_SECTION();
  return status;
}

int bind_keyword_dict(PyObject* kwargs, const CallableSignature& signature, Py_ssize_t nargs,
                      BoundArguments& bound) noexcept {
  if (!PyArg_ValidateKeywordArguments(kwargs)) return -1;
  Py_ssize_t size = PyDict_GET_SIZE(kwargs);
  Py_ssize_t taken = 0;
  for (int i = static_cast<int>(nargs); i < signature.parameter_count && taken < size; ++i) {
    PyObject* value = nullptr;
    int found = PyDict_GetItemRef(kwargs, parameter_name(signature, i), &value);
    if (found < 0) return -1;
    if (found > 0) {
      replace_field(bound.slot(i), value);
      ++taken;
    }
  }
  // A lookup can run a key's comparison, which can change the dict: the
  // count is taken again.
  if (taken == PyDict_GET_SIZE(kwargs)) return 0;
  return bind_keyword_dict_by_walk(kwargs, signature, nargs, bound);
}

// The whole procedure, for either keyword container (exactly one of
// `kwnames` and `kwargs` may be non-null).
int bind_arguments(const CallableSignature& signature, PyObject* const* positional, Py_ssize_t nargs,
         PyObject* kwnames, PyObject* kwargs, BoundArguments& bound) noexcept {
  Py_ssize_t keyword_count = kwnames != nullptr  ? PyTuple_GET_SIZE(kwnames)
                             : kwargs != nullptr ? PyDict_GET_SIZE(kwargs)
                                                 : 0;
  const int total = signature.parameter_count;
  const int required = signature.required_count;
  const bool exact = required == total;
  if (keyword_count > 0) {
    if (nargs > total) {
      raise_argument_count(signature.name, exact, required, total, nargs);
      return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) bound.slot(static_cast<int>(i)) = Py_NewRef(positional[i]);
    int status = kwnames != nullptr
                     ? bind_keyword_names(kwnames, positional + nargs, signature, nargs, bound)
                     : bind_keyword_dict(kwargs, signature, nargs, bound);
    if (status < 0) return -1;
    for (Py_ssize_t i = nargs; i < required; ++i) {
      if (bound[static_cast<int>(i)] == nullptr) {
        raise_argument_count(signature.name, exact, required, total, i);
        return -1;
      }
    }
    return 0;
  }
  if (nargs < required || nargs > total) {
    raise_argument_count(signature.name, exact, required, total, nargs);
    return -1;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) bound.slot(static_cast<int>(i)) = Py_NewRef(positional[i]);
  return 0;
}

// For callables without parameters: the first keyword given is unexpected.
void reject_keywords(const char* name, PyObject* kwnames) noexcept {
  raise_unexpected_keyword(name, PyTuple_GET_ITEM(kwnames, 0));
}

void add_binding_traceback(const CallableSignature& signature) noexcept {
  if (signature.binding_site != nullptr) add_traceback(*signature.binding_site);
}

}  // namespace

void raise_argument_count(const char* name, bool exact, Py_ssize_t required, Py_ssize_t total,
                          Py_ssize_t given) noexcept {
  const char* phrase = exact ? "exactly" : given < required ? "at least" : "at most";
  Py_ssize_t expected = (exact || given < required) ? required : total;
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               name, phrase, expected, expected == 1 ? "" : "s", given);
}

int bind_tuple_and_dict(const CallableSignature& signature, PyObject* args, PyObject* kwargs,
                        BoundArguments& bound) noexcept {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  PyObject* const* positional = nargs > 0 ? &PyTuple_GET_ITEM(args, 0) : nullptr;
  if (bind_arguments(signature, positional, nargs, nullptr, kwargs, bound) == 0) return 0;
  add_binding_traceback(signature);
  return -1;
}

int bind_vectorcall(const CallableSignature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, BoundArguments& bound) noexcept {
  if (bind_arguments(signature, args, nargs, kwnames, nullptr, bound) == 0) return 0;
  add_binding_traceback(signature);
  return -1;
}

int bind_no_arguments(const char* name, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  if (nargs > 0) {
    raise_argument_count(name, true, 0, 0, nargs);
    return -1;
  }
  if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
    reject_keywords(name, kwnames);
    return -1;
  }
  return 0;
}

}  // namespace tovren
