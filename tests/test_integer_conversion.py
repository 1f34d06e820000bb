"""Integer conversion of call support, through the test-only extension.

`index_as_ssize` (through `__index__`, to the `Py_ssize_t` range, `sys.maxsize`) and `int_as_long`
(through `__int__`, kept to the signed 32-bit range on every platform).
"""

import sys
import warnings

import pytest
from conftest import assert_no_reference_leaks, made_at_run_time
from hypothesis import given
from hypothesis import strategies as st

SSIZE_MIN = -sys.maxsize - 1
SSIZE_MAX = sys.maxsize
INT32_MIN = -(2**31)
INT32_MAX = 2**31 - 1
LONG_OVERFLOW = "value too large to convert to long"
SUBCLASS_WARNING = (
    "__int__ returned non-int (type {}).  The ability to return an instance of a strict "
    "subclass of int is deprecated, and may be removed in a future version of Python."
)


class IntSubclass(int):
    pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IntOnly:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class Raising:
    def __index__(self):
        raise LookupError("from __index__")

    def __int__(self):
        raise LookupError("from __int__")


def around(*powers):
    """Each boundary 2**p and its negation, with their neighbours at +-1."""
    values = set()
    for p in powers:
        for centre in (2**p, -(2**p)):
            values.update((centre - 1, centre, centre + 1))
    return sorted(values)


# ---- index_as_ssize -------------------------------------------------------------------


def fits_ssize(value):
    return SSIZE_MIN <= value <= SSIZE_MAX


@pytest.mark.parametrize(
    "value",
    [0, 1, -1, SSIZE_MAX, SSIZE_MIN, SSIZE_MAX - 1, SSIZE_MIN + 1, 2**32 + 5, 2**40,
     *around(30, 31, 32, 60, 62, 63)],
)
def test_index_exact_int_boundaries(testing, value):
    # 2**30 leaves the compact form, 2**60 the two-digit form; where
    # `Py_ssize_t` is 32 bits wide most two-digit values overflow it. -1 is a
    # value: the entry point raises only when an exception is set.
    if fits_ssize(value):
        assert testing.index_as_ssize(value) == value
    else:
        with pytest.raises(OverflowError, match="^Python int too large to convert to C ssize_t$"):
            testing.index_as_ssize(value)


@given(st.integers(min_value=SSIZE_MIN, max_value=SSIZE_MAX))
def test_index_equals_platform_conversion(testing, value):
    assert testing.index_as_ssize(value) == value
    assert testing.index_as_ssize(IntSubclass(value)) == value
    assert testing.index_as_ssize(Index(value)) == value


@given(st.one_of(st.integers(min_value=SSIZE_MAX + 1), st.integers(max_value=SSIZE_MIN - 1)))
def test_index_overflow_outside_ssize(testing, value):
    with pytest.raises(OverflowError):
        testing.index_as_ssize(value)
    with pytest.raises(OverflowError):
        testing.index_as_ssize(Index(value))


@pytest.mark.parametrize(
    "argument, expected",
    [(True, 1), (False, 0), (IntSubclass(-7), -7), (IntSubclass(SSIZE_MAX), SSIZE_MAX), (Index(7), 7)],
)
def test_index_through_index_protocol(testing, argument, expected):
    result = testing.index_as_ssize(argument)
    assert result == expected and type(result) is int


@pytest.mark.parametrize("argument", [3.0, "1", b"1", None, [1], IntOnly(3), Index(2.0)])
def test_index_refuses_non_integers(testing, argument):
    # No __int__ fallback: floats and objects with only __int__ are refused.
    with pytest.raises(TypeError):
        testing.index_as_ssize(argument)


def test_index_propagates_index_exception(testing):
    with pytest.raises(LookupError, match="from __index__"):
        testing.index_as_ssize(Raising())


def test_index_releases_intermediate_results(testing):
    # Two digits of 30 bits, and still a Py_ssize_t of 32 or 64 bits.
    big, fits = made_at_run_time(2**70), made_at_run_time(min(2**40 + 12345, SSIZE_MAX))
    overflowing, fitting = Index(big), Index(fits)

    def exercise():
        for _ in range(1000):
            with pytest.raises(OverflowError):
                testing.index_as_ssize(overflowing)
            testing.index_as_ssize(fitting)

    assert_no_reference_leaks(exercise, (big, fits))


