"""AxisProperty: attributes that stand for the axes of a manager object.

An owner keeps a manager in `_mgr` whose `axes` attribute is a list. Reading
`Table.columns` on a table returns `table._mgr.axes[1]`; assigning to it calls
`table._set_axis(1, value)`, where the owner checks and converts the value.
"""

from tovren._libs.properties import AxisProperty


class Manager:
    def __init__(self, axes):
        self.axes = axes  # must be a list: one entry per axis


class Table:
    index = AxisProperty(0, "The row labels.")
    columns = AxisProperty(1, "The column labels.")
    last_axis = AxisProperty(-1)  # negative numbers count from the end

    def __init__(self, rows, columns):
        self._mgr = Manager([tuple(rows), tuple(columns)])

    def _set_axis(self, axis, labels):
        labels = tuple(labels)
        current = self._mgr.axes[axis]
        if len(labels) != len(current):
            raise ValueError(f"axis {axis} has {len(current)} labels, got {len(labels)}")
        self._mgr.axes[axis] = labels


def main():
    table = Table(["r0", "r1", "r2"], ["price", "qty"])
    print(f"index = {table.index}, columns = {table.columns}, last_axis = {table.last_axis}")
    assert table.index is table._mgr.axes[0]
    assert table.last_axis is table.columns

    table.columns = ["cost", "amount"]  # goes through Table._set_axis(1, [...])
    print(f"after table.columns = [...]: columns = {table.columns}")
    assert table._mgr.axes[1] == ("cost", "amount")

    try:
        table.index = ["only one"]
    except ValueError as error:
        print(f"table.index = ['only one'] -> ValueError from _set_axis: {error}")
    else:
        raise AssertionError("_set_axis must have refused the labels")

    try:
        del table.columns
    except NotImplementedError as error:
        print(f"del table.columns -> NotImplementedError: {error}")
    else:
        raise AssertionError("deleting an axis must fail")

    descriptor = Table.columns  # read on the class: the descriptor itself
    print(f"Table.columns: axis {descriptor.axis}, doc {descriptor.__doc__!r}")
    assert isinstance(descriptor, AxisProperty) and descriptor.axis == 1


if __name__ == "__main__":
    main()
