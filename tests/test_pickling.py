"""Pickling of CachedProperty and AxisProperty: reduce forms, set-state,
reconstructors with their checksum test, and the pickling set-up."""

import builtins
import copy
import gc
import hashlib
import multiprocessing
import pickle
import pickletools
import sys

import pytest

import tovren._libs.properties as properties
from conftest import assert_no_reference_leaks, module_entries
from tovren._libs.properties import AxisProperty, CachedProperty

MODULE = "tovren._libs.properties"
STRINGSOURCE = "<stringsource>"
UNPICKLE_CACHED = properties.__pyx_unpickle_CachedProperty
UNPICKLE_AXIS = properties.__pyx_unpickle_AxisProperty


def derived_checksums(field_names):
    """The accepted layout checksums: the first seven hex digits of the
    SHA-256, SHA-1 and MD5 digests of the field names joined by spaces."""
    text = " ".join(field_names).encode()
    return tuple(int(digest(text).hexdigest()[:7], 16)
                 for digest in (hashlib.sha256, hashlib.sha1, hashlib.md5))


CACHED_CHECKSUMS = derived_checksums(["__doc__", "fget", "name"])
AXIS_CHECKSUMS = derived_checksums(["__doc__", "axis"])
CACHED_FIELDS = "__doc__, fget, name"
AXIS_FIELDS = "__doc__, axis"


def entry(function, line):
    return (STRINGSOURCE, line, f"{MODULE}.{function}")


def sample_getter(owner):
    """Sample docstring."""
    return 42


def cached_fields(descriptor):
    # `__doc__` through the base type's getter: a Python subclass has a
    # `__doc__` of its own that hides the field.
    return (vars(CachedProperty)["__doc__"].__get__(descriptor), descriptor.fget, descriptor.name)


def axis_fields(descriptor):
    return (vars(AxisProperty)["__doc__"].__get__(descriptor), descriptor.axis)


def fields(descriptor):
    if isinstance(descriptor, CachedProperty):
        return cached_fields(descriptor)
    return axis_fields(descriptor)


class CachedSub(CachedProperty):
    pass


class AxisSub(AxisProperty):
    def __init__(self, *args):  # pragma: no cover - reconstructors must not run it
        raise AssertionError("__init__ ran")


class SlottedCached(CachedProperty):
    __slots__ = ()


class SlottedAxis(AxisProperty):
    __slots__ = ()


class TupleSub(tuple):
    pass


# ---- checksums ---------------------------------------------------------------------


def test_written_checksums_are_the_sha256_ones():
    assert CACHED_CHECKSUMS == (0xEF86259, 0xE8B19C1, 0xD67B376)
    assert AXIS_CHECKSUMS == (0xD2E4E33, 0xD654B7D, 0xDC8CCE6)
    assert CachedProperty(len).__reduce__()[1][1] == CACHED_CHECKSUMS[0]
    assert AxisProperty(0, None).__reduce__()[1][1] == AXIS_CHECKSUMS[0]


@pytest.mark.parametrize("checksum", CACHED_CHECKSUMS, ids=hex)
def test_cached_reconstructor_accepts_each_checksum(checksum):
    rebuilt = UNPICKLE_CACHED(CachedProperty, checksum, None)
    assert type(rebuilt) is CachedProperty
    assert cached_fields(rebuilt) == (None, None, None)
    rebuilt = UNPICKLE_CACHED(CachedProperty, checksum, ("d", len, "len"))
    assert cached_fields(rebuilt) == ("d", len, "len")


@pytest.mark.parametrize("checksum", AXIS_CHECKSUMS, ids=hex)
def test_axis_reconstructor_accepts_each_checksum(checksum):
    rebuilt = UNPICKLE_AXIS(AxisProperty, checksum, None)
    assert type(rebuilt) is AxisProperty and axis_fields(rebuilt) == (None, 0)
    rebuilt = UNPICKLE_AXIS(AxisProperty, checksum, ("d", 5))
    assert axis_fields(rebuilt) == ("d", 5)


def mismatch(checksum, accepted, field_list):
    first, second, third = accepted
    return (f"Incompatible checksums ({checksum:#x} vs ({first:#x}, {second:#x}, {third:#x}) "
            f"= ({field_list}))")


@pytest.mark.parametrize(
    ("reconstructor", "checksum", "accepted", "field_list", "name"),
    [
        (UNPICKLE_CACHED, 1, CACHED_CHECKSUMS, CACHED_FIELDS, "__pyx_unpickle_CachedProperty"),
        (UNPICKLE_CACHED, 0, CACHED_CHECKSUMS, CACHED_FIELDS, "__pyx_unpickle_CachedProperty"),
        (UNPICKLE_CACHED, 0x7FFFFFFF, CACHED_CHECKSUMS, CACHED_FIELDS,
         "__pyx_unpickle_CachedProperty"),
        *[(UNPICKLE_CACHED, other, CACHED_CHECKSUMS, CACHED_FIELDS,
           "__pyx_unpickle_CachedProperty") for other in AXIS_CHECKSUMS],
        *[(UNPICKLE_AXIS, other, AXIS_CHECKSUMS, AXIS_FIELDS, "__pyx_unpickle_AxisProperty")
          for other in CACHED_CHECKSUMS],
        (UNPICKLE_AXIS, 0xD2E4E34, AXIS_CHECKSUMS, AXIS_FIELDS, "__pyx_unpickle_AxisProperty"),
    ],
)
def test_checksum_mismatch(reconstructor, checksum, accepted, field_list, name):
    base = CachedProperty if reconstructor is UNPICKLE_CACHED else AxisProperty
    with pytest.raises(pickle.PickleError) as caught:
        reconstructor(base, checksum, None)
    assert type(caught.value) is pickle.PickleError
    assert str(caught.value) == mismatch(checksum, accepted, field_list)
    assert module_entries(caught.value) == [entry(name, 6)]