# ---- int_as_long ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "value",
    [221138483, 251159129, 0, 1, -1, INT32_MAX, INT32_MIN, INT32_MAX - 1, INT32_MIN + 1,
     *around(30)],
)
def test_long_in_range(testing, value):
    assert testing.int_as_long(value) == value
    assert testing.int_as_long(IntSubclass(value)) == value
    assert testing.int_as_long(IntOnly(value)) == value


@given(st.integers(min_value=INT32_MIN, max_value=INT32_MAX))
def test_long_equals_platform_conversion_in_range(testing, value):
    assert testing.int_as_long(value) == value
    assert testing.int_as_long(float(value)) == value


@pytest.mark.parametrize(
    "value", [INT32_MAX + 1, INT32_MIN - 1, 2**40, -(2**40), 2**63 - 1, -(2**63), 2**64, -(2**100)]
)
@pytest.mark.parametrize("wrap", [int, IntSubclass, IntOnly], ids=["int", "subclass", "__int__"])
def test_long_32_bit_range_on_every_platform(testing, value, wrap):
    with pytest.raises(OverflowError, match=f"^{LONG_OVERFLOW}$"):
        testing.int_as_long(wrap(value))


@given(st.one_of(st.integers(min_value=INT32_MAX + 1), st.integers(max_value=INT32_MIN - 1)))
def test_long_overflow_outside_32_bits(testing, value):
    with pytest.raises(OverflowError, match=f"^{LONG_OVERFLOW}$"):
        testing.int_as_long(value)


@pytest.mark.parametrize(
    "argument, expected",
    [(3.7, 3), (-3.7, -3), (False, 0), (True, 1), (2147483647.9, INT32_MAX)],
)
def test_long_through_int_protocol(testing, argument, expected):
    result = testing.int_as_long(argument)
    assert result == expected and type(result) is int


def test_long_float_out_of_range_overflows(testing):
    with pytest.raises(OverflowError, match=f"^{LONG_OVERFLOW}$"):
        testing.int_as_long(1e10)


@pytest.mark.parametrize("argument", ["1", None, b"1", [1], object(), Index(5)])
def test_long_refuses_objects_without_int(testing, argument):
    # `__index__` alone does not qualify: the conversion goes through `__int__`.
    with pytest.raises(TypeError, match="^an integer is required$"):
        testing.int_as_long(argument)


@pytest.mark.parametrize(
    "returned, type_name", [("3", "str"), (None, "NoneType"), (3.0, "float")]
)
def test_long_int_returning_non_int(testing, returned, type_name):
    with pytest.raises(TypeError, match=rf"^__int__ returned non-int \(type {type_name}\)$"):
        testing.int_as_long(IntOnly(returned))


@pytest.mark.parametrize("returned, expected", [(True, 1), (IntSubclass(42), 42)])
def test_long_int_returning_int_subclass_warns(testing, returned, expected):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert testing.int_as_long(IntOnly(returned)) == expected
    assert [(w.category, str(w.message)) for w in caught] == [
        (DeprecationWarning, SUBCLASS_WARNING.format(type(returned).__name__))
    ]


def test_long_int_subclass_warning_as_error(testing):
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning) as info:
            testing.int_as_long(IntOnly(True))
    assert str(info.value) == SUBCLASS_WARNING.format("bool")


def test_long_int_subclass_out_of_range_warns_then_overflows(testing):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(OverflowError, match=f"^{LONG_OVERFLOW}$"):
            testing.int_as_long(IntOnly(IntSubclass(2**31)))
    assert [w.category for w in caught] == [DeprecationWarning]


@pytest.mark.parametrize(
    "argument, error",
    [(Raising(), LookupError), (float("nan"), ValueError), (float("inf"), OverflowError)],
)
def test_long_propagates_int_exception(testing, argument, error):
    with pytest.raises(error):
        testing.int_as_long(argument)


def test_long_releases_intermediate_results(testing):
    big, fits, text = made_at_run_time(2**70), made_at_run_time(2**31 - 5), made_at_run_time("not an int")
    subclass = IntSubclass(2**31 - 9)
    sources = [IntOnly(big), IntOnly(fits), IntOnly(text), IntOnly(subclass)]

    def exercise():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            for _ in range(1000):
                for source in sources:
                    try:
                        testing.int_as_long(source)
                    except (OverflowError, TypeError):
                        pass

    assert_no_reference_leaks(exercise, (big, fits, text, subclass))
