"""The AxisProperty descriptor: construction, reads through `_mgr.axes`,
writes through `_set_axis`, refused deletion, and the traceback entries of
every failure site."""

import abc
import ctypes
import gc
import os
import subprocess
import sys
import traceback

import pytest
from conftest import FREE_THREADED, assert_no_reference_leaks, innermost_traceback, last_entry
from hypothesis import given
from hypothesis import strategies as st

SSIZE_MIN = -sys.maxsize - 1
SSIZE_MAX = sys.maxsize
SOURCE = "tovren/_libs/properties"
INIT = "tovren._libs.properties.AxisProperty.__init__"
GET = "tovren._libs.properties.AxisProperty.__get__"
SET = "tovren._libs.properties.AxisProperty.__set__"


@pytest.fixture(scope="module")
def AxisProperty(module):
    return module.AxisProperty


class Manager:
    def __init__(self, axes):
        self.axes = axes


def make_owner(AxisProperty, axes, axis=0, **descriptors):
    """An instance of a fresh owner class with `prop` bound to AxisProperty(axis)."""

    class Owner:
        prop = AxisProperty(axis)

        def __init__(self):
            self._mgr = Manager(axes)
            self.calls = []

        def _set_axis(self, axis, value):
            self.calls.append((axis, value))
            return "ignored"

    for name, descriptor in descriptors.items():
        setattr(Owner, name, descriptor)
    return Owner()


def call_with_dict(callable_, args, kwargs):
    """Calls through PyObject_Call, so `kwargs` reaches tp_init exactly as given
    (an empty dict, or keys that the interpreter's own call syntax refuses)."""
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object] * 3
    return call(callable_, args, kwargs)


def assert_entry(exc, module, line, function, *, index=-1):
    entries = traceback.extract_tb(exc.__traceback__)
    entry = entries[index]
    assert (entry.filename, entry.lineno, entry.name) == (SOURCE, line, function)
    tb = exc.__traceback__
    for _ in range(len(entries) + index if index < 0 else index):
        tb = tb.tb_next
    assert tb.tb_frame.f_globals is module.__dict__


class StrSubclass(str):
    pass


class OwnHashStr(str):
    """Equal to its text, hashed otherwise: lookups by parameter name miss it."""

    def __hash__(self):
        return 12345


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


# ---- the type ----------------------------------------------------------------------


def test_type_shape(module, AxisProperty):
    assert AxisProperty.__module__ == "tovren._libs.properties"
    assert AxisProperty.__name__ == "AxisProperty"
    assert AxisProperty.__qualname__ == "AxisProperty"
    assert AxisProperty.__bases__ == (object,)
    assert AxisProperty.__flags__ & 0x44400 == 0x44400
    assert AxisProperty.__dictoffset__ == 0 and AxisProperty.__weakrefoffset__ == 0
    assert module.__dict__["AxisProperty"] is AxisProperty
    descriptor = AxisProperty()
    assert not hasattr(descriptor, "__dict__")
    with pytest.raises(TypeError):
        import weakref

        weakref.ref(descriptor)


def test_subclass_and_abstract_subclass(AxisProperty):
    class Sub(AxisProperty):
        pass

    assert Sub(3, "d").axis == 3

    class Abstract(AxisProperty, metaclass=type("Meta", (abc.ABCMeta,), {})):
        @abc.abstractmethod
        def needed(self): ...

    with pytest.raises(TypeError, match="abstract"):
        Abstract()