def test_mismatch_messages_read_as_documented():
    with pytest.raises(pickle.PickleError) as caught:
        UNPICKLE_CACHED(CachedProperty, 1, None)
    assert str(caught.value) == (
        "Incompatible checksums (0x1 vs (0xef86259, 0xe8b19c1, 0xd67b376) = (__doc__, fget, name))")
    with pytest.raises(pickle.PickleError) as caught:
        UNPICKLE_AXIS(AxisProperty, 0xEF86259, None)
    assert str(caught.value) == (
        "Incompatible checksums (0xef86259 vs (0xd2e4e33, 0xd654b7d, 0xdc8cce6) = (__doc__, axis))")


def test_negative_checksum_prints_as_a_c_int():
    with pytest.raises(pickle.PickleError, match=r"^Incompatible checksums \(0xffffffff vs"):
        UNPICKLE_CACHED(CachedProperty, -1, None)


@pytest.mark.parametrize(
    ("checksum", "exception", "message"),
    [
        ("0xef86259", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        (2**31, OverflowError, None),
        (-(2**31) - 1, OverflowError, None),
        (2**100, OverflowError, None),
    ],
    ids=["str", "None", "2**31", "-2**31-1", "2**100"],
)
@pytest.mark.parametrize("reconstructor", [UNPICKLE_CACHED, UNPICKLE_AXIS],
                         ids=["cached", "axis"])
def test_checksum_that_does_not_convert(reconstructor, checksum, exception, message):
    name = reconstructor.__name__
    base = CachedProperty if reconstructor is UNPICKLE_CACHED else AxisProperty
    # Reported before the state's type is looked at.
    with pytest.raises(exception) as caught:
        reconstructor(base, checksum, [1, 2])
    if message is not None:
        assert str(caught.value) == message
    assert module_entries(caught.value) == [entry(name, 4)]


def test_checksum_converts_through_int():
    assert type(UNPICKLE_CACHED(CachedProperty, float(0xEF86259), None)) is CachedProperty
    with pytest.raises(pickle.PickleError, match=r"\(0x1 vs"):
        UNPICKLE_CACHED(CachedProperty, True, None)


# ---- reconstructor arguments and types ------------------------------------------------


@pytest.mark.parametrize("reconstructor", [UNPICKLE_CACHED, UNPICKLE_AXIS],
                         ids=["cached", "axis"])
@pytest.mark.parametrize("state", [[1, 2, 3], TupleSub((None, 1)), {"a": 1}, "abc"],
                         ids=["list", "tuple-subclass", "dict", "str"])
def test_state_of_the_wrong_type(reconstructor, state):
    base = CachedProperty if reconstructor is UNPICKLE_CACHED else AxisProperty
    for checksum in (0xEF86259 if base is CachedProperty else 0xD2E4E33, 1):
        # Reported before the checksum is tested, and without a traceback entry.
        with pytest.raises(TypeError) as caught:
            reconstructor(base, checksum, state)
        assert str(caught.value) == (
            f"Argument '__pyx_state' has incorrect type (expected tuple, got "
            f"{type(state).__name__})")
        assert module_entries(caught.value) == []


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, "__pyx_unpickle_CachedProperty() takes exactly 3 positional arguments (0 given)"),
        ((CachedProperty,), {"__pyx_state": None},
         "__pyx_unpickle_CachedProperty() takes exactly 3 positional arguments (1 given)"),
        # "given" is the index of the first parameter missing, not the count
        # of positional arguments.
        ((), {"__pyx_type": CachedProperty},
         "__pyx_unpickle_CachedProperty() takes exactly 3 positional arguments (1 given)"),
        ((), {"__pyx_type": CachedProperty, "__pyx_checksum": 0xEF86259},
         "__pyx_unpickle_CachedProperty() takes exactly 3 positional arguments (2 given)"),
        ((CachedProperty, 0xEF86259, None, None), {},
         "__pyx_unpickle_CachedProperty() takes exactly 3 positional arguments (4 given)"),
        ((CachedProperty, 0xEF86259, None), {"__pyx_type": CachedProperty},
         "__pyx_unpickle_CachedProperty() got multiple values for keyword argument '__pyx_type'"),
        ((CachedProperty, 0xEF86259, None), {"state": None},
         "__pyx_unpickle_CachedProperty() got an unexpected keyword argument 'state'"),
    ],
    ids=["none", "missing-checksum", "type-by-keyword", "type-and-checksum-by-keyword",
         "too-many", "duplicate", "unexpected"],
)
def test_reconstructor_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        UNPICKLE_CACHED(*args, **kwargs)
    assert str(caught.value) == message
    assert module_entries(caught.value) == [entry("__pyx_unpickle_CachedProperty", 4)]


@pytest.mark.parametrize(
    ("reconstructor", "checksum", "requested"),
    [
        (UNPICKLE_CACHED, 0xEF86259, AxisProperty),
        (UNPICKLE_CACHED, 0xEF86259, int),
        (UNPICKLE_CACHED, 0xEF86259, 42),
        (UNPICKLE_AXIS, 0xD2E4E33, CachedProperty),
        (UNPICKLE_AXIS, 0xD2E4E33, CachedSub),
        (UNPICKLE_AXIS, 0xD2E4E33, type("Unrelated", (), {})),
    ],
    ids=["axis-as-cached", "int", "not-a-type", "cached-as-axis", "cached-sub-as-axis",
         "unrelated"],
)
def test_type_that_is_not_a_subtype_fails_in_new(reconstructor, checksum, requested):
    with pytest.raises(TypeError) as caught:
        reconstructor(requested, checksum, None)
    assert module_entries(caught.value) == [entry(reconstructor.__name__, 7)]


def test_subclass_is_rebuilt_without_its_initialiser():
    rebuilt = UNPICKLE_AXIS(AxisSub, 0xD2E4E33, ("a docstring", 2))
    assert type(rebuilt) is AxisSub
    assert axis_fields(rebuilt) == ("a docstring", 2)


