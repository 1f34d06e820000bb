"""Plain-Python stand-ins for tovren._libs.properties, for the fuzz campaign's
replays (reliability/fuzz_campaign.py, `--pure-python`).

A case that crashed the interpreter is run again with these in place of the
module: when it still crashes, by the same signal at the same place (the
same case, or at the child's exit after the same last case), no code of the
module was involved, and the crash is the interpreter's; any other outcome
leaves it the module's. `install()` binds a module object under the
module's own name in `sys.modules` (so that pickle finds the types and the
reconstructors by name, as it finds the module's), without loading the
extension.

The stand-ins behave as the module does where a case can tell: the same
argument binding, integer conversions, messages, field order and read-only
fields; the same attribute lookups and dict operations, in the same order and
number (a hostile key's `__eq__` or an owner's `__setattr__` runs as often as
with the module, so a replayed case draws the same random numbers and takes
the same path); and the same pickle forms and checksums.
"""

from __future__ import annotations

import builtins
import operator
import pickle
import sys
import types
import warnings

MODULE_NAME = "tovren._libs.properties"

# The range of Py_ssize_t, which an axis must fit: 64 or 32 bits wide.
SSIZE_MIN, SSIZE_MAX = -sys.maxsize - 1, sys.maxsize
CACHED_CHECKSUMS = (0xEF86259, 0xE8B19C1, 0xD67B376)
AXIS_CHECKSUMS = (0xD2E4E33, 0xD654B7D, 0xDC8CCE6)
_MISSING = object()

# The stand-in module; set by install().
_module = None


# ---- call support ------------------------------------------------------------------


def _bind(function, names, required, args, kwargs, defaults=()):
    """Binds positional and keyword arguments to `names`, as the module's
    callables do: too many positional arguments, a keyword that names no
    parameter or one already given by position, and a missing required
    parameter are TypeErrors. Missing optional parameters take `defaults`."""
    if len(args) > len(names):
        exactly = "exactly" if required == len(names) else "at most"
        plural = "" if len(names) == 1 else "s"
        raise TypeError(f"{function}() takes {exactly} {len(names)} positional argument{plural} "
                        f"({len(args)} given)")
    bound = list(args) + [_MISSING] * (len(names) - len(args))
    for key, value in kwargs.items():
        if key not in names:
            raise TypeError(f"{function}() got an unexpected keyword argument '{key}'")
        index = names.index(key)
        if bound[index] is not _MISSING:
            raise TypeError(f"{function}() got multiple values for keyword argument '{key}'")
        bound[index] = value
    for index in range(len(names)):
        if bound[index] is _MISSING:
            if index < required:
                given = sum(value is not _MISSING for value in bound)
                plural = "" if required == 1 else "s"
                raise TypeError(f"{function}() takes exactly {required} positional argument{plural} "
                                f"({given} given)")
            bound[index] = defaults[index - required]
    return bound


def _no_arguments(function, args, kwargs):
    if args:
        raise TypeError(f"{function}() takes exactly 0 positional arguments ({len(args)} given)")
    if kwargs:
        raise TypeError(f"{function}() got an unexpected keyword argument '{next(iter(kwargs))}'")


def _index_as_ssize(value):
    """A signed 64-bit integer through `__index__` (no `__int__` fallback)."""
    number = int.__index__(operator.index(value))
    if not SSIZE_MIN <= number <= SSIZE_MAX:
        raise OverflowError("Python int too large to convert to C ssize_t")
    return number


def _int_as_long(value):
    """A 32-bit signed integer through `__int__`, as the checksum conversion."""
    if not isinstance(value, int):
        method = getattr(type(value), "__int__", None)
        if method is None:
            raise TypeError("an integer is required")
        result = method(value)
        if type(result) is not int:
            if not isinstance(result, int):
                raise TypeError(f"__int__ returned non-int (type {type(result).__name__})")
            warnings.warn(f"__int__ returned non-int (type {type(result).__name__}).  The ability to "
                          "return an instance of a strict subclass of int is deprecated, and may be "
                          "removed in a future version of Python.", DeprecationWarning, stacklevel=1)
        value = result
    number = int.__index__(value)
    if not -(2**31) <= number < 2**31:
        raise OverflowError("value too large to convert to long")
    return number


