"""Garbage collection of both descriptor types: the traverse and clear slots
visit and reset exactly the object fields, and reference cycles through
descriptors, getters and owner classes are collected."""

import ctypes
import gc
import threading
import weakref

import pytest
from conftest import FREE_THREADED

from tovren._libs import properties

PY_TP_CLEAR = 51  # typeslots.h


def call_clear_slot(obj):
    """Runs the type's own tp_clear on `obj`, as the collector does on a
    cycle (PYFUNCTYPE: the call keeps the GIL)."""
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.restype = ctypes.c_void_p
    get_slot.argtypes = [ctypes.py_object, ctypes.c_int]
    address = get_slot(type(obj), PY_TP_CLEAR)
    assert address, f"{type(obj).__name__} has no tp_clear"
    return ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(address)(obj)


def make_getter(name="value", doc="the value's docstring"):
    def getter(self):
        return 1

    # Fresh, mortal objects, so that identity shows which field is which.
    getter.__name__ = "".join(list(name))
    getter.__doc__ = "".join(list(doc)) if doc is not None else None
    return getter


# ---- traverse ------------------------------------------------------------------------


def test_cached_property_traverse_visits_its_three_fields_in_order():
    getter = make_getter()
    descriptor = properties.CachedProperty(getter)
    referents = gc.get_referents(descriptor)
    assert len(referents) == 3
    assert referents[0] is getter
    assert referents[1] is descriptor.name and referents[1] == "value"
    assert referents[2] is descriptor.__doc__ and referents[2] == "the value's docstring"


@pytest.mark.parametrize("make", [properties.CachedProperty.__new__, properties.cache_readonly.__new__])
def test_blank_cached_property_traverse_visits_none_fields(make):
    assert gc.get_referents(make(properties.CachedProperty)) == [None, None, None]


@pytest.mark.parametrize("doc", [["a list"], "", None, object()])
def test_axis_property_traverse_visits_only_its_doc(doc):
    descriptor = properties.AxisProperty(3, doc)
    referents = gc.get_referents(descriptor)
    assert len(referents) == 1 and referents[0] is doc


@pytest.mark.parametrize(
    "make", [lambda: properties.CachedProperty(make_getter()), lambda: properties.AxisProperty(1, [])]
)
def test_descriptors_are_tracked(make):
    assert gc.is_tracked(make())


def test_traverse_follows_reinitialisation_and_state_restore():
    descriptor = properties.CachedProperty(make_getter("first"))
    second = make_getter("second")
    descriptor.__init__(second)
    assert gc.get_referents(descriptor)[0] is second
    fget, name, doc = object(), ["name"], ("doc",)
    descriptor.__setstate_cython__((doc, fget, name))
    assert gc.get_referents(descriptor) == [fget, name, doc]


# ---- clear -----------------------------------------------------------------------------


def test_cached_property_clear_resets_the_three_fields_to_none():
    getter = make_getter()
    descriptor = properties.CachedProperty(getter)
    getter_ref = weakref.ref(getter)
    del getter
    assert call_clear_slot(descriptor) == 0
    assert (descriptor.fget, descriptor.name, descriptor.__doc__) == (None, None, None)
    assert gc.get_referents(descriptor) == [None, None, None]
    # The released getter is gone: clear dropped the descriptor's reference.
    assert getter_ref() is None


def test_cleared_cached_property_reads_like_a_blank_one():
    class Owner:
        value = properties.CachedProperty(make_getter())

    call_clear_slot(Owner.__dict__["value"])
    owner = Owner()
    with pytest.raises(TypeError, match="'NoneType' object is not callable"):
        owner.value
    assert owner._cache == {}


class Doc:
    """A docstring object that weak references can watch."""


def test_axis_property_clear_resets_doc_and_keeps_axis():
    doc = Doc()
    descriptor = properties.AxisProperty(-2, doc)
    doc_ref = weakref.ref(doc)
    del doc
    assert call_clear_slot(descriptor) == 0
    assert descriptor.axis == -2
    assert descriptor.__doc__ is None
    assert gc.get_referents(descriptor) == [None]
    assert doc_ref() is None


def test_clear_twice_is_harmless():
    descriptor = properties.CachedProperty(make_getter())
    call_clear_slot(descriptor)
    call_clear_slot(descriptor)
    assert descriptor.fget is None


# ---- cycles ------------------------------------------------------------------------------


def collected(make_cycle):
    """Builds a cycle, drops it and reports whether the collector freed it."""
    gc.collect()
    ref = make_cycle()
    gc.collect()
    return ref() is None


def cycle_through_cached_getter():
    # class -> descriptor -> getter -> closure cell -> class
    def getter(self):
        return Owner

    class Owner:
        value = properties.CachedProperty(getter)

    return weakref.ref(Owner)


def cycle_through_cached_doc():
    # class -> descriptor -> __doc__ (a list) -> class
    doc = []

    class Owner:
        value = properties.CachedProperty(make_getter())

    Owner.value  # the class read returns the descriptor itself
    Owner.__dict__["value"].__setstate_cython__((doc, make_getter(), "value"))
    doc.append(Owner)
    return weakref.ref(Owner)