@pytest.mark.parametrize(
    ("reconstructor", "checksum", "requested", "state"),
    [
        (UNPICKLE_CACHED, 0xEF86259, CachedSub, ("d", len, "len", {"extra": 1})),
        (UNPICKLE_AXIS, 0xD2E4E33, AxisSub, ("d", 3, {"extra": 1})),
    ],
    ids=["cached", "axis"],
)
def test_extra_state_element_fills_the_instance_dict(reconstructor, checksum, requested, state):
    rebuilt = reconstructor(requested, checksum, state)
    assert vars(rebuilt) == {"extra": 1}
    assert vars(rebuilt) is not state[-1]


def test_reconstructor_uses_the_base_type_of_start_up(monkeypatch):
    monkeypatch.setattr(properties, "CachedProperty", type("Impostor", (), {}))
    rebuilt = UNPICKLE_CACHED(CachedSub, 0xEF86259, None)
    assert type(rebuilt) is CachedSub


@pytest.mark.parametrize(
    ("reconstructor", "checksum", "base", "state", "exception", "inner_entries"),
    [
        (UNPICKLE_CACHED, 0xEF86259, CachedProperty, (1,), IndexError,
         [entry("__pyx_unpickle_CachedProperty__set_state", 12)]),
        (UNPICKLE_CACHED, 0xEF86259, CachedProperty, (), IndexError,
         [entry("__pyx_unpickle_CachedProperty__set_state", 12)]),
        (UNPICKLE_AXIS, 0xD2E4E33, AxisProperty, ("d",), IndexError,
         [entry("__pyx_unpickle_AxisProperty__set_state", 12)]),
        (UNPICKLE_AXIS, 0xD2E4E33, AxisProperty, ("d", "x"), TypeError,
         [entry("__pyx_unpickle_AxisProperty__set_state", 12)]),
        (UNPICKLE_AXIS, 0xD2E4E33, AxisProperty, ("d", 1.5), TypeError,
         [entry("__pyx_unpickle_AxisProperty__set_state", 12)]),
        (UNPICKLE_AXIS, 0xD2E4E33, AxisProperty, ("d", 2**63), OverflowError,
         [entry("__pyx_unpickle_AxisProperty__set_state", 12)]),
        (UNPICKLE_AXIS, 0xD2E4E33, AxisProperty, ("d", -(2**63) - 1), OverflowError,
         [entry("__pyx_unpickle_AxisProperty__set_state", 12)]),
        (UNPICKLE_CACHED, 0xEF86259, CachedProperty, (None, None, None, {"a": 1}),
         AttributeError, [entry("__pyx_unpickle_CachedProperty__set_state", 13)]),
        (UNPICKLE_AXIS, 0xD2E4E33, SlottedAxis, (None, 0, {"a": 1}),
         AttributeError, [entry("__pyx_unpickle_AxisProperty__set_state", 13)]),
    ],
    ids=["cached-short", "cached-empty", "axis-short", "axis-str", "axis-float",
         "axis-huge", "axis-very-negative", "cached-no-dict", "axis-slotted-no-dict"],
)
def test_form_b_restore_failure_returns_no_object(
        reconstructor, checksum, base, state, exception, inner_entries):
    with pytest.raises(exception) as caught:
        reconstructor(base, checksum, state)
    assert module_entries(caught.value) == [entry(reconstructor.__name__, 9), *inner_entries]


def test_axis_state_converts_through_index():
    class Index:
        def __index__(self):
            return -2

    assert UNPICKLE_AXIS(AxisProperty, 0xD2E4E33, (None, True)).axis == 1
    assert UNPICKLE_AXIS(AxisProperty, 0xD2E4E33, (None, Index())).axis == -2
    assert UNPICKLE_AXIS(AxisProperty, 0xD2E4E33, (None, sys.maxsize)).axis == sys.maxsize


# ---- reduce ----------------------------------------------------------------------------


def reduce_all_ways(descriptor):
    """The reduce tuple through every name it is reachable by; all must agree."""
    results = [descriptor.__reduce__(), descriptor.__reduce_cython__(),
               type(descriptor).__reduce_cython__(descriptor)]
    results += [descriptor.__reduce_ex__(protocol) for protocol in range(6)]
    assert all(result == results[0] for result in results)
    return results[0]


def test_reduce_of_an_all_none_cached_property_is_form_b():
    descriptor = CachedProperty.__new__(CachedProperty)
    assert reduce_all_ways(descriptor) == (
        UNPICKLE_CACHED, (CachedProperty, 251159129, (None, None, None)))


def test_reduce_of_a_getter_made_cached_property_is_form_a():
    descriptor = CachedProperty(sample_getter)
    result = reduce_all_ways(descriptor)
    assert result == (UNPICKLE_CACHED, (CachedProperty, 251159129, None),
                      ("Sample docstring.", sample_getter, "sample_getter"))
    assert result[0] is UNPICKLE_CACHED and result[2][1] is sample_getter
    assert result[1][1] is properties.CachedProperty.__reduce__(descriptor)[1][1]


@pytest.mark.parametrize("field", range(3))
def test_any_set_cached_field_selects_form_a(field):
    state = [None, None, None]
    state[field] = "set"
    descriptor = CachedProperty.__new__(CachedProperty)
    descriptor.__setstate__(tuple(state))
    assert reduce_all_ways(descriptor) == (
        UNPICKLE_CACHED, (CachedProperty, 251159129, None), tuple(state))


@pytest.mark.parametrize(
    ("descriptor", "expected"),
    [
        (AxisProperty(1, None), (UNPICKLE_AXIS, (AxisProperty, 221138483, (None, 1)))),
        (AxisProperty(1, "docstring"),
         (UNPICKLE_AXIS, (AxisProperty, 221138483, None), ("docstring", 1))),
        (AxisProperty(), (UNPICKLE_AXIS, (AxisProperty, 221138483, None), ("", 0))),
        (AxisProperty(-3, doc=None), (UNPICKLE_AXIS, (AxisProperty, 221138483, (None, -3)))),
        (AxisProperty.__new__(AxisProperty),
         (UNPICKLE_AXIS, (AxisProperty, 221138483, (None, 0)))),
    ],
    ids=["doc-none", "docstring", "default", "negative", "blank"],
)
def test_axis_reduce_forms(descriptor, expected):
    assert reduce_all_ways(descriptor) == expected