def _check_subtype(cls, base):
    if not isinstance(cls, type):
        raise TypeError(f"{base.__name__}.__new__(X): X is not a type object ({type(cls).__name__})")
    if not issubclass(cls, base):
        raise TypeError(f"{base.__name__}.__new__({cls.__name__}): {cls.__name__} is not a subtype of "
                        f"{base.__name__}")


# ---- pickling ------------------------------------------------------------------------


def _lookup_global(name):
    value = _module.__dict__.get(name, _MISSING)
    if value is _MISSING:
        value = getattr(builtins, name, _MISSING)
    if value is _MISSING:
        raise NameError(f"name '{name}' is not defined")
    return value


def _finish_reduce(self, state, object_fields, reconstructor, checksum):
    try:
        instance_dict = self.__dict__
    except AttributeError:
        instance_dict = None
    use_setstate = False
    if instance_dict is not None and instance_dict:
        state = state + (instance_dict,)
        use_setstate = True
    if not use_setstate:
        use_setstate = any(item is not None for item in state[:object_fields])
    function = _lookup_global(reconstructor)
    if use_setstate:
        return function, (type(self), checksum, None), state
    return function, (type(self), checksum, state)


def _restore_instance_dict(self, state, fields):
    if len(state) <= fields:
        return
    extra = state[fields]
    if not extra:
        return
    instance_dict = object.__getattribute__(self, "__dict__")
    if type(instance_dict) is dict:
        if not hasattr(extra, "keys"):  # the C dict merge wants a mapping
            raise AttributeError(f"'{type(extra).__name__}' object has no attribute 'keys'")
        dict.update(instance_dict, extra)
    else:
        instance_dict.update(extra)


class _Descriptor:
    """What both stand-ins share: the read on the class, deletion refused,
    and the pickle methods (installed as `__reduce__` and `__setstate__` too,
    as the module does). A subclass gives its read on an instance (`_read`),
    its state tuple (`_state`, of which the first `_OBJECT_FIELDS` items can
    select the setstate form), its reconstructor's name and checksum, and its
    set-state routine."""

    __slots__ = ()

    def __get__(self, instance, owner=None):
        if instance is None:
            if owner is None:
                raise TypeError("__get__(None, None) is invalid")
            return self
        return self._read(instance)

    def __delete__(self, instance):
        raise NotImplementedError("__delete__")

    def __reduce_cython__(self, *args, **kwargs):
        _no_arguments("__reduce_cython__", args, kwargs)
        return _finish_reduce(self, self._state(), self._OBJECT_FIELDS, self._RECONSTRUCTOR, self._CHECKSUM)

    def __setstate_cython__(self, *args, **kwargs):
        (state,) = _bind("__setstate_cython__", ("__pyx_state",), 1, args, kwargs)
        if type(state) is not tuple:
            if state is None:
                raise TypeError("cannot pass None into a C function argument that is declared 'not None'")
            raise TypeError(f"Expected tuple, got {type(state).__name__}")
        self._set_state(state)

    __reduce__ = __reduce_cython__
    __setstate__ = __setstate_cython__


# ---- CachedProperty ------------------------------------------------------------------


class CachedProperty(_Descriptor):
    __slots__ = ("_fget", "_name", "_doc")
    _OBJECT_FIELDS = 3
    _RECONSTRUCTOR = "__pyx_unpickle_CachedProperty"
    _CHECKSUM = CACHED_CHECKSUMS[0]

    def __new__(cls, *args, **kwargs):
        _check_subtype(cls, CachedProperty)
        self = object.__new__(cls)
        self._fget = self._name = self._doc = None
        return self

    def __init__(self, *args, **kwargs):
        (fget,) = _bind("__init__", ("fget",), 1, args, kwargs)
        self._fget = fget
        self._name = fget.__name__
        try:
            doc = fget.__doc__
        except AttributeError:
            doc = None
        self._doc = doc

    fget = property(lambda self: self._fget)
    name = property(lambda self: self._name)
    __doc__ = property(lambda self: self._doc)

    def _read(self, instance):
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
        if not isinstance(cache, dict):
            raise TypeError(f"Expected dict, got {type(cache).__name__}")
        # Read after the lookups, which can re-initialise the descriptor.
        key = self._name
        # One lookup for an exact str key (its hash and comparison run no
        # code); a membership test and then a read for any other key.
        if type(key) is not str and not dict.__contains__(cache, key):
            return self._compute(instance, cache, key)
        value = dict.get(cache, key, _MISSING)
        if value is _MISSING:
            return self._compute(instance, cache, key)
        return value

    def _compute(self, instance, cache, key):
        fget = self._fget
        if type(fget) is types.MethodType:
            value = fget.__func__(fget.__self__, instance)
        else:
            value = fget(instance)
        dict.__setitem__(cache, key, value)
        return value

    def __set__(self, instance, value):
        raise AttributeError("Can't set attribute")

    def _state(self):
        return self._doc, self._fget, self._name

    def _set_state(self, state):
        self._doc = state[0]
        self._fget = state[1]
        self._name = state[2]
        _restore_instance_dict(self, state, 3)


