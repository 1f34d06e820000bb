"""CachedProperty: caching semantics, the `_cache` protocol, errors and leaks."""

import sys

import pytest

from conftest import (assert_no_reference_leaks, innermost_traceback, last_entry, made_at_run_time, module_entries,
                      module_entry)
from tovren._libs.properties import CachedProperty, cache_readonly

SOURCE = "tovren/_libs/properties"
GET = "tovren._libs.properties.CachedProperty.__get__"
INIT = "tovren._libs.properties.CachedProperty.__init__"


class Counter:
    """A getter that records every call and returns a fresh object."""

    def __init__(self, name="value", result=None):
        self.__name__ = name
        self.__doc__ = f"doc of {name}"
        self.calls = []
        self.result = result

    def __call__(self, instance):
        self.calls.append(instance)
        return self.result if self.result is not None else object()


def make_owner(getter, **namespace):
    return type("Owner", (), {"attr": CachedProperty(getter), **namespace})


def test_alias_is_the_type():
    assert cache_readonly is CachedProperty
    assert CachedProperty.__module__ == "tovren._libs.properties"
    assert CachedProperty.__name__ == "CachedProperty"


def test_getter_runs_once_per_instance_and_fills_cache():
    getter = Counter()
    Owner = make_owner(getter)
    first, second = Owner(), Owner()
    value = first.attr
    assert first.attr is value
    assert getter.calls == [first]
    assert first._cache == {"value": value}
    assert second.attr is not value
    assert getter.calls == [first, second]


def test_read_on_class_returns_descriptor_without_lookups():
    descriptor = CachedProperty(Counter())

    class Owner:
        attr = descriptor

        def __getattr__(self, name):  # pragma: no cover - must not be reached
            raise AssertionError(name)

    assert Owner.attr is descriptor
    assert descriptor.__get__(None, Owner) is descriptor


@pytest.mark.parametrize("initial", ["absent", None])
def test_absent_or_none_cache_gets_a_new_dict(initial):
    getter = Counter()
    Owner = make_owner(getter)
    owner = Owner()
    if initial is None:
        owner._cache = None
    value = owner.attr
    assert type(owner._cache) is dict and owner._cache == {"value": value}


def test_existing_empty_dict_is_filled_in_place():
    Owner = make_owner(Counter())
    owner = Owner()
    cache = owner._cache = {}
    owner.attr
    assert owner._cache is cache and list(cache) == ["value"]


def test_dict_subclass_cache_uses_dict_storage():
    class Noisy(dict):
        def __contains__(self, key):
            raise AssertionError("dict storage must be used")

        __getitem__ = __setitem__ = __contains__

    Owner = make_owner(Counter())
    owner = Owner()
    owner._cache = Noisy()
    value = owner.attr
    assert owner.attr is value
    assert dict.__getitem__(owner._cache, "value") is value


@pytest.mark.parametrize("cache", [[], (), "text", 0, object()])
def test_non_dict_cache_is_a_type_error(cache):
    getter = Counter()
    Owner = make_owner(getter)
    owner = Owner()
    owner._cache = cache
    with pytest.raises(TypeError, match=f"Expected dict, got {type(cache).__name__}") as info:
        owner.attr
    assert last_entry(info.value) == (SOURCE, 32, GET)
    assert getter.calls == []


def test_owner_that_cannot_take_cache_gets_descriptor():
    getter = Counter()

    class Slotted:
        __slots__ = ()
        attr = CachedProperty(getter)

    assert Slotted().attr is Slotted.__dict__["attr"]
    assert getter.calls == []


def test_setattr_raising_attribute_error_subclass_gives_descriptor():
    class Refusing:
        attr = CachedProperty(Counter())

        def __setattr__(self, name, value):
            raise AttributeError.__new__(type("Sub", (AttributeError,), {}))

    assert Refusing().attr is Refusing.__dict__["attr"]


def test_setattr_raising_other_error_fails_at_line_28():
    class Refusing:
        attr = CachedProperty(Counter())

        def __setattr__(self, name, value):
            raise TypeError("no attributes here")

    with pytest.raises(TypeError, match="no attributes here") as info:
        Refusing().attr
    assert module_entry(info.value) == (SOURCE, 28, GET)