@pytest.mark.parametrize(
    ("make", "checksum", "reconstructor", "field_state", "fields_select_form_a"),
    [
        (lambda: CachedSub(sample_getter), 251159129, UNPICKLE_CACHED,
         ("Sample docstring.", sample_getter, "sample_getter"), True),
        (lambda: CachedSub.__new__(CachedSub), 251159129, UNPICKLE_CACHED, (None, None, None),
         False),
        (lambda: AxisSub.__new__(AxisSub), 221138483, UNPICKLE_AXIS, (None, 0), False),
    ],
    ids=["cached", "cached-blank", "axis-blank"],
)
def test_subclass_instance_dict_rides_along(make, checksum, reconstructor, field_state,
                                            fields_select_form_a):
    descriptor = make()
    cls = type(descriptor)
    # An empty instance dict is not appended; the fields alone pick the form.
    assert vars(descriptor) == {}
    if fields_select_form_a:
        assert reduce_all_ways(descriptor) == (reconstructor, (cls, checksum, None), field_state)
    else:
        assert reduce_all_ways(descriptor) == (reconstructor, (cls, checksum, field_state))
    descriptor.extra = [1]
    result = reduce_all_ways(descriptor)
    assert result == (reconstructor, (cls, checksum, None), (*field_state, {"extra": [1]}))
    assert result[2][-1] is vars(descriptor)


@pytest.mark.parametrize(
    ("descriptor", "expected"),
    [
        (SlottedCached.__new__(SlottedCached),
         (UNPICKLE_CACHED, (SlottedCached, 251159129, (None, None, None)))),
        (SlottedAxis(4, None), (UNPICKLE_AXIS, (SlottedAxis, 221138483, (None, 4)))),
        (SlottedAxis(4, "d"), (UNPICKLE_AXIS, (SlottedAxis, 221138483, None), ("d", 4))),
    ],
    ids=["cached-blank", "axis-doc-none", "axis-docstring"],
)
def test_subclass_without_instance_dict(descriptor, expected):
    assert reduce_all_ways(descriptor) == expected


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((1,), {}, "__reduce_cython__() takes exactly 0 positional arguments (1 given)"),
        ((1, 2), {}, "__reduce_cython__() takes exactly 0 positional arguments (2 given)"),
        ((), {"protocol": 2}, "__reduce_cython__() got an unexpected keyword argument 'protocol'"),
    ],
    ids=["one", "two", "keyword"],
)
@pytest.mark.parametrize("make", [lambda: CachedProperty(len), AxisProperty],
                         ids=["cached", "axis"])
def test_reduce_binding_errors_add_no_entry(make, args, kwargs, message):
    descriptor = make()
    for method in (descriptor.__reduce_cython__, descriptor.__reduce__):
        with pytest.raises(TypeError) as caught:
            method(*args, **kwargs)
        assert str(caught.value) == message
        assert module_entries(caught.value) == []


class DictLookupFails(CachedProperty):
    @property
    def __dict__(self):
        raise RuntimeError("no dict for you")


class FalsyTestFails:
    def __bool__(self):
        raise ValueError("undecidable")


class DictTruthFails(AxisProperty):
    @property
    def __dict__(self):
        return FalsyTestFails()


class DictIsAList(AxisProperty):
    @property
    def __dict__(self):
        return ["not", "a", "dict"]


def test_reduce_failure_reading_dict():
    with pytest.raises(RuntimeError, match="no dict for you") as caught:
        DictLookupFails(len).__reduce__()
    assert module_entries(caught.value) == [entry("CachedProperty.__reduce_cython__", 6)]


def test_reduce_failure_testing_dict():
    with pytest.raises(ValueError, match="undecidable") as caught:
        DictTruthFails().__reduce__()
    assert module_entries(caught.value) == [entry("AxisProperty.__reduce_cython__", 7)]


def test_reduce_appends_any_true_dict_value():
    descriptor = DictIsAList(0, None)
    assert descriptor.__reduce__() == (
        UNPICKLE_AXIS, (DictIsAList, 221138483, None), (None, 0, ["not", "a", "dict"]))


@pytest.mark.parametrize(
    ("descriptor", "name", "line"),
    [
        (CachedProperty(len), "__pyx_unpickle_CachedProperty", 13),
        (CachedProperty.__new__(CachedProperty), "__pyx_unpickle_CachedProperty", 15),
        (AxisProperty(0, "d"), "__pyx_unpickle_AxisProperty", 13),
        (AxisProperty(0, None), "__pyx_unpickle_AxisProperty", 15),
    ],
    ids=["cached-form-a", "cached-form-b", "axis-form-a", "axis-form-b"],
)
def test_reconstructor_missing_from_the_namespace(descriptor, name, line):
    namespace = vars(properties)
    saved = namespace.pop(name)
    try:
        with pytest.raises(NameError) as caught:
            descriptor.__reduce__()
        assert str(caught.value) == f"name '{name}' is not defined"
        assert module_entries(caught.value) == [
            entry(f"{type(descriptor).__name__}.__reduce_cython__", line)]
        # A builtin of that name is the fallback.
        sentinel = object()
        setattr(builtins, name, sentinel)
        try:
            assert descriptor.__reduce__()[0] is sentinel
        finally:
            delattr(builtins, name)
        # A replacement bound in the namespace is found at the next call.
        namespace[name] = replacement = object()
        assert descriptor.__reduce__()[0] is replacement
    finally:
        namespace[name] = saved
    assert descriptor.__reduce__()[0] is saved


# ---- __setstate_cython__ ----------------------------------------------------------------


