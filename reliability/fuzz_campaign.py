"""Hostile-input campaign against tovren._libs.properties.

    python reliability/fuzz_campaign.py [--cases N] [--seed S] [--family NAME ...]
    python reliability/fuzz_campaign.py --seed S --case K     # replay one case
    python reliability/fuzz_campaign.py --seed S --case K --pure-python
                                                  # the same without the module

Every case is drawn from its own generator, seeded with (seed, case number),
so any case can be replayed alone. The cases run in child processes, a batch
of them (`--batch`) per child: a crash (a signal, an abort of a debug
interpreter, a sanitizer report that stops the process) or a hang ends the
child, this parent counts the case that was running as crashed, with the
seed and a command that replays it, and the run goes on in a new child. A
child that crashes after a case ended (between cases, or at its exit) has
the crash put on that case, never on one it did not begin. A crashed case is
run again alone; should it not crash alone, the report names the shortest
run of cases before it that still crashes (found by bisection). That replay
is then run once more with plain-Python stand-ins of the module's
descriptors and reconstructors (reliability/pure_python_properties.py; the
module is never loaded). The crash is the interpreter's only when the
replay dies the same way at the same place: the same signal (or exit
status), and in the same case, at the child's exit after the same last
case, or both at start-up. It is then reported as such with its replay and
counted apart from the module's crashes (never as a pass). Anything else
(no crash, another signal, a crash in another case or elsewhere in the
child, a hang) leaves the crash the module's; a crash between two cases of
a batch has no counterpart in a replay that ends at its case, so it stays
the module's too. Both outcomes are printed either way.
Inside the child a case passes when each operation ends in a value or an
ordinary Python exception (never SystemError, which the interpreter raises
when a C function breaks the error protocol) and the value is one the case
allows:

- construction binds arguments as documented, converts `axis` exactly, and
  stores what it was given;
- `__setstate_cython__`, the reconstructors and pickling restore exactly the
  state they were given;
- a `CachedProperty` read returns the descriptor itself, a value that one of
  the case's getters returned for that very instance, or a value the case
  itself planted in that instance's `_cache`, whatever the owner's
  `__getattr__`/`__setattr__`, the cache keys' `__eq__`/`__hash__` and the
  getters do meanwhile (mutate or clear the cache, delete `_cache`,
  re-initialise the descriptor);
- an `AxisProperty` read returns the item that `_mgr.axes` held at the
  position given by the descriptor's `axis` after the lookups (when the list
  was handed over), and an assignment calls `_set_axis(axis, value)` exactly
  once;
- owner shapes (reliability/fuzz_owner_shapes.py): owner classes composed at
  random, whose `_cache`, `_mgr` and `axes` lookups may lead back into the
  module's descriptors; a loop ends in RecursionError, and a read through a
  module descriptor returns a value of the case.

Exit status: 0 when every case passed, 1 when a case failed, 2 when a case
crashed the module or hung, 3 when the only crashes were the interpreter's.
"""

from __future__ import annotations

import argparse
import atexit
import concurrent.futures
import copy
import faulthandler
import gc
import operator
import os
import pickle
import random
import signal
import subprocess
import sys
import threading
import time
import traceback
import warnings

import fuzz_owner_shapes

FAMILIES = {}


def family(function):
    FAMILIES[function.__name__] = function
    return function


class CampaignFailure(AssertionError):
    """An invariant of the module did not hold."""


class Hostile(Exception):
    """Raised by the campaign's own hostile callbacks."""


# The range of Py_ssize_t, which an axis must fit: 64 or 32 bits wide.
SSIZE_MIN, SSIZE_MAX = -sys.maxsize - 1, sys.maxsize
CACHED_CHECKSUMS = (0xEF86259, 0xE8B19C1, 0xD67B376)
AXIS_CHECKSUMS = (0xD2E4E33, 0xD654B7D, 0xDC8CCE6)


def attempt(operation):
    """(True, value) or (False, exception) for an ordinary exception."""
    try:
        return True, operation()
    except SystemError as error:
        raise CampaignFailure(f"SystemError (broken error protocol): {error!r}") from error
    except CampaignFailure:
        raise
    except Exception as error:  # noqa: BLE001 - every ordinary exception is an allowed outcome
        return False, error


def check(condition, message):
    if not condition:
        raise CampaignFailure(message() if callable(message) else message)


def expect_error(outcome, types, what):
    ok, result = outcome
    check(not ok, lambda: f"{what}: succeeded with {result!r}, expected {types}")
    check(isinstance(result, types), lambda: f"{what}: raised {result!r}, expected {types}")


# ---- hostile objects -------------------------------------------------------------


class StrSubclass(str):
    pass


class IntSubclass(int):
    pass


class TupleSubclass(tuple):
    pass


class ListSubclass(list):
    pass


class DictSubclass(dict):
    pass


class HostileIndex:
    """An `__index__` that returns something random, raises, or mutates."""

    def __init__(self, rng, victims=()):
        self.rng = random.Random(rng.random())
        self.victims = victims

    def __index__(self):
        choice = self.rng.randrange(8)
        for victim in self.victims:
            if isinstance(victim, list) and victim and self.rng.random() < 0.5:
                del victim[self.rng.randrange(len(victim)) :]
        if choice == 0:
            raise Hostile("__index__")
        if choice == 1:
            return 3.5  # not an int: TypeError
        if choice == 2:
            return IntSubclass(self.rng.randrange(-5, 5))
        if choice == 3:
            return 2**70
        return self.rng.randrange(-10, 10)


class HostileInt:
    """An `__int__` for checksums: valid, wrong, an int subclass, junk, or raising."""

    def __init__(self, rng, valid):
        self.choice = rng.randrange(6)
        self.valid = valid

    def __int__(self):
        if self.choice == 0:
            return self.valid
        if self.choice == 1:
            return IntSubclass(self.valid)  # DeprecationWarning
        if self.choice == 2:
            return True
        if self.choice == 3:
            return "12"
        if self.choice == 4:
            raise Hostile("__int__")
        return 2**40


class HostileBool:
    def __init__(self, rng):
        self.choice = rng.randrange(3)

    def __bool__(self):
        if self.choice == 0:
            raise Hostile("__bool__")
        return self.choice == 1


class UpdateRaises(dict):
    def update(self, *args, **kwargs):
        raise Hostile("update")


class HostileInstanceDict(dict):
    """An instance dictionary (a dict subclass, so restore calls its
    `update`) whose update raises, restores the state again, or clears
    itself."""

    def __init__(self, rng, owner, state):
        super().__init__()
        self.choice = rng.randrange(3)
        self.owner = owner
        self.state = state
        self.depth = 0

    def update(self, *args, **kwargs):
        if self.choice == 0:
            raise Hostile("update")
        if self.choice == 1 and self.depth < 2:
            self.depth += 1
            self.owner.__setstate_cython__(self.state)
        self.clear()


class NamedCallable:
    """A getter whose `__name__` and `__doc__` can be anything."""

    def __init__(self, name, doc=None, result=None):
        self.__name__ = name
        if doc is not None:
            self.__doc__ = doc
        self.result = result

    def __call__(self, instance):
        return self.result


class NameRaises:
    def __init__(self, error):
        self.error = error

    @property
    def __name__(self):
        raise self.error


