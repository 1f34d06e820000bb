"""Drives the descriptor hot paths in loops, for a run under valgrind memcheck.

    PYTHONMALLOC=malloc valgrind --tool=memcheck python memcheck_driver.py [--iterations N]

Every iteration reads and writes through both descriptor types on fresh and
reused owners (cache miss, hit, reset cache, class reads), takes each
failure path that adds a traceback entry, re-initialises descriptors, and
pickles, copies and rebuilds both types in both reduce forms. With
PYTHONMALLOC=malloc every object is a heap block of its own, so memcheck
sees a read or write of freed or unallocated memory, and the use of
uninitialised values, in the module as in the interpreter around it.

The driver checks what it reads, so a wrong result fails it too.
"""

from __future__ import annotations

import argparse
import copy
import gc
import pickle
import sys

import tovren._libs.properties as properties


def compute(self):
    """A getter: a new list per owner."""
    return [id(self)]


def failing(self):
    raise KeyError("getter failed")


class Owner:
    value = properties.CachedProperty(compute)
    broken = properties.cache_readonly(failing)
    first = properties.AxisProperty(0, "first axis")
    last = properties.AxisProperty(-1)
    beyond = properties.AxisProperty(5)

    def __init__(self):
        self._mgr = Manager()

    def _set_axis(self, axis, value):
        self._mgr.axes[axis] = value


class Manager:
    def __init__(self):
        self.axes = [["index"], ["columns"]]


class Slotted:
    __slots__ = ("_mgr",)
    value = properties.CachedProperty(compute)


class Tupled(Owner):
    def __init__(self):
        self._mgr = Manager()
        self._mgr.axes = tuple(self._mgr.axes)


class CachedWithDict(properties.CachedProperty):
    pass


class AxisWithDict(properties.AxisProperty):
    pass


def expect(exception_type, operation):
    try:
        operation()
    except exception_type:
        return
    raise AssertionError(f"{operation} did not raise {exception_type.__name__}")


def check(condition, what):
    if not condition:
        raise AssertionError(what)


def cached_property_paths():
    owner = Owner()
    first = owner.value  # miss: creates _cache and the entry
    check(owner.value is first and first == [id(owner)], "cache hit")
    owner._cache = None
    check(owner.value == first and owner.value is not first, "recomputed after _cache = None")
    del owner._cache
    owner.value
    owner._cache.clear()
    owner.value
    check(Owner.value is Owner.__dict__["value"], "class read")
    expect(KeyError, lambda: owner.broken)  # getter failure: traceback entry
    expect(AttributeError, lambda: setattr(owner, "value", 1))  # traceback entry
    expect(NotImplementedError, lambda: delattr(owner, "value"))
    slotted = Slotted()
    check(slotted.value is Slotted.__dict__["value"], "no _cache possible: the descriptor")
    unhashable = properties.CachedProperty(compute)
    unhashable.__setstate_cython__((None, compute, ["unhashable"]))
    expect(TypeError, lambda: unhashable.__get__(Owner()))
    expect(TypeError, lambda: properties.CachedProperty())
    expect(TypeError, lambda: properties.CachedProperty(compute, bogus=1))
    expect(AttributeError, lambda: properties.CachedProperty(1))


def reinitialisation_paths():
    descriptor = properties.CachedProperty(compute)
    for getter in (failing, compute, lambda self: None):
        descriptor.__init__(getter)
    check(descriptor.name == "<lambda>", "re-initialised name")
    axis = properties.AxisProperty(1)
    axis.__init__(doc="doc", axis=-2)
    check((axis.axis, axis.__doc__) == (-2, "doc"), "re-initialised axis")
    expect(OverflowError, lambda: axis.__init__(2**63))
    expect(TypeError, lambda: axis.__init__(1, 2, 3))


def axis_property_paths():
    owner = Owner()
    check(owner.first == ["index"] and owner.last == ["columns"], "axis reads")
    owner.first = ["renamed"]
    check(owner._mgr.axes[0] == ["renamed"], "axis write")
    expect(IndexError, lambda: owner.beyond)
    expect(NotImplementedError, lambda: delattr(owner, "first"))
    expect(TypeError, lambda: Tupled().first)
    owner._mgr.axes = None
    expect(TypeError, lambda: owner.first)
    del owner._mgr
    expect(AttributeError, lambda: owner.first)
    check(Owner.first is Owner.__dict__["first"], "class read")


def pickling_paths():
    cached = properties.CachedProperty(compute)
    blank = properties.CachedProperty.__new__(properties.CachedProperty)
    axis = properties.AxisProperty(1, None)  # reduces to form B
    axis_doc = properties.AxisProperty(-1, "doc")  # form A
    with_dict = CachedWithDict(compute)
    with_dict.extra = {"kept": [1, 2]}
    axis_with_dict = AxisWithDict(3)
    axis_with_dict.note = "note"
    for descriptor in (cached, blank, axis, axis_doc, with_dict, axis_with_dict):
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            rebuilt = pickle.loads(pickle.dumps(descriptor, protocol))
            check(type(rebuilt) is type(descriptor), "pickled type")
        copy.copy(descriptor)
        copy.deepcopy(descriptor)
        reduced = descriptor.__reduce_cython__()
        rebuilt = reduced[0](*reduced[1])
        if len(reduced) == 3:
            rebuilt.__setstate_cython__(reduced[2])
    expect(IndexError, lambda: properties.CachedProperty(compute).__setstate_cython__((1,)))
    expect(TypeError, lambda: cached.__setstate_cython__([1, 2, 3]))
    expect(AttributeError, lambda: cached.__setstate_cython__((None, compute, "n", {"x": 1})))
    expect(pickle.PickleError, lambda: properties.__pyx_unpickle_CachedProperty(properties.CachedProperty, 1, None))
    expect(TypeError, lambda: properties.__pyx_unpickle_AxisProperty(properties.AxisProperty, 0xD2E4E33, [1]))
    expect(TypeError, lambda: properties.__pyx_unpickle_AxisProperty(int, 0xD2E4E33, None))
    expect(OverflowError, lambda: properties.__pyx_unpickle_AxisProperty(
        properties.AxisProperty, 0xD2E4E33, ("doc", 2**64)))


PATHS = [cached_property_paths, reinitialisation_paths, axis_property_paths, pickling_paths]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iterations", type=int, default=200)
    args = parser.parse_args(argv)
    for iteration in range(args.iterations):
        for path in PATHS:
            path()
        if iteration % 50 == 49:
            gc.collect()
    gc.collect()
    print(f"memcheck driver: {args.iterations} iterations x {len(PATHS)} paths")
    return 0


if __name__ == "__main__":
    sys.exit(main())