@pytest.mark.parametrize(
    ("make", "state", "expected"),
    [
        (lambda: CachedProperty(len), ("d", sample_getter, "n"), ("d", sample_getter, "n")),
        (lambda: CachedProperty(len), (1, 2, 3, None), (1, 2, 3)),
        (lambda: CachedProperty(len), (1, 2, 3, {}), (1, 2, 3)),
        (lambda: CachedProperty(len), (1, 2, 3, 0, {"ignored": 1}), (1, 2, 3)),
        (lambda: AxisProperty(), ("d", 7), ("d", 7)),
        (lambda: AxisProperty(), (None, -1, ()), (None, -1)),
    ],
    ids=["cached", "extra-none", "extra-empty", "only-first-extra", "axis", "axis-extra-empty"],
)
def test_setstate_writes_fields(make, state, expected):
    descriptor = make()
    for method in ("__setstate__", "__setstate_cython__"):
        assert getattr(descriptor, method)(state) is None
        assert fields(descriptor) == expected


def test_setstate_uses_only_the_first_extra_element():
    descriptor = CachedSub(len)
    descriptor.__setstate__((None, None, None, {"a": 1}, {"b": 2}))
    assert vars(descriptor) == {"a": 1}
    descriptor.__setstate__((None, None, None, {"a": 2, "c": 3}))
    assert vars(descriptor) == {"a": 2, "c": 3}


def test_setstate_merges_into_a_dict_subclass_through_update():
    calls = []

    class RecordingDict(dict):
        def update(self, other):
            calls.append(other)
            dict.update(self, other, recorded=True)

    descriptor = AxisSub.__new__(AxisSub)
    descriptor.__dict__ = RecordingDict()
    extra = {"a": 1}
    descriptor.__setstate__((None, 0, extra))
    assert calls == [extra] and calls[0] is extra
    assert vars(descriptor) == {"a": 1, "recorded": True}


CACHED_SETSTATE = "CachedProperty.__setstate_cython__"
AXIS_SETSTATE = "AxisProperty.__setstate_cython__"
CACHED_SET_STATE = "__pyx_unpickle_CachedProperty__set_state"
AXIS_SET_STATE = "__pyx_unpickle_AxisProperty__set_state"


@pytest.mark.parametrize(
    ("make", "state", "exception", "message", "after", "entries"),
    [
        (lambda: CachedProperty(len), (1,), IndexError, "tuple index out of range",
         (1, len, "len"), [entry(CACHED_SETSTATE, 17), entry(CACHED_SET_STATE, 12)]),
        (lambda: CachedProperty(len), (1, 2), IndexError, "tuple index out of range",
         (1, 2, "len"), [entry(CACHED_SETSTATE, 17), entry(CACHED_SET_STATE, 12)]),
        (lambda: CachedProperty(len), (None, None, None, {"a": 1}), AttributeError, None,
         (None, None, None), [entry(CACHED_SETSTATE, 17), entry(CACHED_SET_STATE, 13)]),
        (lambda: AxisProperty(4, "old"), ("new",), IndexError, "tuple index out of range",
         ("new", 4), [entry(AXIS_SETSTATE, 17), entry(AXIS_SET_STATE, 12)]),
        (lambda: AxisProperty(4, "old"), ("new", "x"), TypeError, None,
         ("new", 4), [entry(AXIS_SETSTATE, 17), entry(AXIS_SET_STATE, 12)]),
        (lambda: AxisProperty(4, "old"), ("new", 2**63), OverflowError, None,
         ("new", 4), [entry(AXIS_SETSTATE, 17), entry(AXIS_SET_STATE, 12)]),
        (lambda: AxisProperty(4, "old"), ("new", 5, {"a": 1}), AttributeError, None,
         ("new", 5), [entry(AXIS_SETSTATE, 17), entry(AXIS_SET_STATE, 13)]),
        (lambda: CachedProperty(len), None, TypeError,
         "cannot pass None into a C function argument that is declared 'not None'",
         (len.__doc__, len, "len"), [entry(CACHED_SETSTATE, 17)]),
        (lambda: CachedProperty(len), [1, 2, 3], TypeError, "Expected tuple, got list",
         (len.__doc__, len, "len"), [entry(CACHED_SETSTATE, 17)]),
        (lambda: AxisProperty(4, "old"), TupleSub(("new", 5)), TypeError,
         "Expected tuple, got TupleSub", ("old", 4), [entry(AXIS_SETSTATE, 17)]),
        (lambda: AxisProperty(4, "old"), {"new": 5}, TypeError, "Expected tuple, got dict",
         ("old", 4), [entry(AXIS_SETSTATE, 17)]),
    ],
    ids=["cached-1-tuple", "cached-2-tuple", "cached-no-dict", "axis-1-tuple", "axis-str",
         "axis-huge", "axis-no-dict", "none", "list", "tuple-subclass", "dict"],
)
def test_setstate_errors_and_partial_writes(make, state, exception, message, after, entries):
    for method in ("__setstate__", "__setstate_cython__"):
        descriptor = make()
        with pytest.raises(exception) as caught:
            getattr(descriptor, method)(state)
        if message is not None:
            assert str(caught.value) == message
        assert fields(descriptor) == after
        assert module_entries(caught.value) == entries


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, "__setstate_cython__() takes exactly 1 positional argument (0 given)"),
        (((), ()), {}, "__setstate_cython__() takes exactly 1 positional argument (2 given)"),
        ((), {"state": ()}, "__setstate_cython__() got an unexpected keyword argument 'state'"),
        (((),), {"__pyx_state": ()},
         "__setstate_cython__() got multiple values for keyword argument '__pyx_state'"),
    ],
    ids=["none", "two", "unexpected", "duplicate"],
)
@pytest.mark.parametrize(("make", "function"),
                         [(lambda: CachedProperty(len), CACHED_SETSTATE),
                          (AxisProperty, AXIS_SETSTATE)], ids=["cached", "axis"])
def test_setstate_binding_errors(make, function, args, kwargs, message):
    descriptor = make()
    before = fields(descriptor)
    for method in ("__setstate__", "__setstate_cython__"):
        with pytest.raises(TypeError) as caught:
            getattr(descriptor, method)(*args, **kwargs)
        assert str(caught.value) == message
        assert module_entries(caught.value) == [entry(function, 16)]
    assert fields(descriptor) == before