class DocRaises:
    __name__ = "doc_raises"

    def __init__(self, error):
        self.error = error

    @property
    def __doc__(self):
        raise self.error

    def __call__(self, instance):
        return None


def module_level_getter(instance):
    """A picklable getter."""
    return 1


PICKLABLE = [None, 0, 1, -7, 2**65, "text", "", b"bytes", (1, "a"), module_level_getter, len, 3.25]


def random_object(rng, depth=0):
    choice = rng.randrange(24)
    if choice == 0:
        return None
    if choice == 1:
        return rng.choice([0, 1, -1, 7, 2**30, 2**60, 2**63 - 1, 2**63, -(2**63), -(2**63) - 1, 2**64])
    if choice == 2:
        return rng.choice([True, False])
    if choice == 3:
        return rng.choice([0.0, 3.7, -1.5, float("nan")])
    if choice == 4:
        return rng.choice(["", "x", "fget", "axis", "doc", "__pyx_state", "\u00e9\u0101"])
    if choice == 5:
        return StrSubclass(rng.choice(["fget", "axis", "doc", "name"]))
    if choice == 6:
        return IntSubclass(rng.randrange(-3, 3))
    if choice == 7:
        return HostileIndex(rng)
    if choice == 8:
        return [] if depth else [random_object(rng, depth + 1) for _ in range(rng.randrange(3))]
    if choice == 9:
        return () if depth else tuple(random_object(rng, depth + 1) for _ in range(rng.randrange(4)))
    if choice == 10:
        return {} if depth else {"k": random_object(rng, depth + 1)}
    if choice == 11:
        return module_level_getter
    if choice == 12:
        return len
    if choice == 13:
        return lambda instance: instance
    if choice == 14:
        return NamedCallable(rng.choice(["a", StrSubclass("b"), 5, None, [1], ("t",)]))
    if choice == 15:
        return NameRaises(rng.choice([AttributeError("no name"), Hostile("name")]))
    if choice == 16:
        return DocRaises(rng.choice([AttributeError("no doc"), Hostile("doc")]))
    if choice == 17:
        return HostileBool(rng)
    if choice == 18:
        return object()
    if choice == 19:
        return int
    if choice == 20:
        return TupleSubclass((1, 2, 3))
    if choice == 21:
        return DictSubclass(a=1)
    if choice == 22:
        return b"\x00\xff"
    return HostileInt(rng, rng.choice(CACHED_CHECKSUMS + AXIS_CHECKSUMS))


def random_kwargs(rng, names, depth_object=random_object):
    kwargs = {}
    for _ in range(rng.choice([0, 0, 0, 1, 1, 2, 3])):
        name = rng.choice(list(names) + ["bogus", "Fget", "__pyx_result"])
        if rng.random() < 0.2:
            name = StrSubclass(name)
        kwargs[name] = depth_object(rng)
    return kwargs


# ---- construction ------------------------------------------------------------------


def cached_binding_ok(args, kwargs):
    if not kwargs:
        return len(args) == 1
    if len(args) == 1:
        return False
    return len(args) == 0 and list(kwargs) == ["fget"]


def check_cached_init(m, descriptor, outcome, args, kwargs, before):
    """Checks a CachedProperty initialisation against the binding rules."""
    ok, result = outcome
    if not cached_binding_ok(args, kwargs):
        expect_error(outcome, TypeError, f"CachedProperty binding of {args!r} {kwargs!r}")
        check(
            (descriptor.fget, descriptor.name, doc_of(descriptor)) == before
            or before is None,
            "a failed binding changed the fields",
        )
        return
    fget = args[0] if args else kwargs["fget"]
    if not ok:
        check(isinstance(result, (AttributeError, Hostile, TypeError)), lambda: f"init raised {result!r}")
        check(descriptor.fget is fget, "fget is stored before __name__ is read")
        return
    check(descriptor.fget is fget, "fget not stored")
    name_ok, name = attempt(lambda: fget.__name__)
    check(name_ok, "init succeeded though __name__ raises")
    check(descriptor.name == name or descriptor.name is name, "name is not the getter's __name__")
    doc_ok, doc = attempt(lambda: fget.__doc__)
    if doc_ok:
        check(doc_of(descriptor) is doc or doc_of(descriptor) == doc, "__doc__ is not the getter's")
    else:
        check(isinstance(doc, AttributeError) and doc_of(descriptor) is None, "missing __doc__ is not None")


@family
def cached_property_construction(rng, m):
    args = tuple(random_object(rng) for _ in range(rng.choice([0, 1, 1, 1, 1, 2, 3])))
    kwargs = random_kwargs(rng, ["fget"])
    cls = rng.choice([m.CachedProperty, m.cache_readonly, CachedSubclass(m)])
    descriptor = cls.__new__(cls)
    check((descriptor.fget, descriptor.name, doc_of(descriptor)) == (None, None, None), "__new__ fields not None")
    outcome = attempt(lambda: descriptor.__init__(*args, **kwargs))
    check_cached_init(m, descriptor, outcome, args, kwargs, (None, None, None))
    # Initialise again, live: the fields are replaced in order.
    args2 = tuple(random_object(rng) for _ in range(rng.choice([0, 1, 1, 2])))
    kwargs2 = random_kwargs(rng, ["fget"])
    before = (descriptor.fget, descriptor.name, doc_of(descriptor))
    outcome = attempt(lambda: descriptor.__init__(*args2, **kwargs2))
    check_cached_init(m, descriptor, outcome, args2, kwargs2, before)
    # Through the type call as well.
    outcome = attempt(lambda: cls(*args, **kwargs))
    if outcome[0]:
        check(type(outcome[1]) is cls and cached_binding_ok(args, kwargs), "type call result")


def define_subclasses(m):
    """Python subclasses of both types, bound in this module so that pickle
    finds them by name: one without an instance dictionary, one with."""
    for name, base, namespace in (
        ("CachedSub", m.CachedProperty, {"__slots__": ()}),
        ("AxisSub", m.AxisProperty, {"__slots__": ()}),
        ("CachedWithDict", m.CachedProperty, {}),
        ("AxisWithDict", m.AxisProperty, {}),
    ):
        cls = type(name, (base,), dict(namespace, __module__=__name__))
        globals()[name] = cls


def CachedSubclass(m):
    return globals()["CachedSub"]


def AxisSubclass(m):
    return globals()["AxisSub"]


def expected_axis(value):
    """The converted axis, an exception type, or None when `value` decides at run time."""
    if isinstance(value, int):
        return int(value) if SSIZE_MIN <= value <= SSIZE_MAX else OverflowError
    if isinstance(value, HostileIndex):
        return None
    if hasattr(type(value), "__index__"):
        return None
    return TypeError


