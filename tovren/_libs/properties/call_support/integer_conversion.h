// Conversion of Python integers to machine integers for the module's typed
// parameters.
//
// Both conversions give -1 with an exception set on failure. -1 is also a
// valid value, so a caller that sees -1 tests `PyErr_Occurred()` before
// treating it as a failure. Neither adds a traceback entry: the caller adds
// its own. The argument is borrowed and no reference to it is kept.
//
// Reentrancy: `__index__` and `__int__` written in Python run arbitrary code
// (other threads included) in the middle of a conversion.
#pragma once

#include <Python.h>

namespace tovren {

// Conversion to `Py_ssize_t` (as wide as a pointer) through the
// integer-index protocol (`__index__`). An exact int is read from its
// internal form when it has one digit, or two where `Py_ssize_t` holds every
// two-digit value; every result equals `PyLong_AsSsize_t(PyNumber_Index(x))`. A float
// or str is refused with the platform's TypeError, an out-of-range value
// with the platform's OverflowError.
Py_ssize_t index_as_ssize(PyObject* object) noexcept;

// Conversion to a C `long` through the integer-conversion protocol
// (`__int__`), limited to the signed 32-bit range on every platform so that
// pickles and their errors are the same whatever the width of `long`.
// Values outside -2147483648..2147483647 fail with OverflowError
// "value too large to convert to long". Objects that are neither ints nor
// provide `__int__` fail with TypeError "an integer is required".
long int_as_long(PyObject* object) noexcept;

// A new reference to an int (exact or subclass) for `object`: the object
// itself when it is an int, else the result of its type's `nb_int` slot.
// Null with an exception set on failure. A strict int subclass returned by
// `__int__` issues the platform's DeprecationWarning (an error when warnings
// are errors).
PyObject* number_as_int(PyObject* object) noexcept;

}  // namespace tovren