def test_cache_lookup_error_fails_at_line_25():
    class Broken:
        attr = CachedProperty(Counter())

        @property
        def _cache(self):
            raise KeyError("boom")

    with pytest.raises(KeyError) as info:
        Broken().attr
    assert module_entry(info.value) == (SOURCE, 25, GET)


def test_missing_cache_via_getattr_attribute_error_is_absence():
    class Dynamic:
        attr = CachedProperty(Counter())

        def __getattr__(self, name):
            raise AttributeError(name)

    owner = Dynamic()
    owner.attr
    assert "value" in owner.__dict__["_cache"]


def test_getter_that_raises_stores_nothing_and_is_retried():
    attempts = []

    def value(self):
        attempts.append(1)
        if len(attempts) == 1:
            raise ValueError("first time fails")
        return "ok"

    Owner = make_owner(value)
    owner = Owner()
    with pytest.raises(ValueError) as info:
        owner.attr
    assert module_entry(info.value) == (SOURCE, 36, GET)
    assert owner._cache == {}
    assert owner.attr == "ok" and len(attempts) == 2


def test_none_result_is_cached():
    getter = Counter()
    getter.result = None

    def value(self):
        getter.calls.append(self)

    Owner = make_owner(value)
    owner = Owner()
    assert owner.attr is None and owner.attr is None
    assert len(getter.calls) == 1 and owner._cache == {"value": None}


def test_key_is_getter_name_shared_across_descriptors():
    first, second = Counter("shared"), Counter("shared")
    Owner = type("Owner", (), {"a": CachedProperty(first), "b": CachedProperty(second)})
    owner = Owner()
    assert owner.a is owner.b
    assert len(first.calls) == 1 and second.calls == []


def test_value_placed_by_other_code_is_returned():
    getter = Counter()
    Owner = make_owner(getter)
    owner = Owner()
    owner._cache = {"value": "preset"}
    assert owner.attr == "preset" and getter.calls == []


@pytest.mark.parametrize("reset", ["delete-entry", "none", "empty-dict"])
def test_owner_resets_make_getter_run_again(reset):
    getter = Counter()
    Owner = make_owner(getter)
    owner = Owner()
    owner.attr
    if reset == "delete-entry":
        del owner._cache["value"]
    elif reset == "none":
        owner._cache = None
    else:
        owner._cache = {}
    owner.attr
    assert len(getter.calls) == 2


def test_bound_method_getter_receives_bound_self_then_instance():
    seen = []

    class Helper:
        def compute(self, instance):
            seen.append((self, instance))
            return 42

    helper = Helper()
    Owner = make_owner(helper.compute)
    owner = Owner()
    assert owner.attr == 42 and seen == [(helper, owner)]
    assert owner._cache == {"compute": 42}


def test_assignment_refused_and_cache_untouched():
    Owner = make_owner(Counter())
    owner = Owner()
    value = owner.attr
    owner.__dict__["attr"] = "shadow"
    with pytest.raises(AttributeError, match="^Can't set attribute$") as info:
        owner.attr = 1
    assert last_entry(info.value) == (SOURCE, 41, "tovren._libs.properties.CachedProperty.__set__")
    assert innermost_traceback(info.value).tb_frame.f_globals is sys.modules["tovren._libs.properties"].__dict__
    assert owner._cache == {"value": value} and owner.attr is value


def test_deletion_refused_without_traceback_entry():
    Owner = make_owner(Counter())
    with pytest.raises(NotImplementedError, match="^__delete__$") as info:
        del Owner().attr
    assert module_entries(info.value) == []


@pytest.mark.parametrize("field", ["fget", "name", "__doc__", "other"])
def test_attributes_are_read_only(field):
    descriptor = CachedProperty(Counter())
    with pytest.raises(AttributeError):
        setattr(descriptor, field, 1)


def test_fields_reflect_getter():
    def getter(self):
        """Docstring."""

    descriptor = CachedProperty(getter)
    assert descriptor.fget is getter
    assert descriptor.name == "getter"
    assert descriptor.__doc__ == "Docstring."


def test_getter_without_doc_attribute_gives_none():
    class NoDoc:
        __slots__ = ("__name__",)

        def __init__(self):
            self.__name__ = "n"

        def __call__(self, instance):
            return 1

    NoDoc.__doc__ = None
    descriptor = CachedProperty(NoDoc())
    assert descriptor.__doc__ is None