@family
def axis_property_construction(rng, m):
    args = tuple(random_object(rng) for _ in range(rng.choice([0, 0, 1, 1, 2, 2, 3])))
    kwargs = random_kwargs(rng, ["axis", "doc"])
    cls = rng.choice([m.AxisProperty, AxisSubclass(m)])
    descriptor = cls.__new__(cls)
    check((descriptor.axis, doc_of(descriptor)) == (0, None), "__new__ fields")
    if rng.random() < 0.5:
        descriptor.__init__(rng.randrange(-3, 3), "before")
    before = (descriptor.axis, doc_of(descriptor))
    outcome = attempt(lambda: descriptor.__init__(*args, **kwargs))
    ok, result = outcome
    names = ["axis", "doc"]
    bound = dict(zip(names, args))
    binding_ok = len(args) <= 2 and all(
        isinstance(key, str) and key in names and key not in bound for key in kwargs
    ) and len({str(key) for key in kwargs}) == len(kwargs)
    if binding_ok:
        bound.update((str(key), value) for key, value in kwargs.items())
    if not binding_ok:
        expect_error(outcome, TypeError, f"AxisProperty binding of {args!r} {kwargs!r}")
    else:
        expected = expected_axis(bound.get("axis", 0))
        if isinstance(expected, int):
            check(ok, lambda: f"AxisProperty({args!r}, {kwargs!r}) raised {result!r}")
        elif expected is not None:
            expect_error(outcome, expected, f"axis conversion of {bound['axis']!r}")
        if ok:
            if isinstance(expected, int):
                check(descriptor.axis == expected, "axis value")
            check(SSIZE_MIN <= descriptor.axis <= SSIZE_MAX, "axis out of range")
            check(doc_of(descriptor) is bound.get("doc", doc_of(descriptor)), "doc not stored")
            if "doc" not in bound:
                check(doc_of(descriptor) == "", "default doc is not the empty string")
    if not ok:
        check((descriptor.axis, doc_of(descriptor)) == before, "a failed __init__ changed the fields")


# ---- pickling ----------------------------------------------------------------------


def random_state(rng, fields):
    shape = rng.randrange(12)
    if shape == 0:
        return None
    if shape == 1:
        return [random_object(rng) for _ in range(fields)]
    if shape == 2:
        return TupleSubclass(random_object(rng) for _ in range(fields))
    if shape == 3:
        return random_object(rng)
    length = rng.choice([0, 1, fields - 1, fields, fields, fields, fields + 1, fields + 1, fields + 2])
    items = [random_object(rng) for _ in range(length)]
    if fields == 2 and length >= 2 and rng.random() < 0.7:
        items[1] = rng.choice([0, 1, -1, 5, 2**63 - 1, -(2**63), 2**63, True, IntSubclass(2), HostileIndex(rng)])
    if length > fields:
        items[fields] = rng.choice(
            [{}, None, {"a": 1}, DictSubclass(b=2), UpdateRaises(c=3), HostileBool(rng), [1], 0, [], "s"]
        )
    return tuple(items)


def doc_of(descriptor):
    """The descriptor's `__doc__` field. Read through the base type's getset:
    a Python subclass carries a class attribute `__doc__` of its own (None)
    that ordinary attribute access finds first."""
    for base in type(descriptor).__mro__:
        getset = base.__dict__.get("__doc__")
        # A property in the plain-Python stand-ins of the replays.
        if hasattr(getset, "__get__") and (type(getset).__name__ == "getset_descriptor"
                                           or type(getset) is property):
            return getset.__get__(descriptor)
    raise CampaignFailure("no __doc__ field")


def check_restored(descriptor, state, cached):
    if cached:
        check(doc_of(descriptor) is state[0], "__doc__ not restored from item 0")
        check(descriptor.fget is state[1], "fget not restored from item 1")
        check(descriptor.name is state[2], "name not restored from item 2")
    else:
        check(doc_of(descriptor) is state[0], "__doc__ not restored from item 0")
        value = state[1]
        if isinstance(value, int):
            check(descriptor.axis == value, "axis not restored from item 1")


def setstate_expectation(descriptor, state, fields):
    """True (must succeed), an exception type (must fail), or None (depends)."""
    if state is None or type(state) is not tuple:
        return TypeError
    if len(state) < fields:
        return IndexError
    if fields == 2:
        expected = expected_axis(state[1])
        if expected is None:
            return None
        if not isinstance(expected, int):
            return expected
    if len(state) > fields:
        extra = state[fields]
        if isinstance(extra, (HostileBool, UpdateRaises)):
            return None
        if extra and not hasattr(descriptor, "__dict__"):
            return AttributeError
        if extra and not isinstance(extra, dict):
            return None  # dict.update of a list or a string
    return True


def subclass_with_dict(m, cached):
    return globals()["CachedWithDict" if cached else "AxisWithDict"]


@family
def set_state(rng, m):
    cached = rng.random() < 0.5
    fields = 3 if cached else 2
    base = m.CachedProperty if cached else m.AxisProperty
    cls = rng.choice([base, subclass_with_dict(m, cached)])
    descriptor = cls.__new__(cls)
    state = random_state(rng, fields)
    method = rng.choice(["__setstate_cython__", "__setstate__"])
    hostile_dict = hasattr(descriptor, "__dict__") and rng.random() < 0.2
    if hostile_dict:
        descriptor.__dict__ = HostileInstanceDict(rng, descriptor, state)
    call = rng.randrange(5)
    if call == 0:
        outcome = attempt(lambda: getattr(descriptor, method)())
        return expect_error(outcome, TypeError, "__setstate_cython__ without arguments")
    if call == 1:
        outcome = attempt(lambda: getattr(descriptor, method)(state, state))
        return expect_error(outcome, TypeError, "__setstate_cython__ with two arguments")
    if call == 2:
        outcome = attempt(lambda: getattr(descriptor, method)(**{rng.choice(["__pyx_state", "state"]): state}))
    else:
        outcome = attempt(lambda: getattr(descriptor, method)(state))
    expectation = setstate_expectation(descriptor, state, fields)
    ok, result = outcome
    if call == 2 and not ok and isinstance(result, TypeError) and "keyword" in str(result):
        return
    if hostile_dict and expectation is True and len(state) > fields and state[fields]:
        expectation = None  # the update may raise
    if expectation is True:
        check(ok, lambda: f"{method}({state!r}) raised {result!r}")
    elif expectation is not None:
        expect_error(outcome, expectation, f"{method}({state!r})")
    if ok:
        check(result is None, "__setstate_cython__ returned something else than None")
        check_restored(descriptor, state, cached)
        if len(state) > fields and state[fields] and hasattr(descriptor, "__dict__") and not hostile_dict:
            for key, value in dict(state[fields]).items():
                check(descriptor.__dict__.get(key) is value, "instance dict not merged")