def test_setstate_by_keyword():
    descriptor = AxisProperty()
    descriptor.__setstate_cython__(__pyx_state=("k", 9))
    assert axis_fields(descriptor) == ("k", 9)


# ---- hostile states ---------------------------------------------------------------------


class RaisingTruth:
    def __bool__(self):
        raise RuntimeError("truth")


class KeysRaise:
    def keys(self):
        raise LookupError("keys")


class NotAMapping:
    pass


@pytest.mark.parametrize(
    ("extra", "exception"),
    [(RaisingTruth(), RuntimeError), (KeysRaise(), LookupError), (NotAMapping(), AttributeError),
     (5, (TypeError, AttributeError))],
    ids=["truth-raises", "keys-raise", "not-a-mapping", "int"],
)
def test_hostile_extra_element(extra, exception):
    live = CachedSub(len)
    live.existing = 1
    with pytest.raises(exception) as caught:
        live.__setstate__(("d", sample_getter, "n", extra))
    assert module_entries(caught.value) == [entry(CACHED_SETSTATE, 17), entry(CACHED_SET_STATE, 13)]
    assert cached_fields(live) == ("d", sample_getter, "n")
    assert vars(live) == {"existing": 1}
    with pytest.raises(exception) as caught:
        UNPICKLE_CACHED(CachedSub, 0xEF86259, ("d", sample_getter, "n", extra))
    assert module_entries(caught.value) == [
        entry("__pyx_unpickle_CachedProperty", 9), entry(CACHED_SET_STATE, 13)]


def test_mapping_that_reenters_setstate_during_the_merge():
    target = AxisSub.__new__(AxisSub)

    class Reentrant:
        def keys(self):
            target.__setstate__(("inner", 8, {"inner": True}))
            del target.__dict__["inner"]
            return ["outer"]

        def __getitem__(self, key):
            target.__setstate__(("again", 9))
            return key

    target.__setstate__(("outer", 1, Reentrant()))
    assert axis_fields(target) == ("again", 9)
    assert vars(target) == {"outer": "outer"}


def test_index_that_reenters_setstate():
    target = AxisProperty()

    class Index:
        def __index__(self):
            target.__setstate__(("inner", 3))
            return 6

    target.__setstate__(("outer", Index()))
    assert axis_fields(target) == ("inner", 6)


CRAFTED_PICKLES = [
    (b"\x80\x02ctovren._libs.properties\n__pyx_unpickle_AxisProperty\n"
     b"ctovren._libs.properties\nAxisProperty\nK\x01N\x87R.", pickle.PickleError),
    (b"\x80\x02ctovren._libs.properties\n__pyx_unpickle_AxisProperty\n"
     b"ctovren._libs.properties\nAxisProperty\nJ3N.\r]\x87R.", TypeError),
    (b"\x80\x02ctovren._libs.properties\n__pyx_unpickle_CachedProperty\n"
     b"ctovren._libs.properties\nCachedProperty\nJYb\xf8\x0eN\x85\x87R.", IndexError),
    (b"\x80\x02ctovren._libs.properties\n__pyx_unpickle_AxisProperty\n"
     b"ctovren._libs.properties\nAxisProperty\nJ3N.\rN\x8a\x09\x00\x00\x00\x00\x00\x00\x00"
     b"\x00\x01\x86\x87R.", OverflowError),
    (b"\x80\x02ctovren._libs.properties\n__pyx_unpickle_AxisProperty\n"
     b"ctovren._libs.properties\nAxisProperty\nJ3N.\rNG?\xf8\x00\x00\x00\x00\x00\x00"
     b"\x86\x87R.", TypeError),
    (b"\x80\x02ctovren._libs.properties\n__pyx_unpickle_CachedProperty\n"
     b"ctovren._libs.properties\nAxisProperty\nJYb\xf8\x0eN\x87R.", TypeError),
    (b"\x80\x02ctovren._libs.properties\n__pyx_unpickle_CachedProperty\n"
     b"ctovren._libs.properties\nCachedProperty\nJYb\xf8\x0eN\x87RNb.", TypeError),
    (b"\x80\x02ctovren._libs.properties\n__pyx_unpickle_CachedProperty\n"
     b"ctovren._libs.properties\nCachedProperty\nJYb\xf8\x0eN\x87R(NNNK\x01tb.", AttributeError),
]


@pytest.mark.parametrize(
    ("data", "exception"), CRAFTED_PICKLES,
    ids=["wrong-checksum", "list-state", "short-state", "huge-axis", "float-axis",
         "not-a-subtype", "form-a-none-state", "form-a-extra-on-base"],
)
def test_crafted_pickles_raise_ordinary_exceptions(data, exception):
    with pytest.raises(exception):
        pickle.loads(data)


# ---- hand-assembled pickles ----------------------------------------------------------

