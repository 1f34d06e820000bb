"""Owner classes as a type checker sees them; checked by tests/test_typing.py.

Never imported or run: some lines are deliberately wrong. A trailing
`# reveal: TYPE` names the type that mypy must reveal on that line, and
`# error: CODE` the error code that mypy must report there; every other line
must pass `mypy --strict`.
"""

from typing import Any, reveal_type

from tovren._libs.properties import (
    AxisProperty,
    CachedProperty,
    __pyx_unpickle_AxisProperty,
    __pyx_unpickle_CachedProperty,
    cache_readonly,
)


class Index:
    def __init__(self, labels: list[str]) -> None:
        self.labels = labels


class Manager:
    def __init__(self, axes: list[Index]) -> None:
        self.axes = axes


class Table:
    _mgr: Manager
    _cache: dict[str, object]

    index: AxisProperty[Index] = AxisProperty(0, "row labels")
    # Reads give an Index; _set_axis also converts plain label lists.
    columns: AxisProperty[Index, Index | list[str]] = AxisProperty(1)
    untyped_axis = AxisProperty(0)

    def __init__(self, rows: list[str], columns: list[str]) -> None:
        self._mgr = Manager([Index(rows), Index(columns)])

    def _set_axis(self, axis: int, value: Index | list[str]) -> None:
        self._mgr.axes[axis] = value if isinstance(value, Index) else Index(value)

    @cache_readonly
    def shape(self) -> tuple[int, int]:
        return len(self.index.labels), len(self.columns.labels)

    @CachedProperty
    def title(self) -> str | None:
        return None


table = Table(["a", "b"], ["x"])

reveal_type(table.shape)  # reveal: tuple[int, int]
reveal_type(table.title)  # reveal: str | None
reveal_type(Table.shape)  # reveal: tovren._libs.properties.CachedProperty[tuple[int, int]]
reveal_type(Table.shape.name)  # reveal: str
reveal_type(Table.shape.fget)  # reveal: def (Any) -> tuple[int, int]
reveal_type(Table.shape.__doc__)  # reveal: str | None
table.shape = (1, 1)  # error: assignment
table.title = "renamed"  # error: assignment

reveal_type(table.index)  # reveal: typing_sample.Index
reveal_type(table.columns)  # reveal: typing_sample.Index
reveal_type(table.untyped_axis)  # reveal: Any
reveal_type(Table.index)  # reveal: tovren._libs.properties.AxisProperty[typing_sample.Index, typing_sample.Index]
reveal_type(Table.index.axis)  # reveal: int
table.index = Index(["c", "d"])
table.columns = ["y"]
table.index = ["c", "d"]  # error: assignment
table.untyped_axis = object()



def getter_without_owner() -> int:
    return 1


CachedProperty(getter_without_owner)  # error: arg-type
AxisProperty("first")  # error: arg-type

state: tuple[Any, ...] = (None, Table.shape.fget, "shape")
rebuilt = __pyx_unpickle_CachedProperty(CachedProperty[int], 0xEF86259, state)
reveal_type(rebuilt)  # reveal: tovren._libs.properties.CachedProperty[int]
reveal_type(__pyx_unpickle_AxisProperty(AxisProperty, 0xD2E4E33, None))  # reveal: tovren._libs.properties.AxisProperty[Any, Any]
reduced = Table.index.__reduce_cython__()
reveal_type(reduced[0])  # reveal: def (type[tovren._libs.properties.AxisProperty[typing_sample.Index, typing_sample.Index]], int, tuple[Any, ...] | None) -> tovren._libs.properties.AxisProperty[typing_sample.Index, typing_sample.Index]
Table.shape.__setstate_cython__(["not", "a", "tuple"])  # error: arg-type