@family
def reconstructors(rng, m):
    cached = rng.random() < 0.5
    function = m.__pyx_unpickle_CachedProperty if cached else m.__pyx_unpickle_AxisProperty
    valid = CACHED_CHECKSUMS if cached else AXIS_CHECKSUMS
    other = AXIS_CHECKSUMS if cached else CACHED_CHECKSUMS
    fields = 3 if cached else 2
    base = m.CachedProperty if cached else m.AxisProperty
    cls = rng.choice([base, base, subclass_with_dict(m, cached), m.AxisProperty if cached else m.CachedProperty,
                      int, object, None, "CachedProperty"])
    checksum = rng.choice(
        list(valid) * 3 + [other[0], 1, 0, -1, 2**31, 2**63, IntSubclass(valid[0]), True, 3.7, "x", None,
                           HostileInt(rng, valid[0])]
    )
    state = random_state(rng, fields) if rng.random() < 0.7 else None
    shape = rng.randrange(6)
    if shape == 0:
        call = lambda: function(cls, checksum, state)  # noqa: E731
    elif shape == 1:
        call = lambda: function(cls, checksum, __pyx_state=state)  # noqa: E731
    elif shape == 2:
        call = lambda: function(__pyx_type=cls, __pyx_checksum=checksum, __pyx_state=state)  # noqa: E731
    elif shape == 3:
        call = lambda: function(cls, __pyx_state=state)  # noqa: E731
    elif shape == 4:
        call = lambda: function(cls, checksum, state, __pyx_type=cls)  # noqa: E731
    else:
        call = lambda: function(*[cls, checksum, state][: rng.randrange(5)])  # noqa: E731
    with warnings.catch_warnings():
        warnings.simplefilter(rng.choice(["ignore", "error"]))
        outcome = attempt(call)
    ok, result = outcome
    if shape in (3, 4):
        return expect_error(outcome, TypeError, "reconstructor binding")
    state_ok = state is None or type(state) is tuple
    if shape < 3 and type(checksum) is int and checksum not in valid and state_ok:
        # Outside 32 bits the checksum may be refused by the conversion already.
        wide = not -(2**31) <= checksum < 2**31
        expect_error(outcome, (pickle.PickleError, OverflowError) if wide else pickle.PickleError,
                     f"checksum {checksum:#x}")
    if shape < 3 and not state_ok and isinstance(checksum, int) and -(2**31) <= checksum < 2**31:
        expect_error(outcome, TypeError, f"state of type {type(state).__name__}")
    if not ok:
        return
    check(isinstance(cls, type) and issubclass(cls, base), lambda: f"rebuilt a {cls!r}")
    check(type(result) is cls, "the rebuilt object has another type")
    number = checksum if type(checksum) is int or isinstance(checksum, int) else None
    if number is not None:
        check(int(number) in valid, lambda: f"checksum {checksum!r} accepted")
    if state is None:
        if cached:
            check((result.fget, result.name, doc_of(result)) == (None, None, None), "blank object")
        else:
            check((result.axis, doc_of(result)) == (0, None), "blank object")
    else:
        check(type(state) is tuple, "a state that is not a tuple was accepted")
        check_restored(result, state, cached)


def random_picklable_descriptor(rng, m):
    cached = rng.random() < 0.5
    cls = rng.choice([m.CachedProperty if cached else m.AxisProperty, subclass_with_dict(m, cached)])
    descriptor = cls.__new__(cls)
    if cached:
        state = tuple(rng.choice(PICKLABLE) for _ in range(3))
    else:
        state = (rng.choice(PICKLABLE), rng.choice([0, 1, -1, 7, SSIZE_MAX, SSIZE_MIN]))
    if hasattr(descriptor, "__dict__") and rng.random() < 0.5:
        state += ({"extra": rng.choice(PICKLABLE)},)
    descriptor.__setstate_cython__(state)
    return descriptor, cached


def fields_of(descriptor, cached):
    extra = dict(getattr(descriptor, "__dict__", {}))
    if cached:
        return (doc_of(descriptor), descriptor.fget, descriptor.name, extra)
    return (doc_of(descriptor), descriptor.axis, extra)


@family
def pickling_round_trip(rng, m):
    descriptor, cached = random_picklable_descriptor(rng, m)
    reduced = descriptor.__reduce_cython__()
    check(reduced == descriptor.__reduce__(), "__reduce__ and __reduce_cython__ differ")
    function = m.__pyx_unpickle_CachedProperty if cached else m.__pyx_unpickle_AxisProperty
    check(reduced[0] is function, "reduce names another reconstructor")
    check(reduced[1][0] is type(descriptor), "reduce names another type")
    check(reduced[1][1] == (CACHED_CHECKSUMS if cached else AXIS_CHECKSUMS)[0], "checksum written")
    how = rng.randrange(4)
    if how == 0:
        copied = pickle.loads(pickle.dumps(descriptor, protocol=rng.randrange(pickle.HIGHEST_PROTOCOL + 1)))
    elif how == 1:
        copied = copy.copy(descriptor)
    elif how == 2:
        copied = copy.deepcopy(descriptor)
    else:
        rebuilt = function(*reduced[1])
        if len(reduced) == 3:
            rebuilt.__setstate__(reduced[2])
        copied = rebuilt
    check(type(copied) is type(descriptor), "round trip changed the type")
    check(fields_of(copied, cached) == fields_of(descriptor, cached), "round trip changed the fields")
    # Reduce after the reconstructor binding was removed from the namespace.
    if rng.random() < 0.05:
        name = function.__name__
        saved = m.__dict__.pop(name)
        try:
            expect_error(attempt(descriptor.__reduce_cython__), NameError, "reduce without a reconstructor")
        finally:
            setattr(m, name, saved)


# ---- CachedProperty reads against hostile owners -------------------------------------


class Token:
    """A value a getter returned: it knows the instance it was made for."""

    __slots__ = ("owner", "getter")

    def __init__(self, owner, getter):
        self.owner = owner
        self.getter = getter


class Planted:
    """A value the case put into an instance's `_cache` itself."""

    __slots__ = ("owner",)

    def __init__(self, owner):
        self.owner = owner


class HostileKey:
    """A cache key whose hash collides with `target` and whose `__eq__` acts."""

    def __init__(self, case, target, action, answer):
        self.case = case
        self.hash = hash(target) if target is not None else 42
        self.action = action
        self.answer = answer

    def __hash__(self):
        if self.action == "raise-in-hash" and self.case.rng.random() < 0.5:
            raise Hostile("__hash__")
        return self.hash

    def __eq__(self, other):
        # A dict lookup starts again whenever a comparison changed the dict;
        # keys that changed it on every comparison would keep it looping
        # forever (in CPython's dict, whoever calls it). The case's budget
        # of such changes keeps every lookup finite.
        if self.case.hostile_budget > 0:
            self.case.hostile_budget -= 1
            self.case.act(self.action)
        if self.answer == "raise":
            raise Hostile("__eq__")
        if self.answer == "notimplemented":
            return NotImplemented
        return self.answer == "true"