def test_getter_without_name_fails_at_line_16_after_storing_fget():
    descriptor = CachedProperty(Counter("old"))
    old_name, old_doc = descriptor.name, descriptor.__doc__
    nameless = object()
    with pytest.raises(AttributeError) as info:
        descriptor.__init__(nameless)
    assert last_entry(info.value) == (SOURCE, 16, INIT)
    assert descriptor.fget is nameless
    assert descriptor.name is old_name and descriptor.__doc__ is old_doc


def test_doc_lookup_error_fails_at_line_17_after_storing_name():
    class BadDoc:
        __name__ = "bad"

        @property
        def __doc__(self):
            raise RuntimeError("doc broken")

    descriptor = CachedProperty(Counter("old"))
    old_doc = descriptor.__doc__
    with pytest.raises(RuntimeError) as info:
        descriptor.__init__(BadDoc())
    assert module_entries(info.value) == [(SOURCE, 17, INIT)]
    assert descriptor.name == "bad" and descriptor.__doc__ is old_doc


def test_keyword_fget_with_a_hash_of_its_own_binds():
    class OwnHashStr(str):
        def __hash__(self):
            return 12345

    getter = Counter("value")
    descriptor = CachedProperty(**{OwnHashStr("fget"): getter})
    assert (descriptor.fget, descriptor.name) == (getter, "value")


def test_reinitialisation_replaces_fields():
    descriptor = CachedProperty(Counter("one"))
    replacement = Counter("two")
    descriptor.__init__(replacement)
    assert (descriptor.fget, descriptor.name) == (replacement, "two")


def test_new_only_descriptor_has_none_fields_and_fails_calling_none():
    descriptor = CachedProperty.__new__(CachedProperty)
    assert (descriptor.fget, descriptor.name, descriptor.__doc__) == (None, None, None)
    Owner = type("Owner", (), {"attr": descriptor})
    owner = Owner()
    with pytest.raises(TypeError, match="not callable") as info:
        owner.attr
    assert last_entry(info.value) == (SOURCE, 36, GET)
    assert owner._cache == {}


def test_unhashable_name_fails_membership_after_creating_cache():
    getter = Counter()
    getter.__name__ = ["unhashable"]
    Owner = make_owner(getter)
    owner = Owner()
    with pytest.raises(TypeError, match="unhashable") as info:
        owner.attr
    assert last_entry(info.value) == (SOURCE, 32, GET)
    assert owner._cache == {}


def test_entry_vanishing_after_membership_test_is_a_miss():
    """The key's comparison removes the entry after the membership test saw it."""
    comparisons = []

    class Sneaky(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            comparisons.append(other)
            if len(comparisons) == 2:  # the read that follows the membership test
                cache.clear()
            return str.__eq__(self, other)

    getter = Counter(Sneaky("key"), result="fresh")
    Owner = make_owner(getter)
    owner = Owner()
    cache = owner._cache = {"key": "stale"}
    assert owner.attr == "fresh"
    assert getter.calls == [owner]
    assert len(comparisons) == 2 and cache == {"key": "fresh"}


def test_abstract_subclass_refused_by_object_new():
    Abstract = type("Abstract", (CachedProperty,), {})
    Abstract.__abstractmethods__ = frozenset({"method"})
    with pytest.raises(TypeError, match="abstract"):
        Abstract(len)


def test_subclass_instances_work_and_are_collected():
    class Sub(CachedProperty):
        pass

    getter = Counter()
    Owner = type("Owner", (), {"attr": Sub(getter)})
    assert Owner().attr is not None and len(getter.calls) == 1


def test_no_reference_leaks_across_hits_misses_and_failures():
    result = made_at_run_time("constant")
    getter = Counter(result=result)
    Owner = make_owner(getter)
    owner = Owner()
    owner.attr
    descriptor = Owner.__dict__["attr"]

    def failing(self):
        raise ValueError

    Failing = make_owner(failing)
    failing_owner = Failing()

    def exercise():
        for _ in range(200):
            owner.attr
            fresh = Owner()
            fresh.attr
            try:
                failing_owner.attr
            except ValueError:
                pass
            try:
                owner.attr = 1
            except AttributeError:
                pass
            CachedProperty(getter)
        # The getter keeps every instance it was called for, and with it
        # that instance's cache holding the result.
        getter.calls.clear()

    assert_no_reference_leaks(exercise, (getter, descriptor, owner, owner._cache, result, failing))
