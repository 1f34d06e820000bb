"""Type stubs of the extension module tovren._libs.properties."""

from collections.abc import Callable
from types import GenericAlias
from typing import Any, Generic, NoReturn, Self, SupportsIndex, SupportsInt, TypeAlias, TypeVar, overload

from typing_extensions import disjoint_base

_R = TypeVar("_R")
# AxisProperty is generic in what a read returns (_Get) and what an
# assignment accepts (_Set). Unparameterised, both are Any; with one argument
# both are that type; a second argument widens what assignments accept, for
# owners whose _set_axis converts (for example a list into an index object).
_Get = TypeVar("_Get", default=Any)
_Set = TypeVar("_Set", default=_Get)
_CP = TypeVar("_CP", bound=CachedProperty[Any])
_AP = TypeVar("_AP", bound=AxisProperty[Any, Any])
_T = TypeVar("_T")

# What the reduce methods return: Form A (reconstructor, (type, checksum,
# None), state), where pickle then calls __setstate__ with the state, or
# Form B (reconstructor, (type, checksum, state)). The state is the fields in
# sorted name order, optionally followed by the instance dict of a subclass
# instance.
_Reconstructor: TypeAlias = Callable[[type[_T], int, tuple[Any, ...] | None], _T]
_ReduceTuple: TypeAlias = (
    tuple[_Reconstructor[_T], tuple[type[_T], int, None], tuple[Any, ...]]
    | tuple[_Reconstructor[_T], tuple[type[_T], int, tuple[Any, ...]]]
)

# The pickling functions take parameters whose names start with two
# underscores; type checkers treat such parameters as positional-only, while
# the runtime also accepts them by keyword. pickle always passes them by
# position.

# Both types have a C instance layout of their own, so no class can inherit
# from both.
@disjoint_base
class CachedProperty(Generic[_R]):
    """Caches the getter's result in the owner instance's `_cache` dict.

    The key is the getter's `__name__`, not the attribute's name. No lock is
    taken, as with functools.cached_property: threads that read one fresh
    instance at once may each run the getter (8 threads, up to 8 runs) and
    get different objects. One stored value wins (later reads return it);
    nothing crashes or is corrupted.
    """

    def __init__(self, fget: Callable[[Any], _R]) -> None: ...
    @overload
    def __get__(self, instance: None, owner: type | None = None, /) -> Self: ...
    @overload
    def __get__(self, instance: object, owner: type | None = None, /) -> _R: ...
    # Assignment always raises AttributeError: no value type is accepted.
    def __set__(self, instance: object, value: NoReturn, /) -> NoReturn: ...
    def __delete__(self, instance: object, /) -> NoReturn: ...
    @property
    def fget(self) -> Callable[[Any], _R]: ...
    @property
    def name(self) -> str: ...
    # Read-only at run time, unlike object.__doc__, hence the override.
    @property
    def __doc__(self) -> str | None: ...  # type: ignore[override]
    def __reduce_cython__(self) -> _ReduceTuple[Self]: ...
    def __setstate_cython__(self, __pyx_state: tuple[Any, ...]) -> None: ...
    def __reduce__(self) -> _ReduceTuple[Self]: ...
    def __setstate__(self, __pyx_state: tuple[Any, ...]) -> None: ...
    # At run time `X[...]` is types.GenericAlias(X, ...), as for the standard
    # containers; calling it makes an X.
    def __class_getitem__(cls, item: Any, /) -> GenericAlias: ...

cache_readonly = CachedProperty

@disjoint_base
class AxisProperty(Generic[_Get, _Set]):
    """Reads `owner._mgr.axes[axis]`; assignment calls `owner._set_axis(axis, value)`.

    Nothing is kept between calls: each read and assignment, from any
    thread, goes to the owner's `_mgr.axes` and `_set_axis` as it happens.
    """

    def __init__(self, axis: SupportsIndex = 0, doc: str | None = "") -> None: ...
    @overload
    def __get__(self, instance: None, owner: type | None = None, /) -> Self: ...
    @overload
    def __get__(self, instance: object, owner: type | None = None, /) -> _Get: ...
    def __set__(self, instance: object, value: _Set, /) -> None: ...
    def __delete__(self, instance: object, /) -> NoReturn: ...
    @property
    def axis(self) -> int: ...
    # Read-only at run time, unlike object.__doc__, hence the override.
    @property
    def __doc__(self) -> str | None: ...  # type: ignore[override]
    def __reduce_cython__(self) -> _ReduceTuple[Self]: ...
    def __setstate_cython__(self, __pyx_state: tuple[Any, ...]) -> None: ...
    def __reduce__(self) -> _ReduceTuple[Self]: ...
    def __setstate__(self, __pyx_state: tuple[Any, ...]) -> None: ...
    # At run time `X[...]` is types.GenericAlias(X, ...), as for the standard
    # containers; calling it makes an X.
    def __class_getitem__(cls, item: Any, /) -> GenericAlias: ...

def __pyx_unpickle_CachedProperty(
    __pyx_type: type[_CP], __pyx_checksum: SupportsInt, __pyx_state: tuple[Any, ...] | None
) -> _CP: ...
def __pyx_unpickle_AxisProperty(
    __pyx_type: type[_AP], __pyx_checksum: SupportsInt, __pyx_state: tuple[Any, ...] | None
) -> _AP: ...

__test__: dict[str, Any]