# ---- construction and argument binding ---------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, axis, doc",
    [
        ((), {}, 0, ""),
        ((1, "text"), {}, 1, "text"),
        ((), {"doc": None}, 0, None),
        ((), {"axis": -4}, -4, ""),
        ((2,), {"doc": 7}, 2, 7),
        ((), {"doc": "d", "axis": 5}, 5, "d"),
        ((), {StrSubclass("axis"): 3}, 3, ""),
        ((), {OwnHashStr("doc"): "x"}, 0, "x"),
        ((), {OwnHashStr("axis"): 3, "doc": "d"}, 3, "d"),
        ((True,), {}, 1, ""),
        ((Index(9),), {}, 9, ""),
    ],
)
def test_construction(AxisProperty, args, kwargs, axis, doc):
    descriptor = AxisProperty(*args, **kwargs)
    assert descriptor.axis == axis and type(descriptor.axis) is int
    assert descriptor.__doc__ == doc and type(descriptor.__doc__) is type(doc)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1, 2, 3), {}, "__init__() takes at most 2 positional arguments (3 given)"),
        ((1, 2, 3, 4), {}, "__init__() takes at most 2 positional arguments (4 given)"),
        # The positional count is checked before any keyword.
        ((1, 2, 3), {"doc": 4}, "__init__() takes at most 2 positional arguments (3 given)"),
        ((1, 2, 3), {"bogus": 4}, "__init__() takes at most 2 positional arguments (3 given)"),
        ((1,), {"axis": 2}, "__init__() got multiple values for keyword argument 'axis'"),
        ((1, 2), {"doc": 3}, "__init__() got multiple values for keyword argument 'doc'"),
        ((1, 2), {StrSubclass("doc"): 3},
         "__init__() got multiple values for keyword argument 'doc'"),
        ((), {"bogus": 1}, "__init__() got an unexpected keyword argument 'bogus'"),
        ((1, "d"), {"bogus": 1}, "__init__() got an unexpected keyword argument 'bogus'"),
        ((), {"axis": 1, "Axis": 2}, "__init__() got an unexpected keyword argument 'Axis'"),
        ((), {StrSubclass("nope"): 1}, "__init__() got an unexpected keyword argument 'nope'"),
        # Distinct keys, equal to one name.
        ((), {"doc": 1, OwnHashStr("doc"): 2},
         "__init__() got multiple values for keyword argument 'doc'"),
    ],
)
def test_binding_errors(module, AxisProperty, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        AxisProperty(*args, **kwargs)
    assert str(info.value) == message
    assert_entry(info.value, module, 53, INIT)


@pytest.mark.parametrize("kwargs", [{1: 2}, {"doc": 1, 2: 3}, {b"axis": 0}])
def test_non_string_keys_rejected_by_platform_check(module, AxisProperty, kwargs):
    with pytest.raises(TypeError, match="^keywords must be strings$") as info:
        call_with_dict(AxisProperty, (), kwargs)
    assert_entry(info.value, module, 53, INIT)


def test_keyword_dict_changed_while_bound(module, AxisProperty):
    class Shrinking(OwnHashStr):
        __hash__ = OwnHashStr.__hash__

        def __eq__(self, other):
            kwargs.pop("doc", None)
            return str.__eq__(self, other)

    kwargs = {Shrinking("axis"): 1, "doc": "d"}
    with pytest.raises(RuntimeError) as info:
        call_with_dict(AxisProperty, (), kwargs)
    assert str(info.value) == "__init__() keyword arguments changed during the call"
    assert_entry(info.value, module, 53, INIT)


def test_empty_keyword_dict_counts_as_none(AxisProperty):
    descriptor = call_with_dict(AxisProperty, (4, "d"), {})
    assert (descriptor.axis, descriptor.__doc__) == (4, "d")
    with pytest.raises(TypeError, match=r"takes at most 2 positional arguments \(3 given\)"):
        call_with_dict(AxisProperty, (1, 2, 3), {})


@given(st.integers(min_value=SSIZE_MIN, max_value=SSIZE_MAX))
def test_axis_round_trips_every_ssize_value(AxisProperty, axis):
    assert AxisProperty(axis).axis == axis
    assert AxisProperty(axis=Index(axis)).axis == axis


@pytest.mark.parametrize(
    "axis",
    sorted({b + d for p in (30, 31, 32, 60, 62, 63) for b in (2**p, -(2**p)) for d in (-1, 0, 1)}
           | {0, -1, 1, SSIZE_MAX, SSIZE_MIN}),
)
def test_axis_fast_path_boundaries(AxisProperty, axis):
    # Values beyond `Py_ssize_t` (2**31 and up where it is 32 bits wide) are
    # refused at construction and when a pickle's state is restored.
    if SSIZE_MIN <= axis <= SSIZE_MAX:
        restored = AxisProperty()
        restored.__setstate__((None, axis))
        assert AxisProperty(axis).axis == restored.axis == axis
        return
    descriptor = AxisProperty(7)
    for store in (AxisProperty, lambda axis: descriptor.__setstate__((None, axis))):
        with pytest.raises(OverflowError, match="^Python int too large to convert to C ssize_t$"):
            store(axis)
    assert descriptor.axis == 7


@given(st.one_of(st.integers(min_value=SSIZE_MAX + 1), st.integers(max_value=SSIZE_MIN - 1)))
def test_axis_overflow_just_outside_ssize(module, AxisProperty, axis):
    with pytest.raises(OverflowError) as info:
        AxisProperty(axis)
    assert_entry(info.value, module, 54, INIT)


@pytest.mark.parametrize("axis", [2**63, SSIZE_MIN - 1, 2**64, 1.0, 3.5, "1", b"1", None, [0],
                                  Index("0")])
def test_axis_conversion_failures(module, AxisProperty, axis):
    expected = OverflowError if isinstance(axis, int) else TypeError
    with pytest.raises(expected) as info:
        AxisProperty(axis, "doc")
    assert_entry(info.value, module, 54, INIT)


def test_index_raising_propagates(module, AxisProperty):
    class Bad:
        def __index__(self):
            raise KeyError("index")

    with pytest.raises(KeyError) as info:
        AxisProperty(Bad())
    # The entry sits between the test's frame and the raising __index__.
    assert_entry(info.value, module, 54, INIT, index=-2)
    assert traceback.extract_tb(info.value.__traceback__)[-1].name == "__index__"


@pytest.mark.parametrize(
    "args, kwargs",
    [((1, 2, 3), {}), ((), {"bogus": 1}), ((0,), {"axis": 1}), (("x",), {}), ((2**63, "new"), {}),
     ((1.5,), {"doc": "new"})],
)
def test_failed_init_leaves_fields_unchanged(AxisProperty, args, kwargs):
    doc = object()
    descriptor = AxisProperty(3, doc)
    with pytest.raises((TypeError, OverflowError)):
        descriptor.__init__(*args, **kwargs)
    assert descriptor.axis == 3 and descriptor.__doc__ is doc


def test_reinitialisation_replaces_both_fields(AxisProperty):
    descriptor = AxisProperty(3, "first")
    descriptor.__init__(-2)
    assert (descriptor.axis, descriptor.__doc__) == (-2, "")
    descriptor.__init__(doc=None)
    assert (descriptor.axis, descriptor.__doc__) == (0, None)


def test_new_without_init(AxisProperty):
    descriptor = AxisProperty.__new__(AxisProperty, 5, "ignored", extra=1)
    assert descriptor.axis == 0 and descriptor.__doc__ is None
    owner = make_owner(AxisProperty, ["first", "second"], bare=descriptor)
    assert owner.bare == "first"


def test_attributes_are_read_only(AxisProperty):
    descriptor = AxisProperty(1, "d")
    for name in ("axis", "__doc__"):
        with pytest.raises(AttributeError, match="not writable"):
            setattr(descriptor, name, 2)
        with pytest.raises(AttributeError, match="not writable"):
            delattr(descriptor, name)
    assert (descriptor.axis, descriptor.__doc__) == (1, "d")


# ---- descriptor read -----------------------------------------------------------------


def test_class_access_returns_descriptor(AxisProperty):
    owner = make_owner(AxisProperty, None)  # no lookup may happen
    descriptor = type(owner).__dict__["prop"]
    assert type(owner).prop is descriptor
    assert descriptor.__get__(None, type(owner)) is descriptor


@pytest.mark.parametrize("axis, expected", [(0, "a"), (1, "b"), (-1, "b"), (-2, "a")])
def test_read_two_axes(AxisProperty, axis, expected):
    axes = ["a", "b"]
    assert make_owner(AxisProperty, axes, axis).prop == expected
    assert axes == ["a", "b"]


@given(
    size=st.integers(min_value=0, max_value=6),
    axis=st.one_of(st.integers(min_value=-8, max_value=8),
                   st.integers(min_value=SSIZE_MIN, max_value=SSIZE_MAX)),
)
def test_read_with_one_wrap_around(module, AxisProperty, size, axis):
    axes = [object() for _ in range(size)]
    owner = make_owner(AxisProperty, axes, axis)
    if -size <= axis < size:
        assert owner.prop is axes[axis]
    else:
        with pytest.raises(IndexError, match="^list index out of range$") as info:
            owner.prop
        assert_entry(info.value, module, 66, GET)


def test_read_returns_the_stored_object(AxisProperty):
    item = object()
    axes = [item]
    owner = make_owner(AxisProperty, axes)
    before = sys.getrefcount(item)
    result = owner.prop
    assert result is item and axes == [item]
    del result
    assert sys.getrefcount(item) == before


class FreshAxesManager:
    """Builds a new list on every read, so the descriptor holds its only reference."""

    def __init__(self, items):
        self.items = items

    @property
    def axes(self):
        return list(self.items)


@pytest.mark.parametrize("axis, position", [(0, 0), (2, 2), (-1, 2), (-3, 0)])
def test_read_from_uniquely_referenced_list(AxisProperty, axis, position):
    items = [object(), object(), object()]
    owner = make_owner(AxisProperty, None, axis)
    owner._mgr = FreshAxesManager(items)
    before = sys.getrefcount(items[position])
    for _ in range(100):
        assert owner.prop is items[position]
    assert sys.getrefcount(items[position]) == before


@pytest.mark.parametrize("axis", [3, -4, SSIZE_MAX, SSIZE_MIN])
def test_read_uniquely_referenced_list_out_of_range(module, AxisProperty, axis):
    owner = make_owner(AxisProperty, None, axis)
    owner._mgr = FreshAxesManager([1, 2, 3])
    with pytest.raises(IndexError, match="^list index out of range$") as info:
        owner.prop
    assert_entry(info.value, module, 66, GET)


class ListSubclass(list):
    pass


@pytest.mark.parametrize(
    "axes, message, line",
    [
        (("a", "b"), "Expected list, got tuple", 65),
        (ListSubclass(["a"]), "Expected list, got ListSubclass", 65),
        ({0: "a"}, "Expected list, got dict", 65),
        ("ab", "Expected list, got str", 65),
        (None, "'NoneType' object is not subscriptable", 66),
    ],
)
def test_read_axes_of_wrong_type(module, AxisProperty, axes, message, line):
    owner = make_owner(AxisProperty, axes)
    with pytest.raises(TypeError) as info:
        owner.prop
    assert str(info.value) == message
    assert_entry(info.value, module, line, GET)


@pytest.mark.parametrize("missing", ["_mgr", "axes"])
def test_read_missing_attribute(module, AxisProperty, missing):
    owner = make_owner(AxisProperty, ["a"])
    if missing == "_mgr":
        del owner._mgr
    else:
        del owner._mgr.axes
    with pytest.raises(AttributeError, match=missing) as info:
        owner.prop
    assert_entry(info.value, module, 65, GET)


def test_read_lookup_raising_in_python(module, AxisProperty):
    class Manager:
        @property
        def axes(self):
            raise ValueError("no axes today")

    owner = make_owner(AxisProperty, None)
    owner._mgr = Manager()
    with pytest.raises(ValueError, match="no axes today") as info:
        owner.prop
    assert_entry(info.value, module, 65, GET, index=-2)


def test_read_is_a_data_descriptor(AxisProperty):
    owner = make_owner(AxisProperty, ["from axes"])
    owner.__dict__["prop"] = "shadow"
    assert owner.prop == "from axes"


@pytest.mark.parametrize("during", ["_mgr", "axes"])
def test_read_takes_axis_after_the_lookups(AxisProperty, during):
    # A lookup that re-initialises the descriptor decides the item read.
    descriptor = AxisProperty(0)

    class Manager:
        @property
        def axes(self):
            if during == "axes":
                descriptor.__init__(1, "replaced")
            return ["zero", "one"]

    class Owner:
        prop = descriptor

        @property
        def _mgr(self):
            if during == "_mgr":
                descriptor.__init__(1, "replaced")
            return Manager()

    assert Owner().prop == "one"
    descriptor.__init__(0)
    assert Owner().prop == "one"


def test_read_survives_release_of_manager_and_list(AxisProperty):
    # The manager drops the only other reference to its list while being read.
    class Manager:
        def __getattr__(self, name):
            items = self.__dict__.pop("items")
            return items

    owner = make_owner(AxisProperty, None, -1)
    owner._mgr = Manager()
    owner._mgr.items = ["a", "b"]
    assert owner.prop == "b"


# ---- descriptor write ----------------------------------------------------------------


@pytest.mark.parametrize("axis", [0, 3, -1, SSIZE_MAX, SSIZE_MIN])
def test_write_calls_set_axis(AxisProperty, axis):
    owner = make_owner(AxisProperty, ["a"], axis)
    value = object()
    result = type(owner).__dict__["prop"].__set__(owner, value)
    assert result is None
    assert owner.calls == [(axis, value)]
    assert type(owner.calls[0][0]) is int and owner.calls[0][1] is value


def test_write_statement_discards_result(AxisProperty):
    owner = make_owner(AxisProperty, ["x", "y", "a"], 2)
    owner.prop = "v"
    owner.prop = None
    assert owner.calls == [(2, "v"), (2, None)]
    assert owner.prop == "a"  # the descriptor changes nothing itself


def record(calls):
    def set_axis(*args):
        calls.append(args)

    return set_axis


def test_write_releases_the_axis_int(AxisProperty):
    # An axis beyond the small-int cache makes a fresh int per write.
    owner = make_owner(AxisProperty, [], 10**9)
    owner.prop = "v"
    ((number, _),) = owner.calls
    assert number == 10**9
    assert sys.getrefcount(number) == 2  # the tuple in `calls` and the local name


@pytest.mark.parametrize("kind", ["instance attribute", "staticmethod", "classmethod"])
def test_write_with_other_set_axis_callables(AxisProperty, kind):
    calls = []
    owner = make_owner(AxisProperty, [], 4)
    if kind == "instance attribute":
        owner._set_axis = record(calls)
        expected = [(4, "v")]
    elif kind == "staticmethod":
        type(owner)._set_axis = staticmethod(record(calls))
        expected = [(4, "v")]
    else:
        type(owner)._set_axis = classmethod(record(calls))
        expected = [(type(owner), 4, "v")]
    owner.prop = "v"
    assert calls == expected


def test_write_without_set_axis(module, AxisProperty):
    class Owner:
        prop = AxisProperty(1)

    with pytest.raises(AttributeError, match="_set_axis") as info:
        Owner().prop = 5
    assert_entry(info.value, module, 69, SET)


def test_write_set_axis_raising_keeps_owner_changes(module, AxisProperty):
    class Owner:
        prop = AxisProperty(1)
        changed = False

        def _set_axis(self, axis, value):
            self.changed = True
            raise RuntimeError("refused")

    owner = Owner()
    with pytest.raises(RuntimeError, match="refused") as info:
        owner.prop = 5
    assert owner.changed
    assert_entry(info.value, module, 69, SET, index=-2)
    assert traceback.extract_tb(info.value.__traceback__)[-1].name == "_set_axis"


@pytest.mark.parametrize("call_wrapper", [False, True])
def test_delete_is_refused_without_entry(AxisProperty, call_wrapper):
    owner = make_owner(AxisProperty, ["a"])
    with pytest.raises(NotImplementedError) as info:
        if call_wrapper:
            type(owner).__dict__["prop"].__delete__(owner)
        else:
            del owner.prop
    assert info.value.args == ("__delete__",)
    assert last_entry(info.value)[2] == "test_delete_is_refused_without_entry"
    assert owner.calls == [] and owner.prop == "a"


# ---- traceback entries -----------------------------------------------------------------


def test_every_failure_site_entry(module, AxisProperty):
    """One row per failure site reachable from Python: (file, line, name) of
    the innermost entry and the module dict as the entry frame's globals."""

    class NoManager:
        prop = AxisProperty()

    class NoSetAxis:
        prop = AxisProperty()

    def raised(action):
        try:
            action()
        except Exception as exc:  # noqa: BLE001 - any failure is inspected below
            return exc
        raise AssertionError("no failure")

    def assign(owner):
        owner.prop = 1

    sites = [
        (lambda: AxisProperty(1, 2, 3), 53, INIT),
        (lambda: AxisProperty("x"), 54, INIT),
        (lambda: NoManager().prop, 65, GET),
        (lambda: make_owner(AxisProperty, (1,)).prop, 65, GET),
        (lambda: make_owner(AxisProperty, None).prop, 66, GET),
        (lambda: make_owner(AxisProperty, [], 0).prop, 66, GET),
        (lambda: assign(NoSetAxis()), 69, SET),
    ]
    for action, line, function in sites:
        exc = raised(action)
        assert last_entry(exc) == (SOURCE, line, function)
        assert innermost_traceback(exc).tb_frame.f_globals is module.__dict__


# ---- ownership ---------------------------------------------------------------------------


def test_no_reference_leaks(AxisProperty):
    item, value, doc = object(), object(), object()
    axes = [item, "other"]
    owner = make_owner(AxisProperty, axes, -2)
    manager = owner._mgr
    descriptor = type(owner).__dict__["prop"]
    bad_owner = make_owner(AxisProperty, (item,))
    bad_owner._mgr = Manager((item,))
    far_owner = make_owner(AxisProperty, axes, 5)

    class Refusing:
        prop = AxisProperty()

        def _set_axis(self, axis, value):
            raise ValueError

    refusing = Refusing()
    tracked = (item, value, doc, axes, owner, manager, descriptor, refusing)

    def exercise():
        assert owner.prop is item
        owner.prop = value
        owner.calls.clear()
        for failing, error in ((bad_owner, TypeError), (far_owner, IndexError)):
            with pytest.raises(error):
                failing.prop
        with pytest.raises(ValueError):
            refusing.prop = value
        fresh = AxisProperty(1, doc)
        fresh.__init__(2, doc)
        with pytest.raises(TypeError):
            fresh.__init__("bad", doc)
        with pytest.raises(TypeError):
            fresh.__init__(1, doc, 3)
        assert fresh.__doc__ is doc

    def repeat():
        for _ in range(500):
            exercise()

    assert_no_reference_leaks(repeat, tracked)


def test_gc_traverses_doc(AxisProperty):
    doc = object()
    assert gc.get_referents(AxisProperty(0, doc)) == [doc]
    assert gc.get_referents(AxisProperty.__new__(AxisProperty)) == [None]


def test_cycle_through_descriptors_is_collected(AxisProperty):
    # a -> b -> tuple -> a: tuples cannot break a cycle, so only the
    # descriptors' clear can. The leaf hangs off the cycle; its count drops
    # once the cycle is actually freed (finalisers alone would not do that).
    leaf = object()
    a = AxisProperty(0, None)
    b = AxisProperty(1, (a, leaf))
    a.__init__(2, b)
    held = sys.getrefcount(leaf)
    del a, b
    gc.collect()
    assert sys.getrefcount(leaf) == held - 1


RESIZE_RACE = """
import sys, threading
from tovren._libs.properties import AxisProperty

class Manager:
    def __init__(self):
        self.axes = ["index", "columns"]

class Owner:
    last = AxisProperty(-1)
    first = AxisProperty(-2)
    def __init__(self):
        self._mgr = Manager()

owner = Owner()
axes = owner._mgr.axes
writers, readers, rounds = 2, 2, 300000
start = threading.Barrier(writers + readers)
failures = []

def write(token):
    start.wait()
    for _ in range(rounds):
        axes.append(token)
        axes.pop()

def read():
    start.wait()
    for _ in range(rounds):
        try:
            last, first = owner.last, owner.first
        except IndexError as error:
            failures.append(repr(error))
            return
        # Each writer adds one item at a time, so the list never holds more
        # than 2 + writers items: [-2] is 'index', 'columns' or a token.
        if last not in ("columns", "w0", "w1") or first not in ("index", "columns", "w0", "w1"):
            failures.append(f"read {first!r}, {last!r}")
            return

threads = [threading.Thread(target=write, args=(f"w{i}",)) for i in range(writers)]
threads += [threading.Thread(target=read) for _ in range(readers)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
print(sys._is_gil_enabled(), failures[:3])
"""


@pytest.mark.skipif(not FREE_THREADED,
                    reason="the race needs a free-threaded (3.14t) interpreter running without the GIL")
def test_negative_axis_read_survives_concurrent_resizes():
    """With the GIL off, other threads appending to and popping from the axes
    list never fail (or misdirect) a negative-index read that was valid at
    every moment."""
    env = dict(os.environ, PYTHON_GIL="0")
    result = subprocess.run([sys.executable, "-c", RESIZE_RACE], capture_output=True, text=True,
                            timeout=600, env=env)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "False []\n", result.stdout