# ---- AxisProperty --------------------------------------------------------------------


class AxisProperty(_Descriptor):
    __slots__ = ("_axis", "_doc")
    _OBJECT_FIELDS = 1  # `axis` is an integer and never selects the setstate form
    _RECONSTRUCTOR = "__pyx_unpickle_AxisProperty"
    _CHECKSUM = AXIS_CHECKSUMS[0]

    def __new__(cls, *args, **kwargs):
        _check_subtype(cls, AxisProperty)
        self = object.__new__(cls)
        self._axis = 0
        self._doc = None
        return self

    def __init__(self, *args, **kwargs):
        axis, doc = _bind("__init__", ("axis", "doc"), 0, args, kwargs, defaults=(0, ""))
        self._axis = _index_as_ssize(axis)
        self._doc = doc

    axis = property(lambda self: self._axis)
    __doc__ = property(lambda self: self._doc)

    def _read(self, instance):
        axes = instance._mgr.axes
        if type(axes) is not list:
            if axes is None:
                raise TypeError("'NoneType' object is not subscriptable")
            raise TypeError(f"Expected list, got {type(axes).__name__}")
        # Read after the lookups, which can re-initialise the descriptor.
        index = self._axis
        if index < 0:
            index += len(axes)
        if not 0 <= index < len(axes):
            raise IndexError("list index out of range")
        return axes[index]

    def __set__(self, instance, value):
        instance._set_axis(self._axis, value)

    def _state(self):
        return self._doc, self._axis

    def _set_state(self, state):
        self._doc = state[0]
        self._axis = _index_as_ssize(state[1])
        _restore_instance_dict(self, state, 2)


# ---- reconstructors -----------------------------------------------------------------


def _reconstruct(function, base, checksums, fields, args, kwargs):
    cls, checksum, state = _bind(function, ("__pyx_type", "__pyx_checksum", "__pyx_state"), 3, args, kwargs)
    checksum = _int_as_long(checksum)
    if state is not None and type(state) is not tuple:
        raise TypeError(f"Argument '__pyx_state' has incorrect type (expected tuple, got {type(state).__name__})")
    if checksum not in checksums:
        first, second, third = checksums
        raise pickle.PickleError(f"Incompatible checksums ({checksum & 0xFFFFFFFF:#x} vs ({first:#x}, "
                                 f"{second:#x}, {third:#x}) = ({fields}))")
    result = base.__new__(cls)
    if state is not None:
        base._set_state(result, state)
    return result


def __pyx_unpickle_CachedProperty(*args, **kwargs):
    return _reconstruct("__pyx_unpickle_CachedProperty", CachedProperty, CACHED_CHECKSUMS, "__doc__, fget, name",
                        args, kwargs)


def __pyx_unpickle_AxisProperty(*args, **kwargs):
    return _reconstruct("__pyx_unpickle_AxisProperty", AxisProperty, AXIS_CHECKSUMS, "__doc__, axis", args, kwargs)


def install():
    """Binds a module of the stand-ins as tovren._libs.properties in
    `sys.modules` and returns it. The extension must not be loaded yet."""
    global _module
    if MODULE_NAME in sys.modules:
        raise RuntimeError(f"{MODULE_NAME} is already loaded")
    module = types.ModuleType(MODULE_NAME)
    for value in (CachedProperty, AxisProperty, __pyx_unpickle_CachedProperty, __pyx_unpickle_AxisProperty):
        value.__module__ = MODULE_NAME
        value.__qualname__ = value.__name__
        setattr(module, value.__name__, value)
    module.cache_readonly = CachedProperty
    module.__test__ = {}
    _module = module
    sys.modules[MODULE_NAME] = module
    return module
