"""Pickling owners and the descriptors themselves.

Owner instances pickle as usual, `_cache` included, so a restored owner does not
recompute. The descriptors pickle by value: their reduce method names the
module-level reconstructor, the type, a layout checksum and the fields in
sorted name order. A pickle carrying a checksum the module does not accept is
refused with pickle.PickleError instead of building a wrong object.
"""

import copy
import pickle
import pickletools

from tovren._libs import properties
from tovren._libs.properties import AxisProperty, CachedProperty, cache_readonly


def _mean(self):
    """Mean of the samples."""
    self.mean_computations += 1
    return sum(self.samples) / len(self.samples)


class Readings:
    # The getter is a module-level function so that pickle can refer to it.
    mean = cache_readonly(_mean)

    def __init__(self, samples):
        self.samples = samples
        self.mean_computations = 0


# A pickle of AxisProperty(1, "The column labels."), written in protocol 0 with
# the layout checksum 0xd654b7d (224742269), one of the three checksums accepted
# for AxisProperty's layout (__doc__, axis). Stored pickles like this one keep
# loading.
STORED_AXIS_PICKLE = (
    b"ctovren._libs.properties\n__pyx_unpickle_AxisProperty\n"  # the reconstructor
    b"(ctovren._libs.properties\nAxisProperty\nI224742269\nNtR"  # its call: (type, checksum, None)
    b"(VThe column labels.\nI1\ntb."  # state (__doc__, axis), handed to __setstate__
)


def show_owner_round_trip():
    readings = Readings([1.0, 2.0, 6.0])
    assert readings.mean == 3.0 and readings.mean_computations == 1
    restored = pickle.loads(pickle.dumps(readings))
    print(f"restored owner: mean {restored.mean}, cache {restored._cache}, "
          f"getter ran {restored.mean_computations} time(s) in total")
    assert restored._cache == {"_mean": 3.0}  # keyed by the getter's __name__
    assert restored.mean_computations == 1  # served from the restored _cache


def show_descriptor_round_trip():
    descriptor = Readings.mean
    reconstructor, arguments, state = descriptor.__reduce__()  # Form A
    print(f"CachedProperty reduces to {reconstructor.__name__}"
          f"({arguments[0].__name__}, {arguments[1]:#x}, {arguments[2]}) with state {state}")
    assert reconstructor is properties.__pyx_unpickle_CachedProperty
    assert arguments == (CachedProperty, 0xEF86259, None)
    # Sorted field order: __doc__, fget, name. The name, which is also the
    # owner's _cache key, is the getter's __name__, not the attribute name.
    assert state == ("Mean of the samples.", _mean, "_mean")

    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        clone = pickle.loads(pickle.dumps(descriptor, protocol))
        assert type(clone) is CachedProperty and clone is not descriptor
        assert (clone.fget, clone.name, clone.__doc__) == (_mean, "_mean", "Mean of the samples.")
    print(f"CachedProperty survives pickle protocols 0 to {pickle.HIGHEST_PROTOCOL} and copy.copy:",
          copy.copy(descriptor).fget is _mean)

    undocumented = AxisProperty(2, None)
    reduced = undocumented.__reduce__()  # Form B: no __doc__, the state rides in the call
    print(f"AxisProperty(2, None) reduces to {reduced[0].__name__}"
          f"({reduced[1][0].__name__}, {reduced[1][1]:#x}, {reduced[1][2]})")
    assert reduced == (properties.__pyx_unpickle_AxisProperty, (AxisProperty, 0xD2E4E33, (None, 2)))
    clone = copy.deepcopy(undocumented)
    assert (clone.axis, clone.__doc__) == (2, None)


def show_stored_pickle():
    pickletools.dis(pickletools.optimize(STORED_AXIS_PICKLE), annotate=0)
    columns = pickle.loads(STORED_AXIS_PICKLE)
    print(f"stored pickle loads: axis {columns.axis}, doc {columns.__doc__!r}")
    assert type(columns) is AxisProperty and (columns.axis, columns.__doc__) == (1, "The column labels.")
    # Today's writer produces the same bytes, with the first checksum of the layout.
    written = pickletools.optimize(pickle.dumps(columns, 0))
    assert written == STORED_AXIS_PICKLE.replace(b"I224742269\n", b"I221138483\n")


def show_refused_checksum():
    try:
        properties.__pyx_unpickle_CachedProperty(CachedProperty, 0x1234, None)
    except pickle.PickleError as error:
        print(f"a foreign layout is refused: {error}")
    else:
        raise AssertionError("an unknown checksum must be refused")


def main():
    show_owner_round_trip()
    show_descriptor_round_trip()
    show_stored_pickle()
    show_refused_checksum()


if __name__ == "__main__":
    main()