def cycle_through_cached_name():
    # class -> descriptor -> name (a tuple holding a list) -> class
    holder = []

    class Named:
        __name__ = ("key", holder)

        def __call__(self, instance):
            return 1

    class Owner:
        value = properties.CachedProperty(Named())

    holder.append(Owner)
    return weakref.ref(Owner)


def cycle_through_instance_cache():
    # instance -> _cache -> value -> instance; class -> descriptor -> getter -> class
    def getter(self):
        return [self, Owner]

    class Owner:
        value = properties.cache_readonly(getter)

    owner = Owner()
    owner.value
    return weakref.ref(Owner)


def cycle_through_bound_method_getter():
    # class -> descriptor -> bound method -> helper instance -> class
    class Helper:
        def compute(self, instance):
            return self

    class Owner:
        pass

    helper = Helper()
    helper.owner = Owner
    Owner.value = properties.CachedProperty(helper.compute)
    return weakref.ref(Owner)


def cycle_through_axis_doc():
    # class -> descriptor -> __doc__ (a list) -> class
    doc = []

    class Owner:
        value = properties.AxisProperty(0, doc)

    doc.append(Owner)
    return weakref.ref(Owner)


def cycle_through_subclass_instance_dict():
    # subclass instance -> its __dict__ -> class -> descriptor (the instance)
    class Sub(properties.AxisProperty):
        pass

    class Owner:
        value = Sub(1)

    Owner.__dict__["value"].owner = Owner
    return weakref.ref(Owner)


def cycle_through_descriptor_itself():
    # descriptor -> getter -> closure cell -> descriptor
    def getter(self):
        return descriptor

    descriptor = properties.CachedProperty(getter)

    class Owner:
        value = descriptor

    return weakref.ref(Owner)


CYCLES = [
    cycle_through_cached_getter,
    cycle_through_cached_doc,
    cycle_through_cached_name,
    cycle_through_instance_cache,
    cycle_through_bound_method_getter,
    cycle_through_axis_doc,
    cycle_through_subclass_instance_dict,
    cycle_through_descriptor_itself,
]


@pytest.mark.parametrize("make_cycle", CYCLES, ids=[cycle.__name__ for cycle in CYCLES])
def test_cycles_are_collected(make_cycle):
    assert collected(make_cycle)


def test_collection_during_a_read_keeps_the_descriptor_usable():
    # The getter triggers a collection while the read is under way; the
    # descriptor and its fields are in use, not garbage.
    def getter(self):
        gc.collect()
        return "computed"

    class Owner:
        value = properties.CachedProperty(getter)

    owner = Owner()
    assert owner.value == "computed"
    assert Owner.__dict__["value"].fget is getter


class Resurrecting(properties.CachedProperty):
    saved = []

    def __del__(self):
        Resurrecting.saved.append(self)


def test_finaliser_that_resurrects_keeps_the_fields():
    getter = make_getter()
    descriptor = Resurrecting(getter)
    descriptor.cycle = descriptor  # only the collector can free it
    del descriptor
    gc.collect()
    assert len(Resurrecting.saved) == 1
    survivor = Resurrecting.saved.pop()
    assert survivor.fget is getter and survivor.name == "value"
    del survivor.cycle


class Manager:
    axes = ["index", "columns"]


@pytest.mark.parametrize("base, make", [
    (properties.CachedProperty, lambda cls: cls(make_getter())),
    (properties.AxisProperty, lambda cls: cls(1)),
])
def test_descriptor_read_through_an_owner_is_still_freed(base, make):
    """A descriptor that was read on an owner instance (which on a
    free-threaded build switches it to deferred reference counting) is
    freed once unreachable; one never read that way, as soon as its count
    drops, without a collection."""
    Descriptor = type("Descriptor", (base,), {})
    read, unread = make(Descriptor), make(Descriptor)
    Owner = type("Owner", (), {"attribute": read, "_mgr": Manager()})
    Owner().attribute
    refs = [weakref.ref(read), weakref.ref(unread)]
    del unread
    assert refs[1]() is None
    del read, Owner
    gc.collect()
    assert refs[0]() is None


class PlainOwner:
    _mgr = Manager()


@pytest.mark.skipif(not FREE_THREADED,
                    reason="deferred reference counting exists only on a free-threaded (3.14t) build")
@pytest.mark.parametrize("base, make", [
    (properties.CachedProperty, lambda cls: cls(make_getter())),
    (properties.AxisProperty, lambda cls: cls(1)),
])
def test_only_a_descriptor_read_by_a_second_thread_defers_its_count(base, make):
    """Read only by the thread that made it, a descriptor is freed by its
    count; read from another thread as well, it is evidently shared, its
    count is deferred and only a collection frees it."""
    Descriptor = type("Descriptor", (base,), {})  # instances take weak references
    owner = PlainOwner()
    gc.disable()
    try:
        alone, shared = make(Descriptor), make(Descriptor)
        alone.__get__(owner, PlainOwner)
        shared.__get__(owner, PlainOwner)
        reader = threading.Thread(target=shared.__get__, args=(owner, PlainOwner))
        reader.start()
        reader.join()
        del reader
        refs = [weakref.ref(alone), weakref.ref(shared)]
        del alone, shared
        assert refs[0]() is None
        assert refs[1]() is not None
        gc.collect()
        assert refs[1]() is None
    finally:
        gc.enable()
