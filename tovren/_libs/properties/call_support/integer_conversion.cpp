#include "integer_conversion.h"

#include <cstdint>
#include <limits>

#include "../frame/owned_reference.h"

namespace tovren {

namespace {

// The fast paths read the int's internal form as cpython/longintrepr.h lays
// it out for 3.14: `lv_tag` holds the digit count above the low
// _PyLong_NON_SIZE_BITS bits and the sign in the low two (0 positive,
// 1 zero, 2 negative); digits are 30 bits, least significant first. Ints are
// immutable, so reading them needs no synchronisation in either build.
static_assert(PyLong_SHIFT == 30, "the two-digit path assumes 30-bit digits");
constexpr std::uintptr_t kNegativeSign = 2;

// An exact int of exactly two digits: its magnitude is below 2**60, so the
// value always fits a signed 64-bit word, but not a 32-bit `Py_ssize_t`.
bool has_two_digits(const PyLongObject* number) noexcept {
  return (number->long_value.lv_tag >> _PyLong_NON_SIZE_BITS) == 2;
}

std::int64_t two_digit_value(const PyLongObject* number) noexcept {
  const digit* digits = number->long_value.ob_digit;
  const std::int64_t magnitude =
      (static_cast<std::int64_t>(digits[1]) << PyLong_SHIFT) | static_cast<std::int64_t>(digits[0]);
  const bool negative = (number->long_value.lv_tag & _PyLong_SIGN_MASK) == kNegativeSign;
  return negative ? -magnitude : magnitude;
}

// Whether every two-digit value fits `Py_ssize_t`: true where it is 64 bits
// wide. Where it is narrower, two-digit ints take the general conversion,
// which raises OverflowError for those out of range.
constexpr bool two_digit_values_fit_ssize =
    std::numeric_limits<Py_ssize_t>::digits >= 2 * PyLong_SHIFT;

// Whether `value` lies in the signed 32-bit range. A type of 32 bits or less
// (a C `long` on 64-bit Windows) always does; the comparison is made only for
// wider types, where it can fail, and a discarded branch of a template is
// never compiled, so it cannot draw an always-false warning.
template <typename Integer>
constexpr bool within_32_bits(Integer value) noexcept {
  if constexpr (std::numeric_limits<Integer>::digits > 31) {
    return value >= INT32_MIN && value <= INT32_MAX;
  } else {
    return true;
  }
}
static_assert(within_32_bits(std::int64_t{INT32_MAX}) && within_32_bits(std::int64_t{INT32_MIN}));
static_assert(!within_32_bits(std::int64_t{INT32_MAX} + 1) &&
              !within_32_bits(std::int64_t{INT32_MIN} - 1));

// Converts an int (exact or subclass) within the signed 32-bit range.
long int_within_32_bits(PyObject* object) noexcept {
  const PyLongObject* number = reinterpret_cast<const PyLongObject*>(object);
  // A compact value's magnitude is below 2**30: it always fits.
  if (PyUnstable_Long_IsCompact(number)) {
    return static_cast<long>(PyUnstable_Long_CompactValue(number));
  }
  int overflow = 0;
  long value = PyLong_AsLongAndOverflow(object, &overflow);
  if (value == -1 && PyErr_Occurred()) return -1;
  if (overflow != 0 || !within_32_bits(value)) {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to long");
    return -1;
  }
  return value;
}

}  // namespace

Py_ssize_t index_as_ssize(PyObject* object) noexcept {
  if (Py_IS_TYPE(object, &PyLong_Type)) {
    const PyLongObject* number = reinterpret_cast<const PyLongObject*>(object);
    if (PyUnstable_Long_IsCompact(number)) return PyUnstable_Long_CompactValue(number);
    if constexpr (two_digit_values_fit_ssize) {
      if (has_two_digits(number)) return static_cast<Py_ssize_t>(two_digit_value(number));
    }
    return PyLong_AsSsize_t(object);
  }
  // Subclasses (bool included) and `__index__` objects; `__index__` can run
  // Python code.
  OwnedRef index = OwnedRef::steal(PyNumber_Index(object));
  if (!index) return -1;
  return PyLong_AsSsize_t(index.get());
}

long int_as_long(PyObject* object) noexcept {
  if (PyLong_Check(object)) return int_within_32_bits(object);
  OwnedRef number = OwnedRef::steal(number_as_int(object));
  if (!number) return -1;
  return int_within_32_bits(number.get());
}

PyObject* number_as_int(PyObject* object) noexcept {
  if (PyLong_Check(object)) return Py_NewRef(object);
  PyNumberMethods* number_methods = Py_TYPE(object)->tp_as_number;
  if (number_methods != nullptr && number_methods->nb_int != nullptr) {
    // `__int__` can run arbitrary Python code.
    OwnedRef result = OwnedRef::steal(number_methods->nb_int(object));
    if (!result) {
      if (PyErr_Occurred()) return nullptr;
      // A slot that failed without saying why: fall through to the generic error.
    } else if (PyLong_CheckExact(result.get())) {
      return result.release();
    } else if (PyLong_Check(result.get())) {
      if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                           "__int__ returned non-int (type %.200s).  The ability to return an "
                           "instance of a strict subclass of int is deprecated, and may be "
                           "removed in a future version of Python.",
                           Py_TYPE(result.get())->tp_name) < 0) {
        return nullptr;
      }
      return result.release();
    } else {
      PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                   Py_TYPE(result.get())->tp_name);
      return nullptr;
    }
  }
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
  return nullptr;
}

}  // namespace tovren