class CachedCase:
    """One owner class with CachedProperty descriptors and hostile behaviour."""

    ACTIONS = ["none", "clear", "delete-cache", "none-cache", "replace-cache", "reinit", "reinit-other-name",
               "plant", "raise", "collect", "pop-key"]

    def __init__(self, rng, m):
        self.rng = rng
        self.m = m
        self.hostile_budget = 40
        self.instances = []
        self.reentry = 0
        self.descriptors = []
        self.cache_mode = rng.choice(["absent", "absent", "none", "dict", "dict-subclass", "not-dict"])
        self.setattr_mode = rng.choice(["plain"] * 5 + ["attribute-error", "hostile", "replace", "slots"])
        self.getattr_mode = rng.choice(["plain"] * 5 + ["attribute-error", "hostile", "junk"])
        case = self

        namespace = {}
        if self.setattr_mode == "slots":
            namespace["__slots__"] = ("other",)
        else:

            def __setattr__(instance, name, value):
                if name == "_cache":
                    mode = case.setattr_mode
                    if mode == "attribute-error":
                        raise AttributeError("no _cache here")
                    if mode == "hostile":
                        raise Hostile("__setattr__")
                    if mode == "replace" and case.rng.random() < 0.5:
                        value = case.fresh_cache(instance)
                object.__setattr__(instance, name, value)

            namespace["__setattr__"] = __setattr__

            if self.getattr_mode != "plain":

                def __getattr__(instance, name):
                    if name != "_cache":
                        raise AttributeError(name)
                    mode = case.getattr_mode
                    if mode == "attribute-error":
                        raise AttributeError(name)
                    if mode == "hostile":
                        raise Hostile("__getattr__")
                    return case.rng.choice([None, [], 5, "text"])

                namespace["__getattr__"] = __getattr__

        for index in range(rng.choice([1, 1, 2, 3])):
            name = self.random_key(index)
            getter = self.make_getter(name)
            descriptor = (m.CachedProperty if rng.random() < 0.8 else CachedSubclass(m))(getter)
            self.descriptors.append(descriptor)
            namespace[f"attr{index}"] = descriptor
        self.owner_class = type("HostileOwner", (), namespace)

    def random_key(self, index):
        choice = self.rng.randrange(10)
        if choice < 6:
            return f"key{index}" if self.rng.random() < 0.7 else "shared"
        if choice == 6:
            return StrSubclass(f"key{index}")
        if choice == 7:
            return HostileKey(self, None, self.rng.choice(self.ACTIONS), self.rng.choice(["true", "false", "raise"]))
        if choice == 8:
            return [index]  # unhashable
        return index

    def make_getter(self, name):
        case = self
        action = self.rng.choice(self.ACTIONS + ["return"] * 6 + ["recurse"])

        def compute(instance):
            if action == "recurse" and case.reentry < 3:
                case.reentry += 1
                try:
                    case.read(instance, case.rng.randrange(len(case.descriptors)))
                finally:
                    case.reentry -= 1
            else:
                case.act(action, instance)
            return Token(instance, compute)

        if type(name) is str:
            compute.__name__ = name
            return compute
        return CallableWithName(name, compute)

    def fresh_cache(self, instance):
        mode = self.cache_mode
        if mode == "dict-subclass":
            cache = DictSubclass()
        elif mode == "not-dict":
            return self.rng.choice([[], (), 0, "text"])
        else:
            cache = {}
        if self.rng.random() < 0.4:
            self.plant(cache, instance)
        return cache

    def plant(self, cache, instance):
        """Puts a planted value or a colliding hostile key into `cache`."""
        descriptor = self.rng.choice(self.descriptors)
        key = descriptor.name
        if self.rng.random() < 0.5:
            attempt(lambda: cache.__setitem__(key, Planted(instance)))
        else:
            hostile = HostileKey(self, key if is_hashable(key) else None, self.rng.choice(self.ACTIONS),
                                 self.rng.choice(["true", "false", "raise", "notimplemented"]))
            attempt(lambda: cache.__setitem__(hostile, Planted(instance)))

    def act(self, action, instance=None):
        if instance is None:
            if not self.instances:
                return
            instance = self.rng.choice(self.instances)
        cache = instance.__dict__.get("_cache") if hasattr(instance, "__dict__") else None
        if action == "clear" and isinstance(cache, dict):
            cache.clear()
        elif action == "delete-cache" and hasattr(instance, "__dict__"):
            instance.__dict__.pop("_cache", None)
        elif action == "none-cache" and hasattr(instance, "__dict__"):
            instance.__dict__["_cache"] = None
        elif action == "replace-cache" and hasattr(instance, "__dict__"):
            instance.__dict__["_cache"] = self.fresh_cache(instance)
        elif action in ("reinit", "reinit-other-name"):
            descriptor = self.rng.choice(self.descriptors)
            name = descriptor.name if action == "reinit" else self.random_key(len(self.descriptors))
            attempt(lambda: descriptor.__init__(self.make_getter(name)))
        elif action == "plant" and isinstance(cache, dict):
            self.plant(cache, instance)
        elif action == "raise":
            raise Hostile("getter")
        elif action == "collect":
            gc.collect()
        elif action == "pop-key" and isinstance(cache, dict) and cache:
            attempt(lambda: cache.pop(next(iter(cache))))

    def make_instance(self):
        instance = self.owner_class()
        self.instances.append(instance)
        if self.setattr_mode != "slots":
            mode = self.cache_mode
            if mode == "none":
                instance.__dict__["_cache"] = None
            elif mode != "absent":
                instance.__dict__["_cache"] = self.fresh_cache(instance)
        return instance

    def read(self, instance, index):
        descriptor = self.descriptors[index]
        outcome = attempt(lambda: getattr(instance, f"attr{index}"))
        ok, value = outcome
        if not ok:
            return outcome
        if value is descriptor:
            return outcome
        if isinstance(value, Token):
            check(value.owner is instance, "a read returned a value computed for another instance")
        elif isinstance(value, Planted):
            check(value.owner is instance, "a read returned a value planted for another instance")
        else:
            raise CampaignFailure(f"a read returned a foreign value {value!r}")
        return outcome


class CallableWithName:
    """A getter object whose `__name__` is any object (the cache key)."""

    def __init__(self, name, compute):
        self.__name__ = name
        self.compute = compute

    def __call__(self, instance):
        return self.compute(instance)


def is_hashable(value):
    try:
        hash(value)
    except Exception:  # noqa: BLE001
        return False
    return True


@family
def cached_property_reads(rng, m):
    case = CachedCase(rng, m)
    instances = [case.make_instance() for _ in range(rng.choice([1, 1, 2]))]
    for _ in range(rng.randrange(1, 6)):
        instance = rng.choice(instances)
        index = rng.randrange(len(case.descriptors))
        operation = rng.randrange(10)
        if operation < 7:
            case.read(instance, index)
        elif operation == 7:
            outcome = attempt(lambda: setattr(instance, f"attr{index}", rng.choice([1, None])))
            expect_error(outcome, (AttributeError, Hostile), "assignment through CachedProperty")
        elif operation == 8:
            outcome = attempt(lambda: delattr(instance, f"attr{index}"))
            expect_error(outcome, NotImplementedError, "deletion through CachedProperty")
        else:
            descriptor = case.descriptors[index]
            check(getattr(case.owner_class, f"attr{index}") is descriptor, "class read")
            check(descriptor.__get__(None, case.owner_class) is descriptor, "__get__(None, owner)")
            outcome = attempt(lambda: descriptor.__get__(rng.choice([1, "s", None, object()])))
            if outcome[0]:
                check(outcome[1] is descriptor or isinstance(outcome[1], Token),
                      lambda: f"read on a foreign object gave {outcome[1]!r}")


# ---- AxisProperty reads and writes against hostile owners ----------------------------