# The reduce format as documented: module `tovren._libs.properties`, the
# reconstructor by name, the type, the checksum, and the state.
HAND_PICKLES = [
    # Protocol 0, Form A: CachedProperty("a doc", len, "len").
    (0, b"ctovren._libs.properties\n__pyx_unpickle_CachedProperty\n"
        b"(ctovren._libs.properties\nCachedProperty\nI251159129\nNtR"
        b"(Va doc\nc__builtin__\nlen\nVlen\ntb.",
     CachedProperty, ("a doc", len, "len")),
    # Protocol 0, Form B: AxisProperty with __doc__ None and axis 3.
    (0, b"ctovren._libs.properties\n__pyx_unpickle_AxisProperty\n"
        b"(ctovren._libs.properties\nAxisProperty\nI221138483\n(NI3\nttR.",
     AxisProperty, (None, 3)),
    # Protocol 0, Form A: the default AxisProperty.
    (0, b"ctovren._libs.properties\n__pyx_unpickle_AxisProperty\n"
        b"(ctovren._libs.properties\nAxisProperty\nI221138483\nNtR(V\nI0\ntb.",
     AxisProperty, ("", 0)),
    # Protocol 2, Form A.
    (2, b"\x80\x02ctovren._libs.properties\n__pyx_unpickle_CachedProperty\n"
        b"ctovren._libs.properties\nCachedProperty\nJYb\xf8\x0eN\x87R"
        b"X\x05\x00\x00\x00a docc__builtin__\nlen\nX\x03\x00\x00\x00len\x87b.",
     CachedProperty, ("a doc", len, "len")),
    # Protocol 2, Form B.
    (2, b"\x80\x02ctovren._libs.properties\n__pyx_unpickle_AxisProperty\n"
        b"ctovren._libs.properties\nAxisProperty\nJ3N.\rNK\x03\x86\x87R.",
     AxisProperty, (None, 3)),
    # Protocol 5, Form A (STACK_GLOBAL, no framing or memo).
    (5, b"\x80\x05\x8c\x17tovren._libs.properties\x8c\x1d__pyx_unpickle_CachedProperty\x93"
        b"\x8c\x17tovren._libs.properties\x8c\x0eCachedProperty\x93JYb\xf8\x0eN\x87R"
        b"\x8c\x05a doc\x8c\x08builtins\x8c\x03len\x93\x8c\x03len\x87b.",
     CachedProperty, ("a doc", len, "len")),
    # Protocol 5, Form B.
    (5, b"\x80\x05\x8c\x17tovren._libs.properties\x8c\x1b__pyx_unpickle_AxisProperty\x93"
        b"\x8c\x17tovren._libs.properties\x8c\x0cAxisProperty\x93J3N.\rNK\x03\x86\x87R.",
     AxisProperty, (None, 3)),
]


@pytest.mark.parametrize(("protocol", "data", "cls", "expected"), HAND_PICKLES,
                         ids=[f"p{p}-{c.__name__}-{i}" for i, (p, _, c, _) in
                              enumerate(HAND_PICKLES)])
def test_hand_assembled_pickles_load(protocol, data, cls, expected):
    loaded = pickle.loads(data)
    assert type(loaded) is cls
    assert fields(loaded) == expected
    if protocol in (0, 2):
        # What pickle writes for such an object is exactly this, memo aside.
        original = cls.__new__(cls)
        original.__setstate__(expected)
        assert pickletools.optimize(pickle.dumps(original, protocol)) == data


# ---- round trips ------------------------------------------------------------------------


