"""Owner classes and the peers that the benchmarks compare the module with.

Every peer is written the way a user would write it by hand, and as fast as
plain Python allows: cache hits go through `try`/`except` (free when nothing
is raised in CPython 3.11 and later), and an absent `_cache` is detected the
same way. Each peer keeps the same observable protocol as the module's
descriptor it stands in for: the cache lives in the owner's `_cache` dict
under the getter's `__name__`, absent or None means "make a new dict", an
owner that cannot take `_cache` gets the descriptor itself, assignment is
refused; the axis peers read `_mgr.axes[axis]` and assign through
`_set_axis(axis, value)`.

Everything here lives at module level so that pickle can find it by name,
in a module as deep as `tovren._libs.properties` (`benchpeers._lib.peers`):
pickle imports the module of every global it writes or reads, and that cost
grows with the depth of the dotted name, so the round trips compare the
descriptors rather than where they live.
"""

import functools

from tovren._libs import properties

try:
    from propcache.api import under_cached_property
except ImportError:  # reported as a skipped peer by the runner
    under_cached_property = None


# ---- the `_cache` protocol -------------------------------------------------


class CacheDescriptor:
    """The `_cache` protocol of `CachedProperty` as a Python data descriptor."""

    def __init__(self, fget):
        self.fget = fget
        self.name = fget.__name__
        self.__doc__ = getattr(fget, "__doc__", None)

    def __get__(self, instance, owner=None):
        if instance is None:
            return self
        try:
            cache = instance._cache
        except AttributeError:
            cache = None
        if cache is None:
            cache = {}
            try:
                instance._cache = cache
            except AttributeError:
                return self
        name = self.name
        try:
            return cache[name]
        except KeyError:
            pass
        value = self.fget(instance)
        cache[name] = value
        return value

    def __set__(self, instance, value):
        raise AttributeError("Can't set attribute")

    def __delete__(self, instance):
        raise NotImplementedError("__delete__")


def answer(self):
    """The trivial getter: a constant, so the getter's own cost is negligible."""
    return 42


class CacheOwner:
    """Owner of every cached-value variant; `plain` is the floor."""

    def __init__(self):
        self.plain = 42

    @classmethod
    def with_empty_cache(cls):
        owner = cls()
        owner._cache = {}
        return owner

    @properties.cache_readonly
    def ours(self):
        return 42

    @CacheDescriptor
    def py_descriptor(self):
        return 42

    @functools.cached_property
    def functools_cached(self):
        return 42

    @property
    def via_property(self):
        try:
            cache = self._cache
        except AttributeError:
            cache = None
        if cache is None:
            cache = self._cache = {}
        try:
            return cache["via_property"]
        except KeyError:
            pass
        value = cache["via_property"] = 42
        return value

    if under_cached_property is not None:

        @under_cached_property
        def propcache(self):
            return 42


def propcache_is_compiled():
    """(compiled, where) for propcache's `under_cached_property`.

    propcache falls back to a pure-Python implementation when its extension
    cannot be imported (or PROPCACHE_NO_EXTENSIONS is set); the comparison is
    only meaningful against the compiled one.
    """
    if under_cached_property is None:
        return False, "propcache is not importable"
    module = getattr(under_cached_property, "__module__", "")
    try:
        from propcache import _helpers_c
    except ImportError as error:
        return False, f"propcache._helpers_c is not importable ({error})"
    if under_cached_property is not _helpers_c.under_cached_property:
        return False, f"under_cached_property comes from {module}, the pure-Python fallback"
    return True, f"{module} from {_helpers_c.__file__}"


# ---- the axis protocol -----------------------------------------------------


class AxisDescriptor:
    """`AxisProperty` as a Python data descriptor."""

    def __init__(self, axis=0, doc=""):
        self.axis = axis
        self.__doc__ = doc

    def __get__(self, instance, owner=None):
        if instance is None:
            return self
        return instance._mgr.axes[self.axis]

    def __set__(self, instance, value):
        instance._set_axis(self.axis, value)

    def __delete__(self, instance):
        raise NotImplementedError("__delete__")


class Manager:
    def __init__(self, axes):
        self.axes = axes


def _axis_write(self, value):
    self._set_axis(1, value)


class AxisOwner:
    """Owner of every axis variant; all of them stand for axis 1."""

    if hasattr(properties, "AxisProperty"):
        ours = properties.AxisProperty(1, "columns")
    py_descriptor = AxisDescriptor(1, "columns")
    via_property = property(lambda self: self._mgr.axes[1], _axis_write)

    def __init__(self):
        self._mgr = Manager(["index", "columns"])

    def _set_axis(self, axis, value):
        self._mgr.axes[axis] = value