class AxisCase:
    def __init__(self, rng, m):
        self.rng = rng
        self.m = m
        self.handed = None  # snapshot of the list when `axes` handed it over
        self.axis_handed = None  # the descriptor's axis at that moment
        self.calls = []
        case = self
        self.mgr_mode = rng.choice(["attribute"] * 4 + ["missing", "raises", "property"])
        self.axes_mode = rng.choice(["list"] * 5 + ["fresh-list", "mutating", "tuple", "list-subclass", "none",
                                                    "missing", "raises", "junk"])
        self.set_mode = rng.choice(["method"] * 4 + ["missing", "raises", "not-callable", "reinit"])

        class Manager:
            @property
            def axes(manager):
                mode = case.axes_mode
                if mode == "missing":
                    raise AttributeError("axes")
                if mode == "raises":
                    raise Hostile("axes")
                if mode == "tuple":
                    return tuple(case.items)
                if mode == "list-subclass":
                    return ListSubclass(case.items)
                if mode == "none":
                    return None
                if mode == "junk":
                    return case.rng.choice([5, "abc", {0: 1}])
                if mode == "fresh-list":
                    result = list(case.items)
                else:
                    result = case.items
                    if mode == "mutating":
                        action = case.rng.randrange(4)
                        if action == 0 and result:
                            del result[case.rng.randrange(len(result)) :]
                        elif action == 1:
                            result.extend(object() for _ in range(case.rng.randrange(3)))
                        elif action == 2 and result:
                            result[case.rng.randrange(len(result))] = object()
                        else:
                            # Re-initialise the descriptor mid-read with an axis
                            # whose __index__ may cut this very list short.
                            attempt(lambda: case.descriptor.__init__(HostileIndex(case.rng, [result])))
                case.handed = list(result)
                case.axis_handed = case.descriptor.axis
                return result

        self.manager = Manager()
        namespace = {}
        if self.mgr_mode == "property":
            namespace["_mgr"] = property(lambda instance: case.manager)
        elif self.mgr_mode == "raises":

            def _mgr(instance):
                raise Hostile("_mgr")

            namespace["_mgr"] = property(_mgr)

        def _set_axis(instance, axis, value):
            case.calls.append((axis, value))
            if case.set_mode == "raises":
                raise Hostile("_set_axis")
            if case.set_mode == "reinit":
                attempt(lambda: case.descriptor.__init__(case.rng.randrange(-3, 3)))
            return case.rng.choice([None, 1, object()])

        if self.set_mode in ("method", "raises", "reinit"):
            namespace["_set_axis"] = _set_axis
        elif self.set_mode == "not-callable":
            namespace["_set_axis"] = 5
        axis = rng.choice([0, 1, -1, 2, -2, 3, -4, SSIZE_MAX, SSIZE_MIN, rng.randrange(-6, 6)])
        self.descriptor = (m.AxisProperty if rng.random() < 0.8 else AxisSubclass(m))(axis, "doc")
        namespace["value"] = self.descriptor
        self.owner_class = type("AxisOwner", (), namespace)
        self.items = [object() for _ in range(rng.randrange(5))]

    def make_instance(self):
        instance = self.owner_class()
        if self.mgr_mode == "attribute":
            instance._mgr = self.manager
        return instance

    def read(self, instance):
        self.handed = None
        outcome = attempt(lambda: instance.value)
        ok, value = outcome
        handed = self.handed
        # The axis is taken after the lookups: the one the descriptor held
        # when `axes` handed the list over (nothing runs after that).
        in_range = False
        if handed is not None:
            position = self.axis_handed + len(handed) if self.axis_handed < 0 else self.axis_handed
            in_range = 0 <= position < len(handed)
        if ok:
            check(handed is not None and self.axes_mode in ("list", "fresh-list", "mutating"),
                  lambda: f"a read succeeded with axes mode {self.axes_mode}")
            check(in_range, "a read succeeded outside the list")
            check(value is handed[position], "a read returned another item")
        elif handed is not None and self.axes_mode in ("list", "fresh-list", "mutating"):
            check(not in_range, lambda: f"a read in range raised {value!r}")
            check(isinstance(value, IndexError), lambda: f"an out-of-range read raised {value!r}")
        elif self.axes_mode in ("tuple", "list-subclass", "none", "junk") and self.mgr_mode != "raises" \
                and self.mgr_mode != "missing":
            check(isinstance(value, TypeError), lambda: f"axes of mode {self.axes_mode} gave {value!r}")

    def write(self, instance):
        axis = self.descriptor.axis
        value = object()
        before = len(self.calls)
        outcome = attempt(lambda: setattr(instance, "value", value))
        ok, _ = outcome
        if self.set_mode in ("method", "raises", "reinit"):
            check(len(self.calls) == before + 1, "_set_axis not called exactly once")
            called_axis, called_value = self.calls[-1]
            check(type(called_axis) is int and called_axis == axis, "_set_axis got another axis")
            check(called_value is value, "_set_axis got another value")
            check(ok == (self.set_mode != "raises"), lambda: f"assignment outcome {outcome!r}")
        else:
            expect_error(outcome, (AttributeError, TypeError), "assignment without a usable _set_axis")


@family
def axis_property_access(rng, m):
    case = AxisCase(rng, m)
    instance = case.make_instance()
    for _ in range(rng.randrange(1, 5)):
        operation = rng.randrange(8)
        if operation < 5:
            case.read(instance)
        elif operation < 7:
            case.write(instance)
        else:
            outcome = attempt(lambda: delattr(instance, "value"))
            expect_error(outcome, NotImplementedError, "deletion through AxisProperty")
    check(case.owner_class.value is case.descriptor, "class read")


# ---- owner shapes --------------------------------------------------------------------

# Owner-shape cases run on a thread of their own with a small C stack: a
# recursion through the module's descriptors ends where the interpreter's
# stack check meets the stack's end, on this stack a fraction of a
# millisecond away rather than the tens of milliseconds of the 8 MiB main
# thread. The other families keep the main thread.
SHAPES_STACK_BYTES = 256 << 10
shapes_thread = None


@family
def owner_shapes(rng, m):
    global shapes_thread
    if shapes_thread is None:
        previous = threading.stack_size(SHAPES_STACK_BYTES)
        try:
            shapes_thread = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="owner shapes")
            shapes_thread.submit(int).result()  # the thread starts now, with that stack
        finally:
            threading.stack_size(previous)
    shapes_thread.submit(fuzz_owner_shapes.run, rng, m, attempt, check, Hostile).result()


# ---- driver --------------------------------------------------------------------------


def case_rng(seed, number):
    return random.Random(f"{seed}:{number}")


def family_of(seed, number, families):
    """The family that case `number` draws (the first draw of its generator)."""
    return families[case_rng(seed, number).randrange(len(families))]


def run_case(m, seed, number, families):
    rng = case_rng(seed, number)
    name = families[rng.randrange(len(families))]
    try:
        with warnings.catch_warnings():
            # An `__index__` or `__int__` that returns an int subclass warns;
            # as an error the warning must fail the operation cleanly.
            warnings.simplefilter(rng.choice(["ignore", "error"]), DeprecationWarning)
            FAMILIES[name](rng, m)
    except CampaignFailure as failure:
        return name, f"{failure}\n{traceback.format_exc()}"
    except BaseException as error:  # noqa: BLE001 - an exception that escaped a case is a finding
        if isinstance(error, (KeyboardInterrupt, SystemExit)):
            raise
        return name, f"unexpected escape: {error!r}\n{traceback.format_exc()}"
    return name, None