def round_trip_cases():
    with_dict = CachedSub(sample_getter)
    with_dict.extra = {"nested": [1, 2]}
    axis_with_dict = AxisSub.__new__(AxisSub)
    axis_with_dict.__setstate__(("doc", -1, {"x": 1}))
    return [
        CachedProperty(sample_getter),
        CachedProperty(len),
        CachedProperty.__new__(CachedProperty),
        AxisProperty(),
        AxisProperty(2, None),
        AxisProperty(-5, "text"),
        AxisProperty(sys.maxsize // 2, None),
        with_dict,
        axis_with_dict,
        SlottedCached(sample_getter),
        SlottedAxis(1, None),
    ]


def same(original, copied):
    assert type(copied) is type(original)
    assert fields(copied) == fields(original)
    assert getattr(copied, "__dict__", None) == getattr(original, "__dict__", None)


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trip(protocol):
    for original in round_trip_cases():
        copied = pickle.loads(pickle.dumps(original, protocol))
        same(original, copied)
        assert copied is not original


def test_copy_and_deepcopy():
    for original in round_trip_cases():
        shallow = copy.copy(original)
        same(original, shallow)
        deep = copy.deepcopy(original)
        same(original, deep)
        if getattr(original, "__dict__", None):
            assert vars(shallow) is not vars(original)
            assert deep.__dict__ == original.__dict__


def test_round_trip_of_a_working_descriptor():
    class Owner:
        value = pickle.loads(pickle.dumps(CachedProperty(sample_getter)))
        first = pickle.loads(pickle.dumps(AxisProperty(0, None)))

        def __init__(self):
            self._mgr = type("Manager", (), {"axes": ["a", "b"]})()

    owner = Owner()
    assert owner.value == 42 and owner._cache == {"sample_getter": 42}
    assert owner.first == "a"


def describe(objects):
    def text(value):
        return value.__qualname__ if callable(value) else repr(value)

    return [(type(o).__name__, [text(field) for field in fields(o)],
             repr(getattr(o, "__dict__", None))) for o in objects]


def spawn_echo(objects):
    """Runs in a spawned process: returns what it received and its view of it."""
    return objects, describe(objects)


def test_round_trip_across_processes():
    originals = round_trip_cases()
    context = multiprocessing.get_context("spawn")
    with context.Pool(1) as pool:
        echoed, seen_in_child = pool.apply(spawn_echo, (originals,))
    assert seen_in_child == describe(originals)
    for original, copied in zip(originals, echoed):
        same(original, copied)


# ---- the pickling set-up ----------------------------------------------------------------


@pytest.mark.parametrize("cls", [CachedProperty, AxisProperty])
def test_types_after_start_up(cls):
    namespace = vars(cls)
    assert namespace["__reduce__"].__name__ == "__reduce_cython__"
    assert namespace["__setstate__"].__name__ == "__setstate_cython__"
    assert type(namespace["__reduce_cython__"]) is type(UNPICKLE_CACHED)
    assert type(namespace["__setstate_cython__"]) is type(UNPICKLE_CACHED)
    assert namespace["__reduce_cython__"].__qualname__ == f"{cls.__name__}.__reduce_cython__"
    assert namespace["__setstate_cython__"].__qualname__ == f"{cls.__name__}.__setstate_cython__"
    assert "__getstate__" not in namespace and "__reduce_ex__" not in namespace
    assert cls.__reduce_ex__ is object.__reduce_ex__


def pickling_type(name="Picklable", bases=(), **namespace):
    def __reduce_cython__(self):
        return ("reduce",)

    def __setstate_cython__(self, state):
        return ("setstate", state)

    body = {"__reduce_cython__": __reduce_cython__, "__setstate_cython__": __setstate_cython__}
    body.update(namespace)
    return type(name, bases, {key: value for key, value in body.items() if value is not None})


def full_name(cls):
    return f"{cls.__module__}.{cls.__qualname__}"


def test_setup_moves_both_methods(testing):
    cls = pickling_type()
    reduce_method = vars(cls)["__reduce_cython__"]
    setstate_method = vars(cls)["__setstate_cython__"]
    assert testing.setup_pickling(cls) is None
    assert vars(cls)["__reduce__"] is reduce_method
    assert vars(cls)["__setstate__"] is setstate_method
    assert "__reduce_cython__" not in vars(cls) and "__setstate_cython__" not in vars(cls)
    assert cls().__reduce__() == ("reduce",)
    # A second run finds the methods by name and changes nothing.
    snapshot = dict(vars(cls))
    assert testing.setup_pickling(cls) is None
    assert dict(vars(cls)) == snapshot


@pytest.mark.parametrize(
    "namespace",
    [
        {"__getstate__": lambda self: {}},
        {"__reduce_ex__": lambda self, protocol: ("own",)},
        {"__reduce__": lambda self: ("own",)},
    ],
    ids=["own-getstate", "own-reduce-ex", "differently-named-reduce"],
)
def test_setup_leaves_types_that_pickle_their_own_way(testing, namespace):
    cls = pickling_type(**namespace)
    snapshot = dict(vars(cls))
    assert testing.setup_pickling(cls) is None
    assert dict(vars(cls)) == snapshot


def test_setup_keeps_a_setstate_of_another_name(testing):
    def __setstate__(self, state):
        pass

    cls = pickling_type(__setstate__=__setstate__)
    assert testing.setup_pickling(cls) is None
    assert vars(cls)["__setstate__"] is __setstate__
    assert "__setstate_cython__" in vars(cls)
    assert vars(cls)["__reduce__"].__name__ == "__reduce_cython__"
    assert "__reduce_cython__" not in vars(cls)


@pytest.mark.parametrize(
    ("namespace", "reduce_replaced"),
    [
        ({"__reduce_cython__": None, "__setstate_cython__": None}, False),
        ({"__setstate_cython__": None}, True),
    ],
    ids=["no-methods", "no-setstate"],
)
def test_setup_fails_without_the_methods(testing, namespace, reduce_replaced):
    cls = pickling_type(**namespace)
    with pytest.raises(RuntimeError) as caught:
        testing.setup_pickling(cls)
    assert str(caught.value) == f"Unable to initialize pickling for {full_name(cls)}"
    # Changes made before the failure stay.
    assert ("__reduce__" in vars(cls)) == reduce_replaced


def test_setup_fails_on_an_inherited_method(testing):
    base = pickling_type("Base")
    derived = type("Derived", (base,), {})
    with pytest.raises(KeyError):
        testing.setup_pickling(derived)
    assert vars(derived)["__reduce__"] is vars(base)["__reduce_cython__"]


def test_setup_passes_on_errors_of_set_name_and_attribute_reads(testing):
    class Hook:
        __name__ = "__reduce_cython__"

        def __set_name__(self, owner, name):
            if name == "__reduce__":
                raise ValueError("refused")

    cls = pickling_type(__reduce_cython__=Hook())
    with pytest.raises(ValueError, match="refused"):
        testing.setup_pickling(cls)

    class Meta(type):
        @property
        def __reduce_ex__(cls):
            raise LookupError("meta")

    with pytest.raises(LookupError, match="meta"):
        testing.setup_pickling(Meta("WithMeta", (), {}))


def test_setup_refuses_a_non_type(testing):
    with pytest.raises(TypeError):
        testing.setup_pickling(42)


class NameRaises:
    @property
    def __name__(self):
        raise RuntimeError("name")


class Uncomparable(str):
    def __eq__(self, other):
        raise RuntimeError("compare")

    __hash__ = str.__hash__


@pytest.mark.parametrize(
    ("target", "expected"),
    [
        (vars(CachedProperty)["__reduce__"], True),
        (type("T", (), {"__name__": "__reduce_cython__"})(), True),
        (type("T", (), {"__name__": type("S", (str,), {})("__reduce_cython__")})(), True),
        (len, False),
        (42, False),
        (NameRaises(), False),
        (type("T", (), {"__name__": Uncomparable("__reduce_cython__")})(), False),
    ],
    ids=["method", "attribute", "str-subclass", "other-name", "no-name", "name-raises",
         "comparison-raises"],
)
def test_has_function_name(testing, target, expected):
    assert testing.has_function_name(target, "__reduce_cython__") is expected


# ---- references ---------------------------------------------------------------------


def test_no_reference_leaks_in_pickling_paths():
    getter = sample_getter
    descriptor = CachedSub(getter)
    descriptor.extra = "kept"
    axis = AxisProperty(3, "doc")
    # The module's types are immortal; a subclass shows a leaked type.
    axis_sub = SlottedAxis(4, "doc")
    state = ("d", getter, "n", {"k": "v"})

    def exercise():
        for _ in range(100):
            pickle.loads(pickle.dumps(descriptor))
            pickle.loads(pickle.dumps(axis))
            pickle.loads(pickle.dumps(axis_sub))
            UNPICKLE_CACHED(CachedSub, 0xEF86259, state)
            for bad in ((CachedSub, 1, None), (CachedSub, "x", None), (AxisProperty, 0xEF86259, None),
                        (CachedProperty, 0xEF86259, state), (CachedSub, 0xEF86259, (1,)),
                        (CachedSub, 0xEF86259, [1])):
                try:
                    UNPICKLE_CACHED(*bad)
                except Exception:
                    pass
            for bad in ((1,), ("d", "x"), None, ("d", 1, RaisingTruth())):
                try:
                    AxisProperty().__setstate__(bad)
                except Exception:
                    pass

    assert_no_reference_leaks(exercise, (getter, descriptor, axis, axis_sub, state, CachedSub, SlottedAxis,
                                         UNPICKLE_CACHED))