def worker(args):
    """Runs one batch of cases (the child of `parent`). Before each case its
    number goes to the progress file, after it the number, the family and
    `ok` or `failed`: the parent counts from that file, and a case begun but
    not finished is the one that crashed or hung. With `--pure-python` the
    module is never loaded: plain-Python stand-ins take its place."""
    if args.pure_python:
        import pure_python_properties

        m = pure_python_properties.install()
    else:
        import tovren._libs.properties as m

    define_subclasses(m)
    # The harness's own checks that crashes, hangs and early ends are
    # reported: those of `--abort-at`, `--hang-at`, `--exit-at` and
    # `--abort-at-exit` stand for faults of the module and happen only with
    # it loaded; `--interpreter-abort-at` stands for a fault of the
    # interpreter and happens with the stand-ins too; `--stand-in-crash`
    # happens with the stand-ins only (an interpreter that crashes in the
    # replay, but not as the module's run did).
    module_loaded = not args.pure_python
    if args.abort_at_exit and module_loaded:
        atexit.register(os.abort)
    stand_in_signal, stand_in_place = args.stand_in_crash or (None, None)
    if args.pure_python and stand_in_place == "exit":
        atexit.register(signal.raise_signal, stand_in_signal)
    families = args.family or sorted(FAMILIES)
    # Python tracebacks of every thread on a crash, and on SIGUSR1 from the
    # parent's watchdog when a case stops making progress.
    faulthandler.enable()
    faulthandler.register(signal.SIGUSR1, all_threads=True)
    sys.setrecursionlimit(2000)
    progress = open(args.progress, "w", buffering=1) if args.progress else sys.stdout
    numbers = [args.case] if args.case is not None else range(args.start, args.start + args.cases)
    failures = 0
    for position, number in enumerate(numbers):
        progress.write(f"{number}\n")
        if number == args.interpreter_abort_at:
            os.abort()
        if args.pure_python and number == stand_in_place:
            signal.raise_signal(stand_in_signal)
        if module_loaded:
            if number == args.abort_at and (position > 0 or not args.abort_needs_history):
                os.abort()
            while number == args.hang_at:
                pass
            if number == args.exit_at:
                return 0
        name, failure = run_case(m, args.seed, number, families)
        progress.write(f"{number} {name} {'ok' if failure is None else 'failed'}\n")
        if failure is not None:
            failures += 1
            print(f"FAILED case {number} ({name}), seed {args.seed}: {failure}", flush=True)
            if failures >= args.max_failures:
                break
        if number % 1000 == 999:
            gc.collect()
    if progress is not sys.stdout:
        progress.close()
    return 1 if failures else 0


class Batch:
    """What one child made of a run of cases: the cases it finished, and
    where it stopped when it crashed or hung (`stopped_at` None when it
    ended after its last case):

    - "in": in case `stopped_at`, which began and did not finish;
    - "after": after case `stopped_at` ended, before the next one began;
    - "exit": at the child's exit, after its last case `stopped_at` ended;
    - "start-up": before its first case `stopped_at` began.

    A crash is never put on a case that did not begin. `status` is the
    child's exit status (negative: the signal that ended it), None after a
    hang."""

    def __init__(self, finished, stopped_at, how, where="in", status=None):
        self.finished = finished  # [(number, family, passed)]
        self.stopped_at = stopped_at
        self.how = how
        self.where = where
        self.status = status

    def crashed(self):
        return self.how is not None and self.how.startswith("CRASH")

    def outcome(self):
        """What ended the child and where, for a report."""
        if self.stopped_at is None:
            return "no crash"
        return f"{self.how} {self.place()}"

    def place(self):
        number = self.stopped_at
        return {
            "in": f"in case {number}",
            "after": f"after case {number} ended",
            "exit": f"at the child's exit, after its last case {number}",
            "start-up": f"at the child's start-up, before case {number}",
        }[self.where]


def run_batch(args, seed, start, count, pure_python=False):
    """Runs cases start .. start + count - 1 in one child interpreter (with
    the module's plain-Python stand-ins in place of the module when
    `pure_python` is true)."""
    progress = os.path.join(args.work_dir, f"fuzz-progress-{os.getpid()}")
    command = [sys.executable, os.path.abspath(__file__), "--worker", "--seed", str(seed),
               "--start", str(start), "--cases", str(count), "--progress", progress,
               "--max-failures", str(args.max_failures)]
    if pure_python or args.pure_python:
        command += ["--pure-python"]
    for option in ("abort_at", "hang_at", "exit_at", "interpreter_abort_at"):
        if getattr(args, option) is not None:
            command += [f"--{option.replace('_', '-')}", str(getattr(args, option))]
    if args.stand_in_crash is not None:
        number, place = args.stand_in_crash
        command += ["--stand-in-crash", f"{signal.Signals(number).name}@{place}"]
    for flag in ("abort_needs_history", "abort_at_exit"):
        if getattr(args, flag):
            command += [f"--{flag.replace('_', '-')}"]
    for name in args.family or ():
        command += ["--family", name]
    # String hashes, and so dict layouts, follow the seed: a replay of a case
    # sees the same collisions.
    environment = dict(os.environ, PYTHONHASHSEED=str(seed % 2**32))
    child = subprocess.Popen(command, env=environment)
    hung = watch(child, progress, args.case_timeout)
    finished, begun = [], None
    try:
        with open(progress) as lines:
            for line in lines:
                fields = line.split()
                if len(fields) == 1:
                    begun = int(fields[0])
                elif len(fields) == 3:
                    finished.append((int(fields[0]), fields[1], fields[2] == "ok"))
                    begun = None
    except OSError:
        pass
    if os.path.exists(progress):
        os.unlink(progress)
    status = child.returncode
    if begun is not None:
        stopped_at, where = begun, "in"
    elif not finished:
        stopped_at, where = start, "start-up"
    else:
        # Stopped between cases, or at its exit: the last case that ended is
        # the last that ran.
        stopped_at, where = finished[-1][0], "exit" if len(finished) == count else "after"
    if hung:
        return Batch(finished, stopped_at, f"HANG (no progress for {args.case_timeout} s, tracebacks above)", where)
    if status in (0, 1):
        # The worker stops early only at its failure limit; a child that
        # ends otherwise before its last case did not pass the rest.
        if len(finished) == count or sum(not passed for *_, passed in finished) >= args.max_failures:
            return Batch(finished, None, None)
        return Batch(finished, stopped_at, f"CRASH (exit status {status} after {len(finished)} of {count} cases)",
                     where, status)
    signal_name = signal.Signals(-status).name if status < 0 and -status in signal.valid_signals() else None
    how = f"signal {signal_name}" if signal_name else f"exit status {status}"
    return Batch(finished, stopped_at, f"CRASH ({how})", where, status)


def same_crash(module_run, replay):
    """Whether `replay` (the cases run again with the plain-Python stand-ins)
    died as `module_run` did: by the same signal or exit status, and in the
    same case, at the child's exit after the same last case, or both at
    start-up. A crash between two cases of a batch has no counterpart in a
    replay that ends at its case, so it never matches."""
    return (module_run.crashed() and replay.crashed()
            and module_run.where in ("in", "exit", "start-up")
            and replay.status == module_run.status
            and replay.where == module_run.where
            and replay.stopped_at == module_run.stopped_at)


def shortest_crashing_run(args, seed, first, last):
    """The latest start from which the cases up to `last` still crash, by
    bisection between `first` (known to crash) and `last` (does not alone)."""
    low, high = first, last  # run from low crashes; run from high does not
    while high - low > 1:
        middle = (low + high) // 2
        if run_batch(args, seed, middle, last - middle + 1).stopped_at == last:
            low = middle
        else:
            high = middle
    return low


def parent(args):
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(2**32)
    os.makedirs(args.work_dir, exist_ok=True)
    families = args.family or sorted(FAMILIES)
    first, count = (args.case, 1) if args.case is not None else (args.start, args.cases)
    end = first + count
    print(f"fuzz: seed {seed}, {count} cases", flush=True)
    started = time.monotonic()
    counts = dict.fromkeys(families, 0)
    failed = crashed = interpreter_crashed = 0
    script = f"{sys.executable} {os.path.abspath(__file__)} --seed {seed}"
    script += "".join(f" --family {name}" for name in args.family or ())
    script += " --pure-python" if args.pure_python else ""
    position = first
    while position < end and failed + crashed + interpreter_crashed < args.max_failures:
        size = min(args.batch, end - position)
        batch = run_batch(args, seed, position, size)
        for _, name, passed in batch.finished:
            counts[name] += 1
            failed += not passed
        if batch.stopped_at is None:
            if batch.finished and failed + crashed + interpreter_crashed < args.max_failures:
                position = batch.finished[-1][0] + 1
                continue
            break
        number = batch.stopped_at
        name = family_of(seed, number, families)
        if batch.where == "in":
            counts[name] += 1
        elif batch.where in ("after", "exit") and not batch.finished[-1][2]:
            failed -= 1  # the case counts once, as crashed
        replay_start, replay_count = (position, size) if batch.where == "start-up" else (number, 1)
        if batch.how.startswith("CRASH") and number > position:
            alone = run_batch(args, seed, number, 1)
            if alone.stopped_at is None:
                # It needs the cases before it in that child.
                replay_start = shortest_crashing_run(args, seed, position, number)
                replay_count = number - replay_start + 1
                since = replay_start
                after = f"case {since}" if since == number - 1 else f"cases {since} to {number - 1}"
                batch.how += f" (not alone: after {after})"
        replay = f"--case {number}" if replay_count == 1 else f"--start {replay_start} --cases {replay_count}"
        family = "" if batch.where == "start-up" else f", family {name}"
        # A crash that the same cases cause in the same way with the
        # module's descriptors replaced by plain Python ones is the
        # interpreter's; any other outcome of that replay leaves it the
        # module's.
        pure = None
        if batch.crashed():
            pure = run_batch(args, seed, replay_start, replay_count, pure_python=True)
        if pure is not None and same_crash(batch, pure):
            interpreter_crashed += 1
            print(f"fuzz: {batch.how} {batch.place()}, seed {seed}{family}: the interpreter's, not the "
                  f"module's (the same cases crash the same way with the module's descriptors replaced by "
                  f"plain Python ones: {pure.outcome()}); replay with: {script} {replay}"
                  f"{'' if args.pure_python else ' (add --pure-python to leave the module out)'}", flush=True)
        else:
            crashed += 1
            compared = "" if pure is None else (
                f": the module's (with the module's descriptors replaced by plain Python ones the same "
                f"cases give: {pure.outcome()})")
            print(f"fuzz: {batch.how} {batch.place()}, seed {seed}{family}{compared}; replay with: "
                  f"{script} {replay}", flush=True)
        if batch.where != "start-up":
            position = number + 1
    elapsed = time.monotonic() - started
    ran = sum(counts.values())
    detail = ", ".join(f"{name} {n}" for name, n in counts.items())
    print(f"fuzz: {ran} cases, {failed} failed, {crashed} crashed, {interpreter_crashed} crashed in the "
          f"interpreter, seed {seed}, {elapsed:.1f} s ({detail})", flush=True)
    if crashed:
        return 2
    if failed:
        return 1
    return 3 if interpreter_crashed else 0


# Seconds a child may take to start (import the module, set up its classes)
# before its first case begins: far longer than `--case-timeout` may be on a
# slow build (a sanitizer's, a debug interpreter's), and not part of any case.
STARTUP_TIMEOUT = 300.0


def watch(child, progress, timeout):
    """Waits for the child; a case that runs longer than `timeout` seconds (or
    a start-up longer than STARTUP_TIMEOUT) is a hang: the child prints its
    tracebacks and is killed. True on a hang."""
    last_size, last_change = 0, time.monotonic()
    while True:
        try:
            child.wait(timeout=0.05)
            return False
        except subprocess.TimeoutExpired:
            pass
        size = os.path.getsize(progress) if os.path.exists(progress) else 0
        now = time.monotonic()
        if size != last_size:
            last_size, last_change = size, now
        elif now - last_change > (timeout if size else max(timeout, STARTUP_TIMEOUT)):
            child.send_signal(signal.SIGUSR1)
            time.sleep(2)
            child.kill()
            child.wait()
            return True


def stand_in_crash(text):
    """`SIGNAL@CASE` or `SIGNAL@exit` (e.g. `SIGKILL@exit`): the signal and
    where the stand-ins' run raises it."""
    name, _, place = text.partition("@")
    try:
        number = signal.Signals[name]
    except KeyError:
        raise argparse.ArgumentTypeError(f"no signal {name!r}") from None
    if place == "exit":
        return number, place
    try:
        return number, int(place)
    except ValueError:
        raise argparse.ArgumentTypeError(f"place {place!r} is neither a case number nor 'exit'") from None


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cases", type=int, default=100_000)
    parser.add_argument("--seed", type=int, default=None, help="default: a random seed, printed")
    parser.add_argument("--start", type=int, default=0, help="number of the first case")
    parser.add_argument("--case", type=int, default=None, help="replay this one case")
    parser.add_argument("--family", action="append", choices=sorted(FAMILIES))
    parser.add_argument("--max-failures", type=int, default=20,
                        help="stop after this many failed or crashed cases")
    parser.add_argument("--batch", type=int, default=10_000,
                        help="cases per child interpreter (a crash ends the child; the run goes on)")
    parser.add_argument("--case-timeout", type=float, default=60.0,
                        help="seconds one case may run before it counts as a hang")
    parser.add_argument("--work-dir", default=os.environ.get("TMPDIR", "/tmp"))
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--progress", help=argparse.SUPPRESS)
    parser.add_argument("--abort-at", type=int, default=None, help=argparse.SUPPRESS)
    parser.add_argument("--abort-needs-history", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--hang-at", type=int, default=None, help=argparse.SUPPRESS)
    parser.add_argument("--exit-at", type=int, default=None, help=argparse.SUPPRESS)
    parser.add_argument("--abort-at-exit", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--interpreter-abort-at", type=int, default=None, help=argparse.SUPPRESS)
    parser.add_argument("--stand-in-crash", type=stand_in_crash, default=None, help=argparse.SUPPRESS)
    parser.add_argument("--pure-python", action="store_true",
                        help="run the cases with plain-Python stand-ins of the module's descriptors "
                             "(reliability/pure_python_properties.py); the module is never loaded")
    args = parser.parse_args(argv)
    if args.worker:
        return worker(args)
    return parent(args)


if __name__ == "__main__":
    sys.exit(main())
